#!/bin/sh
# Compiles the Qt-free Windows units with the MinGW cross compiler.
set -eu
cxx=$1 source=$2 out=$3
mkdir -p "$out"
for unit in plugin/platform/HostModuleWindows.cpp plugin/platform/MutexWindows.cpp plugin/NMBPluginInterface.cpp; do
  "$cxx" -std=c++17 -Wall -Wextra -Werror -DNMB_BUILDING_PLUGIN -I"$source" -c "$source/$unit" \
    -o "$out/$(basename "$unit" .cpp).o"
done
printf '#include "plugin/PluginEntryPoints.h"\n#include "plugin/NMBPluginInterface.h"\n#include "plugin/Mutex.h"\n' |
  "$cxx" -std=c++17 -Wall -Wextra -Werror -DNMB_BUILDING_PLUGIN -I"$source" -x c++ -c - -o "$out/entry_points.o"
echo "windows units build"
