#!/usr/bin/env bash
# `orvik serve` checked with the Prometheus project's own clients: promtool's
# queries against the HTTP API, promtool's exposition linter against /metrics,
# and a real Prometheus server scraping /metrics.
# Usage: clients_test.sh ORVIK SNAPSHOTS.jsonl    (exits 77 when the clients are missing)
set -euo pipefail
orvik=$1
examples=$2
for tool in promtool prometheus curl python3; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool not installed (scripts/bootstrap installs it)"; exit 77; }
done
. "$(dirname "$0")/serve_lib.sh"

# Expected answers, worked out from the example file itself. The example hour
# is from 2023, so every question names a time inside it.
read -r first last load volumes rates < <(python3 - "$examples" <<'PY'
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1]) if l.strip()]
t = [l["timestamp_ms"] // 1000 for l in lines]
# sum(rate(windows_net_bytes_recv_sec[1m])) at first + 0, 60, ..., 300 s:
# each interface's change over the 60 s before the step time, per second.
by_time = {l["timestamp_ms"] // 1000: l for l in lines}
rates = []
for step in range(t[0], t[0] + 301, 60):
    total = 0.0
    for nic in range(len(lines[0]["network"])):
        start = max(step - 60, t[0])
        if step > t[0]:
            d = by_time[step]["network"][nic]["bytes_recv_sec"] - by_time[start]["network"][nic]["bytes_recv_sec"]
            total += max(d, 0) / (step - start)
    rates.append(repr(total))
print(t[0], t[-1], "%.14g" % lines[-1]["memory"]["memory_load_percent"],
      "|".join(d["name"] for d in lines[0]["disks"]), ",".join(rates))
PY
)

# The example hour lies in 2023: /metrics shows it only with an age limit
# that reaches back that far.
start_orvik examples --snapshots "$examples" --metrics.max-age 100y

echo "== promtool query instant"
out=$(pt query instant --time="$last" "$url" windows_memory_load_percent) || fail "promtool query instant: $out"
echo "$out"
[ "$out" = "windows_memory_load_percent => $load @[$last]" ] || fail "expected memory load $load at $last"

out=$(pt query instant --time="$(date -u -d "@$last" +%Y-%m-%dT%H:%M:%SZ)" "$url" \
  'count(windows_cpu_time_total{mode!="idle"})') || fail "promtool query instant (RFC 3339 time): $out"
echo "$out"
[ "$(value_of "$out")" = 32 ] || fail "expected 32 non-idle CPU time series"

echo "== promtool query range"
out=$(pt query range --start="$first" --end="$((first + 300))" --step=1m "$url" \
  'sum(rate(windows_net_bytes_recv_sec[1m]))') || fail "promtool query range: $out"
echo "$out"
mapfile -t got < <(sed -n 's/^\([^ ]*\) @\[\([0-9]*\)\]$/\1 \2/p' <<<"$out")
IFS=, read -r -a want <<<"$rates"
[ "${#got[@]}" = 6 ] || fail "expected 6 points, got ${#got[@]}"
for i in "${!want[@]}"; do
  read -r value time <<<"${got[$i]}"
  [ "$time" = $((first + 60 * i)) ] || fail "point $i at $time, expected $((first + 60 * i))"
  close_to "$value" "${want[$i]}" || fail "point $i is $value, expected ${want[$i]}"
done

echo "== promtool query labels"
out=$(pt query labels "$url" volume) || fail "promtool query labels: $out"
echo "$out"
[ "$(paste -sd '|' <<<"$out")" = "$volumes" ] || fail "expected volumes $volumes"
out=$(pt query labels "$url" __name__) || fail "promtool query labels __name__: $out"
grep -qx windows_memory_load_percent <<<"$out" || fail "series names lack windows_memory_load_percent"

echo "== promtool check metrics"
check_metrics "$url/metrics" allow_sec_names
# A store holding only well-named series passes the linter without exception.
examples_url=$url
start_orvik posted --web.enable-write
curl -sf -X POST --data-binary \
  '[{"name":"probe_temperature_celsius","value":21.5,"labels":{"room":"lab \"2\""}},{"name":"probe_up","value":1}]' \
  "$url/api/v1/snapshot" >/dev/null || fail "POST /api/v1/snapshot"
check_metrics "$url/metrics"
echo "both pages accepted"

echo "== prometheus scraping /metrics"
prom_port=$(free_port)
cat >"$work/prometheus.yml" <<YML
global:
  scrape_interval: 1s
  evaluation_interval: 1s
scrape_configs:
  - job_name: orvik
    static_configs:
      - targets: ['${examples_url#http://}']
YML
launch_prometheus prometheus "$prom_port"
deadline=$((SECONDS + 60))
out=""
until [ "$(value_of "$out")" = "$load" ]; do
  [ "$SECONDS" -lt "$deadline" ] || fail "prometheus did not answer windows_memory_load_percent within 60 s (last: $out)"
  sleep 1
  out=$(pt query instant "http://127.0.0.1:$prom_port" 'windows_memory_load_percent{job="orvik"}' 2>&1) || true
done
echo "$out"
out=$(pt query instant "http://127.0.0.1:$prom_port" 'count(windows_cpu_time_total{job="orvik"})') \
  || fail "prometheus count query: $out"
echo "$out"
[ "$(value_of "$out")" = 40 ] || fail "prometheus holds $(value_of "$out") CPU time series, expected 40"
echo "clients_test: all clients satisfied"
