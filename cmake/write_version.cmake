# Writes the version text the programs show (--version, the web page, the MQTT
# device description): the project's version and, when built from a git
# checkout, the commit (or COMMIT as given, for a build from an exported tree).
# Run at every build, so that a new commit shows without a new configure; the
# file is rewritten only when its text changed, so nothing relinks for nothing.
#   cmake -DSOURCE_DIR=... -DVERSION=1.0.0 [-DCOMMIT=abc1234] -DOUTPUT=file.cpp -P write_version.cmake
set(text "${VERSION}")
set(commit "${COMMIT}")
# What the programs print and the web page shows: a commit name, nothing to escape.
string(REGEX REPLACE "[^A-Za-z0-9._+-]" "" commit "${commit}")
if(commit STREQUAL "")
  execute_process(COMMAND git -C "${SOURCE_DIR}" rev-parse --short HEAD
    OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  if(failed)
    set(commit "")
  else()
    # Tracked files that differ from the commit: the binary is not that commit.
    execute_process(COMMAND git -C "${SOURCE_DIR}" status --porcelain --untracked-files=no
      OUTPUT_VARIABLE changes OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT changes STREQUAL "")
      string(APPEND commit ", with local changes")
    endif()
  endif()
endif()
if(NOT commit STREQUAL "")
  string(APPEND text " (commit ${commit})")
endif()
set(content "// Written by cmake/write_version.cmake at build time.
#include \"tools/common/version.h\"

namespace version {

const char* Text() { return \"${text}\"; }
const char* Number() { return \"${VERSION}\"; }

}  // namespace version
")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" before)
  if(before STREQUAL content)
    return()
  endif()
endif()
file(WRITE "${OUTPUT}" "${content}")
