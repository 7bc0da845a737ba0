#!/usr/bin/env bash
# The GPIO backend, cross-built, on Debian's arm64 kernel under QEMU's virt board, whose PL061 controller QEMU records
# line by line. The guest's checks start as kernel.sh's (guest.sh).
cache=$1/tests/gpio-cache dir=$1/tests/gpio
source "$(dirname "$0")/qemu.sh"
"$src/scripts/ensure-packages" qemu-system-arm g++-aarch64-linux-gnu busybox-static ||
  fail "could not install QEMU and the arm64 compiler $offline"

# Debian's current arm64 kernel and busybox, once per build tree; the machine's architectures stay as they were.
if [ ! -f "$cache/Image" ]; then
  rm -rf "$cache" && mkdir -p "$cache" && cd "$cache"
  dpkg --print-foreign-architectures | grep -qx arm64 || {
    $sudo dpkg --add-architecture arm64
    trap "$sudo dpkg --remove-architecture arm64; $sudo apt-get update -qq" EXIT
  }
  download linux-image-arm64:arm64 busybox-static:arm64
  # ./bin/busybox on Debian 12, ./usr/bin/busybox on 13.
  mkdir bin && dpkg-deb --fsys-tarfile busybox*.deb | tar -x -C bin --wildcards --transform 's,.*/,,' '*/bin/busybox'
  dpkg-deb --fsys-tarfile linux-image*.deb | tar -xO --wildcards './boot/vmlinuz-*' > Image
  rm ./*.deb
fi

# The initramfs: busybox, the C and C++ runtimes, and the library and the kernel test's program built for arm64.
rm -rf "$dir" && mkdir -p "$dir/root/lib" && cd "$dir/root"
cp -r "$cache/bin" . && cp -L /usr/aarch64-linux-gnu/lib/{ld-linux-aarch64.so.1,libc.so.6,libm.so.6,libstdc++.so.6,libgcc_s.so.1} lib/
cmake -S "$src" -B "$1/tests/gpio-build" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/aarch64-linux-gnu.cmake" \
  -DMOTOR_LIBRARY_ONLY=ON -DCMAKE_BUILD_TYPE=Release > /dev/null && cmake --build "$1/tests/gpio-build" -j"$(nproc)" > /dev/null ||
  fail "could not cross-build the library for arm64"
cp "$1/tests/gpio-build/lib/libinpout32.so" lib/ && cp "$1/tests/gpio-build/tests/kernel_driver" bin/
cd .. && boot qemu-system-aarch64 -M virt -cpu max,pauth-impdef=on -kernel "$cache/Image" \
  -append "console=ttyAMA0 loglevel=1 panic=-1" -trace pl061_set_output <<'EOF'
export PARPORT_PUBLISH=0
go 0-1 '' env PARPORT=gpio:gpiochip0:0,1 kernel_driver 3  # a turn each way, then 576 writes
PARPORT=gpio:gpiochip0:5,6 PARPORT_TRACE=/tmp/5-6.trace kernel_driver 20 2> first.err & first=$!
until [ -s 5-6.trace ] || ! kill -0 $first; do usleep 1000; done
go second 'las tiene «kernel_driver»|/dev/gpiochip0|el dispositivo está ocupado' env PARPORT=gpio:gpiochip0:6,7 kernel_driver
wait $first && traces="$traces 5-6" || fail "first: $(cat first.err)"
go no-line '«GPIO17»|9030000.pl061|de 0 a 7' env PARPORT=gpio:9030000.pl061:GPIO17,1 kernel_driver  # the chip by its label
go user 'grupo gpio|/dev/gpiochip0|no tiene permiso' su motor -c 'PARPORT=gpio:gpiochip0:0,1 kernel_driver'
for n in $traces; do echo "trace $n $(awk '{printf " %s", $3}' $n.trace)"; done
echo "guest done" && poweroff -f
EOF

# A run STEP-DIRECTION's writes as its lines' changes, direction first, ending at 0, must be QEMU's record of those
# lines from their first rise.
sed -n 's/.*pl061_set_output .* setting output \([0-9]\) to \([01]\)$/\1 \2/p' record |
  awk 'FNR == NR { split($2, l, "-"); run[l[1]] = run[l[2]] = $2; p = 0
         for (i = 3; i <= NF; p = $(i++)) for (b = 1; b >= 0; b--)
           if (int($i / 2 ^ b) % 2 != int(p / 2 ^ b) % 2) want[$2] = want[$2] " " l[b + 1] ":" int($i / 2 ^ b) % 2
         if ($NF != 0) { print "FAIL: " $2 " did not end with 0"; bad = 1 }
         next }
       ($1 in run) && (got[run[$1]] != "" || $2 == 1) { got[run[$1]] = got[run[$1]] " " $1 ":" $2 }
       END { for (r in want) { m = split(want[r], w); split(got[r], g); n += m
               for (i = 1; i <= m && g[i] == w[i]; i++) {}
               if (got[r] != want[r]) { printf "FAIL: %s: line change %d recorded as %s, traced as %s (LINE:LEVEL)\n", r, i, g[i], w[i]; bad = 1 } }
             if (!bad) printf "%d line changes recorded as traced, the direction line first\n", n
             exit bad }' <(grep '^trace ' guest) -
