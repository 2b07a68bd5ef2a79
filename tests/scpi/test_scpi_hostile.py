"""Clients that misbehave: the server stays up, serves the others and keeps
its memory bounded."""

import os
import re
import socket
import time

import pytest

from scpi_client import ask


# A sanitizer keeps freed memory in quarantine: the process's size says
# nothing about what the server holds.
SANITIZED = bool(os.environ.get("ZELMORA_SANITIZED"))


def rss_kb(process):
    if SANITIZED:
        return 0
    with open(f"/proc/{process.pid}/status") as status:
        return int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))


def open_descriptors(process):
    return len(os.listdir(f"/proc/{process.pid}/fd"))


def connect(server, index=0, timeout=10):
    s = socket.create_connection(("127.0.0.1", server.ports[index]), timeout=timeout)
    return s


def test_long_line_flood_and_bad_bytes(serve):
    server = serve(1)
    watcher = connect(server)
    assert ask(watcher, "*IDN?").startswith("Zelmora,")
    before = rss_kb(server.process)

    # 10 MB without a LF: dropped up to its end, noted in the queue.
    hostile = connect(server)
    block = b"A" * (1 << 20)
    for _ in range(10):
        hostile.sendall(block)
        # The others are served meanwhile.
        assert ask(watcher, "*OPC?") == "1"
    hostile.sendall(b"\n")
    assert ask(hostile, "*IDN?").startswith("Zelmora,")
    assert ask(hostile, "SYST:ERR?").startswith("-363,")
    assert rss_kb(server.process) - before < 8 * 1024

    # Invalid UTF-8 and control bytes: an error, never echoed.
    hostile.sendall(b"\xff\xfe\x80\x1b[2J?\n")
    assert ask(hostile, "SYST:ERR?").startswith("-101,")
    assert ask(hostile, "*IDN?").startswith("Zelmora,")
    assert server.process.poll() is None


def test_commands_without_reading_the_answers(serve):
    server = serve(1)
    watcher = connect(server)
    # 10 000 queries sent at once: every answer comes, in order.
    reader = connect(server)
    reader.sendall(b"".join(b"*OPC?;SYST:ERR:COUN?\n" for _ in range(10000)))
    received = b""
    reader.settimeout(30)
    while received.count(b"\n") < 10000:
        chunk = reader.recv(1 << 20)
        assert chunk
        received += chunk
    assert received == b"1;0\n" * 10000

    # One that never reads: the server stops reading it once its answers
    # pile up, goes on serving the others and finally closes it.
    before = rss_kb(server.process)
    deaf = connect(server)
    deaf.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    deaf.setblocking(False)
    sent = 0
    flood = b"SYST:HELP:HEAD?\n" * 1000
    deadline = time.monotonic() + 60
    closed = False
    while time.monotonic() < deadline:
        try:
            sent += deaf.send(flood)
        except BlockingIOError:
            assert ask(watcher, "*OPC?") == "1"
            time.sleep(0.05)
        except (BrokenPipeError, ConnectionResetError):
            closed = True
            break
    assert closed, f"sent {sent} bytes and still open"
    assert rss_kb(server.process) - before < 16 * 1024
    assert ask(watcher, "*IDN?").startswith("Zelmora,")
    assert server.stop() == 0
    assert b"takes no answers" in server.errors


def test_disconnect_mid_query_and_many_connections(serve):
    server = serve(1)
    watcher = connect(server)
    assert ask(watcher, "*OPC?") == "1"
    baseline = open_descriptors(server.process)
    # Queries that would wait half an hour for their reading: a client
    # that leaves meanwhile is let go at once.
    leaving = [connect(server) for _ in range(20)]
    for s in leaving:
        s.sendall(b"SENS:AVER 20000;:READ?\n")
    deadline = time.monotonic() + 30
    while open_descriptors(server.process) < baseline + 20 and time.monotonic() < deadline:
        time.sleep(0.05)
    for s in leaving:
        s.close()
    deadline = time.monotonic() + 30
    while open_descriptors(server.process) > baseline and time.monotonic() < deadline:
        time.sleep(0.05)
    assert open_descriptors(server.process) == baseline
    clients = [connect(server) for _ in range(200)]
    for s in clients:
        s.sendall(b"*IDN?;FETC?\n")
    for s in clients:
        answer = b""
        s.settimeout(30)
        while not answer.endswith(b"\n"):
            chunk = s.recv(4096)
            assert chunk
            answer += chunk
        assert answer.startswith(b"Zelmora,zelmora-cli,210400101,")
    for s in clients:
        s.close()
    assert ask(watcher, "*OPC?") == "1"
    assert server.stop() == 0


def test_refused_address(serve):
    server = serve(1, ["--allow", "10.99.,192.0.2.1"])
    s = connect(server)
    s.settimeout(10)
    try:
        s.sendall(b"*IDN?\n")
        assert s.recv(100) == b""
    except ConnectionResetError:
        pass
    assert server.stop() == 0
    assert b"refused 127.0.0.1" in server.errors
