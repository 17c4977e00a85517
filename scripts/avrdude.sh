#!/usr/bin/env bash
# Builds the avrdude.exe that the Windows zip carries, from Debian's avrdude
# source, and prints the directory that holds it:
#   avrdude.exe          avrdude 7.1 for 64-bit Windows, serial programmers
#                        only (avr109 is one), linked statically, stripped
#   avrdude.conf         its configuration, which it finds beside itself
#   avrdude-COPYING.txt  which avrdude this is, how it was built and from
#                        which source file; then avrdude's licence (CRLF)
#   avrdude_7.1+dfsg.orig.tar.xz  that source file, which goes with the
#                        release, as avrdude's licence asks
# The source, avrdude_7.1+dfsg.orig.tar.xz, is fetched once with
# `apt-get source` through a deb-src list of its own, written from this
# machine's apt sources (the system's lists are left alone), and must have
# the SHA-256 below. Source and result are kept in
# ${XDG_CACHE_HOME:-~/.cache}/portkick/, the result under a key made of the
# source's sum, this script, the toolchain file and the versions of the
# tools, so that only the first build with each of them pays. The same
# source and tools give the same bytes in any directory, under any umask,
# time zone or locale. Installs what it needs when run as root.
#   scripts/avrdude.sh
set -euo pipefail
umask 022
export TZ=UTC LC_ALL=C
unset SOURCE_DATE_EPOCH
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/deps.sh" build release >&2

package=avrdude=7.1+dfsg-3
source=avrdude_7.1+dfsg.orig.tar.xz
sum=91d454994f098f24a1c627036b4c9cec36ad639cda31875e652c104c0bd42906
toolchain=$here/cmake/mingw-w64-x86_64.cmake
cache=${XDG_CACHE_HOME:-${HOME:?}/.cache}/portkick
mkdir -p "$cache"
exec 9>"$cache/avrdude.lock"
flock 9  # one build at a time; the next one finds its result
tmp=$(mktemp -d)
case $tmp in *[[:space:]]*) rmdir "$tmp"; tmp=$(mktemp -d -p /tmp) ;; esac  # paths go into flags
trap 'rm -rf "$tmp"' EXIT

fail() { echo "avrdude.sh: $*" >&2; exit 1; }
checked() { echo "$sum  $1" | sha256sum --quiet -c - >/dev/null 2>&1; }

if ! checked "$cache/$source"; then
    # deb-src entries for what the machine's apt sources name, one-line and
    # deb822 alike; apt keeps its lists and downloads in $tmp.
    mkdir -p "$tmp/apt/parts" "$tmp/apt/lists/partial" "$tmp/apt/cache/archives/partial" "$tmp/get"
    shopt -s nullglob
    for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        if [ -f "$list" ]; then sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$list"; fi
    done >"$tmp/apt/parts/source.list"
    for list in /etc/apt/sources.list.d/*.sources; do
        awk 'BEGIN { RS = ""; ORS = "\n\n" }
            /(^|\n)Types:[^\n]*deb([ \t]|\n|$)/ { sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$list"
    done >"$tmp/apt/parts/source.sources"
    apt=(apt-get -q -o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$tmp/apt/parts"
         -o "Dir::State::Lists=$tmp/apt/lists" -o "Dir::Cache=$tmp/apt/cache"
         -o APT::Sandbox::User="$(id -un)")
    "${apt[@]}" update >"$tmp/apt.log" 2>&1 &&
        (cd "$tmp/get" && "${apt[@]}" source --download-only --tar-only "$package") >>"$tmp/apt.log" 2>&1 ||
        { cat "$tmp/apt.log" >&2; fail "could not fetch the source of $package through apt"; }
    checked "$tmp/get/$source" || fail "the $source that apt fetched has not the SHA-256 $sum"
    mv "$tmp/get/$source" "$cache/$source.new"
    mv "$cache/$source.new" "$cache/$source"
fi

key=$( {
    echo "$sum"
    cat "$0" "$toolchain"
    readlink -f "$(command -v x86_64-w64-mingw32-gcc)"
    dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package} ${Version}\n' \
        '*mingw-w64*' cmake make flex bison | grep '^ii'
} | sha256sum)
result=$cache/avrdude-7.1-${key:0:16}
if [ ! -f "$result/avrdude.exe" ]; then
    # Paths are mapped to fixed names, the PE header carries no time stamp,
    # and the linker strips (strip would stamp the header with the time).
    src=$tmp/avrdude-7.1 build=$tmp/build out=$cache/.new-avrdude
    rm -rf "$out"
    mkdir -p "$src" "$out"
    tar -xJf "$cache/$source" -C "$src" --strip-components=1
    { cmake -S "$src" -B "$build" --toolchain "$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_DOC=OFF -DUSE_EXTERNAL_LIBS=OFF -DCMAKE_DISABLE_FIND_PACKAGE_Git=TRUE \
        -DCMAKE_C_FLAGS="-ffile-prefix-map=$src=avrdude-7.1 -ffile-prefix-map=$build=build" \
        -DCMAKE_EXE_LINKER_FLAGS="-static -static-libgcc -s -Wl,--no-insert-timestamp" &&
      cmake --build "$build" -j"$(nproc)"; } >"$tmp/build.log" 2>&1 ||
        { tail -n 30 "$tmp/build.log" >&2; fail "the build of avrdude.exe failed"; }
    install -m 755 "$build/src/avrdude.exe" "$out/"
    install -m 644 "$build/src/avrdude.conf" "$cache/$source" "$out/"
    { cat <<EOF
avrdude.exe and avrdude.conf in this folder are avrdude 7.1 for 64-bit
Windows, built by portkick's release (its scripts/avrdude.sh) from the
source of Debian's avrdude package, version ${package#*=}, the file

  $source
  SHA-256 $sum

which comes with the release, beside this zip. Built with CMake and the
MinGW-w64 cross-compiler ($(x86_64-w64-mingw32-gcc --version | head -n 1)),
linked statically, with the serial programmers only (avr109 among them):
no USB programmers, since neither libusb nor libftdi nor hidapi was built
in. avrdude is free software under the GNU General Public License, version
2 or (at your option) any later version; its licence follows.

EOF
      cat "$src/COPYING"; } | sed 's/$/\r/' >"$out/avrdude-COPYING.txt"
    chmod 644 "$out/avrdude-COPYING.txt"
    rm -rf "$result"
    mv -T "$out" "$result"  # at once, complete
fi
echo "$result"
