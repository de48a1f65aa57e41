"""Thermometer neurofeedback: one ROI's percent signal change as a bar, updated at every volume.

    python3 thermometer_feedback.py [--host 127.0.0.1] [--port 55555] [--roi 0]
                                    [--baseline 1:10] [--full-scale 2.0]

At every "PostStepCalled" the program asks the plug-in for the ROI's mean of
the volume just processed and shows

    feedback = 100 * (mean - baseline) / baseline     (percent signal change)

where `baseline` is the ROI's mean over the baseline time points (the run's
first ten volumes by default, which a block design spends at rest).  Until
the baseline is complete the thermometer shows "baseline" and stays empty.

The window uses tkinter from the standard library.  All drawing is in
draw_thermometer(); to show the feedback with PsychoPy instead, replace it
with something like

    bar = visual.Rect(win, width=0.2, height=1, fillColor="orange", anchor="bottom")
    def draw_thermometer(display, fraction, text):
        bar.height = min(max(fraction, 0.0), 1.0)
        bar.draw(); win.flip()

and call feedback.poll() once per frame in the PsychoPy loop instead of the
tkinter timer in main().  The network work happens on the subscription's
thread, so a slow frame never delays the request for the next volume.

After each volume's feedback is on screen the program marks it
(nmbclient.mark("feedback shown", volume)), so `nmb record` running beside it
writes the whole loop's latency per volume; the mark costs a few microseconds
and nothing at all when no recorder listens.
"""

import argparse
import os
import queue
import sys

# Runs from the source tree without installing the package.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import nmbclient  # noqa: E402
from nmbclient import Client, Subscription  # noqa: E402


class Feedback:
    """The feedback computation, with no drawing in it.

    The subscription's own thread handles each notification as it arrives and
    queues the result; poll() (from the drawing loop, never blocking) returns
    None while nothing new has arrived, else (time point, value) with value None
    during the baseline, or the string "ended" at the run's end.
    """

    def __init__(self, host, port, roi, first, last):
        self.roi = roi
        self.first, self.last = first, last
        self.baseline_values = []
        self.baseline = None
        self.updates = queue.Queue()
        self.client = Client(host, port, timeout=5)
        self.steps = Subscription(host, port)
        self.steps.start(self._on_step)

    def close(self):
        self.steps.close()
        self.client.close()

    def _on_step(self, step):
        name, time_point = step
        if name == "PostRunCalled":
            self.updates.put("ended")
        if name != "PostStepCalled":
            return
        # The volume counted `time_point` has the index time_point - 1.
        mean = self.client.mean_of_roi_at_time_point(self.roi, time_point - 1)
        if self.first <= time_point <= self.last:
            self.baseline_values.append(mean)
        if self.baseline is None and time_point >= self.last and self.baseline_values:
            self.baseline = sum(self.baseline_values) / len(self.baseline_values)
        if self.baseline is None:
            self.updates.put((time_point, None))
        else:
            self.updates.put((time_point, 100.0 * (mean - self.baseline) / self.baseline))

    def poll(self):
        self.steps.check()  # a failure on the subscription's thread surfaces here
        try:
            return self.updates.get_nowait()
        except queue.Empty:
            return None


def draw_thermometer(canvas, fraction, text):
    """Draws the thermometer filled to `fraction` (0 empty, 1 full; clipped) with `text` under it."""
    canvas.delete("all")
    width, height = int(canvas["width"]), int(canvas["height"])
    left, right, top, bottom = width * 0.35, width * 0.65, height * 0.08, height * 0.82
    fill = min(max(fraction, 0.0), 1.0)
    canvas.create_rectangle(left, top, right, bottom, outline="#333333", width=3)
    canvas.create_rectangle(left, bottom - fill * (bottom - top), right, bottom, fill="#e76f51", width=0)
    canvas.create_text(width / 2, height * 0.91, text=text, font=("Helvetica", 24), fill="#222222")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=55555)
    parser.add_argument("--roi", type=int, default=0, help="the ROI that drives the feedback (default 0)")
    parser.add_argument("--baseline", default="1:10", help="baseline time points FIRST:LAST (default 1:10)")
    parser.add_argument("--full-scale", type=float, default=2.0,
                        help="percent signal change that fills the thermometer (default 2.0)")
    args = parser.parse_args()
    first, last = (int(v) for v in args.baseline.split(":"))

    import tkinter
    feedback = Feedback(args.host, args.port, args.roi, first, last)
    window = tkinter.Tk()
    window.title("Feedback")
    canvas = tkinter.Canvas(window, width=360, height=600, background="white", highlightthickness=0)
    canvas.pack(fill="both", expand=True)
    draw_thermometer(canvas, 0.0, "waiting for the scan")

    def tick():
        news = feedback.poll()
        while news is not None and news != "ended":
            time_point, value = news
            if value is None:
                draw_thermometer(canvas, 0.0, "baseline (%d of %d)" % (time_point, last))
            else:
                draw_thermometer(canvas, value / args.full_scale, "%+.2f %%" % value)
            window.update_idletasks()  # on screen now: tell nmb record (its latency ledger)
            nmbclient.mark("feedback shown", volume=time_point)
            news = feedback.poll()
        if news == "ended":
            draw_thermometer(canvas, 0.0, "run ended")
            return
        window.after(10, tick)  # a volume every TR; polling every 10 ms adds at most 10 ms

    window.after(10, tick)
    try:
        window.mainloop()
    finally:
        feedback.close()


if __name__ == "__main__":
    main()
