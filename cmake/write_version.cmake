# Writes the version header of Morvik-inspect: the project version and, when
# the sources are a git checkout, the commit they were built from. It runs at
# build time (cmake -P), so a new commit shows without a new configure, and it
# rewrites the header only when its text changes, so nothing recompiles
# otherwise.
#
#   cmake -DVERSION=0.5.0 -DSOURCE_DIR=<repository> -DOUTPUT=<header> -P write_version.cmake
#
# Only a .git of the repository itself counts: sources unpacked from an
# archive inside some other checkout get no commit, rather than a wrong one.
set(commit "")
if(EXISTS "${SOURCE_DIR}/.git")
  find_program(GIT_PROGRAM git)
  if(GIT_PROGRAM)
    # --exclude='*' ignores tags: always the abbreviated commit, "-dirty"
    # when tracked files differ from it.
    execute_process(
      COMMAND "${GIT_PROGRAM}" -C "${SOURCE_DIR}" describe --always --dirty --exclude=*
      OUTPUT_VARIABLE described
      OUTPUT_STRIP_TRAILING_WHITESPACE
      ERROR_QUIET
      RESULT_VARIABLE described_status)
    if(described_status EQUAL 0)
      set(commit "${described}")
    endif()
  endif()
endif()

set(text "// Written at build time by cmake/write_version.cmake; do not edit.
#pragma once

namespace morvik {

inline constexpr const char* kProjectVersion = \"${VERSION}\";
// The commit of the sources, empty when they are no git checkout.
inline constexpr const char* kSourceCommit = \"${commit}\";

}  // namespace morvik
")

set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
