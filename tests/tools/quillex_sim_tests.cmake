# quillex-sim's command line: help, version and usage errors.
add_test(NAME quillex_sim_command_line
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/command_line_test.sh $<TARGET_FILE:quillex-sim>)
# quillex-sim with a hand-written .reg file: explained, kept, never damaged.
add_test(NAME quillex_sim_registry_file_kept
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/registry_file_test.sh $<TARGET_FILE:quillex-sim>)
# quillex-sim --pcap, dissected by tshark.
add_test(NAME quillex_sim_usb_capture
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/usb_capture_test.sh $<TARGET_FILE:quillex-sim>)
