"""The loopback forwarder: a simulator in a network namespace of its own, reached
by an ordinary program in the test's network through 127.0.0.1 only.

Needs root (namespaces, setns) and runs only inside a private network
namespace (the test's "normal" network), as CTest runs it.
"""

import os
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

from nmbclient import Client, NmbError, Subscription, discover
from nmbclient.tools.events import parse_trigger

HERE = os.path.dirname(os.path.abspath(__file__))
FORWARDER = os.path.join(HERE, "..", "..", "simulator", "loopback_forwarder.py")
VOLUMES = 12


def require_setup():
    if os.geteuid() != 0:
        pytest.skip("the forwarder needs root (network namespaces)")
    if sorted(name for _, name in socket.if_nameindex()) != ["lo"]:
        pytest.skip("not in a private network namespace")
    if not os.access(os.environ.get("NMB_SIMULATOR", ""), os.X_OK):
        pytest.skip("simulator not built")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_own_namespace(pid):
    mine = os.readlink("/proc/self/ns/net")
    for _ in range(500):
        if os.readlink("/proc/%d/ns/net" % pid) != mine:
            return "/proc/%d/ns/net" % pid
        time.sleep(0.01)
    pytest.fail("the simulator's namespace did not appear")


def bound_addresses(kind):
    """(local address, port, state) of every socket of this network namespace."""
    entries = []
    with open("/proc/self/net/%s" % kind) as table:
        next(table)
        for line in table:
            local, state = line.split()[1], line.split()[3]
            address, port = local.split(":")
            dotted = socket.inet_ntoa(int(address, 16).to_bytes(4, "little"))
            entries.append((dotted, int(port, 16), state))
    return entries


def subscribe(port, deadline):
    while True:
        try:
            return Subscription("127.0.0.1", port, timeout=3)
        except (NmbError, OSError):
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)


@pytest.fixture
def simulator_behind_forwarder(tmp_path, request):
    require_setup()
    port = free_port()
    sim_log = open(tmp_path / "sim.log", "w+")
    linger = getattr(request, "param", 1000)
    sim = subprocess.Popen(
        ["unshare", "--net", "sh", "-c", 'ip link set lo up && ip route add default dev lo && exec "$@"', "sh",
         os.environ["NMB_SIMULATOR"], "--port", str(port), "--volumes", str(VOLUMES), "--tr-ms", "150",
         "--start-delay-ms", "3000", "--dims", "8", "8", "4", "--exit-when-done", "--linger-ms", str(linger)],
        stdin=subprocess.DEVNULL, stdout=sim_log, stderr=subprocess.STDOUT)
    forwarder_log = open(tmp_path / "forwarder.log", "w+")
    forwarder = subprocess.Popen([sys.executable, FORWARDER, "--netns", wait_for_own_namespace(sim.pid)],
                                 stdin=subprocess.DEVNULL, stdout=forwarder_log, stderr=subprocess.STDOUT)
    try:
        yield port, sim, forwarder, forwarder_log
    finally:
        for process in (sim, forwarder):
            if process.poll() is None:
                process.terminate()
            process.wait(10)
        for log in (sim_log, forwarder_log):
            log.seek(0)
            print(log.read())


def test_a_program_in_the_normal_network_gets_the_whole_run_and_hears_the_host(simulator_behind_forwarder):
    port, sim, forwarder, _ = simulator_behind_forwarder
    heard = discover(timeout=6, first_only=True)
    assert [(a.address, a.port) for a in heard] == [("127.0.0.1", port)]

    subscription = subscribe(port, time.monotonic() + 5)
    client = Client("127.0.0.1", port, timeout=5)
    assert client.nr_of_rois() == 3

    # Nothing the forwarder opened in this network is bound to another address.
    tcp_listening = [(a, p) for a, p, state in bound_addresses("tcp") if state == "0A"]
    assert tcp_listening == [("127.0.0.1", port)]
    assert [a for a, _, _ in bound_addresses("udp")] == ["127.0.0.1"]

    post_steps, ended = [], None
    for name, time_point in subscription.notifications(timeout=20):
        if name == "PostStepCalled":
            post_steps.append(time_point)
            assert client.current_time_point() >= time_point
        elif name == "PostRunCalled":
            ended = time_point
            break
    assert post_steps == list(range(1, VOLUMES + 1))
    assert ended == VOLUMES
    subscription.close()
    client.close()
    assert sim.wait(20) == 0
    # The forwarder outlives the host only until it is stopped.
    assert forwarder.poll() is None


@pytest.mark.parametrize("simulator_behind_forwarder", [0], indirect=True)
def test_stopped_before_the_host_ends_it_still_delivers_the_end_of_the_run_and_ends_quietly(
        simulator_behind_forwarder):
    # As with ./dev run --exit-when-done, but the stop (SIGTERM, and another as
    # the parent ends) comes while the host still has the last volumes and
    # "PostRunCalled" to send: they must all come through before the door closes.
    port, sim, forwarder, forwarder_log = simulator_behind_forwarder
    subscription = subscribe(port, time.monotonic() + 5)
    seen = []
    for name, time_point in subscription.notifications(timeout=20):
        if name != "PreStepCalled":
            seen.append((name, time_point))
        if (name, time_point) == ("PostStepCalled", VOLUMES - 4):
            forwarder.send_signal(signal.SIGTERM)
            forwarder.send_signal(signal.SIGTERM)
    assert seen[-5:] == [("PostStepCalled", t) for t in range(VOLUMES - 3, VOLUMES + 1)] + [("PostRunCalled", VOLUMES)]
    subscription.close()
    assert sim.wait(20) == 0
    assert forwarder.wait(10) == 0
    forwarder_log.seek(0)
    assert "Traceback" not in forwarder_log.read()


def test_the_scanners_triggers_reach_the_normal_network_through_the_door(tmp_path):
    require_setup()
    trigger_port = free_port()
    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.bind(("127.0.0.1", trigger_port))
    listener.settimeout(10)
    door = tmp_path / "door"
    # The simulator starts once the forwarder has said where its trigger socket is.
    script = ('ip link set lo up && ip route add default dev lo && '
              'while [ ! -s "$1" ]; do sleep 0.05; done && NMB_SIM_TRIGGER_COPY_PORT=$(cat "$1") && '
              'export NMB_SIM_TRIGGER_COPY_PORT && shift && exec "$@"')
    sim = subprocess.Popen(
        ["unshare", "--net", "sh", "-c", script, "sh", str(door), os.environ["NMB_SIMULATOR"], "--port",
         str(free_port()), "--volumes", "4", "--tr-ms", "100", "--start-delay-ms", "300", "--dims", "4", "4", "2",
         "--trigger-udp", str(trigger_port), "--exit-when-done", "--linger-ms", "0"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    forwarder = subprocess.Popen([sys.executable, FORWARDER, "--netns", wait_for_own_namespace(sim.pid),
                                  "--trigger-port", str(trigger_port), "--trigger-door-file", str(door)],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        volumes = [parse_trigger(listener.recv(512))[:2] for _ in range(4)]
        assert volumes == [(1, v) for v in range(1, 5)]
        assert sim.wait(20) == 0
    finally:
        for process in (sim, forwarder):
            if process.poll() is None:
                process.terminate()
            process.wait(10)
        listener.close()
