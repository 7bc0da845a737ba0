# What the two kernel tests (kernel.sh, gpio-kernel.sh) share on the host, sourced by both: the skip, Debian's kernel
# package, and the guest run under QEMU. MOTOR_SKIP_KERNEL=1 skips them (offline); CI never sets it.
set -euo pipefail
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd) sudo=$([ "$(id -u)" -eq 0 ] || echo sudo)
offline="(offline? MOTOR_SKIP_KERNEL=1 skips this test)"
fail() { echo "FAIL: $*" >&2; exit 1; }
[ -z "${MOTOR_SKIP_KERNEL:-}" ] || { echo "skipped: MOTOR_SKIP_KERNEL is set"; exit 77; }
# download META [PACKAGE...]: into this folder, the kernel package META depends on today, and the packages named.
download() {
  $sudo apt-get update -qq || true  # the kernel package's current name
  package=$(apt-cache depends "$1" 2> /dev/null | awk '/Depends: linux-image-/ {print $2}') || true && shift
  apt-get download -o APT::Sandbox::User=root "$package" "$@" || fail "could not download Debian's kernel ('$package') $offline"
}
# boot QEMU ARGUMENT...: root/ of this folder as the guest, its /init guest.sh and then the cases on standard input;
# the guest's console shown (but its trace lines), and its checks read.
boot() {
  { cat "$src/tests/guest.sh"; cat; } > root/init && chmod +x root/init
  (cd root && find . | busybox cpio -o -H newc > ../initramfs 2> /dev/null)
  local status=0
  timeout 120 "$@" -m 256 -display none -no-reboot -initrd initramfs -serial file:console -D record || status=$?
  tr -d '\r' < console > guest && { grep -v '^trace ' guest || true; }
  [ $status -eq 0 ] && grep -q '^guest done' guest || fail "QEMU ended with status $status before the guest was done"
  ! grep -q '^FAIL' guest || fail "the guest's checks above"
}
