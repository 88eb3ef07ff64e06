#!/usr/bin/env bash
# Shows a whole download without hardware: starts the count-down controller simulator on a
# pseudo-terminal and movarth with that device already in its port field. The program runs on
# scratch settings in a temporary folder, never on your own; the simulator stops when the
# program ends and its report is printed.
# Options are passed to the simulator, e.g.  scripts/demo.sh --refuse-frame 2:1
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target movarth movarth-controller-sim

scratch=$(mktemp -d "${TMPDIR:-/tmp}/movarth-demo.XXXXXX")
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

build/default/tools/movarth-controller-sim "$@" >"$scratch/controller.txt" 2>"$scratch/controller.log" &
sim_pid=$!
for _ in $(seq 100); do
  [ -s "$scratch/controller.txt" ] && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$scratch/controller.log" >&2; exit 1; }
  sleep 0.1
done
device=$(head -n 1 "$scratch/controller.txt")
[ -n "$device" ] || { echo "the controller simulator gave no device" >&2; exit 1; }

# The remembered port: start-up puts it into the port field.
mkdir -p "$scratch/settings"
printf '[SoftWare]\nmovarth\\com=%s\n' "$device" >"$scratch/settings/movarth.conf"

# An example schedule to load with "调出". The program runs in its folder, which is where the
# file dialogs start.
schedules="$scratch/schedules"
mkdir -p "$schedules"
printf '%s\r\n' "07:30:00 00:30:00 08:00:00" "12:00:00 01:15:00 13:15:00" \
  "19:00:00 00:45:00 19:45:00" >"$schedules/example.qlx"

cat <<TEXT
The controller simulator listens on $device.
In the window: press "打开" (the port field already holds that device), type entries and press
"加入" for each, or press "调出" and open example.qlx (the dialog starts in its folder); then
press "发送". Files saved in that folder go when the demo ends.
Press "退出系统" to end the demo.
TEXT

status=0
# Scratch settings and send history: a demo download is no record of the real controller. The
# program runs in the folder of the example schedule, where its open dialog starts.
program="$PWD/build/default/app/movarth"
(cd "$schedules" && MOVARTH_SETTINGS_DIR="$scratch/settings" XDG_STATE_HOME="$scratch/state" "$program") || status=$?

kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
echo
echo "What the controller received:"
tail -n +2 "$scratch/controller.txt" | grep . || echo "  (no complete schedule)"
exit "$status"
