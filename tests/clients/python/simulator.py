"""Starting the simulated Nimbrel host (with the real plug-in) for end-to-end tests.

The simulator's path comes from the environment (NMB_SIMULATOR, set by CTest
when the simulator is built).  The plug-in broadcasts to 255.255.255.255, so
the tests refuse to start it unless they run in a private network namespace
in which loopback is the only interface (`./dev test` and the documented
`unshare --net` command provide one); otherwise they are skipped.
"""

import contextlib
import os
import socket
import subprocess
import tempfile
import time

import pytest

from nmbclient import Client, NmbError
from ports import free_port


def simulator_path():
    path = os.environ.get("NMB_SIMULATOR", "")
    if not path or not os.access(path, os.X_OK):
        pytest.skip("simulator not built (NMB_SIMULATOR is unset or not executable): end-to-end tests skipped")
    return path


def require_private_network():
    # if_nameindex asks the kernel about this process's own network namespace
    # (/sys/class/net would show the namespace sysfs was mounted in).
    interfaces = sorted(name for _, name in socket.if_nameindex())
    if interfaces != ["lo"]:
        pytest.skip("not in a private network namespace (interfaces: %s); run inside "
                    "unshare --net so the plug-in's broadcasts stay local" % ", ".join(interfaces))


class Simulator:
    def __init__(self, process, port, log_path):
        self.process = process
        self.port = port
        self.log_path = log_path

    def log(self):
        with open(self.log_path, errors="replace") as handle:
            return handle.read()

    def wait_for_log(self, text, timeout=10.0):
        """The log once it holds `text`, or as it is when `timeout` seconds have
        passed (the host writes its lines a moment after what they report)."""
        deadline = time.monotonic() + timeout
        while text not in self.log() and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.log()


@contextlib.contextmanager
def running(*options, ready_timeout=15.0):
    """Starts nimbrel-sim with `options` on a free port; yields a Simulator once the
    plug-in accepts a request connection; ends the process afterwards."""
    path = simulator_path()
    require_private_network()
    port = free_port()
    log = tempfile.NamedTemporaryFile(prefix="nimbrel-sim-", suffix=".log", delete=False)
    command = [path, "--port", str(port), "--exit-when-done"] + [str(o) for o in options]
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    sim = Simulator(process, port, log.name)
    try:
        deadline = time.monotonic() + ready_timeout
        while True:
            if process.poll() is not None:
                pytest.fail("nimbrel-sim ended early (%d):\n%s" % (process.returncode, sim.log()))
            try:
                Client("127.0.0.1", port, timeout=3).close()
                break
            except (NmbError, OSError):
                if time.monotonic() > deadline:
                    pytest.fail("the plug-in did not answer on port %d:\n%s" % (port, sim.log()))
                time.sleep(0.05)
        yield sim
    finally:
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        log.close()
        os.unlink(log.name)
