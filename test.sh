#!/usr/bin/env bash
# Builds everything and runs every test: once in an ordinary build, once built
# with AddressSanitizer and UndefinedBehaviorSanitizer; then builds the Debian
# source package and checks it with lintian.
set -euo pipefail
cd "$(dirname "$0")"
# sigrok-cli decodes the value change dumps; locales has the data a comma-decimal locale is built from;
# debhelper, dpkg-dev and lintian build and check the source package.
scripts/ensure-packages $(cat scripts/packages) sigrok-cli locales debhelper dpkg-dev lintian
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

# Locals on a fake stack on Debian 12 too, where GCC 14's AddressSanitizer puts them by default, so that both
# releases find the same faults (a local used after its function returned, a depth read off a local's address).
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMOTOR_SANITIZE=ON
cmake --build build-sanitize -j"$jobs"
ctest --test-dir build-sanitize --output-on-failure -j"$jobs"

# The source package, from a copy of the source (dpkg-buildpackage writes beside
# the folder it builds), and lintian on it as strictly as a distribution would:
# a change that breaks the packaging fails here. The binary packages and their
# tests are ./package.sh's.
scripts/check-source-package build-source
