#!/usr/bin/env bash
# Builds the Debian package km7_<version>_<arch>.deb from a clean Release
# build of the programs:
#
#   scripts/make-deb.sh [--out DIR] [--build-dir DIR]
#
#   --out DIR        where the package goes (default: the top of the checkout)
#   --build-dir DIR  the build tree, emptied first (default: build-deb/)
#
# The version is project(VERSION) in CMakeLists.txt; the top entry of
# packaging/deb/changelog must name it. Depends comes from dpkg-shlibdeps.
# The files come from `cmake --install` (programs, desktop file, icons,
# manual pages, udev rule, service unit); this script adds what only a
# package has (copyright, changelog, README.Debian, the example
# /etc/km7/km7d.conf as a conffile, the maintainer scripts) and
# packs it all with dpkg-deb, as root:root without needing root.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=$top
build=$top/build-deb
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out=${2:?--out needs a folder}; shift 2 ;;
    --build-dir) build=${2:?--build-dir needs a folder}; shift 2 ;;
    -h|--help) sed -n '2,16s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "make-deb.sh: unknown option '$1'" >&2; exit 2 ;;
  esac
done
mkdir -p "$out"
out=$(cd "$out" && pwd)
case "$build" in /*) ;; *) build=$PWD/$build ;; esac
pkg=$top/packaging/deb

version=$(sed -n 's/^project(km7 VERSION \([0-9][0-9.]*\) .*/\1/p' "$top/CMakeLists.txt")
[ -n "$version" ] || { echo "make-deb.sh: no project(km7 VERSION x.y.z ...) in CMakeLists.txt" >&2; exit 1; }
changelog_version=$(sed -n '1s/^km7 (\([^)]*\)).*/\1/p' "$pkg/changelog")
if [ "$changelog_version" != "$version" ]; then
  echo "make-deb.sh: packaging/deb/changelog starts with version '$changelog_version'," \
       "CMakeLists.txt says '$version': add a changelog entry for $version" >&2
  exit 1
fi
arch=$(dpkg --print-architecture)
deb=$out/km7_${version}_${arch}.deb

# A clean Release build with Debian's flags: its optimisation and hardening,
# no debug information (the programs are stripped). CMake does not read
# CPPFLAGS, so they go in front of the compiler flags, and Release adds only
# NDEBUG.
rm -rf "$build"
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_CFLAGS_MAINT_STRIP=-g DEB_CXXFLAGS_MAINT_STRIP=-g \
        dpkg-buildflags --export=sh)"
export CFLAGS="$CPPFLAGS $CFLAGS" CXXFLAGS="$CPPFLAGS $CXXFLAGS"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$top" -B "$build/tree" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
  -DKM7_TESTS=OFF -DKM7_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$build/tree" -j "$(nproc)"

root=$build/root
DESTDIR=$root cmake --install "$build/tree" --strip >/dev/null

# What only the package has.
doc=$root/usr/share/doc/km7
install -d "$doc"
install -m 0644 "$pkg/copyright" "$doc/copyright"
install -m 0644 "$pkg/README.Debian" "$doc/README.Debian"
gzip -9n -c "$pkg/changelog" >"$doc/changelog.gz"
find "$root/usr/share/man" -type f ! -name '*.gz' -exec gzip -9n {} +
conffiles=()
if [ -x "$build/tree/service/km7d/km7d" ]; then
  install -d "$root/etc/km7"
  install -m 0644 "$pkg/km7d.conf" "$root/etc/km7/km7d.conf"
  conffiles+=(/etc/km7/km7d.conf)
fi

# Programs the package must hold; a program added to the project is one more
# name here (and its manual page in data/man).
programs=(km7 km7-mail km7d)
binaries=()
for p in "${programs[@]}"; do
  [ -x "$root/usr/bin/$p" ] || { echo "make-deb.sh: $p was not installed" >&2; exit 1; }
  binaries+=("usr/bin/$p")
done

# Depends: the libraries the programs link, as dpkg-shlibdeps finds them.
# It wants a debian/control naming the package; a scratch one serves.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/debian"
printf 'Source: km7\n\nPackage: km7\nArchitecture: any\n' >"$scratch/debian/control"
depends=$(cd "$scratch" && dpkg-shlibdeps -O "${binaries[@]/#/$root/}" 2>"$scratch/shlibdeps.err" |
          sed -n 's/^shlibs:Depends=//p') || { cat "$scratch/shlibdeps.err" >&2; exit 1; }
[ -n "$depends" ] || { echo "make-deb.sh: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

# Modes as Debian wants them, then the control files.
find "$root" -type d -exec chmod 0755 {} +
find "$root" -type f -exec chmod 0644 {} +
for b in "${binaries[@]}"; do chmod 0755 "$root/$b"; done
install -d "$root/DEBIAN"
(cd "$root" && find . \( -path ./DEBIAN -o -path ./etc \) -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z |
   xargs -0 md5sum) >"$root/DEBIAN/md5sums"
installed_size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@DEPENDS@/$depends/" \
    -e "s/@INSTALLED_SIZE@/$installed_size/" "$pkg/control.in" >"$root/DEBIAN/control"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
if [ ${#conffiles[@]} -gt 0 ]; then
  printf '%s\n' "${conffiles[@]}" >"$root/DEBIAN/conffiles"
  chmod 0644 "$root/DEBIAN/conffiles"
fi
# Reload the manager and udev on install; stop and disable km7d on removal,
# and take its state on purge.
for script in postinst prerm postrm; do
  install -m 0755 "$pkg/$script" "$root/DEBIAN/$script"
done

dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"
