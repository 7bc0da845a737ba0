#!/usr/bin/env bash
# Builds the programs and starts one of them on the simulated port, with the
# viewer of the simulated board unless one already watches that port: ./run.sh
# starts vueltas, ./run.sh rotacion the other. The viewer stays open after the
# program ends, so a capture can still be saved. Like a real port, the
# simulated port takes one program at a time. Settings pass through the
# environment, e.g.
#   PARPORT_TRACE=/tmp/puerto.trace ./run.sh rotacion
set -euo pipefail
cd "$(dirname "$0")"
program=${1:-vueltas}
case $program in
  vueltas|rotacion) ;;
  *) echo "uso: ./run.sh [vueltas|rotacion]" >&2; exit 2;;
esac
scripts/ensure-packages $(cat scripts/packages)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Only what it runs: the port library, the two programs and the viewer. The
# tests and the benchmarks are ./test.sh's, in the same folder.
cmake --build build -j"$(nproc)" --target inpout32 vueltas rotacion simulador
export PARPORT=${PARPORT:-sim}
exec build/bin/simulador --con "$program"
