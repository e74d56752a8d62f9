#!/usr/bin/env bash
# A fleet publishing to one broker: RUNNERS battery32-run processes, each with
# DEVICES simulated devices polled every second, publish to one local mosquitto
# for SECONDS; a QoS 1 subscriber counts what arrives. Prints one line:
# messages per second delivered, the broker's acknowledgement round trip seen
# by the runners, and whether anything was lost.
#
# Usage: scripts/mqtt-fleet-bench.sh [BUILD_DIR]   (default build-bench)
# Environment: FLEET_RUNNERS (20), FLEET_DEVICES (16), FLEET_SECONDS (30)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
runners=${FLEET_RUNNERS:-20}
devices=${FLEET_DEVICES:-16}
seconds=${FLEET_SECONDS:-30}
run="$build/tools/battery32-run"
[[ -x $run ]] || { echo "fleet: $run not built" >&2; exit 1; }
command -v mosquitto_sub >/dev/null || { echo "fleet: no mosquitto_sub (mosquitto-clients)" >&2; exit 1; }

scratch=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
{
  echo "listener $port 127.0.0.1"
  echo "allow_anonymous true"
  echo "max_queued_messages 1000000"
  [[ $(id -u) -eq 0 ]] && echo "user root"
} > "$scratch/broker.conf"
/usr/sbin/mosquitto -c "$scratch/broker.conf" > "$scratch/broker.log" 2>&1 &
pids+=($!)
sleep 0.5

# Four devices per line, as on a shared bus.
{
  echo '{"devices": ['
  for ((d = 1; d <= devices; d++)); do
    sep=$([[ $d -lt $devices ]] && echo , || true)
    echo "  {\"data_id\": $d, \"address\": $(( (d - 1) % 4 + 1 )), \"port\": \"/dev/fleet$(( (d - 1) / 4 ))\"}$sep"
  done
  echo ']}'
} > "$scratch/site.json"

mosquitto_sub -h 127.0.0.1 -p "$port" -q 1 -i fleet-count -t 'fleet/+/+/state' -F '%t' \
  > "$scratch/received" 2>/dev/null &
pids+=($!)
sleep 0.3

runner_pids=()
for ((r = 1; r <= runners; r++)); do
  "$run" --simulate "$scratch/site.json" --quiet-device --time-limit "$seconds" \
    --data "$scratch/data$r" --mqtt "mqtt://127.0.0.1:$port" --mqtt-prefix "fleet/r$r" \
    > "$scratch/runner$r.log" 2>&1 &
  runner_pids+=($!)
done
for pid in "${runner_pids[@]}"; do wait "$pid" || true; done
sleep 1

completed=0 acked=0 undelivered=0 dropped=0 rtt_sum=0 rtt_max=0
for ((r = 1; r <= runners; r++)); do
  log="$scratch/runner$r.log"
  rounds=$(sed -n 's/.*stopped; //p' "$log" | grep -o '[0-9]* rounds' | awk '{s += $1} END {print s + 0}')
  completed=$((completed + rounds))
  line=$(grep 'rounds acknowledged by the broker' "$log" || true)
  [[ -n $line ]] || { echo "fleet: runner $r gave no summary:" >&2; tail -3 "$log" >&2; exit 1; }
  acked=$((acked + $(sed 's/.*mqtt: \([0-9]*\) rounds acknowledged.*/\1/' <<<"$line")))
  undelivered=$((undelivered + $(sed 's/.*, \([0-9]*\) undelivered.*/\1/' <<<"$line")))
  dropped=$((dropped + $(sed 's/.*, \([0-9]*\) dropped.*/\1/' <<<"$line")))
  mean=$(sed -n 's/.*round trip \([0-9.]*\) ms on average, \([0-9.]*\) ms at most.*/\1 \2/p' <<<"$line")
  read -r m x <<<"$mean"
  rtt_sum=$(awk -v a="$rtt_sum" -v b="$m" 'BEGIN {print a + b}')
  rtt_max=$(awk -v a="$rtt_max" -v b="$x" 'BEGIN {print (b > a) ? b : a}')
done
received=$(sort -u "$scratch/received" | wc -l)  # topics, one per device
messages=$(wc -l < "$scratch/received")
lost=$((completed - messages))
printf 'fleet: %d runners x %d devices, %d s: %d rounds completed, %d delivered (%.1f msg/s, %d topics),\n' \
  "$runners" "$devices" "$seconds" "$completed" "$messages" \
  "$(awk -v m="$messages" -v s="$seconds" 'BEGIN {print m / s}')" "$received"
printf '       broker round trip %.2f ms mean of runner means, %.2f ms worst; acknowledged %d, lost %d, dropped %d, undelivered %d\n' \
  "$(awk -v a="$rtt_sum" -v n="$runners" 'BEGIN {print a / n}')" "$rtt_max" "$acked" "$lost" "$dropped" "$undelivered"
