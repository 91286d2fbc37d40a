# Script mode (cmake -P), run at every build: writes OUTPUT, a header with the program's
# version (VERSION) and the git commit that SOURCE_DIR is checked out at, or "unknown" when
# SOURCE_DIR is not the top of a git checkout (a source archive unpacked inside some other
# repository must not claim that repository's commit). The file is only rewritten when its
# text changes, so an unchanged revision recompiles nothing.
cmake_minimum_required(VERSION 3.25)

set(revision "unknown")
find_program(GIT_EXECUTABLE git)
if(GIT_EXECUTABLE)
  execute_process(
    COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" rev-parse --show-toplevel
    OUTPUT_VARIABLE top RESULT_VARIABLE status
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(status EQUAL 0)
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${SOURCE_DIR}" source)
    if(top STREQUAL source)
      execute_process(
        COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" rev-parse HEAD
        OUTPUT_VARIABLE commit RESULT_VARIABLE status
        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(status EQUAL 0 AND commit MATCHES "^[0-9a-f]+$")
        set(revision "${commit}")
      endif()
    endif()
  endif()
endif()
file(CONFIGURE OUTPUT "${OUTPUT}" @ONLY CONTENT
"// Generated at build time from the project version and the source revision; do not edit.
#pragma once

namespace Zelcor::build {

inline constexpr const char* kVersion = \"@VERSION@\";
inline constexpr const char* kRevision = \"@revision@\";

}  // namespace Zelcor::build
")
