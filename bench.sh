#!/usr/bin/env bash
# Builds and runs the benchmarks; their figures go into the README's pages in docs/.
set -euo pipefail
cd "$(dirname "$0")"
scripts/ensure-packages $(cat scripts/packages)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target bench_port bench_rotacion bench_startup bench_regularity bench_motor inpout32 >/dev/null
build/bin/bench_port
trace=build/bin/bench_rotacion.trace
echo "rotacion, published (the default):"
PARPORT=sim PARPORT_TRACE= build/bin/bench_rotacion 2>/dev/null
echo "rotacion, traced and published:"
PARPORT=sim PARPORT_TRACE=$trace build/bin/bench_rotacion 2>/dev/null
rm -f "$trace"
build/bin/bench_startup
echo "the motor model:"
build/bin/bench_motor
echo "regularity of the half-steps against the bare loop (about 30 s; every core busy for half of it):"
PARPORT=sim PARPORT_TRACE= build/bin/bench_regularity 2>/dev/null
