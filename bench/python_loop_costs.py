"""What the Python loop's own bookkeeping costs, per event and per volume.

    PYTHONPATH=clients/python /usr/bin/python3 bench/python_loop_costs.py [--quick]

- nmbclient.mark(): one datagram to the recorder, beside a bare sendto of the
  same bytes on a connected socket (the kernel's share), per event; target at most 5 us;
- Ledger stamps, beside reading time.monotonic() alone, per event; target at
  most 5 us;
- the data quality of one volume (QualityTracker.add: mask, global mean, DVARS,
  running tSNR) at 64 x 64 x 30 and 104 x 104 x 72 voxels; target at most 20 ms
  at the larger size.

Each figure is the median and the 99th percentile of rounds; the machine's load
average is printed beside them, since a loaded machine slows every figure.
Exits 1 when a target is not met.
"""

import argparse
import os
import socket
import statistics
import sys
import time

import numpy

from nmbclient import Ledger, marks
from nmbclient.tools.quality import QualityTracker


def per_event(action, rounds, events):
    samples = []
    for r in range(rounds):
        start = time.perf_counter()
        for i in range(events):
            action(r * events + i + 1)
        samples.append((time.perf_counter() - start) / events * 1e6)
    return samples


def summary(samples):
    ordered = sorted(samples)
    return statistics.median(ordered), ordered[min(len(ordered) - 1, int(round(0.99 * (len(ordered) - 1))))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    rounds, events, volumes = (20, 200, 20) if args.quick else (200, 500, 100)

    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.bind(("127.0.0.1", 0))
    sink.setblocking(False)
    port = sink.getsockname()[1]
    bare = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    bare.connect(("127.0.0.1", port))
    datagram = marks.encode(marks.FEEDBACK_SHOWN, 123, time.time())

    def drain():
        try:
            while True:
                sink.recv(512)
        except BlockingIOError:
            pass

    figures = []
    mark_samples, send_samples = [], []
    for _ in range(rounds):
        mark_samples += per_event(lambda v: marks.mark(marks.FEEDBACK_SHOWN, v, port), 1, events)
        drain()
        send_samples += per_event(lambda v: bare.send(datagram), 1, events)
        drain()
    figures.append(("mark(\"feedback shown\", volume)", "us/event", mark_samples, "bare send", send_samples, 5.0))

    ledger = Ledger()
    stamps = per_event(lambda v: ledger.shown(v), rounds, events)
    clocks = per_event(lambda v: time.monotonic(), rounds, events)
    figures.append(("Ledger.shown(volume)", "us/event", stamps, "time.monotonic()", clocks, 5.0))

    rng = numpy.random.default_rng(1)
    for dims, target in (((64, 64, 30), None), ((104, 104, 72), 20.0)):
        size = dims[0] * dims[1] * dims[2]
        head = numpy.where(rng.random(size) < 0.6, 1000.0, 30.0)
        run = [numpy.round(head + rng.normal(0, 10, size)).astype(numpy.int16) for _ in range(8)]
        tracker = QualityTracker(nr_of_rois=4)
        samples = []
        for t in range(volumes + 1):
            volume = run[t % len(run)]
            start = time.perf_counter()
            tracker.add(volume, [1.0, 2.0, 3.0, 4.0])
            if t:  # the first volume sets up the mask and the work arrays
                samples.append((time.perf_counter() - start) * 1e3)
        figures.append(("data quality, %d x %d x %d voxels" % dims, "ms/volume", samples, None, None, target))

    print("%-40s %-10s %9s %9s | %-18s %9s | %s" % ("figure", "unit", "median", "p99", "baseline", "median",
                                                   "target"))
    unmet = 0
    for name, unit, samples, base_name, base, target in figures:
        median, p99 = summary(samples)
        base_text = "%-18s %9.3f" % (base_name, summary(base)[0]) if base else "%-18s %9s" % ("", "")
        met = target is None or median <= target
        unmet += not met
        print("%-40s %-10s %9.3f %9.3f | %s | %s" % (name, unit, median, p99, base_text,
                                                     "-" if target is None else "median <= %g %s" % (
                                                         target, "met" if met else "NOT MET")))
    print("load average %.2f; %d target(s) not met" % (os.getloadavg()[0], unmet))
    return 1 if unmet else 0


if __name__ == "__main__":
    sys.exit(main())
