#!/usr/bin/env bash
# Dump throughput and memory: a 64 MiB ring filled past wrapping by the
# writer library (texts of 20 to 200 bytes, 40 % ending in a line feed, 20
# tags, all six levels, times spread over 6 hours). Times
#   kqlogreader -p NAME -d > /dev/null
# against cat of the very same output (saved once to a file) > /dev/null,
# as whole processes, in pairs A B A B ...; prints the medians and the
# median of the pair ratios, with TZ unset and with TZ set, and the same
# for --output json against cat of its own output. Beside them, the
# mapping floor: `kqbench populate`, a process that only attaches the
# segment, maps it in with MADV_POPULATE_READ and reads a byte of each
# page, which any reader of the ring pays. Before timing, the dump is
# checked byte for byte against `kqbench render`, a plain renderer of its
# own. Then the peak resident size of one dump run (/usr/bin/time -v).
#   RUNS=N   pairs per TZ setting (default 21)
set -euo pipefail
source "$(dirname "$0")/common.sh"
RUNS=${RUNS:-21}
RING=$((64 << 20))
ZONE=Europe/Berlin

new_log path
name=${path#/var/run/}
"$KQBENCH" fill "$path" "$RING" 6 >"$WORK/fill.txt"
echo "ring: $(cat "$WORK/fill.txt")"

ms() { awk '{ printf "%.1f", $1 / 1000 }'; }

for tz in unset set; do
  if [ "$tz" = unset ]; then unset TZ; else export TZ=$ZONE; fi
  out=$WORK/dump-$tz.txt
  # The tool's exit status is 1 on every path, a complete dump included.
  "$READER" -p "$name" -d >"$out" || true
  "$KQBENCH" render "$path" >"$WORK/ref.txt"
  if tail -n +2 "$out" | cmp -s - "$WORK/ref.txt"; then
    echo "dump, TZ $tz: output identical to the plain rendering"
  else
    echo "dump, TZ $tz: OUTPUT DIFFERS from the plain rendering" >&2
    exit 1
  fi
  : >"$WORK/a.txt"; : >"$WORK/b.txt"; : >"$WORK/c.txt"; : >"$WORK/r.txt"
  for ((i = 0; i <= RUNS; i++)); do
    t0=$(now_us); "$READER" -p "$name" -d >/dev/null || :; t1=$(now_us)
    cat "$out" >/dev/null; t2=$(now_us)
    "$KQBENCH" populate "$path" >/dev/null; t3=$(now_us)
    ((i == 0)) && continue  # warm-up round
    a=$((t1 - t0)); b=$((t2 - t1))
    echo "$a" >>"$WORK/a.txt"; echo "$b" >>"$WORK/b.txt"
    echo $((t3 - t2)) >>"$WORK/c.txt"
    awk -v a="$a" -v b="$b" 'BEGIN { print a / b }' >>"$WORK/r.txt"
  done
  lines=$(wc -l <"$out"); bytes=$(stat -c %s "$out")
  printf 'dump, TZ %s: %d lines, %.1f MB; kqlogreader %s ms, cat %s ms: ratio %.2f (median of %d pairs; target <= 3); mapping floor (kqbench populate) %s ms\n' \
    "$tz" "$lines" "$(awk -v b="$bytes" 'BEGIN { print b / 1e6 }')" \
    "$(median <"$WORK/a.txt" | ms)" "$(median <"$WORK/b.txt" | ms)" \
    "$(median <"$WORK/r.txt")" "$RUNS" "$(median <"$WORK/c.txt" | ms)"
done
unset TZ

# --output json against cat of its own bytes.
json=$WORK/dump.json
"$READER" -p "$name" -d --output json >"$json" 2>/dev/null || true
: >"$WORK/r.txt"
for ((i = 0; i <= RUNS; i++)); do
  t0=$(now_us); "$READER" -p "$name" -d --output json >/dev/null 2>&1 || :; t1=$(now_us)
  cat "$json" >/dev/null; t2=$(now_us)
  ((i == 0)) && continue
  awk -v a=$((t1 - t0)) -v b=$((t2 - t1)) 'BEGIN { print a / b }' >>"$WORK/r.txt"
done
printf 'json, TZ unset: %.1f MB; ratio to cat %.2f (median of %d pairs; target <= 4)\n' \
  "$(awk -v b="$(stat -c %s "$json")" 'BEGIN { print b / 1e6 }')" \
  "$(median <"$WORK/r.txt")" "$RUNS"

/usr/bin/time -v -o "$WORK/time.txt" "$READER" -p "$name" -d >/dev/null || true
rss_kb=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$WORK/time.txt")
printf 'memory: peak resident size of the dump %.1f MiB (ring %d MiB; target <= %d MiB)\n' \
  "$(awk -v k="$rss_kb" 'BEGIN { print k / 1024 }')" $((RING >> 20)) $(((RING >> 20) + 8))
