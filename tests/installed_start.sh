#!/usr/bin/env bash
# An installed program must find its port library: install into a staging
# folder, start the installed vueltas there on the simulated port, and look for
# its start-up write in the trace.
set -euo pipefail
build=$1
stage=$build/tests/stage
trace=$build/tests/installed.trace
rm -rf "$stage" "$trace"
DESTDIR=$stage cmake --install "$build" --prefix /usr/local >/dev/null
program=$stage/usr/local/bin/vueltas
lines() { tr -d '\0' < "$trace" 2>/dev/null || true; }

env -u LD_LIBRARY_PATH PARPORT=sim PARPORT_PUBLISH=0 PARPORT_TRACE="$trace" QT_QPA_PLATFORM=offscreen "$program" &
pid=$!
for _ in $(seq 200); do
  lines | grep -q . && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true

if lines | grep -Eq '^[0-9]+ 888 0$'; then
  echo "installed vueltas made its start-up write: $(lines | head -n 1)"
else
  echo "installed vueltas made no start-up write; trace: '$(lines)'" >&2
  exit 1
fi
