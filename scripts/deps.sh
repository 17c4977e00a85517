#!/usr/bin/env bash
# Installs, with apt-get, whatever of the given needs this machine lacks.
#   build  - CMake and g++ for the POSIX build
#   rig    - GoogleTest, which a build with the simulated board configures
#   flash  - the real avrdude
#   python - Python 3 (the benchmark)
#   cross  - the MinGW cross-compiler (the benchmark's exe size)
#   tests  - GoogleTest, Python 3, the MinGW cross-compiler, Wine, bindfs, udev,
#            and what checks the Debian package: lintian, man
#   release - the MinGW cross-compiler, flex, bison and xz for avrdude.exe,
#            git, dpkg-dev (dpkg-shlibdeps and dpkg-buildflags) and file for
#            the Debian package
# Sourced or run as: scripts/deps.sh build flash tests release
set -euo pipefail

missing=()
want() {  # want PACKAGE TEST...: PACKAGE is missing unless the test passes
    local package=$1; shift
    "$@" >/dev/null 2>&1 || missing+=("$package")
}
have() { command -v "$1"; }

for need in "$@"; do
    case $need in
        build)
            want cmake have cmake
            want g++ have g++
            want make have make ;;
        rig)
            want libgtest-dev test -f /usr/include/gtest/gtest.h ;;
        flash)
            want avrdude have avrdude ;;
        python)
            want python3 have python3 ;;
        cross)
            want g++-mingw-w64-x86-64 have x86_64-w64-mingw32-g++ ;;
        tests)
            want libgtest-dev test -f /usr/include/gtest/gtest.h
            want python3 have python3
            want g++-mingw-w64-x86-64 have x86_64-w64-mingw32-g++
            want wine64 test -x /usr/lib/wine/wine64
            want wine have wine
            want bindfs have bindfs
            want udev have udevadm
            want lintian have lintian
            want man-db have man ;;
        release)
            want g++-mingw-w64-x86-64 have x86_64-w64-mingw32-g++
            want flex have flex
            want bison have bison
            want xz-utils have xz
            want git have git
            want dpkg-dev have dpkg-shlibdeps
            want file have file ;;
        *) echo "deps.sh: unknown need '$need'" >&2; exit 2 ;;
    esac
done

if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "deps.sh: run as root to install them, or install them yourself" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi
