#!/bin/sh
# Builds the C++ client for Windows (Winsock socket layer) with MinGW and links
# a small program against it, so the Windows side cannot rot unnoticed.
#   check_windows_build.sh MINGW_CXX SOURCE_ROOT WORK_DIR
set -eu
cxx=$1
root=$2
work=$3
mkdir -p "$work"
cat > "$work/main.cpp" <<'CPP'
#include "nmbclient/Client.h"
#include "nmbclient/Discovery.h"
#include "nmbclient/Subscription.h"
int main() {
  try {
    nmb::Client client("127.0.0.1", 55555, std::chrono::milliseconds(100));
    return client.nrOfRois();
  } catch (const nmb::ClientError&) {
    return 1;
  }
}
CPP
src=$root/clients/cpp/src
"$cxx" -std=c++17 -Wall -Wextra -Werror -O1 -I"$root/clients/cpp/include" -I"$root" \
  "$work/main.cpp" "$src/Client.cpp" "$src/Discovery.cpp" "$src/FrameReader.cpp" "$src/Helpers.cpp" \
  "$src/Replies.cpp" "$src/Subscription.cpp" "$src/Wire.cpp" "$src/SocketWinsock.cpp" \
  -static -lws2_32 -o "$work/nmbclient_check.exe"
echo "built $work/nmbclient_check.exe"
