#!/usr/bin/env bash
# Ships a log to a real syslog collector: kqlogreader --output syslog piped
# through logger(1) over TCP to an rsyslogd of our own on 127.0.0.1, which
# writes each message's severity, program name and text to a file. Checks
# that every line arrives once, with the severity of its level, both when
# the log is printed once and while it is followed.
# usage: ship_rsyslog_test.sh KQLOGREADER KQLOGGER
# Exits 77 (skipped) when rsyslogd or logger is not installed. Makes its own
# log path and segment under /var/run/, a temporary directory and a daemon,
# and removes all of them, pass or fail. Sends nothing but to 127.0.0.1.
set -u
reader=$1
writer=$2
export TZ=UTC

rsyslogd=$(command -v rsyslogd || { [[ -x /usr/sbin/rsyslogd ]] && echo /usr/sbin/rsyslogd; })
if [[ -z $rsyslogd ]] || ! command -v logger >/dev/null; then
    echo "SKIP: rsyslogd or logger is not installed (scripts/install-deps.sh installs rsyslog and bsdutils)"
    exit 77
fi

name="kqshiptest-$$"
work=$(mktemp -d /tmp/kqship.XXXXXX) || { echo "FAIL: no temporary directory"; exit 1; }
daemon_pid=
reader_pid=
shipper_pid=

remove_log() {
    local path=/var/run/$name dev ino
    [[ -e $path ]] || return 0
    read -r dev ino < <(stat -c '%d %i' "$path")
    # The log (ftok project id 0) and the writers' lock beside it (0x4B).
    for id in 0 0x4B; do
        ipcrm -M "$(printf '0x%08x' $(((ino & 0xffff) | ((dev & 0xff) << 16) | (id << 24))))" \
            2>/dev/null
    done
    rm -f "$path"
}
stop_pid() {  # stop_pid PID: SIGTERM, then SIGKILL after 5 s; reaps it
    local pid=$1 i
    [[ $pid ]] || return 0
    kill -TERM "$pid" 2>/dev/null
    for ((i = 0; i < 50; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    return 0
}
cleanup() {
    [[ $reader_pid ]] && kill -TERM "$reader_pid" 2>/dev/null
    stop_pid "$shipper_pid"
    stop_pid "$daemon_pid"
    remove_log
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# fail MESSAGE: says why on standard error (fail may run where standard
# output goes to a file) and ends the test.
fail() {
    {
        echo "FAIL: $*"
        [[ -s $work/daemon.out ]] && { echo "-- rsyslogd said:"; cat "$work/daemon.out"; }
        [[ -s $work/received.log ]] && { echo "-- received:"; cat "$work/received.log"; }
    } >&2
    exit 1
}

# ---- the collector -----------------------------------------------------------
# Port 0: the kernel picks a free port, which rsyslogd writes to a file.
cat >"$work/rsyslog.conf" <<EOF
global(workDirectory="$work" maxMessageSize="8k")
module(load="imtcp")
input(type="imtcp" address="127.0.0.1" port="0"
      listenPortFileName="$work/port" ruleset="kqship")
template(name="kqship" type="string"
         string="%syslogseverity%|%programname%|%msg%\n")
ruleset(name="kqship") {
    action(type="omfile" file="$work/received.log" template="kqship")
}
EOF
"$rsyslogd" -n -f "$work/rsyslog.conf" -i "$work/rsyslogd.pid" \
    >"$work/daemon.out" 2>&1 </dev/null &
daemon_pid=$!
for ((i = 0; i < 100; i++)); do
    [[ -s $work/port ]] && break
    kill -0 "$daemon_pid" 2>/dev/null || fail "rsyslogd did not start"
    sleep 0.1
done
port=$(<"$work/port")
[[ $port =~ ^[0-9]+$ ]] || fail "rsyslogd did not say which port it listens on"

# Sends each line of standard input as one message; a "<P>" prefix gives
# its severity.
logger_cmd=(logger --prio-prefix -T -n 127.0.0.1 -P "$port" -t "$name")

# wait_lines N [TENTHS]: until the collector has written N lines (10 s, or
# TENTHS tenths of a second, at most).
wait_lines() {
    local i
    for ((i = 0; i < ${2:-100}; i++)); do
        [[ -f $work/received.log ]] &&
            (($(wc -l <"$work/received.log") >= $1)) && return 0
        sleep 0.1
    done
    return 1
}

# expected FILE: the lines the collector should write for kqlogreader's
# syslog output in FILE: "<P>line" as "P|NAME|line", where P must be the
# severity of the line's level.
expected() {
    local line prio rest level sev
    while IFS= read -r line; do
        [[ $line =~ ^[\<]([0-9]+)[\>](\[([A-Z]+) .*)$ ]] ||
            fail "not a syslog line: [$line]"
        prio=${BASH_REMATCH[1]} rest=${BASH_REMATCH[2]} level=${BASH_REMATCH[3]}
        case $level in
        TRACE | DEBUG) sev=7 ;;
        INFO) sev=6 ;;
        WARN) sev=4 ;;
        ERROR) sev=3 ;;
        FATAL) sev=2 ;;
        *) fail "unknown level in [$line]" ;;
        esac
        [[ $prio == "$sev" ]] || fail "priority $prio for a $level line: [$line]"
        printf '%s|%s|%s\n' "$sev" "$name" "$rest"
    done <"$1"
}

# ---- printing once -----------------------------------------------------------
levels=(TRACE DEBUG INFO WARN ERROR FATAL)
for level in "${levels[@]}"; do
    "$writer" -p "$name" -t ship -l "$level" "once at $level" ||
        fail "kqlogger could not write"
done
"$writer" -p "$name" -t ship -l ERROR $'two lines:\nthe second one' ||
    fail "kqlogger could not write"

"$reader" -p "$name" -d --output syslog >"$work/once.syslog" 2>"$work/once.err"
"${logger_cmd[@]}" <"$work/once.syslog" || fail "logger could not send"
[[ $(<"$work/once.err") == "LogPath [/var/run/$name]" ]] ||
    fail "unexpected standard error: $(<"$work/once.err")"
expected "$work/once.syslog" >"$work/once.expected"
(($(wc -l <"$work/once.expected") == 8)) ||
    fail "kqlogreader printed $(wc -l <"$work/once.expected") syslog lines, not 8"
for level in "${levels[@]}"; do
    grep -q "^[0-9]|$name|\[$level *ship .*\] once at $level\$" \
        "$work/once.expected" || fail "no line for $level"
done
wait_lines 8 || fail "the collector got $(wc -l <"$work/received.log" 2>/dev/null) lines, not 8"
cmp -s "$work/once.expected" "$work/received.log" || {
    diff "$work/once.expected" "$work/received.log"
    fail "the collector's lines differ from what was sent"
}

# ---- following -----------------------------------------------------------------
( echo "$BASHPID" >"$work/reader.pid"
  exec "$reader" -p "$name" -d -n -e --output syslog 2>"$work/follow.err" ) |
    "${logger_cmd[@]}" &
shipper_pid=$!
for ((i = 0; i < 50; i++)); do
    [[ -s $work/reader.pid ]] && break
    sleep 0.1
done
reader_pid=$(<"$work/reader.pid")

# -e: only lines written from now on. The follower has started reading once
# a probe written after its start arrives; the lines after it must all come.
seen=8
for ((probe = 1; probe <= 20; probe++)); do
    "$writer" -p "$name" -t ship -l INFO "probe $probe"
    wait_lines $((seen + 1)) 10 && break
done
grep -q "|$name|\[INFO  ship .*\] probe [0-9]*\$" "$work/received.log" ||
    fail "the follower shipped none of 20 probes"
seen=$(wc -l <"$work/received.log")

for level in "${levels[@]}"; do
    "$writer" -p "$name" -t live -l "$level" "followed at $level" ||
        fail "kqlogger could not write"
done
wait_lines $((seen + 6)) ||
    fail "the collector got $(($(wc -l <"$work/received.log") - seen)) followed lines, not 6"
tail -n +$((seen + 1)) "$work/received.log" >"$work/followed.log"
for level in "${levels[@]}"; do
    case $level in
    TRACE | DEBUG) sev=7 ;; INFO) sev=6 ;; WARN) sev=4 ;; ERROR) sev=3 ;; FATAL) sev=2 ;;
    esac
    grep -qx "$sev|$name|\[$level *live [0-9-]* [0-9:]* [0-9]*\] followed at $level" \
        "$work/followed.log" || fail "followed $level line missing or wrong"
done
(($(wc -l <"$work/followed.log") == 6)) || fail "followed lines other than the six written"
# Nothing printed before the follower started was shipped again.
for level in "${levels[@]}"; do
    (($(grep -c "\] once at $level\$" "$work/received.log") == 1)) ||
        fail "line \"once at $level\" shipped more than once"
done

# Stopping the follower ends the pipeline: logger sees the end of its input.
kill -TERM "$reader_pid"
for ((i = 0; i < 50; i++)); do
    kill -0 "$shipper_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$shipper_pid" 2>/dev/null && fail "logger still runs after the follower was stopped"
wait "$shipper_pid" 2>/dev/null
shipper_pid= reader_pid=
[[ $(<"$work/follow.err") == "LogPath [/var/run/$name]" ]] ||
    fail "unexpected standard error while following: $(<"$work/follow.err")"

echo "all lines reached rsyslogd with their severity and program name"
exit 0
