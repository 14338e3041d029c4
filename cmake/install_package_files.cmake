# Installs what cmake --install (and so cpack) makes from the tree as it
# installs, so that it always matches the tree:
#   - each man page compressed with gzip -9n: no name and no time in the
#     header, so a page always compresses to the same bytes;
#   - the Debian changelog, written from packaging/changelog.in and compressed
#     the same way, dated by SOURCE_DATE_EPOCH, else by the last commit of a
#     git checkout, else by a fixed time;
#   - the copyright file and the lintian overrides, as they are;
# and, in a stripped install (cmake --install --strip, the package), removes
# the tools' .comment section: the compiler's version strings, which nothing
# reads.
#
# cmake/install.cmake runs it through install(CODE) after it sets
#   MORVIK_SOURCE_DIR   the source tree
#   MORVIK_WORK_DIR     a folder of the build for the made files
#   MORVIK_VERSION      the project version; MORVIK_DEB_VERSION the package's
#   MORVIK_MAINTAINER   "Name <address>"
#   MORVIK_BINDIR, MORVIK_MANDIR, MORVIK_DOCDIR, MORVIK_DATADIR  under the prefix
#   MORVIK_STRIP        the strip program
set(prefix "${CMAKE_INSTALL_PREFIX}")

if(CMAKE_INSTALL_DO_STRIP AND MORVIK_STRIP)
  foreach(tool Morvik Morvik-inspect)
    execute_process(COMMAND "${MORVIK_STRIP}" --remove-section=.comment "$ENV{DESTDIR}${prefix}/${MORVIK_BINDIR}/${tool}"
                    COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
endif()

file(MAKE_DIRECTORY "${MORVIK_WORK_DIR}")

# gzip -9n of SOURCE into the work folder; its path in the variable OUT.
function(morvik_gzip source name out)
  set(target "${MORVIK_WORK_DIR}/${name}.gz")
  execute_process(COMMAND gzip -9n -c "${source}" OUTPUT_FILE "${target}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip -9n ${source}: ${status}")
  endif()
  set(${out} "${target}" PARENT_SCOPE)
endfunction()

foreach(page Morvik.1 Morvik-inspect.1 morvik-par.5)
  morvik_gzip("${MORVIK_SOURCE_DIR}/man/${page}" ${page} compressed)
  string(REGEX REPLACE ".*\\." "" section "${page}")
  file(INSTALL DESTINATION "${prefix}/${MORVIK_MANDIR}/man${section}" TYPE FILE FILES "${compressed}")
endforeach()

# The changelog's date, in the form of a Debian changelog. string(TIMESTAMP)
# reads SOURCE_DATE_EPOCH, which is set for that alone when it was not.
set(date_epoch "$ENV{SOURCE_DATE_EPOCH}")
if(date_epoch STREQUAL "" AND EXISTS "${MORVIK_SOURCE_DIR}/.git")
  execute_process(COMMAND git -C "${MORVIK_SOURCE_DIR}" log -1 --format=%ct OUTPUT_VARIABLE date_epoch
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT date_epoch MATCHES "^[0-9]+$")
  set(date_epoch 1767225600)  # 2026-01-01 00:00 UTC, as the Makefile's fallback
endif()
set(saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} "${date_epoch}")
string(TIMESTAMP MORVIK_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${saved_epoch}")

configure_file("${MORVIK_SOURCE_DIR}/packaging/changelog.in" "${MORVIK_WORK_DIR}/changelog.Debian" @ONLY)
morvik_gzip("${MORVIK_WORK_DIR}/changelog.Debian" changelog.Debian changelog)
file(INSTALL DESTINATION "${prefix}/${MORVIK_DOCDIR}" TYPE FILE FILES "${changelog}"
     "${MORVIK_SOURCE_DIR}/packaging/copyright")
file(INSTALL DESTINATION "${prefix}/${MORVIK_DATADIR}/lintian/overrides" TYPE FILE
     FILES "${MORVIK_SOURCE_DIR}/packaging/lintian-overrides" RENAME morvik)
