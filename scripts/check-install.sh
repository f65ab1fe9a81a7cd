#!/usr/bin/env bash
# Checks what `cmake --install` gives users of a build: installs it into
# BUILD_DIR/stage, checks the installed files, compiles each public header
# on its own against the stage, builds the examples against it with
# find_package(KQShmLog) and the reader example with pkg-config as well,
# then runs them and the installed tools on a real log under /var/run/
# (removed afterwards, pass or fail). Then builds the Debian package from
# the same sources, configured for /usr in BUILD_DIR/deb, checks its files,
# builds the reader example against its unpacked contents and runs lintian
# on it: any error fails. Any failure fails the script.
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
# The library, the CMake package and the pkg-config file all go to the
# build's CMAKE_INSTALL_LIBDIR.
want_libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
[ "$libdir" = "$stage/$want_libdir" ] ||
    fail "kqshmlog.pc is in $libdir, not in the build's libdir $stage/$want_libdir"
[ "$(dirname "$config")" = "$libdir/cmake/KQShmLog" ] ||
    fail "KQShmLogConfig.cmake is in $(dirname "$config"), not in $libdir/cmake/KQShmLog"
grep -qxF "libdir=\${prefix}/$want_libdir" "$pc" ||
    fail "kqshmlog.pc does not name \${prefix}/$want_libdir as libdir"
for f in bin/kqlogreader bin/kqlogger \
    share/man/man1/kqlogreader.1.gz share/man/man1/kqlogger.1.gz \
    share/doc/kqshmlog/copyright share/doc/kqshmlog/changelog.gz \
    share/bash-completion/completions/kqlogreader \
    share/bash-completion/completions/kqlogger; do
    [ -e "$stage/$f" ] || fail "$f is not installed"
done
ls "$libdir"/libkqshmlog.* >/dev/null 2>&1 || fail "no libkqshmlog in $libdir"
# The follower unit: the example, running the kqlogreader of this install.
unit=lib/systemd/system/kqlogreader-follow@.service
[ -e "$stage/$unit" ] || fail "$unit is not installed"
cmp -s "$stage/$unit" \
    <(sed "s|^ExecStart=/usr/bin/kqlogreader |ExecStart=$stage/bin/kqlogreader |" \
        "$src/examples/kqlogreader-follow@.service") ||
    fail "$unit is not the example with ExecStart=$stage/bin/kqlogreader"
# Manual pages: the sources, compressed.
for page in kqlogreader.1 kqlogger.1; do
    cmp -s <(gzip -dc "$stage/share/man/man1/$page.gz") "$src/docs/$page" ||
        fail "share/man/man1/$page.gz is not docs/$page compressed"
done
# Exactly the public headers, KQSHMLogLib/Include, and nothing from Source/.
public=$(cd "$src/KQSHMLogLib/Include" && ls)
headers=$(cd "$stage/include" && ls)
[ "$headers" = "$public" ] ||
    fail "include/ holds [$headers], not the public headers [$public]"
grep -q -- '-pthread' "$pc" || fail "kqshmlog.pc lacks -pthread"
grep -qxF "prefix=$stage" "$pc" || fail "kqshmlog.pc does not name the stage as prefix"

# A shared library from a -DBUILD_SHARED_LIBS=ON build is found here.
export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

# Each public header compiles alone, from the install tree only.
for h in $public; do
    echo "#include \"$h\"" |
        c++ "${cxxflags[@]}" -fsyntax-only -I "$stage/include" -x c++ - ||
        fail "$h does not compile on its own from the install tree"
done

# ---- the examples, built against the stage ----------------------------------
for example in reader writer follower; do
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
        # The log (ftok project id 0) and the writers' lock beside it (0x4B).
        for id in 0 0x4B; do
            ipcrm -M "$(printf '0x%08x' $(((ino & 0xffff) | ((dev & 0xff) << 16) | (id << 24))))" \
                2>/dev/null || true
        done
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

# ---- the Debian package ------------------------------------------------------
# Built from a tree configured for /usr, where the library goes to
# lib/<multiarch>; later runs rebuild only what changed.
debbuild=$build/deb
echo "== check-install: Debian package, built in $debbuild"
{
    cmake -S "$src" -B "$debbuild" -DCMAKE_INSTALL_PREFIX=/usr \
        -DCMAKE_BUILD_TYPE=Release -DKQ_BUILD_TESTS=OFF -DKQ_WERROR=ON &&
        cmake --build "$debbuild" -j "$(nproc)" &&
        rm -f "$debbuild"/kqshmlog_*.deb &&
        (cd "$debbuild" && cpack -G DEB)
} >"$work/deb.log" 2>&1 || { cat "$work/deb.log"; fail "building the Debian package failed"; }
debs=("$debbuild"/kqshmlog_*.deb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single package: ${debs[*]}"
deb=${debs[0]}

multiarch=$(c++ -print-multiarch)
[ -n "$multiarch" ] || fail "the compiler names no multiarch directory"
lib=usr/lib/$multiarch
files=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | grep -v '/$' | sed 's|^\./||' | sort)
for f in usr/bin/kqlogreader usr/bin/kqlogger \
    "$lib/libkqshmlog.a" "$lib/pkgconfig/kqshmlog.pc" \
    "$lib/cmake/KQShmLog/KQShmLogConfig.cmake" \
    usr/share/man/man1/kqlogreader.1.gz usr/share/man/man1/kqlogger.1.gz \
    usr/share/doc/kqshmlog/copyright usr/share/doc/kqshmlog/changelog.gz \
    "usr/$unit"; do
    grep -qxF "$f" <<<"$files" || fail "the package lacks /$f; it holds:"$'\n'"$files"
done
stray=$(grep -v -e '^usr/bin/' -e '^usr/include/' -e "^$lib/" -e '^usr/share/' \
    -e '^usr/lib/systemd/system/' <<<"$files" || true)
[ -z "$stray" ] || fail "the package holds files outside its directories:"$'\n'"$stray"

unpacked=$work/deb-root
dpkg-deb -x "$deb" "$unpacked"
grep -qxF "libdir=\${prefix}/lib/$multiarch" "$unpacked/$lib/pkgconfig/kqshmlog.pc" ||
    fail "the package's kqshmlog.pc does not name \${prefix}/lib/$multiarch as libdir"
grep -qxF "prefix=/usr" "$unpacked/$lib/pkgconfig/kqshmlog.pc" ||
    fail "the package's kqshmlog.pc does not name /usr as prefix"
cmp -s "$unpacked/usr/share/doc/kqshmlog/copyright" "$src/packaging/copyright" ||
    fail "the package's copyright is not packaging/copyright"
# The package's kqlogreader is where the example unit looks for it.
cmp -s "$unpacked/usr/$unit" "$src/examples/kqlogreader-follow@.service" ||
    fail "the package's /usr/$unit is not examples/kqlogreader-follow@.service"
# The CMake package is found, and links, under lib/<multiarch>.
cmake -S "$src/examples/reader" -B "$work/deb-reader" \
    -DCMAKE_PREFIX_PATH="$unpacked/usr" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" \
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/deb-reader.log" &&
    cmake --build "$work/deb-reader" >>"$work/deb-reader.log" ||
    { cat "$work/deb-reader.log"; fail "examples/reader does not build against the package"; }
found=$(sed -n 's/^KQShmLog_DIR:PATH=//p' "$work/deb-reader/CMakeCache.txt")
[ "$found" = "$unpacked/$lib/cmake/KQShmLog" ] ||
    fail "examples/reader found KQShmLog in [$found], not in the package"

echo "== check-install: lintian $(basename "$deb")"
command -v lintian >/dev/null || fail "lintian is not installed (scripts/install-deps.sh)"
status=0
# lintian warns that it runs as root on standard error; its findings are
# on standard output.
report=$(lintian --display-info --fail-on error "$deb" 2>"$work/lintian.err") || status=$?
[ -z "$report" ] || printf '%s\n' "$report"
[ "$status" = 0 ] && ! grep -q '^E: ' <<<"$report" ||
    { cat "$work/lintian.err"; fail "lintian found errors in $(basename "$deb") (status $status)"; }

echo "== check-install: passed"
