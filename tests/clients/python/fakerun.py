"""A scripted run on the fake plug-in, for the commands that follow runs volume by volume.

The run's ROI means are known in closed form (mean_at), so tests can check
every value a client received against an independent computation.  The
execute connection announces the scripted post-step time points (which may
skip, repeat or stall); the request connection answers the requests a run
follower asks, from the time points announced so far.
"""

import struct
import threading
import time

from fakeplugin import FakePlugin, answer_handshake, error_reply, frame, parse_request, read_frame, reply, text

PROJECT = "fake-project"
DIMS = (4, 3, 2)
BLOCK = 5  # volumes per block: rest, condition 1, rest, condition 1, ...


# In a script of steps: the run ends here and the next one begins.
NEW_RUN = -1


def condition_at(time_point):
    return (time_point - 1) // BLOCK % 2


def mean_at(roi, time_point):
    """ROI `roi`'s mean at the volume counted `time_point` (from 1): a baseline of 100 (roi + 1)
    and a 2 % task effect in ROI 0 only."""
    base = 100.0 * (roi + 1)
    return base * (1.02 if roi == 0 and condition_at(time_point) else 1.0)


def notification(name, value):
    return frame(text(name) + struct.pack(">i", value))


class FakeRun:
    """`steps`: (time point, seconds to wait before it) per post-step, or (NEW_RUN, seconds).  `already`: volumes
    processed before any client came.  `drop_after`: the execute connection closes after that
    many post-steps and the host processes two more volumes unannounced (the next execute
    connection continues the run).  `classes`: classifier classes (0: none).  `host_ends`: the host
    stops right after the post-run, before it answers another request (every connection
    closes).  `port`: 0 for a free one.  `raw(time_point)`: the voxels of a volume, for
    "tGetRawValueOfAllVoxelsAtTime" (refused without).  `on_step(time_point)` is called
    just before a step's notifications go out, `lead_s` seconds early (the scanner's
    trigger, say), and again with `after=True` right after they went out."""

    def __init__(self, steps, rois=3, already=0, expected=30, classes=0, drop_after=None, start_delay_s=0.3,
                 post_run=True, host_ends=False, port=0, raw=None, on_step=None, lead_s=0.0):
        self.steps = list(steps)
        self.rois = rois
        self.current = already
        self.expected = expected
        self.classes = classes
        self.drop_after = drop_after
        self.start_delay_s = start_delay_s
        self.post_run = post_run
        self.host_ends = host_ends
        self.raw = raw
        self.on_step = on_step
        self.lead_s = lead_s
        self.next_step = 0
        self.done = threading.Event()
        self._post_run_sent = threading.Event()
        self._lock = threading.Lock()
        self.plugin = FakePlugin(self._serve, port)
        self.port = self.plugin.port

    def close(self):
        self.plugin.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _serve(self, conn):
        role = answer_handshake(conn)
        if role == "Execute Socket":
            self._announce(conn)
        else:
            while True:
                name, ints = parse_request(read_frame(conn))
                if self._post_run_sent.is_set() and self.host_ends:
                    self._hang_up()
                    return
                with self._lock:
                    conn.sendall(self._answer(name, ints))

    def _announce(self, conn):
        time.sleep(self.start_delay_s)
        sent = 0
        pending = b""
        while self.next_step < len(self.steps):
            if self.drop_after is not None and sent == self.drop_after:
                self.drop_after = None
                for time_point, wait_s in self.steps[self.next_step:self.next_step + 2]:
                    time.sleep(wait_s)  # the host goes on while nobody listens
                    with self._lock:
                        self.current = time_point
                        self.next_step += 1
                return  # closes this connection; the client reconnects
            time_point, wait_s = self.steps[self.next_step]
            if self.on_step is not None and time_point != NEW_RUN:
                time.sleep(max(wait_s - self.lead_s, 0))
                self.on_step(time_point, after=False)
                time.sleep(min(self.lead_s, wait_s))
            else:
                time.sleep(wait_s)
            if time_point == NEW_RUN:  # the run ends; the host counts again from 0
                with self._lock:
                    ended, self.current = self.current, 0
                    self.next_step += 1
                pending += notification("PostRunCalled", ended)
            else:
                with self._lock:
                    self.current = time_point
                    self.next_step += 1
                # As a 3.1 host: the volume has arrived, and counts, before its pre-step.
                pending += notification("PreStepCalled", time_point) + notification("PostStepCalled", time_point)
                sent += 1
            # Steps without a wait between them, and the post-run after the last, go out in one write.
            if self.next_step < len(self.steps) and self.steps[self.next_step][1] > 0 or \
                    self.next_step == len(self.steps) and not self.post_run:
                conn.sendall(pending)
                pending = b""
                self._after_step(time_point)
        if self.post_run:
            pending += notification("PostRunCalled", self.current)
        self._post_run_sent.set()
        if pending:
            conn.sendall(pending)
            self._after_step(self.current)
        if self.host_ends:
            time.sleep(0.5)  # unless a request comes first
            self._hang_up()
            return
        self.done.set()
        conn.recv(1)  # stays open until the client goes

    def _after_step(self, time_point):
        if self.on_step is not None and time_point > 0:
            self.on_step(time_point, after=True)

    def _hang_up(self):
        self.plugin.hang_up()
        self.done.set()

    def _answer(self, name, ints):
        current = self.current
        scalars = {"tGetCurrentTimePoint": current, "tGetNrOfROIs": self.rois,
                   "tGetExpectedNrOfTimePoints": self.expected, "tGetNumberOfClasses": self.classes or -3,
                   "tGetCurrentProtocolCondition": condition_at(current)}
        if name in scalars:
            return reply(name, [scalars[name]])
        if name == "tGetProjectName":
            return frame(text(name) + text(PROJECT))
        if name == "tGetDimsOfFunctionalData":
            return reply(name, DIMS)
        if name == "tGetNrOfVoxelsOfROI":
            return reply(name, ints[:1], tail=struct.pack(">i", 10 * (ints[0] + 1)))
        if name == "tGetMeanOfROIAtTimePoint":
            roi, index = ints[:2]
            if not (0 <= roi < self.rois and 0 <= index < current):
                return error_reply("NrOfROI/toTimePoint out of range")
            return reply(name, ints[:2], [mean_at(roi, index + 1)])
        if name == "tGetExistingMeansOfROI":
            roi, end = ints[:2]
            if not (0 <= roi < self.rois and 0 <= end < current):
                return error_reply("NrOfROI/toTimePoint out of range")
            return reply(name, ints[:2], [mean_at(roi, t + 1) for t in range(end)])
        if name == "tGetRawValueOfAllVoxelsAtTime" and self.raw is not None and 0 <= ints[0] < current:
            voxels = self.raw(ints[0] + 1)
            return reply(name, ints[:1], tail=struct.pack(">%dh" % len(voxels), *voxels))
        if name == "tGetCurrentClassifierOutput" and self.classes:
            return reply(name, [current % self.classes], [0.5] * (self.classes * (self.classes - 1) // 2))
        if name == "tGetCurrentClassifierOutput":
            return error_reply("Real-time SVM classifier is not used")
        return error_reply("No function call matched!")
