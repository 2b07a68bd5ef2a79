"""A real `zelmora-cli serve`, or the window with --scpi, on simulated
meters, on free loopback ports."""

import os
import re
import signal
import subprocess
import threading
import time

import pytest

from scpi_client import free_port_block

PROGRAM = os.environ.get("ZELMORA_CLI_PROGRAM", "zelmora-cli")
WINDOW_PROGRAM = os.environ.get("ZELMORA_WINDOW_PROGRAM")


class Server:
    """`window`: the window program serves its meters instead of serve."""

    def __init__(self, meters=1, extra=(), window=False):
        self.meters = meters
        self.extra = list(extra)
        self.window = window
        self.process = None
        self.ports = []
        self.errors = b""

    def start(self):
        for _ in range(5):
            first = free_port_block(self.meters)
            self.process = subprocess.Popen(
                self.command(first), stderr=subprocess.PIPE, env=self.environment()
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

    def command(self, first):
        meters = [f"--simulate={self.meters}", "--scpi", str(first)] + self.extra
        if self.window:
            return [WINDOW_PROGRAM, "-platform", "offscreen"] + meters
        return [PROGRAM, "serve"] + meters

    def environment(self):
        if not self.window:
            return None
        return dict(os.environ, QT_QPA_PLATFORM="offscreen")

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


def _servers(window):
    started = []

    def start(meters=1, extra=()):
        server = Server(meters, extra, window).start()
        started.append(server)
        return server

    yield start
    for server in started:
        if server.process.poll() is None:
            server.stop()


@pytest.fixture
def serve():
    yield from _servers(window=False)


@pytest.fixture
def window():
    """The window program, offscreen, serving its meters."""
    if not WINDOW_PROGRAM:
        pytest.skip("this build has no window program")
    yield from _servers(window=True)
