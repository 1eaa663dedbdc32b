#!/usr/bin/env bash
# `orvik serve --collect` on this machine: live snapshots reach the store and
# are answered through the HTTP API and /metrics, checked with promtool.
# Usage: collect_test.sh ORVIK    (exits 77 when promtool is missing)
set -euo pipefail
orvik=$1
[ "$(uname -s)" = Linux ] || { echo "skipped: the collector reads Linux's /proc"; exit 77; }
for tool in promtool curl python3; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool not installed (scripts/bootstrap installs it)"; exit 77; }
done
. "$(dirname "$0")/serve_lib.sh"

start_orvik collect --collect 1s

deadline=$((SECONDS + 30))
until out=$(pt query instant "$url" windows_system_processes 2>&1) && [ -n "$(value_of "$out")" ]; do
  [ "$SECONDS" -lt "$deadline" ] || fail "no collected snapshot within 30 s (last: $out)"
  sleep 0.5
done
# Rates need two collections: timestamp() answers the time of the newest
# sample, which changes once a second collection is stored, and the rates
# are asked at that time.
core0='timestamp(windows_cpu_time_total{core="0",mode="idle"})'
first=$(value_of "$(pt query instant "$url" "$core0")")
until out=$(pt query instant "$url" "$core0" 2>&1) && at=$(value_of "$out") && [ -n "$at" ] && [ "$at" != "$first" ]; do
  [ "$SECONDS" -lt "$deadline" ] || fail "no second collection within 30 s (last: $out)"
  sleep 0.5
done

# Every core spends one second per second in some mode, so the CPU time
# rates of all modes add up to the number of cores.
cores=$(grep -c '^cpu[0-9]' /proc/stat)
out=$(pt query instant --time="$at" "$url" 'sum(rate(windows_cpu_time_total[3s]))') || fail "promtool query instant: $out"
echo "$out (cores: $cores)"
python3 -c 'import sys; v, n = float(sys.argv[1]), int(sys.argv[2]); sys.exit(0 if 0.8 * n <= v <= 1.2 * n else 1)' \
  "$(value_of "$out")" "$cores" || fail "CPU time rates add up to $(value_of "$out"), not about $cores"

out=$(pt query instant "$url" windows_system_processes) || fail "promtool query instant: $out"
echo "$out"
python3 -c 'import sys; sys.exit(0 if float(sys.argv[1]) > 0 else 1)' "$(value_of "$out")" \
  || fail "no process count"

out=$(pt query labels "$url" volume) || fail "promtool query labels: $out"
echo "$out"
grep -qx / <<<"$out" || fail "the root volume is missing"

check_metrics "$url/metrics" allow_sec_names
echo "collect_test: live data served"
