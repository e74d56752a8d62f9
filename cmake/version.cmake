# Run at every build (cmake -P): writes OUT, a header that defines
# BATTERY32_VERSION as `git describe` gives it ("unknown" outside a git
# checkout), and rewrites it only when that text changes, so that nothing is
# rebuilt for a version that stayed the same.
execute_process(
  COMMAND git -C "${SOURCE_DIR}" describe --always --dirty
  OUTPUT_VARIABLE version RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(failed OR version STREQUAL "")
  set(version "unknown")
endif()
file(WRITE "${OUT}.new" "#pragma once\n#define BATTERY32_VERSION \"${version}\"\n")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
