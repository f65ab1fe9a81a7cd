#!/usr/bin/env bash
# Checks what `cmake --install` gives users of a build: installs it into
# BUILD_DIR/stage, checks the installed files, compiles each public header
# on its own against the stage, builds the examples against it with
# find_package(KQShmLog) and the reader example with pkg-config as well,
# then runs them and the installed tools on a real log under /var/run/
# (removed afterwards, pass or fail). Any failure fails the script.
# usage: check-install.sh [BUILD_DIR]   (default build/plain, already built)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=$(cd "${1:-build/plain}" && pwd)
stage=$build/stage
work=$build/stage-check
cxxflags=(-std=c++17 -Wall -Wextra -Werror)

fail() {
    echo "check-install: $*" >&2
    exit 1
}

echo "== check-install: installing $build into $stage"
rm -rf "$stage" "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$stage" >"$work/install.log" ||
    { cat "$work/install.log"; fail "cmake --install failed"; }

# ---- the installed files ----------------------------------------------------
pc=$(find "$stage" -name kqshmlog.pc -path '*/pkgconfig/*')
config=$(find "$stage" -name KQShmLogConfig.cmake)
[ -n "$pc" ] || fail "no kqshmlog.pc installed"
[ -n "$config" ] || fail "no KQShmLogConfig.cmake installed"
libdir=$(dirname "$(dirname "$pc")")
for f in bin/kqlogreader bin/kqlogger \
    include/KQShmLogComm.h include/KQShmLogReader.h include/KQShmLogWriter.h \
    share/man/man1/kqlogreader.1 share/man/man1/kqlogger.1 \
    share/bash-completion/completions/kqlogreader \
    share/bash-completion/completions/kqlogger; do
    [ -e "$stage/$f" ] || fail "$f is not installed"
done
ls "$libdir"/libkqshmlog.* >/dev/null 2>&1 || fail "no libkqshmlog in $libdir"
headers=$(cd "$stage/include" && ls)
[ "$headers" = "$(printf '%s\n' KQShmLogComm.h KQShmLogReader.h KQShmLogWriter.h)" ] ||
    fail "include/ holds more than the public headers: $headers"
grep -q -- '-pthread' "$pc" || fail "kqshmlog.pc lacks -pthread"
grep -qxF "prefix=$stage" "$pc" || fail "kqshmlog.pc does not name the stage as prefix"

# A shared library from a -DBUILD_SHARED_LIBS=ON build is found here.
export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

# Each public header compiles alone, from the install tree only.
for h in KQShmLogComm.h KQShmLogReader.h KQShmLogWriter.h; do
    echo "#include \"$h\"" |
        c++ "${cxxflags[@]}" -fsyntax-only -I "$stage/include" -x c++ - ||
        fail "$h does not compile on its own from the install tree"
done

# ---- the examples, built against the stage ----------------------------------
for example in reader writer; do
    echo "== check-install: examples/$example with find_package"
    cmake -S "$src/examples/$example" -B "$work/$example" \
        -DCMAKE_PREFIX_PATH="$stage" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" \
        -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/$example.log" ||
        { cat "$work/$example.log"; fail "configuring examples/$example failed"; }
    found=$(sed -n 's/^KQShmLog_DIR:PATH=//p' "$work/$example/CMakeCache.txt")
    [ "$found" = "$(dirname "$config")" ] ||
        fail "examples/$example found KQShmLog in [$found], not in the stage"
    cmake --build "$work/$example" >>"$work/$example.log" ||
        { cat "$work/$example.log"; fail "building examples/$example failed"; }
done
print=$work/reader/kqlog-print
hello=$work/writer/kqlog-hello

echo "== check-install: examples/reader with pkg-config"
pkgflags=$(PKG_CONFIG_PATH="$(dirname "$pc")" pkg-config --cflags --libs kqshmlog) ||
    fail "pkg-config does not know kqshmlog"
# shellcheck disable=SC2086  # the flags are words
c++ "${cxxflags[@]}" "$src/examples/reader/main.cpp" $pkgflags -o "$work/kqlog-print-pc" ||
    fail "the reader example does not build with pkg-config"

# ---- running them on a real log -----------------------------------------------
name="kqcheckinstall-$$"
path=/var/run/$name
cleanup() {
    if [ -e "$path" ]; then
        local dev ino
        read -r dev ino < <(stat -c '%d %i' "$path")
        ipcrm -M "$(printf '0x%08x' $(((ino & 0xffff) | ((dev & 0xff) << 16))))" \
            2>/dev/null || true
        rm -f "$path"
    fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

echo "== check-install: running on the log $path"
"$stage/bin/kqlogger" -p "$name" -t tool "written by kqlogger" ||
    fail "the installed kqlogger failed"
"$hello" "$name" || fail "the writer example failed"

# Timestamps vary; everything else is compared byte for byte.
untime() { sed -E 's/ [0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}\]/]/'; }
lines='[INFO  tool] written by kqlogger
[INFO  hello] hello from the writer library
[WARN  hello] step 1 of 3
[WARN  hello] step 2 of 3
[WARN  hello] step 3 of 3'

for reader in "$print" "$work/kqlog-print-pc"; do
    got=$("$reader" "$name" | untime) || fail "$reader failed"
    [ "$got" = "$lines" ] ||
        fail "$reader printed:"$'\n'"$got"$'\n'"instead of:"$'\n'"$lines"
done
status=0
got=$("$stage/bin/kqlogreader" -p "$name" -d | untime) || status=$?
[ "$status" = 1 ] || fail "the installed kqlogreader ended with $status, not 1"
[ "$got" = "LogPath [$path]"$'\n'"$lines" ] ||
    fail "the installed kqlogreader printed:"$'\n'"$got"

echo "== check-install: passed"
