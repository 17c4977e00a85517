#!/usr/bin/env bash
# Builds the release of the commit checked out here into dist/ (or OUT_DIR):
#   portkick-<version>-win64.zip   one folder: portkick.exe, avrdude.exe and
#                                  avrdude.conf, avrdude-COPYING.txt,
#                                  README.txt, LICENSE
#   portkick_<version>_amd64.deb   the POSIX build, its wrapper and manual page
#   portkick-<version>.tar.gz      the source, as `git archive` gives it
#   avrdude_7.1+dfsg.orig.tar.xz   the source of the zip's avrdude.exe, as
#                                  fetched (scripts/avrdude.sh)
#   SHA256SUMS                     their sums, for `sha256sum -c SHA256SUMS`
# The version is the one in CMakeLists.txt. A tree with changes that are not
# committed is refused: the release is the commit. So is one whose
# CHANGELOG.md holds notes under "## Unreleased" or has no heading for the
# version: a release's notes are under its own heading. Both packages are built
# from the source tarball, unpacked into an empty build directory
# (build-release/, or BUILD_DIR). The same commit gives the same bytes
# whoever builds it, wherever, under any umask, time zone or locale:
# SOURCE_DATE_EPOCH (by default the commit's time) dates what is archived.
# PORTKICK_MAINTAINER ("Name <address>") sets the Debian package's
# maintainer. Installs what it needs when run as root.
#   scripts/release.sh [OUT_DIR [BUILD_DIR]]
set -euo pipefail
umask 022
export TZ=UTC LC_ALL=C
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-dist}")
build=$(realpath -m "${2:-build-release}")
scripts/deps.sh build release

if ! git rev-parse --verify -q HEAD >/dev/null; then
    echo "release.sh: $PWD is not a git checkout with a commit: release from a clone" >&2
    exit 1
fi
if [ -n "$(git status --porcelain)" ]; then
    echo "release.sh: $PWD has changes that are not committed: commit or stash them first" >&2
    exit 1
fi
version=$(sed -n 's/^project(portkick VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
if awk '/^## / { notes = $0 == "## Unreleased"; next } notes && NF { found = 1 } END { exit !found }' \
    CHANGELOG.md; then
    echo "release.sh: CHANGELOG.md has notes under \"## Unreleased\": give them their version's heading first (README.md, \"Making a release\")" >&2
    exit 1
fi
if ! grep -q "^## ${version//./\\.} - " CHANGELOG.md; then
    echo "release.sh: CHANGELOG.md has no heading \"## $version - YYYY-MM-DD\" for the version of CMakeLists.txt" >&2
    exit 1
fi
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}

rm -rf "$build"
mkdir -p "$build" "$out"
rm -f "$out"/portkick-*-win64.zip "$out"/portkick_*_amd64.deb "$out"/portkick-*.tar.gz \
    "$out"/avrdude_*.orig.tar.xz "$out/SHA256SUMS"
avrdude=$(scripts/avrdude.sh)
source=portkick-$version.tar.gz
git -c tar.umask=0022 archive --format=tar.gz --prefix="portkick-$version/" -o "$build/$source" HEAD
tar -xzf "$build/$source" -C "$build"
src=$build/portkick-$version

jobs=$(nproc)
package() {  # package PRESET DIR [CONFIGURE OPTION...]: configure, build, CPack
    local preset=$1 dir=$2; shift 2
    (cd "$src" && cmake --preset "$preset" -B "$dir" "$@" >/dev/null)
    cmake --build "$dir" -j"$jobs" >/dev/null
    (cd "$dir" && cpack -B "$dir/packages" >/dev/null)
    cp "$dir"/packages/portkick[-_]*.* "$out/"
}
package release-windows "$build/win" -DPORTKICK_AVRDUDE_DIR="$avrdude"
maintainer=()
if [ -n "${PORTKICK_MAINTAINER:-}" ]; then
    maintainer=(-DPORTKICK_MAINTAINER="$PORTKICK_MAINTAINER")
fi
(
    # The distribution's hardening flags, as a Debian package build sets them.
    cd "$src"
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
    LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
    export CXXFLAGS LDFLAGS
    package release-posix "$build/posix" "${maintainer[@]}"
)
cp "$build/$source" "$avrdude"/avrdude_*.orig.tar.xz "$out/"

cd "$out"
sha256sum -- "portkick-$version-win64.zip" "portkick_${version}_amd64.deb" "$source" \
    avrdude_*.orig.tar.xz >SHA256SUMS
echo "release.sh: in $out:"
ls -l
