#!/usr/bin/env bash
# Cross-builds the NIfTI-2 reference library (nifticlib) for x86_64-w64-mingw32
# from Debian's source package, as static libraries for the Windows simulator's
# NIfTI replay, and installs it into a cache folder outside the source tree.
# A later call finds the finished install and returns at once.
#
#   build-nifti.sh CACHE_DIR   the install is CACHE_DIR/nifti-<version>-mingw64
#
# Needs cmake, the MinGW-w64 compilers, dpkg-dev and xz-utils (./dev windows
# installs them); NMB_JOBS sets the number of compilers (default: one per core).
set -euo pipefail
cache=$1
here=$(cd "$(dirname "$0")" && pwd)
version=3.0.1
prefix="$cache/nifti-$version-mingw64"
[ -f "$prefix/.complete" ] && { echo "== NIfTI library for Windows: cached in $prefix"; exit 0; }

work="$cache/work-nifti-$version"
rm -rf "$work" "$prefix"
mkdir -p "$work"
. "$here/debian-source.sh"
fetch_debian_source "$work" nifticlib
tar -C "$work" -xf "$work"/nifticlib_"$version".orig.tar.*
src=$(find "$work" -maxdepth 1 -type d -name 'nifti_clib-*' | head -1)
[ -n "$src" ] || { echo "nifticlib source not found in $work" >&2; exit 1; }
echo "== building the NIfTI library $version for Windows"
cmake -S "$src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$here/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DNIFTI_BUILD_TESTING=OFF -DBUILD_TESTING=OFF -DNIFTI_INSTALL_NO_DOCS=ON >"$work/build.log" 2>&1 &&
  cmake --build "$work/build" -j "${NMB_JOBS:-$(nproc 2>/dev/null || echo 2)}" >>"$work/build.log" 2>&1 &&
  cmake --install "$work/build" >>"$work/build.log" 2>&1 || { tail -40 "$work/build.log" >&2; exit 1; }
touch "$prefix/.complete"
rm -rf "$work"
echo "== NIfTI library for Windows installed in $prefix"
