#!/usr/bin/env bash
# Builds the Debian package build/movarth_<version>_<arch>.deb from the default build: the
# install tree is laid out under build/package/root (cmake --install, binaries stripped), its
# desktop entry and metainfo are validated, the dependencies are computed from the binaries,
# and lintian checks the package (an error fails, warnings are printed).
#   scripts/package.sh                  build and check the package
#   scripts/package.sh --install-check  then install it with apt-get, check what it put in
#                                       place, and remove it again (as root or with sudo)
set -euo pipefail
cd "$(dirname "$0")/.."
install_check=false
case "${1:-}" in
  --install-check) install_check=true ;;
  "") ;;
  *) echo "usage: $0 [--install-check]" >&2; exit 2 ;;
esac
scripts/setup.sh dpkg-dev lintian desktop-file-utils appstream systemd
umask 022

cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target movarth movarth-send movarth-controller-sim \
  movarth-send-generator

id=io.github.movarth.Movarth
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/default/CMakeCache.txt)
date=$(sed -n 's/^set(MOVARTH_RELEASE_DATE \(.*\))$/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
deb=build/movarth_${version}_${arch}.deb
work=build/package
root=$work/root
doc=$root/usr/share/doc/movarth

rm -rf "$work" build/movarth_*.deb
DESTDIR="$PWD/$root" cmake --install build/default --prefix /usr >/dev/null
generator=usr/lib/systemd/user-generators/movarth-send-generator
# As Debian strips: no debug information, symbols or compiler notes in the package.
strip --remove-section=.comment --remove-section=.note "$root"/usr/bin/* "$root/$generator"

echo "=== install tree"
desktop-file-validate "$root/usr/share/applications/$id.desktop"
appstreamcli validate-tree --no-net "$root"

# Debian keeps manual pages and the changelog compressed.
gzip -9n "$root"/usr/share/man/man1/*.1
printf '%s\n' \
  "movarth ($version) stable; urgency=medium" "" \
  "  * Release $version." "" \
  " -- The movarth developers <movarth@users.noreply.github.com>  $(date -R -d "$date 12:00 UTC")" \
  | gzip -9n >"$doc/changelog.gz"

# dpkg-shlibdeps reads the package's name from a control file of a source tree.
mkdir -p "$work/debian" "$root/DEBIAN"
printf 'Source: movarth\n\nPackage: movarth\nArchitecture: any\n' >"$work/debian/control"
shlibs=$(cd "$work" && dpkg-shlibdeps -O -eroot/usr/bin/movarth -eroot/usr/bin/movarth-send \
  -eroot/usr/bin/movarth-controller-sim -eroot/$generator | sed -n 's/^shlibs:Depends=//p')

# fonts-wqy-zenhei: the window's Chinese texts need a CJK font (it stands in for 宋体 and 黑体).
# libqt6svg6: Qt loads its SVG icon engine as a plug-in, which dpkg-shlibdeps cannot see; the
# window's icon needs it.
cat >"$root/DEBIAN/control" <<CONTROL
Package: movarth
Version: $version
Architecture: $arch
Maintainer: The movarth developers <movarth@users.noreply.github.com>
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Depends: $shlibs, fonts-wqy-zenhei, libqt6svg6
Section: video
Priority: optional
Homepage: https://github.com/movarth/movarth
Description: count-down controller schedule tool for broadcasting stations
 movarth prepares a broadcasting station's programme for the day and downloads
 it to an external count-down display controller over a serial line: up to 31
 entries of start time, programme length and end time, kept in schedule files
 and sent with a progress gauge and a status line.
 .
 The package also holds movarth-send, which downloads a schedule file from the
 command line (for timers and scripts), and movarth-controller-sim, which plays
 the controller on a pseudo-terminal so that a download can be tried without
 the device.
CONTROL

(cd "$root" && find . -type f ! -path './DEBIAN/*' -printf '%P\n' | LC_ALL=C sort | xargs md5sum) \
  >"$root/DEBIAN/md5sums"
dpkg-deb --build --root-owner-group "$root" "$deb" >/dev/null
echo "=== lintian $deb"
lintian --fail-on error --display-info "$deb"
echo "package: $deb"

$install_check || exit 0

echo "=== install check"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
remove() { $sudo apt-get remove --purge -y -qq movarth >/dev/null || true; }
trap remove EXIT
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "./$deb" >/dev/null
files=$(dpkg -L movarth)
for f in /usr/bin/movarth /usr/bin/movarth-send /usr/bin/movarth-controller-sim \
    "/usr/share/applications/$id.desktop" "/usr/share/metainfo/$id.metainfo.xml" \
    "/usr/share/icons/hicolor/scalable/apps/$id.svg" /usr/share/man/man1/movarth.1.gz \
    /usr/share/doc/movarth/copyright /usr/lib/udev/rules.d/60-movarth-serial.rules \
    /usr/lib/systemd/user/movarth-send@.service /usr/lib/systemd/user/movarth-send@.timer \
    "/$generator"; do
  grep -qx "$f" <<<"$files" || { echo "not installed: $f" >&2; exit 1; }
done
/usr/bin/movarth-send --version
/usr/bin/movarth-controller-sim --help >/dev/null
# The user units as the user's manager would load them, with the drop-in that the installed
# generator makes from a configuration's time of day (the template alone says 05:30).
units=$(mktemp -d)
mkdir -p "$units/config/movarth/send" "$units/runtime"
printf 'file = /srv/%%F.qlx\nport = ttyUSB0\ntime = 06:15\n' >"$units/config/movarth/send/studio1.conf"
XDG_CONFIG_HOME=$units/config "/$generator" "$units/generator"
grep -qx 'OnCalendar=\*-\*-\* 06:15:00' "$units/generator/movarth-send@studio1.timer.d/10-time.conf" ||
  { rm -rf "$units"; echo "the installed generator made no drop-in with the time 06:15" >&2; exit 1; }
verified=$(XDG_RUNTIME_DIR=$units/runtime SYSTEMD_UNIT_PATH="$units/generator:" \
  systemd-analyze verify --user --man=no movarth-send@studio1.timer movarth-send@studio1.service \
  2>&1) || verified="failed: $verified"
rm -rf "$units"
[ -z "$verified" ] || { echo "systemd-analyze verify: $verified" >&2; exit 1; }
echo "the user units and their generator pass systemd-analyze verify"
trap - EXIT
remove
left=()
while read -r f; do
  [ -f "$f" ] && left+=("$f")
done <<<"$files"
if dpkg-query -W -f='${Status}\n' movarth 2>/dev/null | grep -qv ' not-installed$' || [ ${#left[@]} -gt 0 ]; then
  echo "left after removal: ${left[*]:-its dpkg record}" >&2
  exit 1
fi
echo "installed and removed cleanly"
