#!/bin/bash
# check_fresh_root.sh IN_FRESH_ROOT
#
# .ci/in-fresh-root in a minimal root (bash and a few programs with their
# libraries): the command sees /proc, /sys, /dev, /run, resolv.conf and hosts,
# its / is a mount point, a clean environment with the NMB_* variables but not
# the cache folder, and its exit status comes back; SIGTERM ends it and
# everything it started at once.
# Needs root (mounts, chroot), as the test suite runs.
set -eu
runner=$1
work=$(mktemp -d)
root=$work/root
trap 'rm -rf "$work"' EXIT
for program in /bin/bash /usr/bin/env /bin/sleep /bin/cat /bin/ls; do
  for file in "$program" $(ldd "$program" | grep -o '/[^ ]*'); do
    mkdir -p "$root$(dirname "$file")"
    cp -L "$file" "$root$file"
  done
done
mkdir -p "$root/src" "$root/etc"
fail() { echo "$*"; exit 1; }

status=0
out=$(NMB_PROBE=1 NMB_CACHE_DIR=/elsewhere STRAY=1 unshare --mount --propagation private --pid --fork --kill-child \
  "$runner" "$root" 'cat /proc/1/cmdline >/dev/null && ls /sys/class/net /dev/null /dev/shm /run >/dev/null &&
    cat /etc/resolv.conf /etc/hosts >/dev/null && pwd && env &&
    while read -r _ _ _ _ point _; do [ "$point" != / ] || echo "/ is a mount point"; done </proc/self/mountinfo
    exit 7') ||
  status=$?
[ "$status" -eq 7 ] || fail "the command's status 7 came back as $status: $out"
echo "$out" | grep -qx /src || fail "the command did not start in /src: $out"
echo "$out" | grep -qx NMB_PROBE=1 || fail "NMB_PROBE was not passed on: $out"
echo "$out" | grep -qx "/ is a mount point" || fail "the root is no mount point (ip netns needs one): $out"
echo "$out" | grep -q -e '^NMB_CACHE_DIR=' -e '^STRAY=' && fail "the root saw the caller's environment: $out"

unshare --mount --propagation private --pid --fork --kill-child "$runner" "$root" 'sleep 300 & sleep 300' &
outer=$!
sleep 1
kill -TERM "$(cat /proc/$outer/task/$outer/children)"
status=0
wait "$outer" || status=$?
[ "$status" -eq 143 ] || fail "SIGTERM ended the runner with status $status, not 143"
for process in /proc/[0-9]*; do
  [ "$(readlink "$process/root" 2>/dev/null)" != "$root" ] || fail "$process still runs in the root"
done
echo "in-fresh-root: status, environment, mounts and SIGTERM as expected"
