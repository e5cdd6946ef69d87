# Installing the Linux tools: `cmake --install build --prefix DIR` puts both
# programs in DIR/bin, the built-in sessions in DIR/share/quillex/sessions
# and the bash completions where bash-completion looks for them. The programs
# carry the built-in sessions inside them (--session, and the demo session
# each stick plays), so they find them wherever they are installed; the
# installed files are those same sessions, to read, copy and change for
# --script. `cpack` in build/ makes a Debian package of the same files.
include(GNUInstallDirs)
install(TARGETS quillex-sim quillexctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${QUILLEX_SESSION_FILES} DESTINATION ${CMAKE_INSTALL_DATADIR}/quillex/sessions)
set(QUILLEX_COMPLETIONS_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES completions/quillex-sim.bash DESTINATION ${QUILLEX_COMPLETIONS_DIR}
        RENAME quillex-sim)
install(FILES completions/quillexctl.bash DESTINATION ${QUILLEX_COMPLETIONS_DIR}
        RENAME quillexctl)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillex-tools)
set(CPACK_PACKAGE_VERSION ${QUILLEX_SIM_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Quillex arcade stick driver in a simulated Windows: quillex-sim and quillexctl")
set(CPACK_PACKAGE_DESCRIPTION
    "quillex-sim runs the Quillex driver unchanged in a user-mode Windows with simulated\n\
arcade sticks and shows what a game sees; quillexctl is the companion application\n\
on the command line, talking to a running quillex-sim --serve.")
set(CPACK_PACKAGE_CONTACT "Quillex engineers <quillex@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The build keeps its debug information; the package does without it.
set(CPACK_STRIP_FILES ON)
# The libraries the programs link (pcap, ncurses, cpp-httplib, the C++
# runtime) become the package's dependencies, as dpkg-shlibdeps reads them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
