#!/usr/bin/env bash
# Builds the Debian package with scripts/make-deb.sh and checks it: what
# dpkg-deb lists, lintian, the validators, the size, each program run from
# the unpacked tree, and piuparts (install, remove, purge in a clean chroot of
# this machine's Debian release, with the checks of tests/package/piuparts).
#
#   check-deb.sh WORK_DIR VERSION
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:?usage: check-deb.sh WORK_DIR VERSION}
version=${2:?usage: check-deb.sh WORK_DIR VERSION}
fail() { echo "check-deb: $*" >&2; status=1; }
status=0
rm -rf "$work"
mkdir -p "$work"

deb=$("$top/scripts/make-deb.sh" --out "$work" --build-dir "$work/build" | tail -n 1)
arch=$(dpkg --print-architecture)
[ "$deb" = "$work/km7_${version}_${arch}.deb" ] || { echo "check-deb: make-deb.sh made '$deb'" >&2; exit 1; }

size=$(stat -c %s "$deb")
echo "package: $(basename "$deb"), $size bytes"
[ "$size" -lt 5000000 ] || fail "the package has $size bytes, more than 5 MB"

# What the package declares, and what it does on install and removal.
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t)
for f in ./postinst ./prerm ./postrm ./conffiles; do
  grep -qxF "$f" <<<"$control" || fail "the package has no $f"
done
[ -d "$top/service/km7d" ] && { dpkg-deb --info "$deb" conffiles | grep -qx /etc/km7/km7d.conf || fail "km7d.conf is no conffile"; }
info=$(dpkg-deb --info "$deb")
for field in "Package: km7" "Version: $version" "Architecture: $arch" "Depends: .*libc6" \
             "Depends: .*libqt6widgets6" "Depends: .*libssl3"; do
  grep -q "^ $field" <<<"$info" || fail "dpkg-deb --info has no '$field'"
done
if grep -qi "^ Depends:.*ftd2xx" <<<"$info"; then fail "the driver library is a dependency"; fi
grep -q "libftd2xx.so, which is not part of this package and not a dependency" <<<"$(tr -d '\n' <<<"$info" | tr -s ' ')" ||
  fail "the description does not say that the driver library is no dependency"

# The files it holds.
contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
programs=(km7 km7-mail km7d)
expected=(./usr/share/applications/km7.desktop
          ./usr/share/icons/hicolor/scalable/apps/km7.svg
          ./usr/share/icons/hicolor/128x128/apps/km7.png
          ./usr/share/man/man1/km7.1.gz ./usr/share/man/man1/km7-mail.1.gz
          ./usr/share/doc/km7/copyright ./usr/share/doc/km7/changelog.gz
          ./usr/share/doc/km7/README.Debian
          ./usr/lib/udev/rules.d/60-km7.rules)
for p in "${programs[@]}"; do expected+=("./usr/bin/$p"); done
expected+=(./usr/share/man/man8/km7d.8.gz ./usr/lib/systemd/system/km7d.service)
for f in "${expected[@]}"; do
  grep -qxF "$f" <<<"$contents" || fail "dpkg-deb --contents lacks $f"
done
if grep -q "libftd2xx" <<<"$contents"; then fail "the package holds a driver library"; fi
if grep -q "^./etc/systemd" <<<"$contents"; then fail "the package enables a unit"; fi

# lintian: no error and no warning (a warning that cannot be helped would get
# an override with its reason in the package).
if ! lintian --fail-on error,warning --tag-display-limit 0 "$deb" >"$work/lintian.txt" 2>&1; then
  cat "$work/lintian.txt" >&2
  fail "lintian complains"
fi

# Unpacked, each program answers --version and --help.
root=$work/root
dpkg-deb -x "$deb" "$root"
home=$work/home
mkdir -p "$home"
export HOME=$home XDG_CONFIG_HOME=$home/config XDG_STATE_HOME=$home/state XDG_DATA_HOME=$home/data
export QT_QPA_PLATFORM=offscreen
for p in "${programs[@]}"; do
  out=$("$root/usr/bin/$p" --version) || fail "$p --version failed"
  [ "$out" = "$p $version" ] || fail "$p --version printed '$out'"
  "$root/usr/bin/$p" --help >"$work/help-$p.txt" || fail "$p --help failed"
  grep -q "^Usage: $p" "$work/help-$p.txt" || fail "$p --help has no usage line"
done

# km7d reads the simulated module of the same build, once.
once=$(LD_LIBRARY_PATH=$work/build/tree/sim timeout 60 "$root/usr/bin/km7d" --once --metrics-listen off) ||
  fail "km7d --once against the simulated module failed"
grep -q '"ok":true' <<<"$once" && grep -q '"temperature_celsius"' <<<"$once" ||
  fail "km7d --once printed no reading: '$once'"
# The unit as unpacked, naming the unpacked program (it is not installed).
sed "s|/usr/bin/km7d|$root/usr/bin/km7d|" "$root/usr/lib/systemd/system/km7d.service" >"$work/km7d.service"
out=$(systemd-analyze verify --man=no "$work/km7d.service" 2>&1) || fail "systemd-analyze verify failed"
[ -z "$out" ] || fail "systemd-analyze verify on km7d.service: $out"

# The validators.
out=$(desktop-file-validate "$root/usr/share/applications/km7.desktop" 2>&1) || true
[ -z "$out" ] || fail "desktop-file-validate: $out"
for page in "$root"/usr/share/man/man*/*.gz; do
  out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null) || fail "man failed on $page"
  [ -z "$out" ] || fail "man --warnings on $(basename "$page"): $out"
done

# piuparts: a chroot of this machine's release from its Debian mirror (the
# chroot's tarball is kept beside WORK_DIR for a week, so that a second run
# skips debootstrap).
run_piuparts() {
  local release mirror cache as_root=()
  release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$release" ] || { fail "piuparts: no VERSION_CODENAME in /etc/os-release"; return; }
  # The first of the one-line and the deb822 forms (either may be missing).
  mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
           awk '$1 == "deb" && $2 !~ /security/ {print $2; exit}') || true
  [ -n "$mirror" ] || mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
           awk '$1 == "URIs:" && $2 !~ /security/ {print $2; exit}') || true
  [ -n "$mirror" ] || mirror=http://deb.debian.org/debian
  command -v piuparts >/dev/null || { fail "piuparts is not installed (scripts/install-deps.sh --package)"; return; }
  if [ "$(id -u)" -ne 0 ]; then
    sudo -n true 2>/dev/null || { fail "piuparts needs root (or sudo without a password)"; return; }
    as_root=(sudo -n)
  fi
  cache=$(dirname "$work")/piuparts-$release.tgz
  local base=(--save "$cache")
  if [ -s "$cache" ] && [ -n "$(find "$cache" -mtime -7)" ]; then base=(--basetgz "$cache"); fi
  local started=$SECONDS
  if "${as_root[@]}" piuparts --distribution "$release" --mirror "$mirror" --no-upgrade-test \
       --scriptsdir "$top/tests/package/piuparts" --tmpdir "$work" "${base[@]}" \
       "$deb" >"$work/piuparts.txt" 2>&1; then
    echo "piuparts ($release, $mirror): passed in $((SECONDS - started)) s"
  else
    grep -E "ERROR|FAIL" "$work/piuparts.txt" | head -n 40 >&2 || tail -n 40 "$work/piuparts.txt" >&2
    fail "piuparts failed (log: $work/piuparts.txt)"
  fi
}
run_piuparts

# What takes the space.
echo "largest files (bytes, unpacked):"
(cd "$root" && find . -type f -printf '%s %p\n' | sort -rn | head -n 5)
[ $status = 0 ] && echo "package checks: passed"
exit $status
