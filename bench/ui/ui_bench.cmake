# The configurator's live view, from the driver's state block to the page,
# against quillex-sim --serve and quillexctl ui run as programs.
find_package(nlohmann_json REQUIRED)
add_executable(quillex_ui_bench ${CMAKE_CURRENT_LIST_DIR}/ui_latency_bench.cpp
                                ${CMAKE_SOURCE_DIR}/tools/quillexctl/socket_link.cpp)
target_link_libraries(quillex_ui_bench PRIVATE quillex_sim PkgConfig::CPP_HTTPLIB
                                               nlohmann_json::nlohmann_json benchmark::benchmark)
target_compile_definitions(quillex_ui_bench PRIVATE
                           QUILLEX_SIM_PATH="$<TARGET_FILE:quillex-sim>"
                           QUILLEXCTL_PATH="$<TARGET_FILE:quillexctl>"
                           QUILLEXCTL_BUILTIN_HTTP_PATH="$<TARGET_FILE:quillexctl-builtin-http>")
add_dependencies(quillex_ui_bench quillex-sim quillexctl quillexctl-builtin-http)
