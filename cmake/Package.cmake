# Install rules and the Debian package.
#
# Layout under the prefix P:
#   P/lib/vantora/vtr232          the program, alone in a directory of its own
#   P/bin/vtr232                  a link to it (../lib/vantora/vtr232)
#   P/bin/vtr232-publish          the helper programs of a self-hosted update
#   P/bin/vtr232-update-server    service, prefixed: bin is shared with others
#   P/share/man/man1/vtr232.1.gz
#   P/share/doc/vantora/README.md
# The self-update reads every file of the program's directory and replaces
# the executable there, so the program gets a directory that holds nothing
# else. The package adds P/lib/vantora/installed-by-package, which turns the
# self-update off: the package manager owns those files.

set(VTR_PROGRAM_DIR lib/vantora)

install(TARGETS vtr232 RUNTIME DESTINATION ${VTR_PROGRAM_DIR} COMPONENT program)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/install)
if(NOT IS_SYMLINK ${CMAKE_BINARY_DIR}/install/vtr232)
  file(CREATE_LINK ../${VTR_PROGRAM_DIR}/vtr232 ${CMAKE_BINARY_DIR}/install/vtr232 SYMBOLIC)
endif()
install(FILES ${CMAKE_BINARY_DIR}/install/vtr232 DESTINATION bin COMPONENT program)

# A helper under its installed name, stripped when the install strips
# (cmake --install --strip, the package) as targets are.
function(vtr_install_helper target name)
  install(PROGRAMS $<TARGET_FILE:${target}> DESTINATION bin RENAME ${name} COMPONENT program)
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  execute_process(COMMAND \"${CMAKE_STRIP}\" \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/${name}\")
endif()" COMPONENT program)
endfunction()
vtr_install_helper(publish vtr232-publish)
vtr_install_helper(update_server vtr232-update-server)

# Manual pages are installed compressed, as Debian's policy asks.
set(VTR_MAN_PAGE ${CMAKE_BINARY_DIR}/vtr232.1.gz)
add_custom_command(OUTPUT ${VTR_MAN_PAGE}
                   COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/doc/vtr232.1 > ${VTR_MAN_PAGE}
                   DEPENDS ${CMAKE_SOURCE_DIR}/doc/vtr232.1 VERBATIM)
add_custom_target(vtr_man ALL DEPENDS ${VTR_MAN_PAGE})
set(VTR_INSTALL_TARGETS vtr_man)
install(FILES ${VTR_MAN_PAGE} DESTINATION share/man/man1 COMPONENT program)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION share/doc/vantora COMPONENT program)

# Only in the package: plain cmake --install leaves it out.
install(FILES ${CMAKE_SOURCE_DIR}/cmake/installed-by-package DESTINATION ${VTR_PROGRAM_DIR}
        COMPONENT package_marker EXCLUDE_FROM_ALL)

# cpack and make install take what the build made instead of building every
# target (the tests too) first: ./package builds what the package holds.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantora)
set(CPACK_PACKAGE_VENDOR Vantora)
set(CPACK_PACKAGE_CONTACT "Vantora developers <dev@vantora.net>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "debug a program on a machine across the Internet through a QUIC or TCP tunnel")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Both components in one package: the program and the marker.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL program package_marker)
set(CPACK_DEBIAN_PACKAGE_NAME vantora)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "vtr232 runs as a server on the developer's machine, where the debugger
connects, and as a client on the target machine, where it starts the remote
debugger monitor. It carries the debugger's connections over QUIC or one
TCP connection and deploys files, sending only the blocks that changed.")
# Depends: from the libraries the programs actually link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
