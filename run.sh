#!/usr/bin/env bash
# Builds the programs and starts them on the simulated port: ./run.sh starts
# both, ./run.sh vueltas (or rotacion) only that one. Extra settings pass
# through the environment, e.g. PARPORT_TRACE=/tmp/puerto.trace ./run.sh
set -euo pipefail
cd "$(dirname "$0")"
scripts/ensure-packages $(cat scripts/packages)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
export PARPORT=${PARPORT:-sim}
programs=("$@")
[ ${#programs[@]} -gt 0 ] || programs=(vueltas rotacion)
pids=()
for program in "${programs[@]}"; do
  build/bin/"$program" &
  pids+=($!)
done
wait "${pids[@]}"
