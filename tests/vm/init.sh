#!/bin/busybox sh
# /init of the real-driver virtual machine that scripts/vm-test.sh builds: it sets the machine
# up, runs the steps listed at the end in order, and powers off.
#
# A step is a shell function step_NAME. Its checks go through `check DESCRIPTION COMMAND...`,
# which prints "ok: ..." or "FAIL: ..."; `monitor COMMAND` has the host give COMMAND to QEMU's
# monitor; `sent PORT LABEL MS` tells the host that a download ended well, so that it checks
# what the simulator on that line received and reports the download's time. A new check is a
# `check` line in a step, or a new step added to the list at the end.

/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir /dev/pts
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
mkdir -m 1777 /run/lock
# 8250 is built into Debian's kernel; the USB host controller and the adapter's driver are
# modules.
modprobe xhci-pci
modprobe ftdi_sio

schedule=/test/schedule.qlx
uart=/dev/ttyS1
usb=/dev/ttyUSB0
trigger=/sys/class/tty/ttyS1/rx_trig_bytes
adapter=/sys/bus/usb-serial/devices/ttyUSB0
step=""
passed=0
failures=0

check() {
  description=$1
  shift
  if "$@"; then
    echo "ok: $step: $description"
    passed=$((passed + 1))
  else
    echo "FAIL: $step: $description"
    failures=$((failures + 1))
    return 1
  fi
}
monitor() { echo "@@monitor $*"; }
sent() { echo "@@sent $*"; }
# Milliseconds of the wall clock.
now_ms() { adjtimex | awk '/tv_sec/ { s = $2 } /tv_usec/ { u = $2 } END { printf "%.0f\n", s * 1000 + u / 1000 }'; }
# wait_for MS COMMAND...: until COMMAND succeeds, looking every 20 ms for at most MS.
wait_for() {
  local left=$1
  shift
  while ! "$@"; do
    [ "$left" -gt 0 ] || return 1
    usleep 20000
    left=$((left - 20))
  done
}
# is FILE VALUE: the file (a sysfs attribute) holds VALUE.
is() {
  local value
  value=$(cat "$1" 2>/dev/null)
  [ "$value" = "$2" ] || { echo "  $1 is '$value', not '$2'"; return 1; }
}
lock_of() { echo "/run/lock/LCK..${1#/dev/}"; }

# send NAME PORT [USER [ARGUMENT...]]: starts movarth-send with the schedule on PORT (and the
# further arguments) in the background, as USER (root when none). When it ends, its exit
# status and its start and end go to /tmp/NAME.
send() {
  local name=$1 port=$2 user=${3:-root}
  shift 2
  [ $# -eq 0 ] || shift
  rm -f "/tmp/$name"
  (
    start=$(now_ms)
    if [ "$user" = root ]; then
      movarth-send -q "$schedule" --port "$port" "$@"
    else
      su "$user" -c "movarth-send -q $schedule --port $port $*"
    fi
    result="$? $start $(now_ms)"
    echo "$result" >"/tmp/$name.part" && mv "/tmp/$name.part" "/tmp/$name"
  ) &
}
# finished NAME: waits (at most 30 s) for the send NAME to end; sets status, ms and ended.
finished() {
  status=none ms=0 ended=0
  wait_for 30000 test -e "/tmp/$1" || return 1
  read -r status start ended <"/tmp/$1"
  ms=$((ended - start))
}
# held PORT: waits until a send holds PORT, then a little longer, into the exchange.
held() {
  check "movarth-send holds $1 (its lock file is there)" wait_for 10000 test -e "$(lock_of "$1")"
  usleep 300000
}
# raw_2400_8n1 PORT: the line as the driver holds it, as stty reads it back.
raw_2400_8n1() {
  local settings word
  settings=" $(stty -F "$1" -a 2>/dev/null | tr ';\n' '  ') "
  for word in "speed 2400 baud" cs8 -parenb -cstopb -crtscts -ixon -ixoff -icanon -isig \
    -iexten -echo -opost -icrnl -inlcr -igncr -istrip -brkint -parmrk "min = 1" "time = 0"; do
    case $settings in
      *" $word "*) ;;
      *) echo "  stty -a says:$settings" && echo "  missing: $word" && return 1 ;;
    esac
  done
}
# downloads LINE LABEL PORT [USER]: five downloads in a row, each reported with its time.
downloads() {
  local i
  for i in 1 2 3 4 5; do
    send timed "$3" "$4"
    finished timed
    check "$2: download $i ended with 0 ($ms ms)" test "$status" = 0 && sent "$1" "$2" "$ms"
  done
}

step_ports() {
  check "ttyS1 is a 16550A (8250 port type 4)" is /sys/class/tty/ttyS1/type 4
  check "its receive trigger is the driver's 8 bytes" is $trigger 8
  check "ttyUSB0 appears (ftdi_sio on xhci_pci)" wait_for 30000 test -e $usb
  check "ttyUSB0's maker is FTDI (0403)" is $adapter/../../idVendor 0403
  check "ttyUSB0 is an FT232 (6001)" is $adapter/../../idProduct 6001
  echo "  ttyUSB0's latency timer as the driver found it: $(cat $adapter/latency_timer) ms"
  # As Debian's udev rules have them: the serial ports belong to the group dialout.
  chgrp dialout $uart $usb
  chmod 0660 $uart $usb
}

# lacks FILE PATTERN: no line of the file matches.
lacks() { ! grep -q "$2" "$1"; }
# ports: the listing as movarth-send prints it, kept in /tmp/ports and shown.
ports() {
  movarth-send --list-ports >/tmp/ports
  sed 's/^/  | /' /tmp/ports
}

# The ports present, as movarth-send lists them from this machine's real sysfs: the UARTs that
# QEMU gives (ttyS0, the console, and ttyS1), not the slots the 8250 driver keeps without a
# UART behind them, and the FTDI adapter with its ids. udev has not run yet, so there are no
# /dev/serial names; with its rules for serial devices they appear.
step_list_ports() {
  check "the 8250 driver keeps an empty slot ttyS2 (type 0)" is /sys/class/tty/ttyS2/type 0
  check "and ttyS3" is /sys/class/tty/ttyS3/type 0
  ports
  check "ttyS0 is listed as a 16550A" grep -q '^ttyS0  UART 16550A' /tmp/ports
  check "ttyS1 is listed as a 16550A" grep -q '^ttyS1  UART 16550A' /tmp/ports
  check "no empty slot is listed" lacks /tmp/ports '^ttyS[2-9]'
  check "ttyUSB0 is listed with 0403:6001" grep -q '^ttyUSB0  .*(0403:6001' /tmp/ports
  check "those three and no more" test "$(wc -l </tmp/ports)" = 3
  /lib/systemd/systemd-udevd --daemon
  udevadm trigger --action=add /sys/class/tty/ttyUSB0
  udevadm settle --timeout=30
  udevadm control --exit
  ports
  check "ttyUSB0 with udev's by-id name" grep -q '^ttyUSB0  .*  /dev/serial/by-id/usb-' /tmp/ports
  check "and its by-path name" grep -q '^ttyUSB0  .*  /dev/serial/by-path/' /tmp/ports
  # An empty slot has a node but does not open: movarth-send says why and names the ports.
  movarth-send -q "$schedule" --port /dev/ttyS2 2>/tmp/refused
  check "an empty slot is refused with 2" test $? = 2
  sed 's/^/  | /' /tmp/refused
  check "the reason: no device behind it; the ports there are" \
    grep -q "^movarth-send: cannot open port '/dev/ttyS2': no device behind it; serial ports here: ttyS0, ttyS1, ttyUSB0 " /tmp/refused
}

step_uart_as_root() {
  send held $uart
  held $uart
  check "the receive trigger is 1 byte while the port is held" is $trigger 1
  check "the line: 2400 bit/s, 8N1, no flow control, raw" raw_2400_8n1 $uart
  finished held
  check "movarth-send ended with 0" test "$status" = 0 && sent uart 16550-root-looked-at "$ms"
  check "the trigger is 8 again after close" is $trigger 8
  check "no lock file left" test ! -e "$(lock_of $uart)"
  downloads uart 16550-root-trigger-1 $uart
}

step_uart_as_ordinary_user() {
  check "the trigger is root's alone" test "$(stat -c %U:%G:%a $trigger)" = root:root:644
  send held $uart operator
  held $uart
  check "an ordinary user's download leaves the trigger at 8" is $trigger 8
  finished held
  check "movarth-send ended with 0" test "$status" = 0 && sent uart 16550-user-looked-at "$ms"
  check "the trigger is still 8" is $trigger 8
  downloads uart 16550-user-trigger-8 $uart operator
}

step_udev_rule() {
  /lib/systemd/systemd-udevd --daemon
  udevadm trigger --action=add /sys/class/tty/ttyS1
  udevadm settle --timeout=30
  udevadm control --exit
  check "the rule gives the trigger to the group dialout" \
    test "$(stat -c %U:%G:%a $trigger)" = root:dialout:664
  send held $uart operator
  held $uart
  check "the trigger is 1 byte while an ordinary user holds the port" is $trigger 1
  finished held
  check "movarth-send ended with 0" test "$status" = 0 && sent uart 16550-user-rule-looked-at "$ms"
  check "the trigger is 8 again after close" is $trigger 8
  downloads uart 16550-user-rule-trigger-1 $uart operator
}

step_usb_as_root() {
  send held $usb
  held $usb
  check "the latency timer is 1 ms while held: the low-latency request reached ftdi_sio" \
    is $adapter/latency_timer 1
  check "the line: 2400 bit/s, 8N1, no flow control, raw" raw_2400_8n1 $usb
  finished held
  check "movarth-send ended with 0" test "$status" = 0 && sent usb ftdi-root-looked-at "$ms"
  check "no lock file left" test ! -e "$(lock_of $usb)"
  echo "  the latency timer after close: $(cat $adapter/latency_timer) ms"
  downloads usb ftdi-root $usb
}

step_usb_pulled() {
  send pulled $usb
  held $usb
  pulled=$(now_ms)
  monitor device_del ftdi
  check "the adapter is pulled" wait_for 10000 test ! -e $adapter
  finished pulled
  check "movarth-send ended with 1" test "$status" = 1
  check "within 2 s of the pull ($((ended - pulled)) ms)" test $((ended - pulled)) -le 2000
  check "no lock file left" test ! -e "$(lock_of $usb)"
  send out $usb
  finished out
  check "a send while the adapter is out ends with 2" test "$status" = 2
  monitor device_add usb-serial,id=ftdi,bus=xhci.0,chardev=usb
  check "the adapter is plugged back" wait_for 30000 test -e $usb
  send back $usb
  finished back
  check "a send after it came back ends with 0" test "$status" = 0 && sent usb ftdi-plugged-back "$ms"
}

# movarth-send started while the adapter is out waits for it (--wait-for-device): the kernel
# announces the new ttyUSB0 (no udev runs here), and the schedule goes out.
step_usb_waited_for() {
  # udevd has gone (step udev_rule ended it) but left its control socket, which would have
  # movarth-send listen for udev's events; without it, it listens to the kernel's.
  rm -f /run/udev/control
  monitor device_del ftdi
  check "the adapter is pulled" wait_for 10000 test ! -e $usb
  send waited $usb root --wait-for-device 60
  usleep 1000000
  check "movarth-send waits while the adapter is out" test ! -e /tmp/waited
  monitor device_add usb-serial,id=ftdi,bus=xhci.0,chardev=usb
  finished waited
  check "once the adapter is back it sends: ended with 0" test "$status" = 0 &&
    sent usb ftdi-waited-for "$ms"
}

# The serial component's own tests (pseudo-terminals, lock files, the receive trigger on a fake
# sysfs) on the kernel that a Debian 12 station runs.
step_comm_tests() {
  check "comm_posix_tests pass on Debian 12's kernel" comm_posix_tests --gtest_brief=1 --gtest_color=no
}

# A program ended by SIGTERM that closes its port the normal way (its lock file gone) has put the
# trigger back too.
step_uart_sigterm() {
  send killed $uart
  held $uart
  kill -TERM "$(pidof movarth-send)"
  finished killed
  check "SIGTERM ends it with 143" [ "$status" = 143 ]
  check "SIGTERM gives the port back: no lock file left" [ ! -e "$(lock_of $uart)" ]
  check "SIGTERM gives the port back: the trigger is 8 again" is $trigger 8
  rm -f "$(lock_of $uart)"
  echo 8 >$trigger
}

for step in ports list_ports uart_as_root uart_as_ordinary_user udev_rule usb_as_root usb_pulled \
  usb_waited_for uart_sigterm comm_tests; do
  echo "--- $step"
  "step_$step"
done
echo "@@end $passed $failures"
poweroff -f
