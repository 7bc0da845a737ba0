#!/usr/bin/env bash
# The programs as processes: an installed vueltas makes its start-up write; a second program on its
# port, and one with a bad setting, end with status 1 and say why; --help and --version answer with no
# display, and with the manual pages list every setting; a launcher opens a viewer only where none
# watches, and without a display says so.
set -euo pipefail
build=$1 version=$2
dir=$build/tests/programs
stage=$dir/stage bin=$dir/stage/usr/local/bin
rm -rf "$dir" && mkdir -p "$dir"
DESTDIR=$stage cmake --install "$build" --prefix /usr/local >/dev/null
export PARPORT=sim PARPORT_PUBLISH=$dir/area QT_QPA_PLATFORM=offscreen
unset LD_LIBRARY_PATH PARPORT_TRACE PARPORT_SLOWDOWN
fail() { echo "FAIL: $*" >&2; exit 1; }
# A running trace as a reader takes it: up to the first zero byte, whole lines only.
lines() { perl -0777 -pe 's/\0.*//s; s/[^\n]*\z//' "$dir/trace" 2>/dev/null || true; }
# The viewers running from this installation.
viewers() { for p in /proc/[0-9]*; do [ ! "$p/exe" -ef "$bin/simulador" ] || echo "${p#/proc/}"; done; }

PARPORT_TRACE=$dir/trace "$bin/vueltas" &
first=$!
trap 'kill $first $(viewers) 2>/dev/null || true' EXIT
for _ in $(seq 200); do
  lines | grep -q . && break
  kill -0 $first 2>/dev/null || fail "the installed vueltas ended at start"
  sleep 0.05
done
lines | grep -Eq '^[0-9]+ 888 0$' || fail "no start-up write from the installed vueltas: '$(lines)'"

# Expects: status 1, and a message on standard error holding the phrase.
ends_with() {
  local phrase=$1 status=0; shift
  timeout 20 "$@" 2>"$dir/err" >/dev/null || status=$?
  [ "$status" -eq 1 ] || fail "$* ended with $status, not 1"
  grep -qF -- "$phrase" "$dir/err" || fail "$* said '$(cat "$dir/err")', lacking '$phrase'"
}
echo "una captura" > "$dir/kept.vcd"  # a program turned away leaves it as it was
ends_with "lo tiene vueltas (pid $first)" env PARPORT_TRACE="$dir/kept.vcd" "$build/bin/rotacion"
[ "$(cat "$dir/kept.vcd")" = "una captura" ] || fail "a program turned away emptied the dump"
kill -0 $first 2>/dev/null || fail "the first program did not go on"
ends_with "PARPORT vale «lpt9»" env PARPORT=lpt9 "PARPORT_PUBLISH=$dir/other" "$build/bin/vueltas"

nodisplay=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM PARPORT=lpt9)
while read -r program flag phrase; do
  "${nodisplay[@]}" "$bin/$program" "$flag" >"$dir/out" 2>"$dir/err" || fail "$program $flag ended with $?: $(cat "$dir/err")"
  grep -qF -- "$phrase" "$dir/out" && [ ! -s "$dir/err" ] || fail "$program $flag said '$(cat "$dir/out" "$dir/err")', lacking '$phrase'"
done <<ROWS
vueltas --help número de vueltas
rotacion -h velocidad que se elija
simulador --help simulador --con PROGRAMA
vueltas --version vueltas (motorpasos) $version
simulador --version simulador (motorpasos) $version
ROWS
# Every form of PARPORT and every other setting starts a line of its own in each --help and manual page.
man=$stage/usr/local/share/man
for program in vueltas rotacion simulador; do
  "${nodisplay[@]}" "$bin/$program" --help >"$dir/$program.help"
  for text in "$dir/$program.help" "$man/man1/$program.1" "$man/es/man1/$program.1"; do
    for word in /dev/parportN io sim gpio:CHIP:STEP,DIR PARPORT_TRACE PARPORT_SLOWDOWN PARPORT_PUBLISH; do
      sed 's/\\f[BIRP]//g; s/^\.B //' "$text" | awk -v w="$word" '$1 == w {n++} END {exit !n}' || fail "$text: no $word"
    done
  done
done
! "${nodisplay[@]}" "$bin/vueltas" --help >/dev/full 2>"$dir/err" && grep -qF "no se pudo escribir" "$dir/err" ||
  fail "--help into a full disk: '$(cat "$dir/err")'"
ends_with "no hay pantalla" "${nodisplay[@]}" "$bin/simulador" --con true
"$bin/simulador" --con true && "$bin/simulador" --con true || fail "simulador --con true ended with $?"
[ "$(viewers | wc -l)" -eq 1 ] || fail "not one viewer after two launches, but: $(viewers)"
[ "$(PARPORT=lpt9 "$bin/simulador" --con printenv | grep -c '^PARPORT=lpt9$')" = 1 ] || fail "--con changed PARPORT"
printf '#!/bin/sh\necho hola\n' >"$bin/hola" && chmod +x "$bin/hola"  # beside the viewer, not on the PATH
[ "$(PATH=/usr/bin:/bin "$bin/simulador" --con hola)" = hola ] || fail "--con did not start the program beside it"
echo "7 passed, 0 failed"
