#!/usr/bin/env bash
# Builds the programs and starts them on the simulated port, with the viewer
# of the simulated board: ./run.sh starts vueltas, rotacion and the viewer;
# ./run.sh vueltas (or rotacion) that program and the viewer. Settings pass
# through the environment, e.g. PARPORT_TRACE=/tmp/puerto.trace ./run.sh vueltas
set -euo pipefail
cd "$(dirname "$0")"
scripts/ensure-packages $(cat scripts/packages)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
export PARPORT=${PARPORT:-sim}
programs=("$@")
[ ${#programs[@]} -gt 0 ] || programs=(vueltas rotacion)
pids=()
build/bin/simulador &
pids+=($!)
for program in "${programs[@]}"; do
  build/bin/"$program" &
  pids+=($!)
done
wait "${pids[@]}"
