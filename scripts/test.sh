#!/usr/bin/env bash
# Sets up, builds and runs every test in every configuration: the fuzz targets for a minute
# each, then the normal build with gcc and with clang, AddressSanitizer +
# UndefinedBehaviorSanitizer, ThreadSanitizer (threaded code, no GUI), and arm64 (no GUI; cross
# compiled, the tests under qemu-user). After the normal build's tests it builds the Debian
# package from that build, validates it and installs and removes it once (scripts/package.sh),
# and on x86_64 runs movarth-send on the kernel's real serial drivers in a virtual machine
# (scripts/vm-test.sh). Ends with CTest's own summary line of the last configuration.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh clang-14 g++-aarch64-linux-gnu qemu-user cu minicom
scripts/fuzz.sh 60

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
for preset in default clang asan tsan arm64; do
  echo "=== configuration: $preset"
  cmake --preset "$preset" -DMOVARTH_WERROR=ON >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  if [ "$preset" = tsan ]; then
    # ThreadSanitizer's shadow memory needs a fixed address layout on kernels with high mmap entropy.
    setarch "$(uname -m)" -R ctest --preset "$preset" -j "$jobs"
  else
    ctest --preset "$preset" -j "$jobs"
  fi
  if [ "$preset" = default ]; then
    scripts/package.sh --install-check
    if [ "$(uname -m)" = x86_64 ]; then
      echo "=== configuration: real drivers (virtual machine)"
      scripts/vm-test.sh
    fi
  fi
done
