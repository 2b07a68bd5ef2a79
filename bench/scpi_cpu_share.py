#!/usr/bin/env python3
"""The CPU share of `zelmora-cli serve` with METERS simulated meters at
100 ms and CLIENTS clients each polling FETCh? ten times a second, over
SECONDS (the server's user+system time from /proc over the wall time).

    bench/scpi_cpu_share.py build/normal/bin/zelmora-cli [SECONDS] [METERS] [CLIENTS]
"""

import os
import re
import socket
import subprocess
import sys
import threading
import time


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def client(port, until, answers):
    s = socket.create_connection(("127.0.0.1", port))
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    tick = time.monotonic()
    count = 0
    while tick < until:
        s.sendall(b"FETC?\n")
        data = b""
        while not data.endswith(b"\n"):
            data += s.recv(256)
        count += 1
        tick += 0.1
        time.sleep(max(0.0, tick - time.monotonic()))
    s.close()
    answers.append(count)


def main():
    program = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 30
    meters = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    clients = int(sys.argv[4]) if len(sys.argv) > 4 else 20
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    first = probe.getsockname()[1]
    probe.close()
    server = subprocess.Popen(
        [program, "serve", f"--simulate={meters}", "--scpi", str(first)], stderr=subprocess.PIPE
    )
    ports = []
    while len(ports) < meters:
        match = re.search(rb"::(\d+)::SOCKET", server.stderr.readline())
        if match:
            ports.append(int(match.group(1)))
    time.sleep(1)
    answers = []
    start_cpu = cpu_seconds(server.pid)
    start = time.monotonic()
    until = start + seconds
    threads = [
        threading.Thread(target=client, args=(ports[i % meters], until, answers))
        for i in range(clients)
    ]
    for t in threads:
        t.start()
    time.sleep(max(0.0, until - time.monotonic()))
    for t in threads:
        t.join()
    wall = time.monotonic() - start
    used = cpu_seconds(server.pid) - start_cpu
    server.terminate()
    server.wait()
    print(
        f"{meters} meters at 100 ms, {clients} clients polling FETCh? 10/s for {wall:.1f} s: "
        f"{sum(answers)} answers, server CPU {used:.2f} s = {100 * used / wall:.2f} % of one core"
    )


if __name__ == "__main__":
    main()
