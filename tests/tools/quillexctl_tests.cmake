# quillexctl against a running `quillex-sim --serve`: state, items, the
# mapping set, read back, exported, imported and plotted, bad input refused.
add_test(NAME quillexctl_end_to_end
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/quillexctl_test.sh $<TARGET_FILE:quillex-sim>
                 $<TARGET_FILE:quillexctl>)
set_tests_properties(quillexctl_end_to_end PROPERTIES TIMEOUT 120)
