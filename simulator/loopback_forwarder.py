#!/usr/bin/env python3
"""A door from the machine's own loopback into the simulator's network.

`./dev run` runs nimbrel-sim in a network namespace of its own, so that the
plug-in's discovery broadcasts never leave the machine.  This forwarder lets
ordinary programs (a PsychoPy script, MATLAB, `nmb`), run as the user without
any namespace, reach that host anyway:

- TCP: 127.0.0.1:PORT in the normal network accepts connections and carries
  each one to 127.0.0.1:PORT in the simulator's network.  PORT is the one given
  with --port, and every port the plug-in announces.
- UDP: every discovery datagram the plug-in broadcasts in its network is sent
  on as a unicast to 127.0.0.1, port 55555, in the normal network, so
  `nmb discover` hears the host (at 127.0.0.1).
- UDP: with --trigger-port PORT, the scanner triggers (nimbrel-sim
  --trigger-udp PORT) reach 127.0.0.1:PORT in the normal network.  The
  simulator sends each trigger to 127.0.0.1:PORT in its own network, where its
  own clients may listen, and a copy to the forwarder's trigger socket there,
  whose port the forwarder writes to the file given with --trigger-door-file
  (./dev run hands it to the simulator as NMB_SIM_TRIGGER_COPY_PORT).

Everything it opens in the normal network is bound to 127.0.0.1 and it sends
only to 127.0.0.1: nothing listens on another address and nothing leaves the
machine.

It is started in the normal network and given the simulator's namespace as a
file (/run/netns/NAME, or /proc/PID/ns/net).  Sockets keep the namespace they
were created in, so the main thread creates every socket, switching between
the two namespaces with setns(2) (which needs CAP_SYS_ADMIN: ./dev runs it as
root, as it runs the simulator).  Each connection is then carried by two
threads that only read and write.  It ends on SIGTERM, or when the process
that started it (or the one given with --watch-pid) ends (Ctrl-C is left to
the simulator, which still finishes its run).  Ending, it first passes on
everything the host has sent on each connection (up to DRAIN_SECONDS): the
host's last words, "PostRunCalled" among them, are usually still on their way
when the host has ended and ./dev run stops the forwarder.
"""

import argparse
import ctypes
import os
import select
import signal
import socket
import sys
import threading
import time

CLONE_NEWNET = 0x40000000
PR_SET_PDEATHSIG = 1
DISCOVERY_PORT = 55555
BROADCAST_PREFIX = b"Nimbrel Broadcast: "
LOOPBACK = "127.0.0.1"
# A port that was taken in the normal network is tried again after this long.
RETRY_SECONDS = 2.0
# The longest the forwarder waits, when told to end, for the hosts' sides of
# its connections to deliver their last bytes and close.
DRAIN_SECONDS = 5.0
CHUNK = 1 << 16

_libc = ctypes.CDLL(None, use_errno=True)


def log(text):
    sys.stderr.write("nmb-forward: %s\n" % text)
    sys.stderr.flush()


def set_namespace(fd):
    """Moves the calling thread into the network namespace open as `fd`."""
    if _libc.setns(fd, CLONE_NEWNET) != 0:
        code = ctypes.get_errno()
        raise OSError(code, "setns: %s" % os.strerror(code))


def announced_port(datagram):
    if not datagram.startswith(BROADCAST_PREFIX):
        return None
    digits = datagram[len(BROADCAST_PREFIX):]
    if not digits.isdigit() or len(digits) > 5:
        return None
    port = int(digits)
    return port if 0 < port < 65536 else None


class Relay:
    """One client connection and its connection to the host, carried by two threads."""

    def __init__(self, client, host):
        self.client = client
        self.host = host
        self._lock = threading.Lock()
        self._finished = 0
        # Set once everything the host sent has been passed on to the client.
        self.host_done = threading.Event()
        self.threads = [threading.Thread(target=self._pump, args=(client, host), daemon=True),
                        threading.Thread(target=self._pump, args=(host, client, self.host_done), daemon=True)]
        for thread in self.threads:
            thread.start()

    def _pump(self, source, target, done=None):
        """Copies one direction until it ends; then ends the other side's writing."""
        try:
            while True:
                data = source.recv(CHUNK)
                if not data:
                    break
                target.sendall(data)
        except OSError:
            pass
        try:
            target.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        if done is not None:
            done.set()
        # The second direction to finish closes both sockets.
        with self._lock:
            self._finished += 1
            if self._finished == 2:
                self.close()

    def close(self):
        for sock in (self.client, self.host):
            try:
                sock.close()
            except OSError:
                pass


class Forwarder:
    def __init__(self, namespace_path, discovery_port=DISCOVERY_PORT, relay_port=DISCOVERY_PORT,
                 trigger_port=None):
        self.normal = os.open("/proc/self/ns/net", os.O_RDONLY)
        self.inner = os.open(namespace_path, os.O_RDONLY)
        self.relay_port = relay_port
        self.listeners = {}  # port -> listening socket in the normal network
        self.taken = {}  # port -> monotonic time of the last failed try
        self.relays = []
        # The sockets of the normal network, created there.
        set_namespace(self.normal)
        self.relay = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.relay.bind((LOOPBACK, 0))
        # The main thread lives in the simulator's network from here on.
        set_namespace(self.inner)
        self.announcements = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.announcements.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if hasattr(socket, "SO_REUSEPORT"):
            self.announcements.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        self.announcements.bind(("", discovery_port))
        self.trigger_port = trigger_port
        self.triggers = None
        if trigger_port is not None:
            self.triggers = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.triggers.bind((LOOPBACK, 0))

    def trigger_door(self):
        """The port of the trigger socket in the simulator's network."""
        return self.triggers.getsockname()[1] if self.triggers is not None else None

    def relay_trigger(self):
        try:
            datagram = self.triggers.recv(512)
            self.relay.sendto(datagram, (LOOPBACK, self.trigger_port))
        except OSError:
            pass

    def open_port(self, port):
        """Listens on 127.0.0.1:port in the normal network, unless it already does or
        the port was taken moments ago."""
        if port in self.listeners:
            return
        last = self.taken.get(port)
        if last is not None and time.monotonic() - last < RETRY_SECONDS:
            return
        set_namespace(self.normal)
        try:
            listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                listener.bind((LOOPBACK, port))
                listener.listen(64)
            except OSError as exc:
                listener.close()
                if port not in self.taken:
                    log("cannot open 127.0.0.1:%d in the machine's network (%s); another program "
                        "holds it, retrying" % (port, exc.strerror or exc))
                self.taken[port] = time.monotonic()
                return
        finally:
            set_namespace(self.inner)
        self.taken.pop(port, None)
        self.listeners[port] = listener
        log("clients on this machine reach the simulator at 127.0.0.1:%d" % port)

    def accept(self, port, listener):
        try:
            client, _ = listener.accept()
        except OSError:
            return
        # Created while the main thread is in the simulator's network.
        host = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        host.settimeout(5.0)
        try:
            host.connect((LOOPBACK, port))
        except OSError:
            # Nobody serves the port in there (yet): the client sees the
            # connection end, as it would see it refused.
            host.close()
            client.close()
            return
        host.settimeout(None)
        for sock in (client, host):
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.relays = [r for r in self.relays if not r.host_done.is_set()]
        self.relays.append(Relay(client, host))

    def relay_announcement(self):
        try:
            datagram, _ = self.announcements.recvfrom(512)
        except OSError:
            return
        port = announced_port(datagram)
        if port is None:
            return
        self.open_port(port)
        try:
            self.relay.sendto(datagram, (LOOPBACK, self.relay_port))
        except OSError:
            pass

    def serve(self, stop, wakeup, watch_pid=None):
        """Relays until `stop` is set (`wakeup` becomes readable then) or `watch_pid` ends."""
        while not stop.is_set():
            if watch_pid is not None and not os.path.exists("/proc/%d" % watch_pid):
                return
            by_socket = {listener: port for port, listener in self.listeners.items()}
            watched = [self.announcements, wakeup] + ([self.triggers] if self.triggers is not None else [])
            readable, _, _ = select.select(watched + list(by_socket), [], [], 0.5)
            for sock in readable:
                if sock is wakeup:
                    try:
                        wakeup.recv(64)
                    except OSError:
                        pass
                elif sock is self.announcements:
                    self.relay_announcement()
                elif sock is self.triggers:
                    self.relay_trigger()
                else:
                    self.accept(by_socket[sock], sock)

    def drain(self, seconds=DRAIN_SECONDS):
        """Takes no new client and waits until every host side has closed and all it sent was passed on."""
        for listener in self.listeners.values():
            listener.close()
        self.listeners = {}
        deadline = time.monotonic() + seconds
        for relay in self.relays:
            relay.host_done.wait(max(0.0, deadline - time.monotonic()))

    def close(self):
        for relay in self.relays:
            relay.close()
        for listener in self.listeners.values():
            listener.close()
        self.announcements.close()
        if self.triggers is not None:
            self.triggers.close()
        self.relay.close()
        os.close(self.normal)
        os.close(self.inner)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--netns", required=True, help="the simulator's network namespace (a file)")
    parser.add_argument("--port", type=int, action="append", default=[],
                        help="open this port at once (repeatable); announced ports are opened too")
    parser.add_argument("--watch-pid", type=int, default=None,
                        help="end when this process ends (the ./dev run that started it, through sudo)")
    parser.add_argument("--trigger-port", type=int, default=None,
                        help="relay the simulator's trigger datagrams to 127.0.0.1:PORT in the machine's network")
    parser.add_argument("--trigger-door-file", default=None,
                        help="with --trigger-port: write the port the simulator sends a copy of each trigger to")
    parser.add_argument("--discovery-port", type=int, default=DISCOVERY_PORT, help=argparse.SUPPRESS)
    parser.add_argument("--relay-port", type=int, default=DISCOVERY_PORT, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    # Ends with whatever started it (./dev run), even if that is killed.
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
    stop = threading.Event()
    # A signal only sets the flag and wakes the main thread's select(): the
    # forwarder then ends in its own time, whatever it was doing, and a second
    # SIGTERM (the parent's end after its kill) changes nothing.
    wakeup, wakeup_writer = socket.socketpair()
    wakeup_writer.setblocking(False)
    signal.set_wakeup_fd(wakeup_writer.fileno())
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    # Ctrl-C on the terminal reaches the whole process group; the simulator
    # then still finishes its run, and its clients need the door until the end.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        forwarder = Forwarder(args.netns, args.discovery_port, args.relay_port, args.trigger_port)
    except OSError as exc:
        log("cannot start: %s" % exc)
        return 1
    if args.trigger_door_file and forwarder.trigger_door() is not None:
        with open(args.trigger_door_file + ".part", "w") as door:
            door.write("%d\n" % forwarder.trigger_door())
        os.rename(args.trigger_door_file + ".part", args.trigger_door_file)
        log("scanner triggers reach 127.0.0.1:%d on this machine" % args.trigger_port)
    try:
        for port in args.port:
            forwarder.open_port(port)
        forwarder.serve(stop, wakeup, args.watch_pid)
        forwarder.drain()
    finally:
        forwarder.close()
        # Ending anyway: a later SIGTERM (the parent's end) must not write to
        # a wakeup socket that is about to close.
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.set_wakeup_fd(-1)
        wakeup.close()
        wakeup_writer.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
