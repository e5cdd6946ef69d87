# quillex-sim's command line: help, version and usage errors.
add_test(NAME quillex_sim_command_line
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/command_line_test.sh $<TARGET_FILE:quillex-sim>)
# quillex-sim with a hand-written .reg file: explained, kept, never damaged.
add_test(NAME quillex_sim_registry_file_kept
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/registry_file_test.sh $<TARGET_FILE:quillex-sim>)
# quillex-sim --pcap, dissected by tshark.
add_test(NAME quillex_sim_usb_capture
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/usb_capture_test.sh $<TARGET_FILE:quillex-sim>)
# The unit tests reach quillex-sim's parts through its library.
target_link_libraries(quillex_unit_tests PRIVATE quillex_sim_tool)
# quillex-sim --script: a written session, a mapping change in it, errors.
add_test(NAME quillex_sim_script
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/script_test.sh $<TARGET_FILE:quillex-sim>)
# Application requests in a script, through the control codes.
add_test(NAME quillex_sim_app_requests
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/app_requests_test.sh $<TARGET_FILE:quillex-sim>)
# --sticks N: sticks plugged together, each its own controller and player.
add_test(NAME quillex_sim_sticks
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/sticks_test.sh $<TARGET_FILE:quillex-sim>)
# The committed recordings still match; a changed mapping makes --expect fail.
add_test(NAME quillex_sim_recordings
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/recording_test.sh $<TARGET_FILE:quillex-sim>
                 ${CMAKE_CURRENT_LIST_DIR}/../recordings)
# What quillex-sim prints for a person, and --json for a program.
add_test(NAME quillex_sim_output
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/output_test.sh $<TARGET_FILE:quillex-sim>)
# The live view under tmux: keys in, the screen read back.
add_test(NAME quillex_sim_live_view
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/live_view_test.sh $<TARGET_FILE:quillex-sim>)
set_tests_properties(quillex_sim_live_view PROPERTIES TIMEOUT 300)
# The progress of a long run, on a terminal under tmux.
add_test(NAME quillex_sim_progress
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/progress_test.sh $<TARGET_FILE:quillex-sim>)
set_tests_properties(quillex_sim_progress PROPERTIES TIMEOUT 120)
# Ctrl-C, SIGTERM and SIGKILL: every mode ends cleanly, nothing is lost.
add_test(NAME quillex_sim_signals
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/signal_test.sh $<TARGET_FILE:quillex-sim>
                 $<TARGET_FILE:quillexctl>)
set_tests_properties(quillex_sim_signals PROPERTIES TIMEOUT 120)
# The README's and docs' console blocks print what the pages show.
add_test(NAME quillex_docs
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/docs_test.sh $<TARGET_FILE_DIR:quillex-sim>
                 ${CMAKE_SOURCE_DIR})
set_tests_properties(quillex_docs PROPERTIES TIMEOUT 120)
# cmake --install and the Debian package: both tools, their sessions and
# completions, run from where they were installed. In the plain build only:
# a package of sanitized programs is no package anyone installs.
if(NOT QUILLEX_SANITIZE)
  add_test(NAME quillex_install COMMAND ${CMAKE_CURRENT_LIST_DIR}/install_test.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(quillex_install PROPERTIES TIMEOUT 300)
endif()
