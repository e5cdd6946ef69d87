# quillexctl ui: the configurator page. Its files go into the program, and
# the server is cpp-httplib (Debian's libcpp-httplib-dev, a shared library
# with its header).
find_package(PkgConfig REQUIRED)
pkg_check_modules(CPP_HTTPLIB REQUIRED IMPORTED_TARGET GLOBAL cpp-httplib)

set(QUILLEX_UI_DIR ${CMAKE_CURRENT_SOURCE_DIR}/quillexctl/ui)
set(QUILLEX_UI_ASSETS ${QUILLEX_UI_DIR}/assets/index.html ${QUILLEX_UI_DIR}/assets/app.js
                      ${QUILLEX_UI_DIR}/assets/curves.js ${QUILLEX_UI_DIR}/assets/app.css)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QUILLEX_UI_ASSETS}
                                                              ${QUILLEX_UI_DIR}/ui_assets.cpp.in)
file(READ ${QUILLEX_UI_DIR}/assets/index.html QUILLEX_UI_INDEX_HTML)
file(READ ${QUILLEX_UI_DIR}/assets/app.js QUILLEX_UI_APP_JS)
file(READ ${QUILLEX_UI_DIR}/assets/curves.js QUILLEX_UI_CURVES_JS)
file(READ ${QUILLEX_UI_DIR}/assets/app.css QUILLEX_UI_APP_CSS)
configure_file(${QUILLEX_UI_DIR}/ui_assets.cpp.in ${CMAKE_CURRENT_BINARY_DIR}/ui_assets.cpp @ONLY)

file(GLOB QUILLEX_UI_SOURCES CONFIGURE_DEPENDS ${QUILLEX_UI_DIR}/*.cpp)
# The device link it uses is quillexctl's own object; the names it shows and
# takes are the two tools' shared ones (quillex_control_names).
add_library(quillexctl_ui STATIC ${QUILLEX_UI_SOURCES} ${CMAKE_CURRENT_BINARY_DIR}/ui_assets.cpp)
target_link_libraries(quillexctl_ui PUBLIC quillex_driver quillex_sim quillex_control_names
                                           CLI11::CLI11 nlohmann_json::nlohmann_json
                                           PkgConfig::CPP_HTTPLIB)
target_link_libraries(quillexctl PRIVATE quillexctl_ui)
