#!/usr/bin/env bash
# Builds the Debian package (build/package/motorpasos_*.deb) and checks it
# with lintian.
set -euo pipefail
cd "$(dirname "$0")"
scripts/ensure-packages $(cat scripts/packages) dpkg-dev lintian
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_CXX_FLAGS="-D_FORTIFY_SOURCE=2 -fstack-protector-strong -fcf-protection" \
  -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro,-z,now" -DCMAKE_SHARED_LINKER_FLAGS="-Wl,-z,relro,-z,now"
cmake --build build-package -j"$(nproc)"
(cd build-package && cpack)
deb=$(ls build-package/package/motorpasos_*.deb)
echo "$deb"
lintian --info --fail-on error "$deb"
