#!/usr/bin/env bash
# Builds the Debian packages from a copy of the source, as a distribution
# would: the source package and the binary ones with dpkg-buildpackage (the
# tests run while building), lintian --pedantic -I on them, then the package's
# own tests (autopkgtest) against the package installed on this machine.
# Everything lands in build-package/: motorpasos_*.deb, .dsc, .tar.xz, .changes.
#   ./package.sh              all of it
#   ./package.sh --no-install without autopkgtest, which installs the package
set -euo pipefail
cd "$(dirname "$0")"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
scripts/ensure-packages build-essential devscripts equivs lintian autopkgtest
out=$PWD/build-package
rm -rf "$out" && mkdir -p "$out"
scripts/source-tree "$out/motorpasos"
# The build dependencies named in debian/control, through a package that
# depends on them (mk-build-deps), so that apt installs exactly those.
deps=$(mktemp -d)
trap 'rm -rf "$deps"' EXIT
(cd "$deps" && "${sudo[@]}" mk-build-deps --install --remove \
  --tool 'apt-get -y -qq --no-install-recommends' "$out/motorpasos/debian/control")
(cd "$out/motorpasos" && dpkg-buildpackage -us -uc)
changes=$(ls "$out"/motorpasos_*.changes)
scripts/lintian-clean "$changes"
[ "${1:-}" = --no-install ] || "${sudo[@]}" autopkgtest "$out"/*.deb "$out/motorpasos" -- null
ls "$out"/*.deb
