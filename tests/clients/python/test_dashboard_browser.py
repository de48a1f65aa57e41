"""nmb dashboard in a real browser (headless Chromium through chromedriver) against
the simulated host with the plug-in, opened in the middle of a run.

The page must show the host's project name, a time point that follows the
host, a chart point for every volume the host processed (back-filled ones
included, also after a reload, and those the host skipped, read afterwards), an
R x R correlation heat map, and a gap mark for a volume the host skipped.  The simulator skips volumes itself when it
knows --faults; otherwise a relay between the dashboard and the plug-in
withholds one post-step notification, which the dashboard sees the same way.
A screenshot is left in NMB_ARTIFACTS (the build folder under CTest).
"""

import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

import pytest

import simulator
from nmbclient import Client

ROIS = 3
VOLUMES = 60
WINDOW = 10
PROJECT = "dashboard-project"
RELAY_DROPS = 12  # the time point the relay withholds when the simulator cannot skip volumes


def fail_or_skip(reason):
    # Under CTest the browser is part of the test command: a missing browser is a failure there.
    if os.environ.get("NMB_REQUIRE_BROWSER") == "1":
        pytest.fail(reason)
    pytest.skip(reason)


def browser():
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        fail_or_skip("python3-selenium is not installed")
    binary = shutil.which("chromium")
    driver = shutil.which("chromedriver")
    if not binary or not driver:
        fail_or_skip("chromium and chromium-driver are not installed")
    simulator.require_private_network()  # the browser contacts outside services by itself
    options = webdriver.ChromeOptions()
    options.binary_location = binary
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1400,1500", "--user-data-dir=" + tempfile.mkdtemp()):
        options.add_argument(flag)
    page = webdriver.Chrome(service=Service(driver), options=options)
    page.set_page_load_timeout(30)
    page.get("about:blank")  # a fresh browser's first navigation takes seconds; not the dashboard's
    return page


def simulator_help():
    return subprocess.run([simulator.simulator_path(), "--help"], capture_output=True, text=True).stdout


class NotificationRelay:
    """Passes every connection through to the plug-in, but withholds the "PostStepCalled"
    of one time point from execute connections, as if the host had skipped that volume."""

    def __init__(self, target_port, drop):
        self.target_port = target_port
        self.drop = drop
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._relay, args=(client,), daemon=True).start()

    @staticmethod
    def _frame(sock):
        head = b""
        while len(head) < 8:
            chunk = sock.recv(8 - len(head))
            if not chunk:
                raise EOFError
            head += chunk
        (length,) = struct.unpack(">q", head)
        body = b""
        while len(body) < length:
            chunk = sock.recv(length - len(body))
            if not chunk:
                raise EOFError
            body += chunk
        return head + body

    @staticmethod
    def _pipe(source, target):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                target.sendall(data)
        except OSError:
            pass
        for sock in (source, target):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _relay(self, client):
        try:
            plugin = socket.create_connection(("127.0.0.1", self.target_port))
            role = self._frame(client)
            plugin.sendall(role)
            if b"Execute Socket" not in role:
                threading.Thread(target=self._pipe, args=(plugin, client), daemon=True).start()
                self._pipe(client, plugin)
                return
            client.sendall(self._frame(plugin))  # the handshake answer
            while True:
                frame = self._frame(plugin)
                body = frame[8:]
                if body[4:-4].rstrip(b"\0") == b"PostStepCalled" and struct.unpack(">i", body[-4:])[0] == self.drop:
                    continue
                client.sendall(frame)
        except (EOFError, OSError):
            client.close()

    def close(self):
        self.listener.close()


def start_dashboard(port):
    env = dict(os.environ, PYTHONPATH=os.path.join(os.path.dirname(__file__), "..", "..", "..", "clients", "python"))
    process = subprocess.Popen([sys.executable, "-m", "nmbclient", "--port", str(port), "dashboard",
                                "--http-port", "0", "--window", str(WINDOW), "--baseline", "1:5"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    line = process.stdout.readline()
    if " on http://" not in line:
        process.kill()
        pytest.fail("nmb dashboard did not start: %r %s" % (line, process.stderr.read()))
    return process, line.split(" on ", 1)[1].split()[0]


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    pytest.fail("timed out after %g s waiting for %s" % (timeout, what() if callable(what) else what))


def page_time_point(page):
    return int(page.find_element("id", "time-point").text)


def test_the_dashboard_follows_a_run_in_a_browser():
    page = browser()
    usage = simulator_help()
    skips_itself = "--faults" in usage
    options = ["--dims", 16, 16, 8, "--rois", ROIS, "--volumes", VOLUMES, "--tr-ms", 300, "--start-delay-ms", 1000,
               "--block-volumes", 5, "--project", PROJECT]
    if "--linger-ms" in usage:
        options += ["--linger-ms", 60000]  # the test's simulator ends with its run; it serves on for the checks
    if skips_itself:
        options += ["--faults", "drop=0.2,seed=1"]
    relay = dashboard = None
    try:
        with simulator.running(*options) as sim, Client("127.0.0.1", sim.port, timeout=10) as host:
            if not skips_itself:
                relay = NotificationRelay(sim.port, RELAY_DROPS)
            # Opened in the middle of the run: the first volumes come from the back-fill.
            wait_until(lambda: host.current_time_point() >= 6, 30, "the run to reach time point 6")
            dashboard, url = start_dashboard(relay.port if relay else sim.port)
            page.get(url)
            wait_until(lambda: page.find_element("id", "project").text == PROJECT, 15, "the project name")

            seen = []
            for _ in range(4):  # the page's time point follows the host's
                shown = page_time_point(page)
                now = host.current_time_point()
                assert now - 2 <= shown <= now, (shown, now)
                seen.append(shown)
                time.sleep(0.7)
            assert seen[-1] > seen[0]

            page.refresh()  # a reload starts again from the whole run so far
            wait_until(lambda: page_time_point(page) >= 20, 30, "time point 20 after the reload")
            badge = page.find_element("id", "connection")
            wait_until(lambda: "run ended" in badge.text, 40,
                       lambda: "the end of the run (the page shows %r: %r at time point %d)"
                       % (badge.text, badge.get_attribute("title"), page_time_point(page)))
            last = host.current_time_point()
            assert page_time_point(page) == last and last >= VOLUMES - 2

            charted = page.execute_script("return window.nmbDashboard.chartedTimePoints()")
            received = page.execute_script("return [...window.nmbDashboard.store.byT.keys()].sort((a, b) => a - b)")
            skipped = page.execute_script("return [...window.nmbDashboard.store.byT.values()]"
                                          ".filter(v => v.marks.includes('dropped')).map(v => v.t)")
            # Every volume, those the host skipped read from the plug-in afterwards.
            assert charted == received == list(range(1, last + 1))
            if not skips_itself:
                assert skipped == [RELAY_DROPS]
            assert skipped, "no volume was skipped, so the gap marks went untested"
            # Every value drawn is the plug-in's record of that volume.
            drawn = page.execute_script("return window.nmbDashboard.charts.raw.map(c => c.data[1])")
            for roi in range(ROIS):
                for t in charted:
                    expected = host.mean_of_roi_at_time_point(roi, t - 1)
                    assert drawn[roi][t - 1] == pytest.approx(expected, rel=1e-6)

            marks = page.find_elements("css selector", "#marks li.gap")
            marked = sorted(int(m.get_attribute("data-time-point")) for m in marks)
            assert len(marked) >= 1 and all(t - 1 in skipped for t in marked), (marked, skipped)
            assert "skipped by the host" in marks[0].text
            cells = page.find_elements("css selector", "#heatmap .cell")
            assert len(cells) == ROIS * ROIS
            assert [c.text for c in cells[::ROIS + 1]] == ["1.00"] * ROIS
            # Skipped volumes have no raw copy in the plug-in: they are no spikes, and nothing else is.
            assert page.find_element("id", "quality-summary").text.endswith("spikes: none")

            folder = os.environ.get("NMB_ARTIFACTS", os.getcwd())
            os.makedirs(folder, exist_ok=True)
            page.set_window_size(1400, page.execute_script("return document.documentElement.scrollHeight") + 40)
            time.sleep(0.5)  # the charts follow the new width
            assert page.save_screenshot(os.path.join(folder, "dashboard.png"))
    finally:
        page.quit()
        if dashboard is not None:
            dashboard.terminate()
            dashboard.wait(10)
        if relay is not None:
            relay.close()
