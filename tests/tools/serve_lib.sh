# Shared by the tests that run `orvik serve`: starting servers on free
# loopback ports, and stopping every process started, on failure too.
# Source it after setting `orvik` to the program's path.

work=$(mktemp -d)
started=()

stop_all() {
  local pid
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${started[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap stop_all EXIT

fail() {
  echo "FAILED: $*" >&2
  local log
  for log in "$work"/*.log; do
    [ -s "$log" ] && { echo "--- last lines of $(basename "$log")" >&2; tail -n 15 "$log" >&2; }
  done
  exit 1
}

# Starts `orvik serve` on a port the kernel picks; sets $url (http or https,
# as the server says), $port and $pid. The log file is named after the first
# argument.
start_orvik() {
  local name=$1; shift
  local log="$work/$name.log" found=""
  # Made here, not by the redirection of the background job, which may run
  # after the first look for the listening line.
  : >"$log"
  "$orvik" serve --listen 127.0.0.1:0 "$@" 2>>"$log" &
  started+=($!)
  pid=$!
  local deadline=$((SECONDS + 30))
  # The line is written in pieces: the port is whole once " (" follows it.
  until found=$(sed -n 's|^orvik: listening on \(https\{0,1\}://127\.0\.0\.1:[0-9][0-9]*\) (.*|\1|p' "$log") && [ -n "$found" ]; do
    kill -0 "$pid" 2>/dev/null || fail "orvik serve ($name) exited at start"
    [ "$SECONDS" -lt "$deadline" ] || fail "orvik serve ($name) did not start listening within 30 s"
    sleep 0.1
  done
  url=$found
  port=${url##*:}
}

# Starts a Prometheus server with the configuration $work/NAME.yml on
# 127.0.0.1:PORT, its data in $work/NAME-data and its log in $work/NAME.log;
# sets $prom_pid.
launch_prometheus() {  # name port [flags...]
  local name=$1 port=$2; shift 2
  : >>"$work/$name.log"
  prometheus --config.file="$work/$name.yml" --storage.tsdb.path="$work/$name-data" \
    --web.listen-address="127.0.0.1:$port" "$@" >>"$work/$name.log" 2>&1 &
  started+=($!)
  prom_pid=$!
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# promtool with a bound on its time.
pt() { timeout 20 promtool "$@"; }

# The value of the single line "... => VALUE @[TIME]" that promtool printed.
value_of() { sed -n 's/^.* => \([^ ]*\) @\[.*$/\1/p' <<<"$1"; }

# Numeric comparison with a relative tolerance of 1e-9.
close_to() {
  python3 -c 'import sys; a, b = map(float, sys.argv[1:]); sys.exit(0 if abs(a - b) <= 1e-9 * max(1.0, abs(b)) else 1)' "$1" "$2"
}

# promtool check metrics on a /metrics page. The store's fixed metric names end
# in "_sec", which promtool's naming lint flags as an abbreviated unit; with
# `allow_sec_names` that one complaint is accepted, any other is not.
check_metrics() {
  local page=$1 allow=${2:-} rc=0 problems
  problems=$(curl -sf "$page" | timeout 20 promtool check metrics 2>&1) || rc=$?
  if [ "$rc" = 0 ]; then return 0; fi
  [ "$rc" = 3 ] && [ -n "$allow" ] || fail "promtool check metrics exited $rc: $problems"
  if grep -v '^[a-z_]*_sec metric names should not contain abbreviated units$' <<<"$problems" | grep -q .; then
    fail "promtool check metrics found problems: $problems"
  fi
}
