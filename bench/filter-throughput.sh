#!/usr/bin/env bash
# What the record filters of --since/--until and --grep cost a dump: the
# 64 MiB ring of dump-throughput.sh (texts of 20 to 200 bytes, 20 tags, all
# six levels, times spread over 6 hours, filled by the writer library).
# Times, as whole processes to /dev/null, in rounds of three:
#   kqlogreader -p NAME -d                          the plain dump
#   kqlogreader -p NAME -d --until 2000-01-01       a window before the
#                                                   first record: every
#                                                   record tested, none
#                                                   printed
#   kqlogreader -p NAME -d --grep 'timeout 4'       a literal (caseless by
#                                                   smart case) that about
#                                                   1 % of the texts hold
# and prints the medians and the median of each round's ratio to the plain
# dump. Before timing it checks that the window prints nothing and that
# --grep prints exactly the records whose text holds the literal (against
# grep -iF over the JSON records).
#   RUNS=N   rounds (default 21)
set -euo pipefail
source "$(dirname "$0")/common.sh"
RUNS=${RUNS:-21}
RING=$((64 << 20))
LITERAL='timeout 4'
WINDOW=(--until 2000-01-01)

new_log path
name=${path#/var/run/}
"$KQBENCH" fill "$path" "$RING" 6 >"$WORK/fill.txt"
echo "ring: $(cat "$WORK/fill.txt")"

# The tool's exit status is 1 on every path, a complete dump included.
"$READER" -p "$name" -d "${WINDOW[@]}" >"$WORK/window-out.txt" || true
if [ "$(cat "$WORK/window-out.txt")" != "LogPath [$path]" ]; then
  echo "the window before the first record printed records" >&2
  exit 1
fi
"$READER" -p "$name" -d --output json >"$WORK/all.json" 2>/dev/null || true
"$READER" -p "$name" -d --output json --grep "$LITERAL" >"$WORK/grep.json" \
  2>/dev/null || true
if ! grep -iF -- "$LITERAL" "$WORK/all.json" | cmp -s - "$WORK/grep.json"; then
  echo "--grep '$LITERAL' printed other records than grep -iF finds" >&2
  exit 1
fi
records=$(wc -l <"$WORK/all.json")
matched=$(wc -l <"$WORK/grep.json")
printf "checked: the window prints no record; --grep '%s' prints the %d of %d records (%.2f %%) that hold it\n" \
  "$LITERAL" "$matched" "$records" "$(awk -v m="$matched" -v r="$records" 'BEGIN { print 100 * m / r }')"

ms() { awk '{ printf "%.1f", $1 / 1000 }'; }
for f in plain window grep rw rg; do : >"$WORK/$f.txt"; done
for ((i = 0; i <= RUNS; i++)); do
  t0=$(now_us); "$READER" -p "$name" -d >/dev/null || :
  t1=$(now_us); "$READER" -p "$name" -d "${WINDOW[@]}" >/dev/null || :
  t2=$(now_us); "$READER" -p "$name" -d --grep "$LITERAL" >/dev/null || :
  t3=$(now_us)
  ((i == 0)) && continue  # warm-up round
  a=$((t1 - t0)); b=$((t2 - t1)); c=$((t3 - t2))
  echo "$a" >>"$WORK/plain.txt"; echo "$b" >>"$WORK/window.txt"
  echo "$c" >>"$WORK/grep.txt"
  awk -v a="$a" -v b="$b" 'BEGIN { print b / a }' >>"$WORK/rw.txt"
  awk -v a="$a" -v c="$c" 'BEGIN { print c / a }' >>"$WORK/rg.txt"
done
plain=$(median <"$WORK/plain.txt" | ms)
printf 'plain dump: %s ms (median of %d)\n' "$plain" "$RUNS"
printf 'window before the first record (%s): %s ms, ratio %.2f (median of %d rounds; target <= 1.2)\n' \
  "${WINDOW[*]}" "$(median <"$WORK/window.txt" | ms)" "$(median <"$WORK/rw.txt")" "$RUNS"
printf "grep '%s' (%d of %d records): %s ms, ratio %.2f (median of %d rounds; target <= 1.5)\n" \
  "$LITERAL" "$matched" "$records" "$(median <"$WORK/grep.txt" | ms)" "$(median <"$WORK/rg.txt")" "$RUNS"
