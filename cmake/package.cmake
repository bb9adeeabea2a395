# `make deb` (cpack in the release tree): a Debian package of what cmake/install.cmake installs,
# under /usr. dpkg-shlibdeps works out the run-time dependencies from the binaries themselves
# (libc6, libstdc++6, libgcc-s1, and whatever else they come to link).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME unquarvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "unquarvex developers")
set(CPACK_PACKAGE_CONTACT "unquarvex developers <unquarvex@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "restore and write block-compressed .qvx files")
# Lines of at most 80 characters, as Debian's tools show them.
set(CPACK_PACKAGE_DESCRIPTION
    "unquarvex restores files from the block-compressed quarvex format (.qvx),
decoding the blocks of each file on every processor. quarvex writes such
files, lists them and tests them.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The completion is loaded by bash-completion when it is there; nothing needs it otherwise.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)

include(CPack)
