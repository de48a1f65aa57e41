#!/bin/sh
# check_install.sh BUILD_DIR SOURCE_DIR
#
# `cmake --install BUILD_DIR` lays out exactly what a lab installs on Linux,
# and a project of the lab's own finds the C++ client with find_package and
# builds against it.
set -eu
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >"$work/install.log"

(cd "$work/prefix" && find . -type f | sed 's|^\./||' | sed 's|/nmbclient_cppConfig-[a-z]*\.cmake$|/nmbclient_cppConfig-CONFIG.cmake|' | sort) >"$work/installed"
{
  printf '%s\n' bin/nimbrel-sim bin/nmb_roi_feedback bin/nmb_trigger_follower lib/libNMBNetworkPlugin.so lib/libnmbclient_cpp.a \
    lib/cmake/nmbclient_cpp/nmbclient_cppConfig.cmake lib/cmake/nmbclient_cpp/nmbclient_cppConfig-CONFIG.cmake
  (cd "$source/clients/cpp/include" && find nmbclient -name '*.h' | sed 's|^|include/|')
  (cd "$source/clients" && find matlab -name '*.m' | sed 's|^|share/nimbrel/|')
} | sort >"$work/expected"
if ! diff -u "$work/expected" "$work/installed"; then
  echo "the install differs from what a lab installs (- expected, + installed)"
  exit 1
fi

mkdir -p "$work/lab"
cat >"$work/lab/CMakeLists.txt" <<'LAB'
cmake_minimum_required(VERSION 3.16)
project(lab_feedback CXX)
find_package(nmbclient_cpp REQUIRED)
add_executable(lab_feedback main.cpp)
target_link_libraries(lab_feedback PRIVATE nmb::nmbclient_cpp)
LAB
cat >"$work/lab/main.cpp" <<'LAB'
#include "nmbclient/Client.h"
#include "nmbclient/Subscription.h"
int main() { return 0; }
LAB
if ! { cmake -S "$work/lab" -B "$work/lab/build" -DCMAKE_PREFIX_PATH="$work/prefix" &&
       cmake --build "$work/lab/build"; } >"$work/lab.log" 2>&1; then
  cat "$work/lab.log"
  echo "a project using the installed C++ client does not build"
  exit 1
fi
echo "install: $(wc -l <"$work/installed") files as expected; a lab's project builds against the C++ client"
