# quillexctl ui: the configurator page. Its files go into the program, and
# the server is cpp-httplib (Debian's libcpp-httplib-dev, a shared library
# with its header).
find_package(PkgConfig REQUIRED)
pkg_check_modules(CPP_HTTPLIB REQUIRED IMPORTED_TARGET GLOBAL cpp-httplib)

set(QUILLEX_UI_DIR ${CMAKE_CURRENT_SOURCE_DIR}/quillexctl/ui)
set(QUILLEX_UI_ASSETS ${QUILLEX_UI_DIR}/assets/index.html ${QUILLEX_UI_DIR}/assets/app.js
                      ${QUILLEX_UI_DIR}/assets/curves.js ${QUILLEX_UI_DIR}/assets/app.css)
set_property(
  DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QUILLEX_UI_ASSETS} ${QUILLEX_UI_DIR}/ui_assets.cpp.in
                            ${QUILLEX_UI_DIR}/embed_assets.cmake)
set(QUILLEX_UI_ASSETS_CPP ${CMAKE_CURRENT_BINARY_DIR}/ui_assets.cpp)
include(${QUILLEX_UI_DIR}/embed_assets.cmake)

# Everything but the server and the command that starts it. The device link
# it uses is quillexctl's own object; the names it shows and takes are the
# two tools' shared ones (quillex_control_names).
file(GLOB QUILLEX_UI_SOURCES CONFIGURE_DEPENDS ${QUILLEX_UI_DIR}/*.cpp)
set(QUILLEX_UI_SERVER_SOURCES ${QUILLEX_UI_DIR}/ui_server.cpp ${QUILLEX_UI_DIR}/ui_command.cpp)
list(REMOVE_ITEM QUILLEX_UI_SOURCES ${QUILLEX_UI_SERVER_SOURCES})
add_library(quillexctl_ui_core STATIC ${QUILLEX_UI_SOURCES} ${QUILLEX_UI_ASSETS_CPP})
target_link_libraries(quillexctl_ui_core PUBLIC quillex_driver quillex_sim quillex_control_names
                                                CLI11::CLI11 nlohmann_json::nlohmann_json)

add_library(quillexctl_ui STATIC ${QUILLEX_UI_SERVER_SOURCES})
target_link_libraries(quillexctl_ui PUBLIC quillexctl_ui_core PkgConfig::CPP_HTTPLIB)
target_link_libraries(quillexctl PRIVATE quillexctl_ui)

# The same page served by the small server of http/, the one quillexctl.exe
# has (Windows has no cpp-httplib here). Built here too, not installed, so
# that the server tests and the browser tests run against it as well.
file(GLOB QUILLEX_UI_HTTP_SOURCES CONFIGURE_DEPENDS ${QUILLEX_UI_DIR}/http/*.cpp)
add_library(quillexctl_ui_builtin_http STATIC ${QUILLEX_UI_SERVER_SOURCES} ${QUILLEX_UI_HTTP_SOURCES})
target_compile_definitions(quillexctl_ui_builtin_http PUBLIC QUILLEX_UI_BUILTIN_HTTP)
target_link_libraries(quillexctl_ui_builtin_http PUBLIC quillexctl_ui_core)
add_executable(quillexctl-builtin-http)
target_link_libraries(quillexctl-builtin-http PRIVATE quillexctl_objects quillexctl_ui_builtin_http)
