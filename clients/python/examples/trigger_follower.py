"""Follow a run in step with the scanner's trigger, as a stimulus program does.

    python3 trigger_follower.py [--host 127.0.0.1] [--port 55555] [--trigger-port 55600] [--wait SECONDS]

The program waits for the scanner's first trigger, then follows the volumes
the plug-in reports, and says for each volume which trigger it came from and
how long after that trigger the host's "PreStepCalled" arrived (the
processing delay); a volume that lags well behind the others is flagged, and
so is a volume without a trigger (a missed trigger) or a trigger that comes
twice.

The triggers come as UDP datagrams "Nimbrel Trigger: RUN VOLUME SECONDS" on
127.0.0.1 (nimbrel-sim --trigger-udp PORT; a lab's trigger box relay can send
the same).  Try it with

    ./dev run --volumes 20 --tr-ms 1000 --trigger-udp 55600 --processing-delay-ms 300 \\
              --faults first-trigger-missed,missed-trigger=0.1,extra-trigger=0.05 --start-on clients=1
    python3 clients/python/examples/trigger_follower.py --wait 30

Serial trigger boxes: `nmb record --trigger tty:PATH` reads the trigger bytes
of a serial port (or of nimbrel-sim --trigger-tty PATH) into its ledger.
"""

import argparse
import os
import select
import socket
import statistics
import sys
import time

# Runs from the source tree without installing the package.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from nmbclient import Subscription  # noqa: E402
from nmbclient.tools.events import parse_trigger  # noqa: E402

# A pre-step this much later than the typical delay (and 20 ms more) lags.
LAG_FACTOR = 1.5


class TriggerFollower:
    """The triggers and the host's steps lined up; poll() returns the lines to print."""

    def __init__(self, host, port, trigger_port, wait=None):
        self.triggers = {}     # volume -> arrival of its first trigger (monotonic)
        self.first = None      # the volume of the first trigger heard
        self.delays = []       # ms from each trigger to its volume's pre-step
        self.missed, self.extra, self.volumes = [], [], 0
        self.ended = False
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind(("127.0.0.1", trigger_port))
        self.udp.setblocking(False)
        # Subscribed before the first trigger: the host's steps wait in the
        # connection until the program follows them.
        self.steps = Subscription(host, port, timeout=10, wait=wait)

    def poll(self, timeout=0.005):
        lines = []
        if select.select([self.udp], [], [], timeout)[0]:
            lines += self._read_triggers()
        if self.first is None:
            return lines
        while not self.ended:
            step = self.steps.next(timeout=0)
            if step is None:
                break
            lines += self._step(step)
        return lines

    def _read_triggers(self):
        lines = []
        while True:
            try:
                datagram = self.udp.recv(512)
            except BlockingIOError:
                return lines
            arrival = time.monotonic()
            trigger = parse_trigger(datagram)
            if trigger is None:
                continue
            volume = trigger[1]
            if volume in self.triggers:
                self.extra.append(volume)
                lines.append("extra trigger for volume %d, %.0f ms after its first"
                             % (volume, 1000 * (arrival - self.triggers[volume])))
                continue
            self.triggers[volume] = arrival
            if self.first is None:
                self.first = volume
                lines.append("first trigger: volume %d" % volume)

    def _step(self, step):
        if step.name == "PostRunCalled":
            self.ended = True
            return ["run ended after %d volumes: %d without a trigger%s, %d extra triggers"
                    % (self.volumes, len(self.missed),
                       " (%s)" % ", ".join(map(str, self.missed)) if self.missed else "", len(self.extra))]
        if step.name != "PreStepCalled" or step.repeated:
            return []
        self.volumes += 1
        volume = step.time_point
        trigger = self.triggers.get(volume)
        if trigger is None:
            self.missed.append(volume)
            return ["volume %3d: no trigger (missed)" % volume]
        delay = 1000 * (step.received_at - trigger)
        typical = statistics.median(self.delays) if self.delays else delay
        self.delays.append(delay)
        lags = delay > LAG_FACTOR * typical + 20
        return ["volume %3d: trigger %d, pre-step %.0f ms after it%s"
                % (volume, volume, delay, "  LAGS (typically %.0f ms)" % typical if lags else "")]

    def close(self):
        self.steps.close()
        self.udp.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=55555)
    parser.add_argument("--trigger-port", type=int, default=55600)
    parser.add_argument("--wait", type=float, default=None, help="wait this long for the host to appear")
    args = parser.parse_args()
    follower = TriggerFollower(args.host, args.port, args.trigger_port, args.wait)
    print("waiting for the scanner's first trigger on udp 127.0.0.1:%d" % args.trigger_port, flush=True)
    try:
        while not follower.ended:
            for line in follower.poll():
                print(line, flush=True)
    except KeyboardInterrupt:
        pass
    finally:
        follower.close()


if __name__ == "__main__":
    main()
