#!/usr/bin/env bash
# The real-driver configuration: movarth-send inside a QEMU virtual machine that boots Debian
# 12's own kernel, on the kernel's own serial drivers: 8250 for a 16550A UART (the guest's
# ttyS1) and ftdi_sio for an FTDI USB adapter on an xHCI controller (ttyUSB0). At the far end of
# each line, a pseudo-terminal that QEMU makes on the host, the controller simulator plays the
# controller at the line's pace.
#
# The guest runs tests/vm/init.sh: named steps whose checks print "ok: ..." or "FAIL: ...". It
# asks the host for QEMU monitor commands (the adapter pulled and plugged back) with lines
# "@@monitor COMMAND" on its console, and reports each download that ended well with
# "@@sent PORT LABEL MS". This script then checks that each simulator received exactly the
# frames that `movarth-send --dry-run` prints, once per such download, and prints each
# download's time on the line (from the simulator's log) beside the line's limit.
#
#   scripts/vm-test.sh      set up, build what it needs (default preset) and run the machine
#
# x86_64 only. It installs its packages itself; the kernel package is fetched with
# `apt-get download` and unpacked (not installed) under build/vm/kernel, where it is kept.
# The machine runs under software emulation (TCG), which every machine has, CI's included.
# Takes about a minute on two cores.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(uname -m)" != x86_64 ]; then
  echo "vm-test: the virtual machine runs on x86_64 only" >&2
  exit 1
fi
scripts/setup.sh qemu-system-x86 busybox-static udev
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target movarth-send movarth-controller-sim \
  comm_posix_tests

build=build/default
vm=build/vm
mkdir -p "$vm/kernel"
vm=$(cd "$vm" && pwd)

# --- Debian 12's kernel, unpacked with its modules --------------------------------------------
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
kernel_package() { apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-.*\)$/\1/p' | head -n1 || true; }
kernel_deb() { apt-cache show --no-all-versions "$package" 2>/dev/null | sed -n 's|^Filename: .*/||p' || true; }
package=$(kernel_package)
[ -n "$package" ] || { $sudo apt-get update -qq; package=$(kernel_package); }
deb=$(kernel_deb)
if [ ! -f "$vm/kernel/$deb" ]; then
  echo "=== fetching $deb"
  # Lists older than the mirror may name a kernel it no longer has: update them, try once more.
  if ! (cd "$vm/kernel" && apt-get download -q "$package"); then
    $sudo apt-get update -qq
    package=$(kernel_package)
    deb=$(kernel_deb)
    (cd "$vm/kernel" && apt-get download -q "$package")
  fi
fi
unpacked=$vm/kernel/${deb%.deb}
if [ ! -d "$unpacked" ]; then
  rm -rf "$unpacked.tmp"
  dpkg-deb -x "$vm/kernel/$deb" "$unpacked.tmp"
  release=$(ls "$unpacked.tmp/lib/modules")
  busybox depmod -b "$unpacked.tmp" "$release"
  mv "$unpacked.tmp" "$unpacked"
fi
release=$(ls "$unpacked/lib/modules")
kernel=$unpacked/boot/vmlinuz-$release

# --- The schedule ------------------------------------------------------------------------------
# 31 entries whose frames carry, in their time groups, the bytes that a terminal in
# cooked mode acts on (00, 03 ^C, 04 ^D, 11 ^Q, 12 ^R, 13 ^S, 15 ^U, 16 ^V, 17 ^W, 19 ^Y),
# and 55, the handshake byte. Start, length and end agree, as movarth saves them.
write_schedule() {
  local groups=(00 03 04 11 12 13 15 16 17 19 55) i
  for ((i = 0; i < 31; i++)); do
    local h=${groups[i % 10]} m=${groups[(i + 3) % 11]} s=${groups[(i + 7) % 11]}
    local lh=${groups[(i + 5) % 10]} lm=${groups[(2 * i) % 11]} ls=${groups[(3 * i + 1) % 11]}
    local end=$(((10#$h * 3600 + 10#$m * 60 + 10#$s + 10#$lh * 3600 + 10#$lm * 60 + 10#$ls) % 86400))
    printf '%s:%s:%s %s:%s:%s %02d:%02d:%02d\r\n' "$h" "$m" "$s" "$lh" "$lm" "$ls" \
      $((end / 3600)) $((end % 3600 / 60)) $((end % 60))
  done
}

# --- The initramfs -----------------------------------------------------------------------------
root=$vm/initramfs
rm -rf "$root"
mkdir -p "$root"/{bin,etc,proc,sys,dev,run,tmp,test,usr/lib/udev/rules.d,lib/systemd}

# A program and the shared libraries it loads, at the paths it looks for them.
copy_program() {
  install -m 0755 "$1" "$root/bin/$(basename "$1")"
  ldd "$1" | grep -o '/[^ ]*' | while read -r library; do
    mkdir -p "$root$(dirname "$library")"
    cp -L "$library" "$root$library"
  done
}
cp /bin/busybox "$root/bin/busybox"
install -m 0755 tests/vm/init.sh "$root/init"
copy_program "$build/tools/send/movarth-send"
copy_program "$build/comm/tests/comm_posix_tests"
copy_program /bin/udevadm
ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
# udev's rules: the project's, and Debian's that make the /dev/serial names.
cp dist/60-movarth-serial.rules /lib/udev/rules.d/60-serial.rules "$root/usr/lib/udev/rules.d/"
printf 'root:x:0:0:root:/root:/bin/sh\noperator:x:1000:1000:operator:/tmp:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\ndialout:x:20:operator\noperator:x:1000:\n' >"$root/etc/group"
write_schedule >"$root/test/schedule.qlx"

# The USB modules with what they depend on, as modules.dep lists it (8250 is built in).
modules="kernel/drivers/usb/host/xhci-pci.ko kernel/drivers/usb/serial/ftdi_sio.ko"
for module in $modules; do
  for file in $module $(sed -n "s|^$module: ||p" "$unpacked/lib/modules/$release/modules.dep"); do
    mkdir -p "$root/lib/modules/$release/$(dirname "$file")"
    cp "$unpacked/lib/modules/$release/$file" "$root/lib/modules/$release/$file"
  done
done
busybox depmod -b "$root" "$release"
# Uncompressed: the guest unpacks it faster than it would decompress it under emulation.
(cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null) >"$vm/initramfs.cpio"

# --- The run -----------------------------------------------------------------------------------
run=$vm/run
rm -rf "$run"
mkdir -p "$run"
mkfifo "$run/console.in" "$run/console.out" "$run/monitor.in" "$run/monitor.out"
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

# The guest's first UART is its console, the second the controller's line. QEMU's FTDI
# adapter enumerates only while someone holds the host end of its line, so the machine waits
# (-S) until both simulators are there.
qemu-system-x86_64 -accel tcg -m 512 -smp 1 -nodefaults -no-reboot -display none -S \
  -kernel "$kernel" -initrd "$vm/initramfs.cpio" \
  -append "console=ttyS0 loglevel=3 panic=-1" \
  -chardev pipe,id=console,path="$run/console" -serial chardev:console \
  -chardev pty,id=uart -serial chardev:uart \
  -device qemu-xhci,id=xhci -chardev pty,id=usb -device usb-serial,id=ftdi,bus=xhci.0,chardev=usb \
  -monitor pipe:"$run/monitor" </dev/null >"$run/qemu.log" 2>&1 &
qemu=$!
pids+=("$qemu")
# Our own ends of the pipes, opened read-write so that no open waits for QEMU: a QEMU that
# never starts or dies early must end this script, not hang it.
exec 3<>"$run/monitor.in" 4<>"$run/console.out"
cat "$run/monitor.out" >"$run/monitor.log" &
pids+=($!)

# The pseudo-terminals QEMU made, as its monitor names them ("uart: filename=pty:/dev/pts/3").
echo "info chardev" >&3
pty_of() { sed -n "s|^$1: filename=pty:\(/dev/pts/[0-9]*\).*|\1|p" "$run/monitor.log"; }
for _ in $(seq 100); do
  [ -n "$(pty_of uart)" ] && [ -n "$(pty_of usb)" ] && break
  sleep 0.1
done
sim=$build/tools/movarth-controller-sim
for line in uart usb; do
  [ -n "$(pty_of $line)" ] || { cat "$run/qemu.log" "$run/monitor.log" >&2; echo "vm-test: QEMU made no line '$line'" >&2; exit 1; }
  "$sim" --device "$(pty_of $line)" --timeout 900 >"$run/$line.schedules" 2>"$run/$line.log" &
  pids+=($!)
done
# Each simulator prints its line's path once it holds it.
for _ in $(seq 100); do
  [ -s "$run/uart.schedules" ] && [ -s "$run/usb.schedules" ] && break
  sleep 0.1
done
echo cont >&3

echo "=== guest"
sent=()
end=""
deadline=$((SECONDS + 300))
partial=""
while [ $SECONDS -lt $deadline ]; do
  # Short reads, so that a machine that has gone is noticed; a line cut by a timeout is kept.
  if ! IFS= read -r -t 5 line <&4; then
    partial+=$line
    kill -0 "$qemu" 2>/dev/null && continue
    break
  fi
  line=$partial${line%$'\r'}
  partial=""
  case $line in
    "@@monitor "*) echo "${line#@@monitor }" >&3 ;;
    "@@sent "*) sent+=("${line#@@sent }") ;;
    "@@end "*) end=${line#@@end }; break ;;
    *) printf '  %s\n' "$line" ;;
  esac
done
exec 3>&- 4<&-
for _ in $(seq 100); do
  kill -0 "$qemu" 2>/dev/null || break
  sleep 0.1
done
cleanup
wait 2>/dev/null || true

# --- What the simulators received --------------------------------------------------------------
failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
read -r guest_passed guest_failed <<<"${end:-0 0}"
[ -n "$end" ] || fail "the guest did not end its steps (see $run/qemu.log)"
[ "$guest_failed" -eq 0 ] || fail "$guest_failed of the guest's checks failed"

expected=$("$build/tools/send/movarth-send" --dry-run "$root/test/schedule.qlx" | head -n -1)
found=$(grep -o '^[0-9A-F]*' <<<"$expected" | sed 's/^00//; s/../& /g' | tr ' ' '\n' | sort -u | tr '\n' ' ')
for byte in 00 03 04 11 13; do
  grep -qw "$byte" <<<"$found" || fail "the schedule's frames carry no byte $byte after the first"
done

limit=$(awk 'BEGIN { printf "%.1f", 290 * 10000 / 2400 }') # 290 bytes of 10 bits at 2400 bit/s
: >"$run/downloads"
for port in uart usb; do
  # Each complete schedule as one line of its frames, and each exchange's time on the line:
  # from the start of the acknowledged handshake byte to the end of the confirmation's answer.
  received=$(awk '/^schedule / { if (n++) print f; f = "" }
    /^ +[0-9]+  [0-9:]+ / { for (i = 5; i <= 12; i++) f = f $i; f = f " " }
    END { if (n) print f }' "$run/$port.schedules")
  mapfile -t times < <(awk '/ handshake [0-9]+: acknowledged/ { h = $1 }
    / confirmation frame .*: acknowledged/ { printf "%.1f\n", $1 - h + 2 * 10000 / 2400 }' "$run/$port.log")
  labels=()
  for s in "${sent[@]}"; do [ "${s%% *}" = "$port" ] && labels+=("${s#* }"); done
  [ ${#times[@]} -eq ${#labels[@]} ] ||
    fail "$port: the simulator received ${#times[@]} schedules for ${#labels[@]} downloads that ended well"
  index=0
  while read -r frames; do
    index=$((index + 1))
    [ "$frames" = "$(echo $expected)" ] || fail "$port: schedule $index differs from the --dry-run frames"
  done < <(grep . <<<"$received")
  for ((i = 0; i < ${#labels[@]}; i++)); do
    echo "$port ${labels[i]% *} ${times[i]:-0} ${labels[i]##* }" >>"$run/downloads"
  done
  if grep -q 'refused' "$run/$port.log"; then fail "$port: the simulator refused a handshake or frame"; fi
done

# Each kind of download: the median of its runs on the line, against the line's limit, and how
# long movarth-send ran in the guest for that same download.
echo "=== downloads of 31 entries (the line's limit: 290 bytes at 2400 bit/s = $limit ms)"
printf '  %-6s %-28s %5s %14s %7s %16s\n' port download runs "on the line" ratio "movarth-send"
sort -k1,1 -k2,2 -k3,3n "$run/downloads" | awk -v limit="$limit" '
  function report() { if (n) printf "  %-6s %-28s %5d %11.1f ms %7.3f %13d ms\n", port, label,
      n, t[int((n + 1) / 2)], t[int((n + 1) / 2)] / limit, c[int((n + 1) / 2)] }
  $1 != port || $2 != label { report(); port = $1; label = $2; n = 0 }
  { t[++n] = $3; c[n] = $4 }
  END { report() }'

echo "vm-test: the guest's checks: $guest_passed passed, $guest_failed failed; the runs are in $run"
if [ $failed -ne 0 ]; then
  echo "vm-test: FAILED" >&2
  exit 1
fi
echo "vm-test: passed"
