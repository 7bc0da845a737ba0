#!/usr/bin/env bash
# The port library on Debian's own kernel, booted once under QEMU with ISA parallel ports at 0x278 (parport0, which lp
# holds) and 0x378 = 888 (parport1). The guest checks each case's status and message; QEMU's own record of the
# data-register writes must end with the library's traces, value for value.
build=$1 cache=$1/tests/kernel-cache dir=$1/tests/kernel
source "$(dirname "$0")/qemu.sh"
"$src/scripts/ensure-packages" qemu-system-x86 busybox-static xz-utils zstd ||
  fail "could not install QEMU and busybox $offline"
if [ ! -f "$cache/vmlinux" ]; then  # Debian's current kernel, fetched once per build tree
  rm -rf "$cache" && mkdir -p "$cache" && cd "$cache"
  download linux-image-amd64
  # The modules: under ./lib/modules on Debian 12, under ./usr/lib/modules and xz-compressed on 13.
  dpkg-deb --fsys-tarfile ./*.deb | tar -x --wildcards --transform 's,.*/,,' ./boot/vmlinuz-\* '*/parport/parport.ko*' \
    '*/parport_pc.ko*' '*/ppdev.ko*' '*/char/lp.ko*' || fail "no kernel or port modules in $(ls ./*.deb)"
  for module in *.ko.xz; do [ ! -f "$module" ] || xz -d "$module" || fail "could not unpack $module"; done
  # Booted uncompressed: decompressing under emulation would cost seconds at every boot. The image's header says
  # where the compressed kernel is (payload_offset, after the setup sectors) and how long (payload_length, whose
  # last 4 bytes are the size unpacked); xz on Debian 12, zstd on 13, and Debian's zstd reads both.
  image=$(echo vmlinuz-*)
  read -r setup < <(od -An -tu1 -j $((0x1f1)) -N 1 "$image")
  read -r offset length < <(od -An -tu4 -j $((0x248)) -N 8 "$image")
  head -c $(((setup + 1) * 512 + offset + length - 4)) "$image" | tail -c $((length - 4)) | zstd -dcq > vmlinux.part &&
    mv vmlinux.part vmlinux && rm ./*.deb "$image" || fail "could not unpack the kernel $image"
fi
rm -rf "$dir" && mkdir -p "$dir/root/bin" "$dir/root/lib" && cd "$dir/root"
cp /bin/busybox "$build/tests/kernel_driver" bin/ && cp "$build/lib/libinpout32.so" lib/ && cp "$cache"/*.ko .
cp -L --parents $(ldd bin/kernel_driver lib/libinpout32.so | awk '$(NF-1) ~ /^\// {print $(NF-1)}' | sort -u) .
cd .. && boot qemu-system-x86_64 -accel tcg -M q35 -cpu max -vga none -kernel "$cache/vmlinux" \
  -append "console=ttyS0 loglevel=1 mitigations=off panic=-1" -msg timestamp=on -trace parallel_ioport_write \
  -chardev null,id=p1 -device isa-parallel,chardev=p1,iobase=0x378,irq=7 \
  -chardev null,id=p0 -device isa-parallel,chardev=p0,iobase=0x278,irq=5 <<'EOF'
# A kernel with no port module, then with the modules not loaded, then without ppdev.
go no-driver 'no tiene puerto paralelo|PARPORT=sim kernel_driver|no existe' kernel_driver
mkdir -p /lib/modules/$(uname -r)/kernel/drivers/parport && go unloaded 'modprobe parport_pc ppdev|no existe' kernel_driver
insmod /parport.ko && insmod /parport_pc.ko && go no-ppdev 'modprobe ppdev|/dev/parport1|no existe' kernel_driver
insmod /ppdev.ko && insmod /lp.ko parport=0 && chgrp lp /dev/parport* && chmod 660 /dev/parport*  # as udev leaves them
go plain '' kernel_driver  # /dev/parport1 found by its base-addr 888: parport0 is lp's
go slowed '' env PARPORT_SLOWDOWN=10 kernel_driver
go named '' env PARPORT=/dev/parport1 kernel_driver
go io '' env PARPORT=io kernel_driver
PARPORT_TRACE=/tmp/first.trace kernel_driver 8 2> first.err & first=$!
until [ -s first.trace ] || ! kill -0 $first; do usleep 1000; done
go second 'está ocupado|/dev/parport1|otro programa|no hay tal dispositivo o dirección' kernel_driver
kill -0 $first || fail "the first program did not go on after the second was refused"
wait $first && traces="$traces first" || fail "first: $(cat first.err)"
go lp 'controlador de impresora lp|sudo rmmod lp|/dev/parport0|no hay tal dispositivo o dirección' env PARPORT=/dev/parport0 kernel_driver
go not-ppdev 'PPEXCL|no parece un puerto paralelo|/dev/ttyS0|el dispositivo no admite esa operación' env PARPORT=/dev/ttyS0 kernel_driver
go missing 'no ese|/dev/parport7|no existe' env PARPORT=/dev/parport7 kernel_driver
go user 'grupo lp|/dev/parport1|no tiene permiso' su motor -c kernel_driver
go user-io 'CAP_SYS_RAWIO|la operación no está permitida' su motor -c 'PARPORT=io kernel_driver'
echo lp:x:7:motor > /etc/group && go group '' su motor -c kernel_driver
echo integrity > /sys/kernel/security/lockdown  # as lockdown=integrity or Secure Boot would set it
go lockdown-io 'lockdown|Secure Boot|la operación no está permitida' env PARPORT=io kernel_driver
go lockdown '' kernel_driver
for n in $traces; do echo "trace $n$(awk '{printf " %s:0x%02x", $2, $3}' $n.trace)"; done
echo "guest done" && poweroff -f
EOF
# The traces, in order, must be the last writes QEMU recorded (before them, the
# probes'), each run ending with 0; the slowed run 10 times as long, 5 at least.
sed -n 's/^[0-9]*@\([0-9.]*\):parallel_ioport_write .* addr 0x00 val \(0x..\)$/\1 \2/p' record |
  awk 'FNR == NR { for (i = 3; i <= NF; i++) { run[++n] = $2; want[n] = $i } next }
       { t[++m] = $1; v[m] = $2 }
       END { for (i = 1; i <= n; i++) { j = m - n + i
               if (j < 1 || "888:" v[j] != want[i] || run[i] != run[i + 1] && v[j] != "0x00") {
                 printf "FAIL: traced write %d (%s) is %s, recorded %s\n", i, run[i], want[i], v[j]; exit 1 }
               if (!(run[i] in from)) from[run[i]] = t[j]; to[run[i]] = t[j] }
             ratio = (to["slowed"] - from["slowed"]) / (to["plain"] - from["plain"])
             printf "%d writes recorded as traced; PARPORT_SLOWDOWN=10 made a run %.1f times as long\n", n, ratio
             if (ratio < 5) { print "FAIL: not slowed down 5 times"; exit 1 } }' <(grep '^trace ' guest) -
