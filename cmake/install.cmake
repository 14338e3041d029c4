# What `cmake --install` puts where, and the Debian package built from it
# (`cpack -G DEB` in the build folder, or `make deb`).
include(GNUInstallDirs)

install(TARGETS Morvik Morvik-inspect RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# bash-completion loads a completion on demand from the file named after the
# command, so the one script goes in under both names.
set(morvik_completions ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES completion/morvik.bash DESTINATION ${morvik_completions} RENAME Morvik)
install(FILES completion/morvik.bash DESTINATION ${morvik_completions} RENAME Morvik-inspect)

install(FILES
  examples/ARMPARA.PAR examples/DUAL.PAR examples/pid.txt
  examples/boot.bin examples/kernel.bin examples/rootfs.bin examples/kernel-b.bin examples/rootfs-b.bin
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/morvik/examples)
install(FILES docs/morvik-map.schema.json docs/morvik-inspect.schema.json docs/morvik-inspect-diff.schema.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/morvik)

# The package's maintainer, and the signature of its changelog: the team at
# an address of example.org, a domain kept for examples, as the project has
# no mail address of its own.
set(CPACK_PACKAGE_CONTACT "Morvik team <morvik@example.org>")
# The package's version is the project's with a package revision: the
# package is Debian's way of shipping the project, so its changelog is
# changelog.Debian.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)

# The man pages (gzip -9n), the copyright file, the Debian changelog and the
# lintian overrides in share/, and the .comment sections stripped: made at
# install time by cmake/install_package_files.cmake.
install(CODE "
  set(MORVIK_SOURCE_DIR [[${PROJECT_SOURCE_DIR}]])
  set(MORVIK_WORK_DIR [[${PROJECT_BINARY_DIR}/packaging]])
  set(MORVIK_VERSION [[${PROJECT_VERSION}]])
  set(MORVIK_DEB_VERSION [[${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}]])
  set(MORVIK_MAINTAINER [[${CPACK_PACKAGE_CONTACT}]])
  set(MORVIK_BINDIR [[${CMAKE_INSTALL_BINDIR}]])
  set(MORVIK_MANDIR [[${CMAKE_INSTALL_MANDIR}]])
  set(MORVIK_DOCDIR [[${CMAKE_INSTALL_DATADIR}/doc/morvik]])
  set(MORVIK_DATADIR [[${CMAKE_INSTALL_DATADIR}]])
  set(MORVIK_STRIP [[${CMAKE_STRIP}]])
  include([[${PROJECT_SOURCE_DIR}/cmake/install_package_files.cmake]])
")

# cpack runs the build's "preinstall" target, which would build everything,
# the tests included; `make deb` builds the two programs first instead. (The
# build's own install and package targets no longer build anything either.)
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME morvik)
set(CPACK_PACKAGE_VENDOR "Morvik team")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bind a bootloader and firmware images into one flat image")
set(CPACK_PACKAGE_DESCRIPTION [[
Morvik binds a bootloader and firmware images into one flat output image
for an embedded board, as a small text PAR file describes: each image at
its offset, a firmware header with CRC-32s in front of each kernel, and
the product identification data. Morvik-inspect reads a bound image back
on its own, verifies its headers, checksums and PID records, and maps its
layout.]])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # morvik_<version>-<revision>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)   # Depends: from dpkg-shlibdeps (dpkg-dev)
include(CPack)
