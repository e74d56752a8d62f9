#!/usr/bin/env bash
# Builds the benchmarks (Release, in their own build directory) and prints every
# figure: round time, lookup times against the std::regex yardstick, heap
# allocations per round and per lookup, the memory of one configured device,
# the stripped size of the plug-in (native, and 32-bit MIPS when build-mipsel
# holds one), where valgrind is installed, instruction counts, the line
# benchmark: modules sharing one simulated 19200-baud line, polled by the runner
# (about three and a half minutes at real-time priority, then four and a half
# at normal priority with an echoing line, busy neighbours and the quiet gap
# alone for comparison; its targets are checked), a fleet of runners
# publishing to one MQTT broker (scripts/mqtt-fleet-bench.sh), the cost of
# the host's alarm evaluation against the runner's own CPU per round, and
# /metrics scraped every second while 16 devices are polled, with the energy
# counters against the exact integral of what the modules report.
#
# Usage: scripts/bench.sh [benchmark options...]
#   e.g. scripts/bench.sh --benchmark_filter=round
# Environment:
#   BENCH_BUILD_DIR    build directory (default build-bench)
#   BENCH_REPETITIONS  repetitions of each benchmark; the summary uses the median (default 5)
#   BENCH_CALLGRIND    0 to skip the instruction counts
#   BENCH_WEB_SECONDS  length of each web-view run (default 20; four runs per load, two loads)
#   BENCH_FLEET        0 to skip the MQTT fleet (FLEET_* settings: see that script)
#   BENCH_LINE         0 to skip the line benchmark
#   BENCH_ALARMS       0 to skip the alarm evaluation benchmark
#   BENCH_METRICS      0 to skip the metrics benchmark (BENCH_METRICS_SECONDS per run, default 30)
set -euo pipefail
line_status=0
cd "$(dirname "$0")/.."

build=${BENCH_BUILD_DIR:-build-bench}
repetitions=${BENCH_REPETITIONS:-5}
jobs=$(nproc 2>/dev/null || echo 2)

scripts/install-deps.sh native bench

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBATTERY32_BENCH=ON -DBATTERY32_TESTS=OFF \
  >/dev/null
cmake --build "$build" --target battery32_bench battery32_line_bench battery32_alarm_bench \
  battery32 battery32-run \
  -j"$jobs"

echo
echo "== machine =="
lscpu | sed -n 's/^Model name:[[:space:]]*/cpu: /p'
echo "cores: $(nproc), compiler: $(c++ --version | head -1)"
echo "commit: $(git rev-parse --short HEAD 2>/dev/null || echo none)$(git diff --quiet HEAD 2>/dev/null || echo ' (work tree differs)')"
echo

"$build/battery32_bench" \
  --benchmark_repetitions="$repetitions" \
  --benchmark_display_aggregates_only=true \
  --benchmark_out="$build/bench.json" --benchmark_out_format=json \
  "$@"

echo
echo "== plug-in size (stripped, strip --strip-all) =="
stripped_size() {  # strip-tool file
  local tmp
  tmp=$(mktemp)
  "$1" --strip-all -o "$tmp" "$2"
  stat -c %s "$tmp"
  rm -f "$tmp"
}
report_so() {  # label strip-tool size-tool file
  if [[ -f $4 ]]; then
    local bytes
    bytes=$(stripped_size "$2" "$4")
    printf '%-40s %7d bytes (%s KiB)  [%s]\n' "$1" "$bytes" \
      "$(awk -v b="$bytes" 'BEGIN {printf "%.1f", b / 1024}')" \
      "$("$3" "$4" | awk 'NR==2 {printf "text %d, data %d, bss %d", $1, $2, $3}')"
  else
    printf '%-40s not built\n' "$1"
  fi
}
report_so "build/libbattery32.so (native)" strip size build/libbattery32.so
report_so "$build/libbattery32.so (Release)" strip size "$build/libbattery32.so"

if [[ -d build-mipsel ]]; then
  command -v mipsel-linux-gnu-strip >/dev/null || scripts/install-deps.sh cross
fi
if [[ -f build-mipsel/libbattery32.so ]]; then
  report_so "build-mipsel/libbattery32.so" mipsel-linux-gnu-strip mipsel-linux-gnu-size \
    build-mipsel/libbattery32.so
  bytes=$(stripped_size mipsel-linux-gnu-strip build-mipsel/libbattery32.so)
  if (( bytes <= 98304 )); then verdict=met; else verdict="NOT met"; fi
  echo "  [target: stripped mipsel plug-in <= 98304 bytes: $verdict]"
else
  printf '%-40s not built  [target <= 98304 bytes: not measured]\n' build-mipsel/libbattery32.so
fi

echo
echo "== one Battery32 on 32-bit MIPS =="
if command -v mipsel-linux-gnu-g++ >/dev/null; then
  probe=$(mktemp -d)
  mipsel-linux-gnu-g++ -std=c++17 -O2 -I. -idirafter /usr/include -idirafter /usr/include/jsoncpp \
    -DBOOST_DATE_TIME_NO_LIB -DBOOST_ALL_NO_LIB -c tools/bench/sizeof_probe.cpp -o "$probe/probe.o"
  mipsel-linux-gnu-objcopy -O binary --only-section=.battery32_sizes "$probe/probe.o" "$probe/sizes"
  read -r device record string pointer < <(od -An -tu4 "$probe/sizes")
  rm -rf "$probe"
  echo "sizeof(Battery32) $device bytes (record $record, std::string $string, pointer $pointer)"
  echo "(the heap it owns is measured on this host, above: string buffers are requested at"
  echo " the same size there, tree nodes smaller, so the 32-bit heap is at most the"
  echo " 32-bit malloc-chunk figure)"
else
  echo "skipped: no mipsel-linux-gnu-g++ (scripts/install-deps.sh cross)"
fi

echo
echo "== web view: polling with and without the web view under load (event streams; history downloads) =="
python3 tools/bench/web_view_bench.py "$build/tools/battery32-run" "$build/libbattery32.so" \
  "${BENCH_WEB_SECONDS:-20}" 2

if [[ ${BENCH_CALLGRIND:-1} != 0 ]] && command -v valgrind >/dev/null; then
  echo
  echo "== instructions (valgrind --tool=callgrind, this host) =="
  instructions() {  # what count
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$build/battery32_bench" \
      --fixed="$1:$2" 2>&1 >/dev/null | sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
  }
  for what in round ours regex; do
    low=$(instructions "$what" 1000)
    high=$(instructions "$what" 2000)
    case $what in
      round) label="per complete round (output excluded)" ;;
      ours)  label="per Get_Value(\"battery_17_value\")" ;;
      regex) label="per regex-baseline lookup, same name" ;;
    esac
    printf '%-40s %8d\n' "$label" $(( (high - low) / 1000 ))
  done
fi

if [[ ${BENCH_LINE:-1} != 0 ]]; then
  echo
  echo "== one shared line (battery32_line_bench; runner notes in $build/line_bench.log) =="
  echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
  # The line benchmark measures pacing, not CPU: at a real-time priority (when
  # allowed) compilers sharing the machine cannot delay its wake-ups. It sleeps
  # nearly all the time, so it takes little from them.
  priority=()
  if chrt -f 10 true 2>/dev/null; then
    priority=(chrt -f 10)
    echo "priority: real-time (chrt -f 10)"
  else
    echo "priority: normal (chrt -f not allowed here); on a loaded machine figures drop"
  fi
  "${priority[@]}" "$build/battery32_line_bench" --log "$build/line_bench.log" || line_status=$?
  echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  echo "== one shared line at normal priority: echo, busy neighbours, the quiet gap alone =="
  echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
  # A gateway on a small controller runs beside other work: no real time here
  # (the benchmark leaves it itself if it was started with it).
  "$build/battery32_line_bench" --normal-priority --log "$build/line_bench_normal.log" ||
    line_status=$?
  echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
fi

alarm_status=0
if [[ ${BENCH_ALARMS:-1} != 0 ]]; then
  echo
  echo "== alarm evaluation: 16 devices x (4 rules + 2 on every cell) against the runner's round =="
  "$build/battery32_alarm_bench" --seconds 10 --log "$build/alarm_bench.log" || alarm_status=$?
fi

metrics_status=0
if [[ ${BENCH_METRICS:-1} != 0 ]]; then
  echo
  echo "== /metrics scraped every second, 16 devices back to back; energy against the exact integral =="
  echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
  python3 tools/bench/metrics_bench.py "$build/tools/battery32-run" "$build/libbattery32.so" \
    "${BENCH_METRICS_SECONDS:-30}" 2 || metrics_status=$?
  echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
fi

if [[ ${BENCH_FLEET:-1} != 0 ]]; then
  echo
  echo "== MQTT fleet: runners publishing to one local broker =="
  scripts/mqtt-fleet-bench.sh "$build"
fi
if (( line_status != 0 )); then exit "$line_status"; fi
if (( metrics_status != 0 )); then exit "$metrics_status"; fi
exit "$alarm_status"
