# What `cmake --install <build> --prefix P` (and `make install PREFIX=P`) puts under P: both
# programs, their man pages, their bash completion and the README. Every file is also recorded in
# <build>/installed-files.txt, relative to the prefix, for `make uninstall` and the install tests.
include(GNUInstallDirs)

set(QVX_COMPLETION_DIR ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)
set(_qvx_installed "")

install(TARGETS unquarvex quarvex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
list(APPEND _qvx_installed ${CMAKE_INSTALL_BINDIR}/unquarvex ${CMAKE_INSTALL_BINDIR}/quarvex)

# The man pages carry the project version; their date is the one written in each source.
foreach(page unquarvex quarvex)
  configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page}.1.in
                 ${PROJECT_BINARY_DIR}/generated/man/${page}.1 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/generated/man/${page}.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  list(APPEND _qvx_installed ${CMAKE_INSTALL_MANDIR}/man1/${page}.1)
endforeach()

# bash-completion loads completions/<command> the first time <command> is completed.
install(FILES completion/unquarvex completion/quarvex DESTINATION ${QVX_COMPLETION_DIR})
list(APPEND _qvx_installed ${QVX_COMPLETION_DIR}/unquarvex ${QVX_COMPLETION_DIR}/quarvex)

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
list(APPEND _qvx_installed ${CMAKE_INSTALL_DOCDIR}/README.md)

list(JOIN _qvx_installed "\n" _qvx_installed_text)
# Written only when it changes, like every file a configure run makes.
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/installed-files.txt CONTENT "${_qvx_installed_text}\n")

# Removes what the rules above installed under the prefix (or $DESTDIR/prefix), nothing else:
#   cmake --build <build> --target uninstall       (the configured CMAKE_INSTALL_PREFIX)
#   cmake -DPREFIX=P -P <build>/uninstall.cmake   (another prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/uninstall.cmake.in ${PROJECT_BINARY_DIR}/uninstall.cmake
               @ONLY)
add_custom_target(uninstall
  COMMAND ${CMAKE_COMMAND} -DPREFIX=${CMAKE_INSTALL_PREFIX} -P ${PROJECT_BINARY_DIR}/uninstall.cmake
  VERBATIM)
