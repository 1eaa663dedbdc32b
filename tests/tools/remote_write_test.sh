#!/usr/bin/env bash
# Remote write both ways against real servers, on loopback: out from `orvik
# serve --collect` into Prometheus and, when it is installed, VictoriaMetrics
# (with an outage of the receivers, and a sender from its log restarted),
# into receiver stubs that fail in each way the protocol names, and in from a
# Prometheus that scrapes itself; then hostile bodies to orvik's receiver and
# the age limit of /metrics.
# Usage: remote_write_test.sh ORVIK    (exits 77 when Prometheus is missing)
set -euo pipefail
orvik=$1
[ "$(uname -s)" = Linux ] || { echo "skipped: the collector reads Linux's /proc"; exit 77; }
for tool in prometheus promtool curl python3; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool not installed (scripts/bootstrap installs it)"; exit 77; }
done
. "$(dirname "$0")/serve_lib.sh"
peer="python3 $(dirname "$0")/remote_write_peer.py"
# Write endpoints are off unless asked for, where the server has the switch.
write_flag=()
"$orvik" serve --help | grep -q -- --web.enable-write && write_flag=(--web.enable-write)

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local limit=$1 deadline; shift
  deadline=$((SECONDS + limit))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.5
  done
}

# A value on orvik's /metrics page at $1.
metric() { curl -sf "$1/metrics" | awk -v name="$2" '$1 == name { print $2 }'; }

# Whether the sender at $1 has sent everything stored before time $2: its
# queue is empty and a batch was accepted a second after that time.
caught_up() {
  local queued last
  queued=$(metric "$1" orvik_remote_write_queue_samples)
  last=$(metric "$1" orvik_remote_write_last_send_timestamp_seconds)
  [ "$queued" = 0 ] && python3 -c 'import sys; sys.exit(float(sys.argv[1]) < float(sys.argv[2]) + 1)' "$last" "$2"
}
now() { python3 -c 'import time; print(time.time() - 1.5)'; }

# Readiness is asked with these curl arguments and scheme.
ready_curl=() ready_scheme=http
start_prometheus() {  # name port [flags...]
  local name=$1 port=$2
  launch_prometheus "$@"
  wait_for 30 curl -sf "${ready_curl[@]}" "$ready_scheme://127.0.0.1:$port/-/ready" -o /dev/null \
    || fail "prometheus $name not ready in 30 s"
}

# The real receivers the sender is checked against, each the same way.
receivers=(prometheus)
if command -v victoria-metrics >/dev/null; then
  receivers+=(victoria)
else
  echo "skipped against VictoriaMetrics: victoria-metrics not installed (scripts/bootstrap installs it)"
fi
declare -A receiver_port receiver_url receiver_pid sender durable durable_pid
printf 'global:\n  scrape_interval: 1m\n' >"$work/receiver.yml"
start_receiver() {  # kind
  local kind=$1 port=${receiver_port[$1]}
  case $kind in
    prometheus)
      start_prometheus receiver "$port" --web.enable-remote-write-receiver
      receiver_pid[$kind]=$prom_pid ;;
    victoria)
      # Without -dedup.minScrapeInterval it holds a sample sent twice as two
      # samples, where Prometheus keeps one: only here does the restart
      # below show a sample sent again.
      victoria-metrics -httpListenAddr="127.0.0.1:$port" -storageDataPath="$work/victoria-data" -loggerLevel=WARN \
        >>"$work/victoria.log" 2>&1 &
      started+=($!)
      receiver_pid[$kind]=$!
      wait_for 30 curl -sf "${receiver_url[$kind]}/health" -o /dev/null || fail "victoria-metrics not ready in 30 s" ;;
  esac
}
to() {  # kind name [flags...]: an orvik sending to that receiver
  local kind=$1 name=$2; shift 2
  start_orvik "$name" "${write_flag[@]}" --remote-write.url "${receiver_url[$kind]}/api/v1/write" "$@"
}
# POSTs series $2 with labels that the text formats escape, value $3, at
# time $4 (ms; now when empty) to the orvik at $1.
post_escaped() {
  local at=${4:+,\"timestamp_ms\":$4}
  curl -sf -X POST "$1/api/v1/snapshot" --data-binary \
    "[{\"name\":\"$2\",\"labels\":{\"path\":\"C:\\\\Windows\\\\\",\"q\":\"a\\\"b\",\"t\":\"x\\ty\\nz\",\"u\":\"é☃\"},\"value\":$3$at}]" \
    >/dev/null || fail "POST /api/v1/snapshot to $1"
}
# Waits up to 30 s for the orvik at $2 and receiver $1 to hold the same
# samples, up to now, of the series selected by the arguments after $3;
# fails saying $3 if they never do.
agree() {
  local kind=$1 from=$2 what=$3 at
  shift 3
  at=$(now)
  if wait_for 30 compare_quietly "$from" "$kind" "${receiver_url[$kind]}" "$at" "$@"; then
    cat "$work/compare.out"
  else
    cat "$work/compare.out" >&2
    fail "$kind: $what"
  fi
}
compare_quietly() { $peer compare "$@" >"$work/compare.out" 2>&1; }
# The compared series: collected ones, and one posted.
chosen=(windows_system_processes 'windows_cpu_time_total{core="0",mode="idle"}' windows_memory_load_percent rw_escape)

echo "== [${SECONDS}s] out: orvik --collect into ${receivers[*]}"
for kind in "${receivers[@]}"; do
  receiver_port[$kind]=$(free_port)
  receiver_url[$kind]=http://127.0.0.1:${receiver_port[$kind]}
  start_receiver "$kind"
  to "$kind" "to-$kind" --collect 1s
  sender[$kind]=$url
  post_escaped "$url" rw_escape 1.5
done
# A few samples of each series first.
begun=$(python3 -c 'import time; print(time.time() + 3)')
for kind in "${receivers[@]}"; do
  wait_for 20 $peer past "${sender[$kind]}" "$kind" "${receiver_url[$kind]}" "$begun" windows_system_processes \
    || fail "$kind: no sample collected 3 s after the start arrived within 20 s"
  wait_for 10 caught_up "${sender[$kind]}" "$(now)" || fail "$kind: the sender did not catch up within 10 s"
  agree "$kind" "${sender[$kind]}" "what the receiver holds differs from what orvik holds" "${chosen[@]}"
done

echo "== [${SECONDS}s] restart: a sender from its log stops and starts again"
# A sample before the restart and one after, both in the past so that they
# are compared at once. The second arrives after anything the new sender
# sends again from the old one's part of the log.
first=$(python3 -c 'import time; print(int(time.time() * 1000) - 60000)')
for kind in "${receivers[@]}"; do
  to "$kind" "durable-$kind" --storage.path "$work/$kind-log"
  durable[$kind]=$url durable_pid[$kind]=$pid
  post_escaped "$url" rw_restart 1 "$first"
done
for kind in "${receivers[@]}"; do
  agree "$kind" "${durable[$kind]}" "the sample before the restart did not arrive" rw_restart
  kill "${durable_pid[$kind]}"
  wait "${durable_pid[$kind]}" 2>/dev/null || true
  to "$kind" "durable-$kind-again" --storage.path "$work/$kind-log"
  durable[$kind]=$url
  post_escaped "$url" rw_restart 2 $((first + 1000))
done
for kind in "${receivers[@]}"; do
  agree "$kind" "${durable[$kind]}" "a sample was lost or sent twice across the restart" rw_restart
done

echo "== [${SECONDS}s] outage: the receivers stop for 20 s"
for kind in "${receivers[@]}"; do
  kill "${receiver_pid[$kind]}"
  wait "${receiver_pid[$kind]}" 2>/dev/null || true
done
outage_end=$((SECONDS + 20))

# The stubs are tried while the receivers are down.
echo "== [${SECONDS}s] stubs: 503 twice then 204, always 400, never an answer"
for mode in flaky refuse silent; do
  $peer stub "$mode" "$work/$mode.port" "$work/$mode.jsonl" &
  started+=($!)
done
echo 'the token' >"$work/token"
for mode in flaky refuse silent; do
  wait_for 10 test -s "$work/$mode.port" || fail "stub $mode did not start"
  start_orvik "to-$mode" --collect 1s --remote-write.timeout 1s --remote-write.bearer-token-file "$work/token" \
    --remote-write.url "http://127.0.0.1:$(cat "$work/$mode.port")/api/v1/write"
  eval "url_$mode=\$url"
done
# Each stub has seen what its checks below are about: the flaky one its two
# 503s and a 204, the refusing one a batch, the silent one a batch sent again
# after the timeout.
lines() { [ -f "$work/$1.jsonl" ] && [ "$(wc -l <"$work/$1.jsonl")" -ge "$2" ]; }
wait_for 30 lines flaky 3 || fail "the flaky stub did not see three requests within 30 s"
wait_for 30 lines refuse 1 || fail "the refusing stub saw no request within 30 s"
wait_for 30 lines silent 2 || fail "the silent stub did not see a second try within 30 s"
# The senders go on while the stub logs are read: their counters are read
# before and after, and what the logs show must lie between (give or take
# the one batch whose answer may still be on its way).
counters() {
  echo "$(metric "$url_flaky" orvik_remote_write_samples_sent_total)" \
    "$(metric "$url_refuse" 'orvik_remote_write_samples_dropped_total{reason="refused"}')"
}
before=$(counters)
mkdir -p "$work/stubs"
cp "$work/flaky.jsonl" "$work/refuse.jsonl" "$work/silent.jsonl" "$work/stubs/"
after=$(counters)
python3 - "$work/stubs" $before $after <<'PY' || fail "stub checks"
import json, sys
work, sent0, refused0, sent1, refused1 = sys.argv[1], *map(int, sys.argv[2:])
log = lambda mode: [json.loads(l) for l in open("%s/%s.jsonl" % (work, mode))]
flaky, refuse, silent = log("flaky"), log("refuse"), log("silent")
first = flaky[0]
assert (first["encoding"], first["version"], first["authorization"]) == ("snappy", "0.1.0", "Bearer the token"), first
assert first["agent"].startswith("orvik/"), first
assert [r["digest"] for r in flaky[:3]] == [first["digest"]] * 3, "503 twice, then the same batch again"
accepted = [(tuple(map(tuple, s[0])), s[1]) for r in flaky if r["status"] == 204 for s in r["samples"]]
assert len(accepted) == len(set(accepted)), "a sample arrived twice"
batch = max(len(r["samples"]) for r in flaky + refuse)
assert sent0 <= len(accepted) <= sent1 + batch, "%d accepted, %d..%d counted as sent" % (len(accepted), sent0, sent1)
print("flaky: %d requests, %d samples accepted once each" % (len(flaky), len(accepted)))
digests = [r["digest"] for r in refuse]
assert len(digests) == len(set(digests)), "a refused batch was sent again"
dropped = sum(len(r["samples"]) for r in refuse)
assert refused0 <= dropped <= refused1 + batch, "%d refused, %d..%d counted as dropped" % (dropped, refused0, refused1)
print("refuse: %d batches, each once; %d samples counted as dropped" % (len(refuse), dropped))
assert len(silent) >= 2 and silent[1]["digest"] == silent[0]["digest"], "no retry after the timeout"
print("silent: the batch was sent %d times, after each timeout" % len(silent))
PY
wait_for 10 grep -q "receiver refused a batch, dropped: HTTP 400: stub says no" "$work/to-refuse.log" \
  || fail "the 400 was not logged"
[ "$(grep -c 'receiver refused a batch' "$work/to-refuse.log")" = 1 ] || fail "the 400 was logged more than once"

echo "== [${SECONDS}s] https and basic auth into a Prometheus receiver"
if command -v openssl >/dev/null && python3 -W ignore -c 'import crypt' 2>/dev/null; then
  pki=$work/pki
  mkdir -p "$pki"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj "/CN=orvik test CA" \
    -keyout "$pki/ca.key" -out "$pki/ca.crt" 2>/dev/null || fail "openssl could not make the CA"
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=orvik test server" \
    -keyout "$pki/server.key" -out "$pki/server.csr" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1\n' >"$pki/server.ext"
  openssl x509 -req -in "$pki/server.csr" -CA "$pki/ca.crt" -CAkey "$pki/ca.key" -CAcreateserial -days 1 \
    -extfile "$pki/server.ext" -out "$pki/server.crt" 2>/dev/null || fail "openssl could not sign the server certificate"
  echo 'pass word' >"$work/password"
  echo 'wrong' >"$work/wrong"
  hash=$(python3 -W ignore -c 'import crypt, sys; print(crypt.crypt(sys.argv[1], crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=1 << 10)))' 'pass word')
  printf 'tls_server_config:\n  cert_file: %s\n  key_file: %s\nbasic_auth_users:\n  orvik: %s\n' \
    "$pki/server.crt" "$pki/server.key" "$hash" >"$work/secure-web.yml"
  printf 'global:\n  scrape_interval: 1m\n' >"$work/secure.yml"
  secure_port=$(free_port)
  ready_curl=(--cacert "$pki/ca.crt" -u 'orvik:pass word') ready_scheme=https
  start_prometheus secure "$secure_port" --web.enable-remote-write-receiver --web.config.file="$work/secure-web.yml"
  ready_curl=() ready_scheme=http
  for who in password wrong; do
    start_orvik "secure-$who" --collect 1s --remote-write.url "https://127.0.0.1:$secure_port/api/v1/write" \
      --remote-write.ca-file "$pki/ca.crt" --remote-write.basic-auth-user orvik --remote-write.password-file "$work/$who"
  done
  wait_for 15 sh -c "curl -sfG --cacert '$pki/ca.crt' -u 'orvik:pass word' --data-urlencode query=windows_system_processes \
      'https://127.0.0.1:$secure_port/api/v1/query' | grep -q '\"result\":\[{'" \
    || fail "no sample arrived over https with basic auth"
  wait_for 10 grep -q "receiver refused a batch, dropped: HTTP 401" "$work/secure-wrong.log" \
    || fail "a wrong password was not refused with 401"
  echo "https: samples arrived with the right password; the wrong one got 401 and its batches were dropped"
else
  echo "skipped: needs openssl and python3's crypt module"
fi

echo "== [${SECONDS}s] outage: the receivers come back"
sleep $((outage_end > SECONDS ? outage_end - SECONDS : 0))
for kind in "${receivers[@]}"; do start_receiver "$kind"; done
for kind in "${receivers[@]}"; do
  wait_for 30 caught_up "${sender[$kind]}" "$(now)" || fail "$kind: the sender did not catch up within 30 s of the outage"
  agree "$kind" "${sender[$kind]}" "samples lost or doubled over the outage" "${chosen[@]}"
  retried=$(metric "${sender[$kind]}" orvik_remote_write_samples_retried_total)
  [ "${retried:-0}" -gt 0 ] || fail "$kind: no sample was retried over the outage"
  echo "$kind: retried over the outage: $retried samples"
  grep -q "remote write: receiver unavailable, retrying" "$work/to-$kind.log" || fail "$kind: the outage was not logged"
done

echo "== [${SECONDS}s] in: a Prometheus scraping itself writes into orvik"
start_orvik receiving "${write_flag[@]}"
receiving=$url
receiving_pid=${started[-1]}
in_port=$(free_port)
cat >"$work/agent.yml" <<YML
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: prometheus
    static_configs:
      - targets: ['127.0.0.1:$in_port']
remote_write:
  - url: $receiving/api/v1/write
    queue_config:
      batch_send_deadline: 1s
YML
start_prometheus agent "$in_port"
agent=http://127.0.0.1:$in_port
agent_pid=$prom_pid
wait_for 30 sh -c "curl -sf '$receiving/api/v1/query?query=prometheus_build_info' | grep -q goversion" \
  || fail "no prometheus_build_info reached orvik within 30 s"
# The time compared is one when every chosen series exists (the interval
# count only from the second scrape on); both hold everything up to it once
# each holds a sample after it, as each series is appended and sent in time
# order.
chosen_in=(prometheus_build_info 'up{job="prometheus"}' prometheus_target_interval_length_seconds_count)
wait_for 30 $peer past "$receiving" prometheus "$agent" 0 "${chosen_in[@]}" || fail "not every chosen series reached orvik within 30 s"
at=$(python3 -c 'import time; print(time.time())')
wait_for 30 $peer past "$receiving" prometheus "$agent" "$at" "${chosen_in[@]}" \
  || fail "orvik and prometheus did not both hold samples newer than $at within 30 s"
$peer newest "$receiving" "$agent" "$at" "${chosen_in[@]}" || fail "orvik's samples differ from Prometheus's own"
wait_for 10 grep -q 'POST /api/v1/write 204' "$work/receiving.log" || fail "no 204 logged for remote write"
# Stopped while orvik still answers: a Prometheus whose receiver is gone
# spends a minute trying to deliver what it still holds.
kill "$agent_pid"
wait "$agent_pid" 2>/dev/null || true

echo "== [${SECONDS}s] hostile bodies to the receiver"
$peer hostile "$receiving" || fail "a hostile body was not refused as it should be"
curl -sf "$receiving/api/v1/query?query=hostile_ok" | grep -q '"hostile_ok"' || fail "the server did not go on"
hwm=$(awk '/VmHWM/ { print $2 }' "/proc/$receiving_pid/status")
echo "receiver peak resident memory: $((hwm / 1024)) MiB"
[ "$hwm" -lt $((96 * 1024)) ] || fail "peak memory $hwm kB is over 96 MiB"

echo "== [${SECONDS}s] /metrics leaves out series older than --metrics.max-age"
now_ms=$(($(date +%s) * 1000))
curl -sf -X POST --data-binary "[{\"name\":\"age_fresh\",\"value\":1},{\"name\":\"age_old\",\"value\":2,\"timestamp_ms\":$((now_ms - 600000))}]" \
  "$receiving/api/v1/snapshot" >/dev/null || fail "POST /api/v1/snapshot"
page=$(curl -sf "$receiving/metrics")
grep -q '^age_fresh 1$' <<<"$page" || fail "the fresh series is missing from /metrics"
! grep -q '^age_old' <<<"$page" || fail "a series 10 minutes old is on /metrics"
echo "remote_write_test: all checks passed"
