#!/usr/bin/env bash
# The dump's cost as ratios taken in one run on this machine, so that they
# compare across machines. On a 64 MiB ring filled past
# wrapping by the writer library (as in dump-throughput.sh), output to
# /dev/null, in rounds of A B C ... whose pairs give the ratios:
#   dump / floor   kqlogreader -p NAME -d against kqfloor, the floor of any
#                  reader: attach, MADV_POPULATE_READ, read every ring byte
#   dump / cat     against cat of the very same output, TZ unset and set
#   user ns/line   the dump's user CPU time over the records it printed
#   json / cat     --output json against cat of its own bytes
# Each figure is the median over the rounds; times are whole processes
# (fork to reap, by kqbench run), CPU times the kernel's account of the
# reaped child. The ratios are taken by wall time, and again by CPU time,
# which other work on the machine disturbs less. Before timing, the dump is checked byte for byte against
# kqbench render. Last, the dump's peak resident size.
#   RUNS=N   rounds per setting (default 21)
set -euo pipefail
source "$(dirname "$0")/common.sh"
RUNS=${RUNS:-21}
RING=$((64 << 20))
ZONE=Europe/Berlin
FLOOR=$BUILD_DIR/bench/kqfloor

new_log path
name=${path#/var/run/}
"$KQBENCH" fill "$path" "$RING" 6 >"$WORK/fill.txt"
records=$(sed -n 's/.*retained=\([0-9]*\).*/\1/p' "$WORK/fill.txt")
echo "ring: $(cat "$WORK/fill.txt")"

# timed FILE CMD...: one whole-process run, output to /dev/null, its
# "wall_us user_us sys_us maxrss_kb" appended to FILE.
timed() { "$KQBENCH" run "$@" >/dev/null 2>&1; }

# col N FILE: column N of FILE, one number a line.
col() { awk -v c="$1" '{ print $c }' "$2"; }

# ratios A B: A's wall time over B's, round by round.
ratios() { paste -d' ' "$1" "$2" | awk '{ print $1 / $5 }'; }

# cpu_ratios A B: the same for CPU time (user + system), which a machine
# busy with other work disturbs less.
cpu_ratios() { paste -d' ' "$1" "$2" | awk '{ print ($2 + $3) / ($6 + $7) }'; }

ms() { awk '{ printf "%.1f", $1 / 1000 }'; }

for tz in unset set; do
  if [ "$tz" = unset ]; then unset TZ; else export TZ=$ZONE; fi
  out=$WORK/dump-$tz.txt
  # The tool's exit status is 1 on every path, a complete dump included.
  "$READER" -p "$name" -d >"$out" || true
  "$KQBENCH" render "$path" >"$WORK/ref.txt"
  if ! tail -n +2 "$out" | cmp -s - "$WORK/ref.txt"; then
    echo "dump, TZ $tz: OUTPUT DIFFERS from the plain rendering" >&2
    exit 1
  fi
  rm -f "$WORK"/{dump,cat,floor}.txt
  for ((i = 0; i <= RUNS; i++)); do
    timed "$WORK/dump.txt" "$READER" -p "$name" -d
    timed "$WORK/cat.txt" cat "$out"
    timed "$WORK/floor.txt" "$FLOOR" "$path"
    if ((i == 0)); then rm -f "$WORK"/{dump,cat,floor}.txt; fi  # warm-up
  done
  printf 'dump, TZ %s: %d records, %.1f MB; dump %s ms, cat %s ms, floor %s ms\n' \
    "$tz" "$records" "$(awk -v b="$(stat -c %s "$out")" 'BEGIN { print b / 1e6 }')" \
    "$(col 1 "$WORK/dump.txt" | median | ms)" "$(col 1 "$WORK/cat.txt" | median | ms)" \
    "$(col 1 "$WORK/floor.txt" | median | ms)"
  printf '  dump / floor %.2f (target <= 1.5); dump / cat %.2f (target <= 3)\n' \
    "$(ratios "$WORK/dump.txt" "$WORK/floor.txt" | median)" \
    "$(ratios "$WORK/dump.txt" "$WORK/cat.txt" | median)"
  printf '  by CPU time: dump / floor %.2f; dump / cat %.2f\n' \
    "$(cpu_ratios "$WORK/dump.txt" "$WORK/floor.txt" | median)" \
    "$(cpu_ratios "$WORK/dump.txt" "$WORK/cat.txt" | median)"
  printf '  user CPU %.1f ns per record (target <= 20; the floor'"'"'s own %.1f)\n' \
    "$(col 2 "$WORK/dump.txt" | median | awk -v n="$records" '{ print $1 * 1000 / n }')" \
    "$(col 2 "$WORK/floor.txt" | median | awk -v n="$records" '{ print $1 * 1000 / n }')"
  for what in dump floor; do
    printf '  %s CPU %s ms (user %s, system %s)\n' "$what" \
      "$(awk '{ print $2 + $3 }' "$WORK/$what.txt" | median | ms)" \
      "$(col 2 "$WORK/$what.txt" | median | ms)" "$(col 3 "$WORK/$what.txt" | median | ms)"
  done
done
unset TZ

# --output json against cat of its own bytes.
json=$WORK/dump.json
"$READER" -p "$name" -d --output json >"$json" 2>/dev/null || true
rm -f "$WORK"/{jdump,jcat}.txt
for ((i = 0; i <= RUNS; i++)); do
  timed "$WORK/jdump.txt" "$READER" -p "$name" -d --output json
  timed "$WORK/jcat.txt" cat "$json"
  if ((i == 0)); then rm -f "$WORK"/{jdump,jcat}.txt; fi
done
printf 'json, TZ unset: %.1f MB; json %s ms, cat %s ms; json / cat %.2f (target <= 4; by CPU time %.2f)\n' \
  "$(awk -v b="$(stat -c %s "$json")" 'BEGIN { print b / 1e6 }')" \
  "$(col 1 "$WORK/jdump.txt" | median | ms)" "$(col 1 "$WORK/jcat.txt" | median | ms)" \
  "$(ratios "$WORK/jdump.txt" "$WORK/jcat.txt" | median)" \
  "$(cpu_ratios "$WORK/jdump.txt" "$WORK/jcat.txt" | median)"

printf 'memory: peak resident size of the dump %.1f MiB (ring %d MiB; target <= %d MiB)\n' \
  "$(col 4 "$WORK/dump.txt" | median | awk '{ print $1 / 1024 }')" \
  $((RING >> 20)) $(((RING >> 20) + 8))
echo "(median of $RUNS rounds each; $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo))"
