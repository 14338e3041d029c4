# What `cmake --install` puts where, and the Debian package built from it
# (`cpack -G DEB` in the build folder, or `make deb`).
include(GNUInstallDirs)

install(TARGETS Morvik Morvik-inspect RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES man/Morvik.1 man/Morvik-inspect.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES man/morvik-par.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)

# bash-completion loads a completion on demand from the file named after the
# command, so the one script goes in under both names.
set(morvik_completions ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES completion/morvik.bash DESTINATION ${morvik_completions} RENAME Morvik)
install(FILES completion/morvik.bash DESTINATION ${morvik_completions} RENAME Morvik-inspect)

install(FILES
  examples/ARMPARA.PAR examples/DUAL.PAR examples/pid.txt
  examples/boot.bin examples/kernel.bin examples/rootfs.bin examples/kernel-b.bin examples/rootfs-b.bin
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/morvik/examples)
install(FILES docs/morvik-map.schema.json docs/morvik-inspect.schema.json DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/morvik)

# cpack runs the build's "preinstall" target, which would build everything,
# the tests included; `make deb` builds the two programs first instead. (The
# build's own install and package targets no longer build anything either.)
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME morvik)
set(CPACK_PACKAGE_VENDOR "Morvik team")
set(CPACK_PACKAGE_CONTACT "Morvik team <morvik@localhost>")
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
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # morvik_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)   # Depends: from dpkg-shlibdeps (dpkg-dev)
include(CPack)
