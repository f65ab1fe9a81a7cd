# bash completion for kqlogreader and kqlogger. Installed under each
# command's name; whichever copy bash-completion loads defines both.
#
# Service names (-p) come from the files under /var/run/ that name a log:
# regular files whose ftok(path, 0) key has a shared-memory segment large
# enough for a log header. The segment's contents are not read, so another
# program's segment under such a key counts too. Completion stays quiet:
# errors yield no candidates.

# Smallest segment that can hold a log: the 3608-byte header and a ring.
_KQSHMLOG_MIN_SEGMENT=3609

# _kqshmlog_services WORD: appends to COMPREPLY the service names that
# begin with WORD. A WORD with slashes names files in subdirectories of
# /var/run/ (user/1000/app).
_kqshmlog_services()
{
    local cur=$1 dir=/var/run/ base=$1
    if [[ $cur == */* ]]; then
        dir+=${cur%/*}/
        base=${cur##*/}
    fi

    local -A keys=()
    local key size
    if [[ -r /proc/sysvipc/shm ]]; then
        # key shmid perms size ...; the key in decimal, after a header line.
        while read -r key _ _ size _; do
            [[ $key =~ ^[0-9]+$ && $size =~ ^[0-9]+$ ]] &&
                ((key != 0 && size >= _KQSHMLOG_MIN_SEGMENT)) &&
                keys[$key]=1
        done </proc/sysvipc/shm 2>/dev/null
    else
        # key shmid owner perms bytes ...; the key in hexadecimal.
        while read -r key _ _ _ size _; do
            [[ $key =~ ^0x[0-9a-fA-F]+$ && $size =~ ^[0-9]+$ ]] &&
                ((key != 0 && size >= _KQSHMLOG_MIN_SEGMENT)) &&
                keys[$((key))]=1
        done < <(ipcs -m 2>/dev/null)
    fi
    ((${#keys[@]})) || return 0

    local -a files=()
    local f
    for f in "$dir$base"*; do
        [[ -f $f ]] && files+=("$f")
    done
    ((${#files[@]})) || return 0

    # ftok(path, 0) on Linux: low 8 bits of the device, low 16 of the inode.
    local dev ino name
    while read -r dev ino name; do
        [[ $dev =~ ^[0-9]+$ && $ino =~ ^[0-9]+$ ]] || continue
        key=$(((ino & 0xffff) | ((dev & 0xff) << 16)))
        [[ ${keys[$key]-} ]] && COMPREPLY+=("${name#/var/run/}")
    done < <(stat -L -c '%d %i %n' -- "${files[@]}" 2>/dev/null)
    return 0
}

# _kqshmlog_scan ARGLETTERS NONOPT [LONGOPTS]: reads COMP_WORDS before the
# current word as getopt would. Sets _kq_service (the -p value: appended
# when NONOPT is "append", else the last one), _kq_pending (the option
# letter, or "--name" of a long option, whose value the current word is, or
# empty) and _kq_message (1 once a word ends the options, for NONOPT
# "stop"). LONGOPTS lists the long options, blank-separated, those that
# take a value with a trailing "=" ("file= help"), those whose value is
# optional with a trailing "?" ("color?": getopt takes a value only after
# "=", never the next word); without LONGOPTS, words that begin with "--"
# are read as letters. The value of --file goes to _kq_file. bash splits
# "--tag=net" into "--tag", "=" and "net". _kq_optional names the option
# with an optional value that the last word was ("--color"), so that a
# current word "=" begins its value.
_kqshmlog_scan()
{
    local argletters=$1 nonopt=$2 longopts=${3-} i word j c
    _kq_service='' _kq_pending='' _kq_message='' _kq_file='' _kq_optional=''
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $_kq_optional ]]; then
            # "--color" "=" "WHEN": the word after "=" is its value.
            [[ $word == = ]] && _kq_pending=$_kq_optional
            _kq_optional=
            [[ $word == = ]] && continue
        fi
        if [[ $_kq_pending == --* && $word == = ]]; then
            continue
        fi
        if [[ $_kq_pending ]]; then
            [[ $_kq_pending == p ]] && _kqshmlog_set_service "$word" "$nonopt"
            [[ $_kq_pending == --file ]] && _kq_file=$word
            _kq_pending=
            continue
        fi
        if [[ $word == -- ]]; then
            [[ $nonopt == stop ]] && _kq_message=1
            return 0
        fi
        if [[ $longopts && $word == --?* ]]; then
            local name
            name=$(_kqshmlog_long_name "${word%%=*}" "$longopts")
            if [[ $name == *= ]]; then
                if [[ $word == *=* ]]; then
                    [[ $name == file= ]] && _kq_file=${word#*=}
                else
                    # The next word is the value, or "=" before it.
                    _kq_pending=--${name%=}
                fi
            elif [[ $name == *\? && $word != *=* ]]; then
                _kq_optional=--${name%\?}
            fi
            continue
        fi
        if [[ $word != -?* ]]; then
            [[ $nonopt == stop ]] && { _kq_message=1; return 0; }
            continue
        fi
        for ((j = 1; j < ${#word}; j++)); do
            c=${word:j:1}
            [[ $argletters == *"$c"* ]] || continue
            if ((j + 1 < ${#word})); then
                [[ $c == p ]] && _kqshmlog_set_service "${word:j+1}" "$nonopt"
            else
                _kq_pending=$c
            fi
            break
        done
    done
    return 0
}

# _kqshmlog_long_name WORD LONGOPTS: the long option that WORD ("--ta")
# names, exactly or as the only one it begins ("tag="), or nothing.
_kqshmlog_long_name()
{
    local word=${1#--} opt found=''
    for opt in $2; do
        [[ ${opt%[=?]} == "$word" ]] && { printf '%s\n' "$opt"; return 0; }
        if [[ ${opt%[=?]} == "$word"* ]]; then
            [[ $found ]] && return 0
            found=$opt
        fi
    done
    [[ $found ]] && printf '%s\n' "$found"
    return 0
}

_kqshmlog_set_service()
{
    if [[ $2 == append ]]; then
        _kq_service+=$1
    else
        _kq_service=$1
    fi
}

# _kqshmlog_tags TOOL SERVICE FIELD [IMAGE]: the tag indices (FIELD 1) or
# names (FIELD 2) of a service's log, or with no SERVICE of a segment image
# written by -D, from TOOL's listing (kqlogreader -s).
_kqshmlog_tags()
{
    local tool=$1 service=$2 field=$3 image=${4-} line
    local -a source
    if [[ $service ]]; then
        source=(-p "$service")
    elif [[ $image ]]; then
        source=(--file "$image")
    else
        return 0
    fi
    [[ -x $tool ]] || return 0
    while IFS= read -r line; do
        [[ $line =~ ^\[([0-9]+)\]\ Tag\[([^][[:space:]]+)\]\ Level\[ ]] &&
            printf '%s\n' "${BASH_REMATCH[field]}"
    done < <("$tool" "${source[@]}" -s 2>/dev/null </dev/null)
    return 0
}

# The kqlogreader that is being completed, else the one on PATH.
_kqshmlog_reader_tool()
{
    local tool
    if [[ $1 == */* && -x $1 ]]; then
        printf '%s\n' "$1"
    elif tool=$(type -P kqlogreader); then
        printf '%s\n' "$tool"
    fi
}

_KQLOGREADER_LONGOPTS='file= lines= tag= level= output= cursor-file= since=
    until= grep= case-sensitive color? utc log= all list version help'

_kqlogreader()
{
    local cur=${COMP_WORDS[COMP_CWORD]} head=''
    COMPREPLY=()
    _kqshmlog_scan pilftD append "$_KQLOGREADER_LONGOPTS"

    # The value of a long option: "--tag" "=" "CUR" as bash splits it, or
    # "--tag=CUR" in one word where "=" does not break words.
    if [[ $_kq_pending == --* && $cur == = ]]; then
        cur=
    elif [[ $_kq_optional && $cur == = ]]; then
        _kq_pending=$_kq_optional
        cur=
    elif [[ ! $_kq_pending && $cur == --?*=* ]]; then
        local name
        name=$(_kqshmlog_long_name "${cur%%=*}" "$_KQLOGREADER_LONGOPTS")
        if [[ $name == *[=?] ]]; then
            _kq_pending=--${name%[=?]}
            head=${cur%%=*}=
            cur=${cur#*=}
        fi
    fi

    case $_kq_pending in
    --file | --cursor-file)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        _kqshmlog_prepend "$head"
        return 0
        ;;
    --tag)
        # A comma-separated list: the item after the last comma.
        local tool names done=''
        [[ $cur == *,* ]] && done=${cur%,*},
        tool=$(_kqshmlog_reader_tool "${COMP_WORDS[0]}")
        names=$(_kqshmlog_tags "$tool" "$_kq_service" 2 "$_kq_file")
        mapfile -t COMPREPLY < <(compgen -W "$names" -- "${cur##*,}")
        _kqshmlog_prepend "$head$done"
        return 0
        ;;
    --level)
        mapfile -t COMPREPLY < <(
            compgen -W 'TRACE DEBUG INFO WARN ERROR FATAL' -- "$cur")
        _kqshmlog_prepend "$head"
        return 0
        ;;
    --output)
        mapfile -t COMPREPLY < <(
            compgen -W 'short short-iso json syslog' -- "$cur")
        _kqshmlog_prepend "$head"
        return 0
        ;;
    --log)
        _kqshmlog_services "$cur"
        _kqshmlog_prepend "$head"
        return 0
        ;;
    --color)
        mapfile -t COMPREPLY < <(compgen -W 'auto always never' -- "$cur")
        _kqshmlog_prepend "$head"
        return 0
        ;;
    --since | --until)
        # The words among the TIME forms; dates, times and spans are typed.
        mapfile -t COMPREPLY < <(
            compgen -W 'now today yesterday tomorrow' -- "$cur")
        _kqshmlog_prepend "$head"
        return 0
        ;;
    --lines | --grep)
        return 0
        ;;
    esac

    case $_kq_pending in
    p)
        _kqshmlog_services "$cur"
        return 0
        ;;
    l)
        mapfile -t COMPREPLY < <(compgen -W '0 1 2 3 4 5' -- "$cur")
        return 0
        ;;
    i | t | f)
        local tool ids
        tool=$(_kqshmlog_reader_tool "${COMP_WORDS[0]}")
        ids=$(_kqshmlog_tags "$tool" "$_kq_service" 1 "$_kq_file")
        [[ $_kq_pending == i ]] && ids+=" -1"
        mapfile -t COMPREPLY < <(compgen -W "$ids" -- "$cur")
        return 0
        ;;
    D)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return 0
        ;;
    esac

    # "-pNAME" in one word, possibly after option letters without values.
    if [[ $cur =~ ^(-[hndseV]*p)(.+)$ ]]; then
        local head=${BASH_REMATCH[1]} i
        _kqshmlog_services "${BASH_REMATCH[2]}"
        for i in "${!COMPREPLY[@]}"; do
            COMPREPLY[i]=$head${COMPREPLY[i]}
        done
        return 0
    fi
    if [[ $cur == --* ]]; then
        mapfile -t COMPREPLY < <(compgen -W '--file --lines --tag --level
            --output --cursor-file --since --until --grep --case-sensitive
            --color --utc --log --all --list --version --help' -- "$cur")
    elif [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(
            compgen -W '-h -n -p -d -s -l -i -t -f -e -V -D' -- "$cur")
    fi
    return 0
}

# _kqshmlog_prepend TEXT: puts TEXT before each candidate in COMPREPLY.
_kqshmlog_prepend()
{
    [[ $1 ]] || return 0
    local i
    for i in "${!COMPREPLY[@]}"; do
        COMPREPLY[i]=$1${COMPREPLY[i]}
    done
}

_KQLOGGER_LONGOPTS='mode= group='

_kqlogger()
{
    local cur=${COMP_WORDS[COMP_CWORD]} head=''
    COMPREPLY=()
    _kqshmlog_scan ptlb stop "$_KQLOGGER_LONGOPTS"
    [[ $_kq_message ]] && return 0

    # A long option's value, split by bash or in one word ("--mode=06").
    if [[ $_kq_pending == --* && $cur == = ]]; then
        cur=
    elif [[ ! $_kq_pending && $cur == --?*=* ]]; then
        local name
        name=$(_kqshmlog_long_name "${cur%%=*}" "$_KQLOGGER_LONGOPTS")
        if [[ $name == *= ]]; then
            _kq_pending=--${name%=}
            head=${cur%%=*}=
            cur=${cur#*=}
        fi
    fi

    case $_kq_pending in
    --mode)
        # The usual ones; any octal mode from 0600 to 0777 is taken.
        mapfile -t COMPREPLY < <(compgen -W '0600 0640 0660 0666' -- "$cur")
        _kqshmlog_prepend "$head"
        return 0
        ;;
    --group)
        mapfile -t COMPREPLY < <(compgen -g -- "$cur")
        _kqshmlog_prepend "$head"
        return 0
        ;;
    p)
        _kqshmlog_services "$cur"
        return 0
        ;;
    t)
        local tool names
        tool=$(_kqshmlog_reader_tool "")
        names=$(_kqshmlog_tags "$tool" "$_kq_service" 2)
        mapfile -t COMPREPLY < <(compgen -W "$names" -- "$cur")
        return 0
        ;;
    l)
        mapfile -t COMPREPLY < <(
            compgen -W 'TRACE DEBUG INFO WARN ERROR FATAL' -- "$cur")
        return 0
        ;;
    b)
        return 0
        ;;
    esac

    if [[ $cur =~ ^-p(.+)$ ]]; then
        local i
        _kqshmlog_services "${BASH_REMATCH[1]}"
        for i in "${!COMPREPLY[@]}"; do
            COMPREPLY[i]=-p${COMPREPLY[i]}
        done
        return 0
    fi
    if [[ $cur == --* ]]; then
        mapfile -t COMPREPLY < <(compgen -W '--mode --group' -- "$cur")
    elif [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W '-h -p -t -l -b' -- "$cur")
    fi
    return 0
}

complete -F _kqlogreader kqlogreader
complete -F _kqlogger kqlogger
