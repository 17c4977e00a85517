#!/usr/bin/env bash
# Builds the release from this tree into dist/ (or OUT_DIR):
#   portkick-<version>-win64.zip   portkick.exe, README.md, LICENSE
#   portkick_<version>_amd64.deb   the POSIX build and its avrdude.exe wrapper
#   SHA256SUMS                     their sums, for `sha256sum -c SHA256SUMS`
# The version is the one in CMakeLists.txt. Each build starts from an empty
# build directory (build-release/, or BUILD_DIR). SOURCE_DATE_EPOCH defaults
# to the time of the last commit, so that the same commit gives the same exe
# and the same zip. Installs what it needs when run as root.
#   scripts/release.sh [OUT_DIR [BUILD_DIR]]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-dist}")
build=$(realpath -m "${2:-build-release}")
scripts/deps.sh build release

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) || {
        echo "release.sh: not a git checkout; set SOURCE_DATE_EPOCH" >&2
        exit 1
    }
fi
export SOURCE_DATE_EPOCH

jobs=$(nproc)
mkdir -p "$out"
rm -f "$out"/portkick-*-win64.zip "$out"/portkick_*_amd64.deb "$out/SHA256SUMS"
package() {  # package DIR [CONFIGURE OPTION...]: configure, build, CPack
    local dir=$1; shift
    rm -rf "$dir"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DPORTKICK_TESTS=OFF "$@" >/dev/null
    cmake --build "$dir" -j"$jobs" >/dev/null
    (cd "$dir" && cpack -B "$dir/packages" >/dev/null)
    cp "$dir"/packages/portkick[-_]*.* "$out/"
}
package "$build/win" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake"
package "$build/posix"

cd "$out"
sha256sum -- portkick-*-win64.zip portkick_*_amd64.deb >SHA256SUMS
echo "release.sh: in $out:"
ls -l
