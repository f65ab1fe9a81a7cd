#!/usr/bin/env bash
# Keeping up: a writer at full speed into a 64 MiB ring for SECONDS, the
# tool following (-d -n -e) into a pipe whose reading end counts the lines
# and discards them. Prints the lines written and seen a second, the laps
# (the writer overwrote lines the tool had not read yet; it then resumes
# at the oldest line), the lines lost to laps and the lines missed
# otherwise, which must be 0.
#   SECONDS_KEEPUP=10; RATE=N limits the writer to N lines a second
set -euo pipefail
source "$(dirname "$0")/common.sh"
SECONDS_KEEPUP=${SECONDS_KEEPUP:-10}
RATE=${RATE:-0}

new_log path
name=${path#/var/run/}
"$KQBENCH" create "$path" $((64 << 20))
mkfifo "$WORK/lines"
"$KQBENCH" sink count "$WORK/written.txt" $((64 << 20)) <"$WORK/lines" >"$WORK/count.txt" &
sink=$!; started "$sink"
"$READER" -p "$name" -d -n -e >"$WORK/lines" &
reader=$!; started "$reader"
sleep 0.5
"$KQBENCH" write "$path" "$RATE" "$SECONDS_KEEPUP" "$WORK/written.txt"
# Time to drain what the tool has not printed yet.
sleep 2
stop "$reader"
reaped "$sink"
if [ "$RATE" = 0 ]; then what="full speed"; else what="$RATE lines/s"; fi
echo "keep-up (writer at $what for ${SECONDS_KEEPUP} s, 64 MiB ring): $(cat "$WORK/count.txt")"
