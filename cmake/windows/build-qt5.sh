#!/usr/bin/env bash
# Cross-builds Qt 5 (qtbase: Core and Network) for x86_64-w64-mingw32 from
# Debian's own qtbase source package, the same version as the Linux Qt, as
# static libraries, and installs it into a cache folder outside the source
# tree.  A later call with the same version finds the finished install and
# returns at once.
#
#   build-qt5.sh CACHE_DIR     prints nothing but progress; the install is
#                              CACHE_DIR/qt5-<version>-mingw64-static when it ends
#
# Static, because the plug-in links its Qt in: Nimbrel loads Qt DLLs of its own
# (another compiler's, under the same file names) before any plug-in, and a
# plug-in importing "Qt5Core.dll" would be bound to those.
#
# The source comes through apt with a private source list (debian-source.sh),
# so the machine's own apt configuration is left as it was.
#
# Needs qtbase5-dev (its version is the one built), g++, make, perl, python3,
# dpkg-dev, xz-utils and the MinGW-w64 posix compilers: ./dev windows installs
# them first.  NMB_JOBS sets the number of compilers (default: one per core).
set -euo pipefail
cache=$1
version=$(dpkg-query -W -f='${Version}' qtbase5-dev 2>/dev/null || true)  # e.g. 5.15.8+dfsg-11+deb12u3
[ -n "$version" ] ||
  { echo "build-qt5.sh: qtbase5-dev is not installed; its version is the Qt to build (./dev windows installs it)" >&2; exit 1; }
upstream=${version%%+*}; upstream=${upstream%%-*}         # 5.15.8
prefix="$cache/qt5-$upstream-mingw64-static"
[ -f "$prefix/.complete" ] && { echo "== Qt $upstream for Windows: cached in $prefix"; exit 0; }

jobs=${NMB_JOBS:-$(nproc 2>/dev/null || echo 2)}
work="$cache/work-qt5-$upstream-static"
rm -rf "$work" "$prefix"
mkdir -p "$work"
. "$(dirname "$0")/debian-source.sh"
fetch_debian_source "$work" qtbase-opensource-src "$version"
tar -C "$work" -xf "$work"/qtbase-opensource-src_"${upstream}"*.orig.tar.*
src=$(find "$work" -maxdepth 1 -type d -name 'qtbase-everywhere-src-*' | head -1)
[ -n "$src" ] || { echo "qtbase source not found in $work" >&2; exit 1; }

# Qt's mkspec calls x86_64-w64-mingw32-gcc/g++; they must be the posix-thread
# variants, since the win32-thread variant has no std::mutex or std::thread.
mkdir -p "$work/bin"
for tool in gcc g++; do
  ln -sf "$(command -v x86_64-w64-mingw32-$tool-posix)" "$work/bin/x86_64-w64-mingw32-$tool"
done
export PATH="$work/bin:$PATH"

echo "== configuring Qt $upstream for x86_64-w64-mingw32 (Core, Network; static)"
mkdir -p "$work/build"
cd "$work/build"
"$src/configure" -prefix "$prefix" -opensource -confirm-license \
  -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
  -release -static -nomake examples -nomake tests \
  -no-gui -no-widgets -no-opengl -no-dbus -no-icu -no-openssl \
  -no-feature-sql -no-feature-concurrent -no-feature-testlib -no-feature-xml \
  -qt-pcre -qt-zlib -no-pch >"$work/configure.log" 2>&1 || { tail -40 "$work/configure.log" >&2; exit 1; }
echo "== building Qt $upstream for Windows ($jobs jobs; once per machine)"
make -j "$jobs" >"$work/make.log" 2>&1 || { tail -40 "$work/make.log" >&2; exit 1; }
make install >"$work/install.log" 2>&1 || { tail -40 "$work/install.log" >&2; exit 1; }
# What a binary with this Qt inside carries: Qt's licence texts, and the
# copyright file of the Debian source it was built from, which also names the
# third-party code Core and Network bundle (zlib, PCRE2, double-conversion, ...).
mkdir -p "$prefix/licenses"
cp "$src"/LICENSE.LGPL3 "$src"/LICENSE.GPL2 "$src"/LICENSE.GPL3 "$src"/LICENSE.GPL3-EXCEPT "$prefix/licenses/"
tar -C "$work" -xf "$work"/qtbase-opensource-src_*.debian.tar.* debian/copyright
cp "$work/debian/copyright" "$prefix/licenses/copyright"
touch "$prefix/.complete"
rm -rf "$work"
echo "== Qt $upstream for Windows installed in $prefix"
