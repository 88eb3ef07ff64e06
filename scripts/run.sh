#!/usr/bin/env bash
# Sets up, builds and starts movarth. It builds only what it runs and what stands beside it:
# the program, the controller simulator and the sender (the tests and benchmarks are
# scripts/test.sh's), in the same build folder, so a later scripts/test.sh builds on it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target movarth movarth-controller-sim movarth-send
exec build/default/app/movarth "$@"
