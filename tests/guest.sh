#!/bin/busybox sh
# The start of a kernel test's guest: its /init, run by busybox, up to the cases kernel.sh and gpio-kernel.sh add.
/bin/busybox --install -s /bin && export PATH=/bin
mkdir -p /proc /sys /dev /tmp /etc && mount -t proc p /proc && mount -t sysfs s /sys && mount -t devtmpfs d /dev
mount -t securityfs s /sys/kernel/security && mkdir /dev/shm && mount -t tmpfs -o mode=1777 t /dev/shm && chmod 1777 /tmp
printf 'root:x:0:0::/:/bin/sh\nmotor:x:1000:1000::/tmp:/bin/sh\n' > /etc/passwd && echo lp:x:7: > /etc/group && cd /tmp
fail() { echo "FAIL: $*"; }
# go NAME PHRASES COMMAND...: one case. With no phrases it must end with 0 (its trace then goes to the host); with
# "a|b" it must end with 1, saying each.
go() {
  n=$1 phrases=$2 && shift 2
  PARPORT_TRACE=/tmp/$n.trace timeout 20 "$@" 2> $n.err; s=$?
  [ -z "$phrases" ] && { [ $s = 0 ] && traces="$traces $n" || fail "$n: status $s: $(cat $n.err)"; return; }
  [ $s = 1 ] || fail "$n: status $s"
  echo "$phrases" | tr '|' '\n' | while read p; do grep -qF "$p" $n.err || { fail "$n: '$(cat $n.err)' lacks '$p'"; break; }; done
}
