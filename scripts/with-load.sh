#!/usr/bin/env bash
# Runs a command with every core kept busy: one busy loop per core (nproc), at normal
# priority, stopped when the command ends. Prints the load average before and after.
# Usage: scripts/with-load.sh COMMAND [ARG]...
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARG]..." >&2; exit 2; }

loops=()
stop_loops() { [ ${#loops[@]} -eq 0 ] || kill "${loops[@]}" 2>/dev/null || true; }
trap stop_loops EXIT
for _ in $(seq "$(nproc)"); do
  bash -c 'while :; do :; done' &
  loops+=("$!")
done
sleep 2 # let the loops take the cores
echo "busy loops: ${#loops[@]}; load before: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
status=0
"$@" || status=$?
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
exit "$status"
