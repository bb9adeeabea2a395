# What `cmake --install <build> --prefix P` (and `make install PREFIX=P`) puts under P: both
# programs, their man pages (gzipped, as Debian has them), their bash completion, the README, the
# copyright notice and the changelog. Every file is also recorded in
# <build>/installed-files.txt, relative to the prefix, for `make uninstall` and the install tests.
include(GNUInstallDirs)

set(QVX_COMPLETION_DIR ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)
set(_qvx_installed "")

install(TARGETS unquarvex quarvex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
list(APPEND _qvx_installed ${CMAKE_INSTALL_BINDIR}/unquarvex ${CMAKE_INSTALL_BINDIR}/quarvex)

# The man pages carry the project version; their date is the one written in each source. They
# are installed gzipped (-9, and -n: no name or time stamp, so the same page gives the same bytes).
find_program(GZIP gzip REQUIRED)
set(_qvx_gzipped "")
foreach(page unquarvex quarvex)
  set(_page ${PROJECT_BINARY_DIR}/generated/man/${page}.1)
  configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page}.1.in ${_page} @ONLY)
  add_custom_command(OUTPUT ${_page}.gz COMMAND ${GZIP} -9nkf ${_page} DEPENDS ${_page} VERBATIM)
  list(APPEND _qvx_gzipped ${_page}.gz)
  install(FILES ${_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  list(APPEND _qvx_installed ${CMAKE_INSTALL_MANDIR}/man1/${page}.1.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${_qvx_gzipped})

# bash-completion loads completions/<command> the first time <command> is completed.
install(FILES completion/unquarvex completion/quarvex DESTINATION ${QVX_COMPLETION_DIR})
list(APPEND _qvx_installed ${QVX_COMPLETION_DIR}/unquarvex ${QVX_COMPLETION_DIR}/quarvex)

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
list(APPEND _qvx_installed ${CMAKE_INSTALL_DOCDIR}/README.md)

# The copyright notice, and the changelog gzipped as Debian keeps a native package's.
set(_changelog ${PROJECT_BINARY_DIR}/generated/changelog.gz)
add_custom_command(OUTPUT ${_changelog}
  COMMAND ${GZIP} -9nc ${PROJECT_SOURCE_DIR}/docs/debian/changelog > ${_changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/debian/changelog)
add_custom_target(changelog ALL DEPENDS ${_changelog})
install(FILES ${PROJECT_SOURCE_DIR}/docs/debian/copyright ${_changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})
list(APPEND _qvx_installed ${CMAKE_INSTALL_DOCDIR}/copyright ${CMAKE_INSTALL_DOCDIR}/changelog.gz)

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
