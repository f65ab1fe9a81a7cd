#!/usr/bin/env bash
# Tests the bash completion of kqlogreader and kqlogger against real logs.
# usage: completion_test.sh KQLOGREADER KQLOGGER
# Makes its own log paths and segments under /var/run/ and removes them,
# pass or fail.
set -u
reader=$1
logger=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=kqshmlog.bash
source "$here/kqshmlog.bash"

prefix="kqcomptest-$$-"
log_a="${prefix}alpha"     # a log with a segment
log_b="${prefix}beta"      # a second one
plain="${prefix}plain"     # a file with no segment: never offered
made=()
images=$(mktemp -d /tmp/kqcomptest.XXXXXX) || { echo "FAIL: no temporary directory"; exit 1; }

held=()   # files whose key a parallel test's segment holds: only removed

# ftok(path, id) as glibc makes it: the project id, the low 8 bits of the
# device number, the low 16 of the inode, as 0x%08x the way ipcs -m prints
# keys. The log has id 0, the writers' lock beside it 0x4B.
ftok_key() {
    local ino dev
    read -r ino dev < <(stat -c '%i %d' "$1") || return 1
    printf '0x%08x' $(( (${2:-0} << 24) | ((dev & 0xff) << 16) | (ino & 0xffff) ))
}
remove_log() {
    local path=/var/run/$1
    [[ -e $path ]] || return 0
    ipcrm -M "$(ftok_key "$path")" 2>/dev/null
    ipcrm -M "$(ftok_key "$path" 0x4B)" 2>/dev/null
    rm -f "$path"
}
cleanup() {
    local name
    for name in "${made[@]}"; do remove_log "$name"; done
    for name in "${held[@]}"; do rm -f "/var/run/$name"; done
    rm -rf "$images"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# A plain file whose key names no segment: a parallel test's live segment
# may hold the key of the inode a new file gets. Files refused meanwhile
# stay until the end, so that no inode comes back.
make_plain() {
    local try
    for ((try = 0; try < 20; try++)); do
        : >"/var/run/$plain" || return 1
        if ! ipcs -m | awk '{print $1}' | grep -qx "$(ftok_key "/var/run/$plain")"; then
            return 0
        fi
        held+=("$plain-held$try")
        mv "/var/run/$plain" "/var/run/$plain-held$try" || return 1
    done
    return 1
}

made+=("$log_a" "$log_b" "$plain")
"$logger" -p "$log_a" -t net "first" &&
    "$logger" -p "$log_a" -t disk "second" &&
    "$logger" -p "$log_b" "third" &&
    make_plain || { echo "FAIL: cannot make the test logs"; exit 1; }

failures=0
# expect "WANTED" FUNCTION WORD... : completes the last WORD as bash would
# and compares the sorted candidates, one line each, with WANTED.
expect() {
    local wanted=$1 func=$2
    shift 2
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    "$func"
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort)
    [[ -z ${COMPREPLY[*]} ]] && got=
    if [[ $got != "$wanted" ]]; then
        echo "FAIL: ${*@Q}"
        echo "  wanted: ${wanted//$'\n'/ }"
        echo "  got:    ${got//$'\n'/ }"
        failures=$((failures + 1))
    fi
}
nl=$'\n'

# Service names: only files whose key has a segment, in every option form.
expect "$log_a$nl$log_b" _kqlogreader kqlogreader -p "$prefix"
expect "$log_a" _kqlogreader kqlogreader -d -p "${prefix}al"
expect "$log_a$nl$log_b" _kqlogreader kqlogreader -dnp "$prefix"
expect "-p$log_a$nl-p$log_b" _kqlogreader kqlogreader "-p$prefix"
expect "-dp$log_a" _kqlogreader kqlogreader "-dp${prefix}a"
expect "$log_b" _kqlogger kqlogger -t x -p "${prefix}b"
expect "-p$log_b" _kqlogger kqlogger "-p${prefix}b"
expect "" _kqlogreader kqlogreader -p "$plain"
expect "$log_a$nl$log_b" _kqlogreader kqlogreader --log "$prefix"
expect "$log_b" _kqlogreader kqlogreader --log "$log_a" -d --log = "${prefix}b"
expect "--log=$log_a" _kqlogreader kqlogreader "--log=${prefix}a"

# Option letters; values that are not service names.
expect "-D$nl-V$nl-d$nl-e$nl-f$nl-h$nl-i$nl-l$nl-n$nl-p$nl-s$nl-t" \
    _kqlogreader kqlogreader -
expect "-b$nl-h$nl-l$nl-p$nl-t" _kqlogger kqlogger -p "$log_a" -
expect "0${nl}1${nl}2${nl}3${nl}4${nl}5" _kqlogreader kqlogreader -p x -l ""
expect "WARN" _kqlogger kqlogger -l W
expect "" _kqlogger kqlogger -b ""

# Tag indices and names come from the log's own tag table.
expect "0${nl}1" _kqlogreader "$reader" -p "$log_a" -t ""
expect "-1${nl}0${nl}1" _kqlogreader "$reader" -p "${prefix}" -p alpha -i ""
expect "1" _kqlogreader "$reader" "-p$log_a" -s -f 1
PATH="$(dirname "$reader"):$PATH" expect "disk${nl}net" \
    _kqlogger kqlogger -p "$log_a" -t ""
expect "" _kqlogreader "$reader" -p "$plain" -t ""

# kqlogger's long options and their values: modes, and the system's groups.
expect "--group$nl--mode" _kqlogger kqlogger -p "$log_a" --
expect "0660${nl}0666" _kqlogger kqlogger --mode 066
expect "--mode=0640" _kqlogger kqlogger --mode=064
expect "root" _kqlogger kqlogger --mode 0640 --group roo
expect "" _kqlogger kqlogger -p "$log_a" hello --

# kqlogger's options end at the first message word.
expect "" _kqlogger kqlogger -p "$log_a" hello -
expect "" _kqlogger kqlogger -p "$log_a" -- -

# Long options: their names, and their values however bash splits them
# ("--output=j" is "--output" "=" "j" while "=" breaks words).
image=$images/alpha.img
"$reader" -p "$log_a" -D "$image" >/dev/null
[[ -s $image ]] || { echo "FAIL: cannot dump $log_a"; exit 1; }
expect "--all$nl--case-sensitive$nl--color$nl--cursor-file$nl--file$nl--grep$nl--help$nl--level$nl--lines$nl--list$nl--log$nl--output$nl--since$nl--tag$nl--until$nl--utc$nl--version" \
    _kqlogreader kqlogreader --
expect "--level$nl--lines$nl--list$nl--log" _kqlogreader kqlogreader -d --l
expect "--case-sensitive$nl--color$nl--cursor-file" _kqlogreader kqlogreader -d --c
expect "--until$nl--utc" _kqlogreader kqlogreader -d --u
expect "json${nl}short${nl}short-iso${nl}syslog" _kqlogreader kqlogreader -d --output ""
expect "json" _kqlogreader kqlogreader --output j
expect "json${nl}short${nl}short-iso${nl}syslog" _kqlogreader kqlogreader --output =
expect "short${nl}short-iso${nl}syslog" _kqlogreader kqlogreader --output = s
expect "--output=short$nl--output=short-iso$nl--output=syslog" _kqlogreader kqlogreader --output=s
expect "--output=short-iso" _kqlogreader kqlogreader --output=short-
expect "json" _kqlogreader kqlogreader --out = j
expect "WARN" _kqlogreader kqlogreader --level W
expect "" _kqlogreader kqlogreader -p x --lines ""
# --tag: the names in the log's tag table, item by item of a list; from the
# image with --file.
expect "disk${nl}net" _kqlogreader "$reader" -p "$log_a" --tag ""
expect "net,disk" _kqlogreader "$reader" -p "$log_a" -d --tag net,d
expect "net" _kqlogreader "$reader" -p "$log_a" --tag = n
expect "--tag=disk" _kqlogreader "$reader" -p "$log_a" --tag=d
expect "disk${nl}net" _kqlogreader "$reader" -p "$log_a" --ta ""
expect "" _kqlogreader "$reader" --tag ""
expect "disk${nl}net" _kqlogreader "$reader" --file "$image" -d --tag ""
expect "net" _kqlogreader "$reader" --file = "$image" --tag n
expect "net" _kqlogreader "$reader" "--file=$image" --tag n
# --file: file names.
expect "$image" _kqlogreader kqlogreader --file "$images/al"
expect "$image" _kqlogreader kqlogreader -d --file = "$images/al"
# --cursor-file: file names too, in each form.
expect "$image" _kqlogreader kqlogreader -d --cursor-file "$images/al"
expect "$image" _kqlogreader kqlogreader -d --cursor-file = "$images/al"
expect "--cursor-file=$image" _kqlogreader kqlogreader -d "--cursor-file=$images/al"
expect "--cursor-file" _kqlogreader kqlogreader -d --cu
# --since and --until: the TIME words; --grep: free text.
expect "now${nl}today${nl}tomorrow${nl}yesterday" _kqlogreader kqlogreader -d --since ""
expect "today${nl}tomorrow" _kqlogreader kqlogreader -d --until t
expect "yesterday" _kqlogreader kqlogreader -d --until = y
expect "--since=today$nl--since=tomorrow" _kqlogreader kqlogreader -d --since=t
expect "now" _kqlogreader kqlogreader -d --sin n
expect "" _kqlogreader kqlogreader -d --grep ""
expect "" _kqlogreader kqlogreader -d --grep t
# --color takes its value only after "=", however bash splits it; the next
# word is never its value.
expect "always${nl}auto${nl}never" _kqlogreader kqlogreader -d --color =
expect "always${nl}auto" _kqlogreader kqlogreader -d --color = a
expect "--color=never" _kqlogreader kqlogreader -d --color=n
expect "--col=always$nl--col=auto" _kqlogreader kqlogreader -d --col=a
expect "" _kqlogreader kqlogreader -d --color ""
expect "" _kqlogreader kqlogreader -d --color a
expect "-D$nl-V$nl-d$nl-e$nl-f$nl-h$nl-i$nl-l$nl-n$nl-p$nl-s$nl-t" \
    _kqlogreader kqlogreader -d --color -
expect "" _kqlogreader kqlogreader -d --utc ""
# A long option's value is not read as an option, nor an option as one.
expect "" _kqlogreader "$reader" --tag -p "$log_a" -t ""
expect "0${nl}1" _kqlogreader "$reader" --lines 3 -p "$log_a" -t ""
expect "0${nl}1" _kqlogreader "$reader" --level = WARN -p "$log_a" -t ""
expect "0${nl}1" _kqlogreader "$reader" --level=WARN -p "$log_a" -t ""
expect "" _kqlogreader "$reader" --grep -p "$log_a" -t ""
expect "0${nl}1" _kqlogreader "$reader" --grep -t -p "$log_a" -t ""
expect "0${nl}1" _kqlogreader "$reader" --since = -1h -p "$log_a" -t ""
expect "0${nl}1" _kqlogreader "$reader" --until=now -p "$log_a" -t ""
expect "0${nl}1" _kqlogreader "$reader" --color -p "$log_a" -t ""
expect "0${nl}1" _kqlogreader "$reader" --color = always -p "$log_a" -t ""
expect "0${nl}1" _kqlogreader "$reader" --color=never -p "$log_a" -t ""
expect "0${nl}1" _kqlogreader "$reader" --utc --case-sensitive -p "$log_a" -t ""
expect "disk${nl}net" _kqlogreader "$reader" -p "$log_a" --color --tag ""

# A log path whose segment is gone is no longer offered.
remove_log "$log_b"
expect "$log_a" _kqlogreader kqlogreader -p "$prefix"

if ((failures)); then
    echo "$failures completion case(s) failed"
    exit 1
fi
echo "all completion cases passed"
