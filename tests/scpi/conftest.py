"""A real `zelmora-cli serve` on simulated meters, on free loopback ports."""

import os
import re
import signal
import socket
import subprocess
import threading
import time

import pytest

PROGRAM = os.environ.get("ZELMORA_CLI_PROGRAM", "zelmora-cli")


def free_port_block(count):
    """A first port with `count` free ports from it (as far as one can tell)."""
    for _ in range(50):
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        first = probe.getsockname()[1]
        probe.close()
        if first + count > 65535:
            continue
        ok = True
        for port in range(first, first + count):
            s = socket.socket()
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                ok = False
            finally:
                s.close()
        if ok:
            return first
    raise RuntimeError("no free ports")


class Server:
    def __init__(self, meters=1, extra=()):
        self.meters = meters
        self.extra = list(extra)
        self.process = None
        self.ports = []
        self.errors = b""

    def start(self):
        for _ in range(5):
            first = free_port_block(self.meters)
            self.process = subprocess.Popen(
                [PROGRAM, "serve", f"--simulate={self.meters}", "--scpi", str(first)]
                + self.extra,
                stderr=subprocess.PIPE,
            )
            lines = []
            deadline = time.monotonic() + 30
            while len(lines) < self.meters and time.monotonic() < deadline:
                line = self.process.stderr.readline()
                if not line:
                    break
                self.errors += line
                match = re.search(rb"::(\d+)::SOCKET", line)
                if match:
                    lines.append(int(match.group(1)))
            if len(lines) == self.meters:
                self.ports = lines
                # Whatever it says later is kept, so that it never waits on
                # a full pipe.
                self.reader = threading.Thread(target=self._drain, daemon=True)
                self.reader.start()
                return self
            self.process.kill()
            self.process.wait()
        raise RuntimeError("serve did not start: " + self.errors.decode(errors="replace"))

    def _drain(self):
        for line in self.process.stderr:
            self.errors += line

    def resource(self, index=0, timeout_ms=10000):
        import pyvisa

        rm = pyvisa.ResourceManager("@py")
        r = rm.open_resource(
            f"TCPIP::127.0.0.1::{self.ports[index]}::SOCKET",
            read_termination="\n",
            write_termination="\n",
        )
        r.timeout = timeout_ms
        return r

    def stop(self):
        """SIGTERM; the exit status and what the program said."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise
        self.reader.join(timeout=30)
        return self.process.returncode


@pytest.fixture
def serve():
    started = []

    def start(meters=1, extra=()):
        server = Server(meters, extra).start()
        started.append(server)
        return server

    yield start
    for server in started:
        if server.process.poll() is None:
            server.stop()
