# The configurator (quillexctl ui): its server and guard over real HTTP on
# loopback, its view of the game's report against the driver's, and the page
# itself in headless Chromium against quillex-sim --serve. The server tests
# and the page run twice: with cpp-httplib, and with the builtin server that
# quillexctl.exe serves with.
add_executable(quillexctl_ui_tests ${CMAKE_CURRENT_LIST_DIR}/ui_server_test.cpp
                                   ${CMAKE_CURRENT_LIST_DIR}/ui_guard_test.cpp
                                   ${CMAKE_CURRENT_LIST_DIR}/game_view_test.cpp
                                   ${CMAKE_CURRENT_LIST_DIR}/stick_pool_test.cpp)
target_link_libraries(quillexctl_ui_tests PRIVATE quillexctl_ui quillex_test_support
                                                  GTest::gtest_main)
gtest_discover_tests(quillexctl_ui_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

# The same server tests, with cpp-httplib as their client only.
add_executable(
  quillexctl_ui_builtin_http_tests
  ${CMAKE_CURRENT_LIST_DIR}/ui_server_test.cpp ${CMAKE_CURRENT_LIST_DIR}/http_message_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_server_test.cpp)
target_link_libraries(quillexctl_ui_builtin_http_tests PRIVATE quillexctl_ui_builtin_http PkgConfig::CPP_HTTPLIB
                                                               quillex_test_support GTest::gtest_main)
gtest_discover_tests(quillexctl_ui_builtin_http_tests TEST_PREFIX "builtin_http." DISCOVERY_TIMEOUT 60
                     PROPERTIES TIMEOUT 120)

# The page in headless Chromium. Not in the sanitizer builds: the server's
# threads are checked there by the server tests, and a browser session
# against instrumented binaries tells nothing more.
if(NOT QUILLEX_SANITIZE)
  add_test(NAME quillexctl_ui_browser
           COMMAND ${CMAKE_SOURCE_DIR}/tests/browser/run.sh $<TARGET_FILE:quillex-sim>
                   $<TARGET_FILE:quillexctl> ${CMAKE_BINARY_DIR}/browser-artifacts)
  # One at a time: each installs the page's test libraries when they are
  # missing (a fresh clone), into the same folder, and two Chromiums at once
  # would share two cores with the rest of the suite.
  set_tests_properties(quillexctl_ui_browser PROPERTIES TIMEOUT 300 LABELS browser RESOURCE_LOCK
                                                        browser_tests)
  add_test(NAME quillexctl_ui_browser_builtin_http
           COMMAND ${CMAKE_SOURCE_DIR}/tests/browser/run.sh $<TARGET_FILE:quillex-sim>
                   $<TARGET_FILE:quillexctl-builtin-http> ${CMAKE_BINARY_DIR}/browser-artifacts-builtin-http)
  set_tests_properties(quillexctl_ui_browser_builtin_http PROPERTIES TIMEOUT 300 LABELS browser
                                                                     RESOURCE_LOCK browser_tests)
endif()
