#!/usr/bin/env bash
# Builds the tools and shows them at work: a demo service writes into its
# shared-memory log with kqlogger; kqlogreader lists the log's tags, prints
# its lines, then follows new lines for a few seconds. The log's segment
# and log path file are removed at the end, however the demo ends.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

echo "== building into build/demo"
cmake -S . -B build/demo -DKQ_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j "$(nproc)" --target kqlogger kqlogreader >/dev/null
logger=build/demo/LogWriter/kqlogger
reader=build/demo/LogReader/kqlogreader

# The tools put log paths under /var/run/; a user who cannot write there
# uses the runtime directory /var/run/user/<uid>/ through a relative name.
uid=$(id -u)
if [ -w /var/run ]; then
  name="kqdemo-$$"
elif [ -d "/var/run/user/$uid" ] && [ -w "/var/run/user/$uid" ]; then
  name="user/$uid/kqdemo-$$"
else
  echo "demo: neither /var/run nor /var/run/user/$uid is writable" >&2
  exit 1
fi
path="/var/run/$name"

service_pid=""
cleanup() {
  if [ -n "$service_pid" ]; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  if [ -e "$path" ]; then
    # The segment's key, as ftok(path, 0) makes it on Linux, and the
    # writers' lock beside it (project id 0x4B).
    read -r dev ino < <(stat -c '%d %i' "$path")
    for id in 0 0x4B; do
      ipcrm -M "$(printf '0x%08x' $(( (ino & 0xffff) | ((dev & 0xff) << 16) | (id << 24) )))" \
        2>/dev/null || true
    done
    rm -f "$path"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

log() { "$logger" -p "$name" "$@"; }

echo "== a demo service starts and writes into $path"
log -t main "service starting, pid $$"
printf 'configuration loaded\nlistening on port 8080\n' | log -t main
log -t net -l DEBUG "eth0: carrier detected"
log -t net -l WARN "eth1: link down"
log -t disk -l ERROR "/dev/sdb: read error at sector 4711"
log -t disk "/dev/sda: 81% used"

echo "== $reader -p $name -s"
"$reader" -p "$name" -s || true
echo "== $reader -p $name -d"
"$reader" -p "$name" -d || true

# The service goes on working: a request every half second.
(
  i=0
  while :; do
    i=$((i + 1))
    log -t http "GET /status 200 ($i)"
    [ $((i % 3)) -eq 0 ] && log -t http -l WARN "GET /admin 403 ($i)"
    sleep 0.5
  done
) &
service_pid=$!

echo "== following new lines for 4 seconds: $reader -p $name -d -n -e"
timeout 4 "$reader" -p "$name" -d -n -e || true
echo "== done; the demo log is removed"
