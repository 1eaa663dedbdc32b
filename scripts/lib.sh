# Shared by the scripts in this folder; sourced, never run. Each script sets
# `fail` to report in its own name before sourcing.

# Installs the Debian packages of the array named $1 that are missing, as
# root, without their recommendations.
require_packages() {
  local -n wanted=$1
  local missing=() p log
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  [ "$(id -u)" = 0 ] || fail "missing packages (${missing[*]}); run as root or install them"
  echo "$(basename "$0"): installing ${missing[*]}"
  log=$(mktemp)
  apt-get update -qq >"$log" 2>&1 || { cat "$log" >&2; fail "apt-get update failed"; }
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >"$log" 2>&1 \
    || { tail -20 "$log" >&2; fail "could not install ${missing[*]}"; }
  rm -f "$log"
}

# The Debian archive address the machine already uses, on stdout.
debian_archive() {
  local archive=""
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    archive=$(awk '/^URIs:/ { for (i = 2; i <= NF; i++) if ($i !~ /security/) { print $i; exit } }' \
      /etc/apt/sources.list.d/debian.sources)
  fi
  if [ -z "$archive" ] && [ -f /etc/apt/sources.list ]; then
    archive=$(awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' \
      /etc/apt/sources.list)
  fi
  [ -n "$archive" ] || fail "no Debian archive address found in the apt sources"
  echo "$archive"
}

# configure_and_build DIR TARGET [cmake options...]: configures DIR quietly
# and builds TARGET ("all" for everything) on every core; on failure it
# builds again on one core to show the first errors.
configure_and_build() {
  local dir=$1 target=$2; shift 2
  cmake -S . -B "$dir" "$@" >/dev/null || fail "configuring $dir failed"
  cmake --build "$dir" -j "$(nproc)" --target "$target" >/dev/null \
    || { cmake --build "$dir" -j 1 --target "$target" 2>&1 | tail -40; fail "building $dir failed"; }
}
