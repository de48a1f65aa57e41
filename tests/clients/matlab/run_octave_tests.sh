#!/bin/sh
# Runs the MATLAB/Octave client's tests under Octave: the decoding checks, and
# with a simulator path the live checks against the plug-in in the simulated
# host.  Exits 77 (skipped) when Octave or its instrument-control package is missing.
#   run_octave_tests.sh CLIENT_DIR TEST_DIR [SIMULATOR]
client_dir=$1
test_dir=$2
simulator=${3:-}

octave=$(command -v octave-cli || command -v octave || true)
if [ -z "$octave" ]; then
  echo "SKIPPED: octave is not installed (apt-get install octave octave-instrument-control)"
  exit 77
fi
if ! "$octave" --no-gui --quiet --eval "pkg load instrument-control" >/dev/null 2>&1; then
  echo "SKIPPED: the Octave package instrument-control is missing (apt-get install octave-instrument-control)"
  exit 77
fi

run() {
  "$octave" --no-gui --quiet --no-window-system --eval \
    "pkg load instrument-control; addpath('$client_dir'); addpath('$test_dir'); try, $1; catch err, disp(err.message); exit(1); end"
}

run "test_decoding" || exit 1

portfile=$(mktemp -u /tmp/nmb-octave-port.XXXXXX)
python3 "$test_dir/misbehaving_server.py" "$portfile" &
fake_pid=$!
for i in $(seq 100); do [ -s "$portfile" ] && break; sleep 0.05; done
run "test_failures($(cat "$portfile"))"
failures=$?
kill "$fake_pid" 2>/dev/null; wait "$fake_pid" 2>/dev/null
rm -f "$portfile"
[ $failures -eq 0 ] || exit 1

if [ -z "$simulator" ]; then
  echo "SKIPPED live checks: the simulator is not built"
  exit 0
fi
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
volumes=10
"$simulator" --exit-when-done --port "$port" --volumes $volumes --tr-ms 400 --start-delay-ms 3000 --linger-ms 30000 \
  --rois 3 --project client-octave </dev/null >/dev/null 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null' EXIT
run "test_live($port, $volumes)"
[ $? -eq 0 ] || exit 1
kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null

# The trigger example against a run whose first trigger is missed.
trigger_port=$(python3 -c 'import socket; s = socket.socket(type=socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$simulator" --exit-when-done --port "$port" --volumes 6 --tr-ms 300 --dims 8 8 4 --trigger-udp "$trigger_port" \
  --processing-delay-ms 100 --start-on clients=1 --faults first-trigger-missed --linger-ms 500 </dev/null >/dev/null 2>&1 &
sim_pid=$!
run "addpath('$client_dir/examples'); test_trigger_follower($port, $trigger_port)"
