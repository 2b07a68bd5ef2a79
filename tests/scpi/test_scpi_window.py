"""The window program serving its meters with --scpi: read through PyVISA
while the window runs, one poller per meter for both, and every connection
closed when the window closes."""

import os
import socket
import subprocess

import pytest

from scpi_client import ask

pyvisa = pytest.importorskip("pyvisa")
pytest.importorskip("pyvisa_py")

PROGRAM = os.environ.get("ZELMORA_CLI_PROGRAM", "zelmora-cli")


def test_the_window_serves_its_meters(window):
    server = window(2)
    assert server.ports == [server.ports[0], server.ports[0] + 1]
    for index in range(2):
        r = server.resource(index)
        maker, model, serial, _ = r.query("*IDN?").split(",")
        assert (maker, model, serial) == ("Zelmora", "zelmora", f"21040010{index + 1}")
        assert 0 < float(r.query("MEAS:POW?")) < 1000
        assert r.query("SYST:ERR?") == '0,"No error"'
    # The window and its server poll each meter once, as its one owner.
    listing = subprocess.run(
        [PROGRAM, "list", "--simulate=2"], capture_output=True, text=True, timeout=60
    )
    owners = [line.split()[-2:] for line in listing.stdout.splitlines()[1:]]
    assert owners == [[str(server.process.pid), "(zelmora)"]] * 2, listing.stdout
    # Closing the window (SIGTERM does what its close box does) closes the
    # connections that are open and ends the program well.
    still_open = socket.create_connection(("127.0.0.1", server.ports[1]), timeout=10)
    assert ask(still_open, "*OPC?") == "1"
    assert server.stop() == 0
    still_open.settimeout(30)
    assert still_open.recv(16) == b""
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", server.ports[0]), timeout=10)


def test_a_port_in_use_keeps_the_window_from_opening(window):
    holder = socket.socket()
    holder.bind(("127.0.0.1", 0))
    holder.listen()
    port = holder.getsockname()[1]
    try:
        run = subprocess.run(
            [os.environ["ZELMORA_WINDOW_PROGRAM"], "-platform", "offscreen", "--simulate",
             "--scpi", str(port)],
            capture_output=True, text=True, timeout=60,
            env=dict(os.environ, QT_QPA_PLATFORM="offscreen"),
        )
    finally:
        holder.close()
    assert run.returncode == 1
    assert f"cannot listen on 127.0.0.1 port {port}" in run.stderr
