#!/usr/bin/env bash
# The programs as processes: an installed vueltas makes its start-up write; a second program on its
# port ends with status 1 and says why; --help and --version answer with no display, and with the
# manual pages list every setting; a launcher opens a viewer only where none watches, and without a
# display says so.
set -euo pipefail
build=$1 version=$2
dir=$build/tests/programs
stage=$dir/stage bin=$dir/stage/usr/local/bin
rm -rf "$dir" && mkdir -p "$dir"
DESTDIR=$stage cmake --install "$build" --prefix /usr/local >/dev/null
export PARPORT=sim PARPORT_PUBLISH=$dir/area QT_QPA_PLATFORM=offscreen
unset LD_LIBRARY_PATH PARPORT_TRACE PARPORT_SLOWDOWN PARPORT_MAXRATE
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

nodisplay=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM PARPORT=lpt9)
while read -r program flag phrase; do
  "${nodisplay[@]}" "$bin/$program" "$flag" >"$dir/out" 2>"$dir/err" || fail "$program $flag ended with $?: $(cat "$dir/err")"
  grep -qF -- "$phrase" "$dir/out" && [ ! -s "$dir/err" ] || fail "$program $flag said '$(cat "$dir/out" "$dir/err")', lacking '$phrase'"
done <<ROWS
vueltas --help número de vueltas
rotacion -h velocidad que se elija
simulador --help 48pasos, nema17, 48pasos-carga
simulador -h 3 si pierde pasos
vueltas --version vueltas (motorpasos) $version
simulador --version simulador (motorpasos) $version
ROWS
# Every form of PARPORT and every other setting starts a line of its own in each --help and manual page.
man=$stage/usr/local/share/man
for program in vueltas rotacion simulador; do
  "${nodisplay[@]}" "$bin/$program" --help >"$dir/$program.help"
  for text in "$dir/$program.help" "$man/man1/$program.1" "$man/es/man1/$program.1"; do
    for word in /dev/parportN io sim gpio:CHIP:STEP,DIR PARPORT_TRACE PARPORT_SLOWDOWN PARPORT_MAXRATE PARPORT_PUBLISH; do
      sed 's/\\f[BIRP]//g; s/^\.B //' "$text" | awk -v w="$word" '$1 == w {n++} END {exit !n}' || fail "$text: no $word"
    done
  done
done
# The bounds --help gives a setting are those the library's refusal names.
for setting in PARPORT_SLOWDOWN PARPORT_MAXRATE; do
  range=$(sed -n "s/^  $setting  *[NR] \(de [0-9]* a [0-9]*\):.*/\1/p" "$dir/vueltas.help")
  [ -n "$range" ] || fail "vueltas --help gives no bounds for $setting"
  ends_with "un número $range " env "PARPORT_PUBLISH=$dir/other" "$setting=0" "$build/bin/vueltas"
done
# The viewer's pages name exactly the options it takes, in their synopsis and in their options: each row
# an option, a command with it and the status it ends with.
options() {  # the options page $1 names from one section up to another
  sed -n "/^\.SH \($2\)/,/^\.SH \($3\)/p" "$1" | grep -oE '(^|[][ |])\\-(\\-)?[a-z]+' | tr -d ' []|\\' | sort -u | tr '\n' ' '
}
taken=
while IFS='|' read -r option status args; do
  taken="$taken$option "
  got=0 && "$bin/simulador" $args >/dev/null 2>"$dir/err" || got=$?
  [ $got -eq "$status" ] || fail "simulador $args: $got, not $status: '$(cat "$dir/err")'"
done <<ROWS
--analizar|3|--analizar $(dirname "$0")/../docs/giro.trace
--con|0|--con true
--grafico|3|--analizar $(dirname "$0")/../docs/giro.trace --grafico $dir/giro.png
--help|0|--help
--motor|3|--analizar $(dirname "$0")/../docs/giro.trace --motor nema17
--version|0|--version
-h|0|-h
ROWS
for page in "$man/man1/simulador.1" "$man/es/man1/simulador.1"; do
  for sections in 'SYNOPSIS\|SINOPSIS DESCRIPTION\|DESCRIPCIÓN' 'OPTIONS\|OPCIONES ENVIRONMENT\|ENTORNO'; do
    named=$(options "$page" $sections)
    [ "$named" = "$taken" ] || fail "$page names '$named' in ${sections%% *}, the viewer takes '$taken'"
  done
done
# Advice names what works where the program runs: the commands once installed, the build tree's paths there.
grep -qF "/usr/share/doc/motorpasos/" "$dir/vueltas.help" || fail "installed --help: '$(cat "$dir/vueltas.help")'"
"${nodisplay[@]}" "$build/bin/vueltas" --help >"$dir/out"
grep -qF "$build/bin/simulador --con vueltas" "$dir/out" && grep -qF "man -l $(cd "$(dirname "$0")/.." && pwd)/packaging" \
  "$dir/out" || fail "--help in the build tree: '$(cat "$dir/out")'"
! "${nodisplay[@]}" "$bin/vueltas" --help >/dev/full 2>"$dir/err" && grep -qF "no se pudo escribir" "$dir/err" ||
  fail "--help into a full disk: '$(cat "$dir/err")'"
ends_with "no hay pantalla" "${nodisplay[@]}" "$bin/simulador" --con true
"$bin/simulador" --con true && "$bin/simulador" --con true || fail "simulador --con true ended with $?"
[ "$(viewers | wc -l)" -eq 1 ] || fail "not one viewer after two launches, but: $(viewers)"
for area in "$dir/area" "$dir/otra.area"; do  # watched already; and with a viewer of its own started beside
  [ "$(PARPORT_PUBLISH=$area PARPORT=lpt9 "$bin/simulador" --con printenv | grep -c '^PARPORT=lpt9$')" = 1 ] ||
    fail "--con changed PARPORT (PARPORT_PUBLISH=$area)"
done
printf '#!/bin/sh\necho hola\n' >"$bin/hola" && chmod +x "$bin/hola"  # beside the viewer, not on the PATH
[ "$(PATH=/usr/bin:/bin "$bin/simulador" --con hola)" = hola ] || fail "--con did not start the program beside it"
printf '#!/bin/sh\necho aquí\n' >"$dir/hola" && chmod +x "$dir/hola"  # named by its path: that one, not another
[ "$(cd "$dir" && "$bin/simulador" --con ./hola)" = aquí ] || fail "--con ./hola did not start the one named"
# A program ended by a signal while idle leaves the lines at 0, its trace closed as at any end, and its status
# says which signal ended it.
for signal in TERM HUP; do
  rm -f "$dir/idle.trace"
  PARPORT_PUBLISH="$dir/idle.area" PARPORT_TRACE="$dir/idle.trace" "$bin/rotacion" 2>"$dir/err" & idle=$!
  for _ in $(seq 200); do [ -s "$dir/idle.trace" ] && break; sleep 0.05; done
  kill -$signal $idle
  status=0 && wait $idle || status=$?
  [ $status -eq $((128 + $(kill -l $signal))) ] || fail "SIG$signal while idle: status $status"
  [ "$(tr -d '\0' <"$dir/idle.trace" | wc -c)" = "$(wc -c <"$dir/idle.trace")" ] &&
    [ "$(awk '{print $3}' "$dir/idle.trace" | tr '\n' ' ')" = "0 0 " ] || fail "SIG$signal while idle: '$(cat -v "$dir/idle.trace")'"
done

# The launcher turns away what it can't start, saying why (a program named by its path is not looked for
# elsewhere), and what it does not understand, leaving no viewer behind; run where no program is.
before=$(viewers | wc -l)
echo 'no es un programa' >"$bin/roto" && chmod -x "$bin/roto"
while IFS='|' read -r status phrase args; do
  got=0 && (cd "$dir" && LC_ALL=C PARPORT_PUBLISH="$dir/launch.area" timeout 20 "$bin/simulador" $args) \
    >"$dir/out" 2>"$dir/err" </dev/null || got=$?
  [ $got -eq $status ] && grep -qF -- "$phrase" "$dir/err" || fail "simulador $args: $got, '$(cat "$dir/err")'"
  sleep 0.3
  [ "$(viewers | wc -l)" = "$before" ] || fail "simulador $args left a viewer running"
done <<ROWS
1|«no-existe»: no existe|--con no-existe
1|«roto»: no tiene permiso|--con roto
1|«./true»: no existe|--con ./true
2|no se entiende «--bogus»|--bogus
2|no se entiende «--cn»|--cn vueltas
2|Uso:|--con
2|«--con=»|--con=
2|«--motor» sin --analizar|--motor nema17
2|«--grafico» sin --analizar|--grafico giro.png
ROWS
echo "11 passed, 0 failed"
