#!/usr/bin/env bash
# kqstress's checker catches each fault it counts: a short kqstress run
# against kqlogreader with its output spoiled on the way (one fault kind a
# run), which must fail with that count above 0. Spoiled are lines of the
# lap writer (tag w1 with one writer thread) numbered 3 mod 7: the lap
# lines still in the ring must come out, and the slow lines kqstress waits
# for stay untouched, so no run waits out a hang.
# usage: checker_test.sh KQSTRESS KQLOGREADER; status 77 (skipped) without
# a writable /var/run.
set -euo pipefail
stress=$1
reader=$2
work=$(mktemp -d /tmp/kqstress-checker.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The tool kqstress runs: kqlogreader itself (so that SIGSTOP and SIGTERM
# reach it), its output through awk, which spoils it by MODE. mawk reads
# its input in whole blocks unless told otherwise.
awk_flags=
case $(awk -W version 2>&1 || true) in *mawk*) awk_flags="-W interactive" ;; esac
cat >"$work/spoiled-tool" <<EOF
#!/usr/bin/env bash
exec "$reader" "\$@" > >(exec awk $awk_flags -v mode="\$MODE" '
  function out(s) { print s; fflush() }
  function picked() { return \$2 == "w1" && \$7 % 7 == 3 }
  held != "" { out(\$0); out(held); held = ""; next }
  mode == "twice" && picked() { out(\$0); out(\$0); next }
  mode == "backwards" && picked() { held = \$0; next }
  mode == "skipped_not_lapped" && picked() { next }
  mode == "failed_reads" && picked() { out("nextLog return false!!"); out(\$0); next }
  mode == "torn" && picked() { out(substr(\$0, 1, length(\$0) - 3)); next }
  { out(\$0) }')
EOF
chmod +x "$work/spoiled-tool"

failures=0
for mode in twice backwards skipped_not_lapped failed_reads torn; do
  status=0
  MODE=$mode "$stress" --seconds 1 --threads 1 --ring 32768 --full-ms 300 \
    --slow-lines 40 --slow-gap-us 2000 --tool "$work/spoiled-tool" \
    >"$work/out.txt" 2>&1 || status=$?
  [ "$status" = 77 ] && { echo "no log path under /var/run: skipped"; exit 77; }
  n=$(sed -n "s/^kqstress: counts .*\b$mode=\([0-9]*\).*/\1/p" "$work/out.txt")
  if [ "$status" = 1 ] && [ "${n:-0}" -gt 0 ]; then
    echo "$mode: caught ($n), status 1"
  else
    echo "$mode: NOT caught (count [${n:-none}], status $status):"
    cat "$work/out.txt"
    failures=$((failures + 1))
  fi
done
[ "$failures" = 0 ]
