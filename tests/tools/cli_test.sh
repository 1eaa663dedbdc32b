#!/usr/bin/env bash
# The orvik command line as a person uses it: the demo, the one-shot
# questions on the example hour and on standard input, and its exit statuses.
# Usage: cli_test.sh ORVIK SNAPSHOTS.jsonl
set -euo pipefail
orvik=$1
examples=$2
fail() { echo "FAILED: $*" >&2; exit 1; }
contains() { grep -qF -- "$2" <<<"$1" || fail "expected \"$2\" in:"$'\n'"$1"; }
# Runs the program and checks its exit status; its standard output in $out.
expect_status() {
  local want=$1 rc=0; shift
  out=$("$orvik" "$@" 2>"$err_file") || rc=$?
  [ "$rc" = "$want" ] || fail "orvik $* exited $rc, expected $want; stderr: $(cat "$err_file")"
}
err_file=$(mktemp)
trap 'rm -f "$err_file"' EXIT

echo "== demo"
expect_status 0 demo
for caption in "[1] Memory load at the newest snapshot" "[2] CPU seconds per second" \
               "[3] Bytes received per second" "[4] Memory load over the hour" "[5] Label names" "[6] Volumes"; do
  contains "$out" "$caption"
done
contains "$out" '"windows_memory_load_percent"'
contains "$out" '{core="7",mode="dpc"}'
contains "$out" "__name__, collector, core, mode, volume, nic"
grep -q '[▁▂▃▄▅▆▇█]\{20,\}  min .*  max ' <<<"$out" || fail "the demo draws no chart"
[ "$(wc -l <<<"$out")" -le 100 ] || fail "the demo prints $(wc -l <<<"$out") lines"
[ ! -s "$err_file" ] || fail "the demo wrote to stderr: $(cat "$err_file")"
expect_status 1 demo --snapshots /nonexistent.jsonl
contains "$(cat "$err_file")" "cannot read /nonexistent.jsonl"

echo "== query"
last=$(tail -n 1 "$examples" | sed -n 's/^{"timestamp_ms":\([0-9]*\),.*/\1/p')
[ -n "$last" ] || fail "no timestamp_ms on the last example line"
for time in "$((last / 1000))" "${last}ms" "$(date -u -d "@$((last / 1000))" +%Y-%m-%dT%H:%M:%SZ)"; do
  expect_status 0 query 'count(windows_cpu_time_total)' --time "$time" --snapshots "$examples"
  contains "$out" '"resultType": "vector"'
  contains "$out" "$((last / 1000)).0,"
  contains "$out" '"40"'
done
expect_status 0 query x --time 1700000000.5 --snapshots - <<<'[{"name":"x","value":2.5,"timestamp_ms":1700000000000}]'
contains "$out" '"2.5"'
# An expression starting with a minus is no option, after -- or without it.
for args in "--snapshots - -- -x" "-x --snapshots -" "--snapshots - --time 1700000000.5 -x" "-x --snapshots -"; do
  # shellcheck disable=SC2086
  expect_status 0 query $args <<<'[{"name":"x","value":2.5,"timestamp_ms":1700000000000}]'
  contains "$out" '"-2.5"'
done
expect_status 0 query-range '-1 * x' --start 1700000000 --end 1700000000 --snapshots - <<<'[{"name":"x","value":2,"timestamp_ms":1700000000000}]'
contains "$out" '"-2"'
expect_status 1 query 'sum(' --snapshots "$examples"
contains "$out" '"error":"parse error at char 5: unexpected end of input"'
expect_status 2 query x --time yesterday
contains "$(cat "$err_file")" 'cannot read --time "yesterday"'
# 0 and below would silently mean now.
for time in 0 -5; do
  expect_status 2 query x --time="$time"
  contains "$(cat "$err_file")" "times at or before the Unix epoch are not supported"
done
# Sizes are decimal: 010 is ten series, so the eleventh is not stored, and
# that is said and fails the command.
eleven='['$(for i in $(seq 0 10); do printf '{"name":"n%d","value":1},' "$i"; done)'{"name":"n0","value":2}]'
expect_status 1 label-values __name__ --series 010 --snapshots - <<<"$eleven"
contains "$out" '"n9"'
contains "$(cat "$err_file")" "1 values of a snapshot not stored: series table full"
expect_status 2 query x --series 0x10

echo "== query-range"
printf '%s\n' '[{"name":"c","value":0,"timestamp_ms":1700000000000}]' \
              '[{"name":"c","value":60,"timestamp_ms":1700000060000}]' \
              '[{"name":"c","value":180,"timestamp_ms":1700000120000}]' >"$err_file.in"
expect_status 0 query-range 'rate(c[1m])' --start 1700000060 --end 1700000120 --step 1m --snapshots "$err_file.in"
contains "$out" '"resultType": "matrix"'
contains "$out" '"2"'
expect_status 0 query-range c --start 1700000000 --end 1700000120 --step 60 --plot --snapshots "$err_file.in"
contains "$out" "▁▃█  min 0  max 180"
expect_status 2 query-range c --step 0s
# The server's bound of 11,000 steps, also when the start is left to default.
expect_status 0 query-range c --start 1700000000 --end 1700011000 --step 1s --snapshots "$err_file.in"
expect_status 2 query-range c --start 1700000000 --end 1700011001 --step 1s --snapshots "$err_file.in"
contains "$(cat "$err_file")" "more than 11000 steps"
expect_status 2 query-range c --end 1700000000 --step 0.08
expect_status 1 query-range c --snapshots "$err_file.in" --snapshots /nonexistent.jsonl
rm -f "$err_file.in"

echo "== labels and label-values"
expect_status 0 labels --snapshots "$examples"
contains "$out" '"volume"'
expect_status 0 label-values volume --snapshots "$examples"
contains "$out" '"C:\\"'

echo "== usage"
expect_status 2 frobnicate
expect_status 2 query
expect_status 0 --help
contains "$out" "query-range"
# Refused before anything listens.
expect_status 2 serve --collect 293y
contains "$(cat "$err_file")" 'cannot read --collect "293y"'
expect_status 2 serve --collect 99ms
expect_status 2 serve --listen '[]:0'
echo "cli_test: all commands behaved"
