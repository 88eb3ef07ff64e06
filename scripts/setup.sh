#!/usr/bin/env bash
# Installs, from Debian's packages, what building, running and testing movarth needs, and the
# packages named as arguments (scripts/fuzz.sh names its compiler).
# Idempotent: packages already present are skipped, and apt is not touched when none is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config          # build
  libgtest-dev libgmock-dev libbenchmark-dev # tests and benchmarks
  qt6-base-dev libgl-dev                     # the window and its controls
  libudev-dev                                # device events: the window reopens a port whose device came back
  libqt6svg6                                 # draws the window's icon (Qt's SVG icon engine)
  fonts-wqy-zenhei                           # a CJK font for the Chinese texts (stands in for 宋体 and 黑体)
  util-linux                                 # setarch, for the ThreadSanitizer runs
  xvfb                                       # an X server that a test takes away from the window
  systemd                                    # systemd-analyze checks movarth-send's user units
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
