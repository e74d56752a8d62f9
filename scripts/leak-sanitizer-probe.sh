# shellcheck shell=bash
# Sourced by scripts/sanitize.sh and scripts/fuzz.sh.
#
# leak_sanitizer_works COMPILER DIR
#   LeakSanitizer stops the process's threads with ptrace, which some sandboxes
#   forbid; there it fails every sanitized program at exit. Builds a program
#   that leaks on purpose with COMPILER in DIR and succeeds when LeakSanitizer
#   reports the leak. A compiler that cannot build it counts as working: the
#   sanitized build that needs it fails on its own.
leak_sanitizer_works() {
  local compiler=$1 dir=$2 output
  mkdir -p "$dir"
  printf '#include <cstdlib>\nvoid* volatile kept;\nint main() { kept = std::malloc(7); kept = nullptr; return 0; }\n' \
    >"$dir/leak.cpp"
  "$compiler" -fsanitize=address "$dir/leak.cpp" -o "$dir/leak" 2>/dev/null || return 0
  output=$(ASAN_OPTIONS=detect_leaks=1 "$dir/leak" 2>&1 || true)
  [[ "$output" == *"detected memory leaks"* ]]
}
