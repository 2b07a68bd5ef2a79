"""zelmora-cli.exe under Wine: `serve` answered by a loopback SCPI client
on the Linux side and ended by Ctrl-C, and a `log` run checked record by
record.

    wine_check.py WINE_RUN ZELMORA_CLI_EXE CHECK_RECORDS
"""

import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

from scpi_client import free_port_block
from scpi_client import ask

NUMBER = re.compile(r"^[-+]?\d\.\d{6}E[-+]\d{2}$")


def fail(message):
    print("wine_check: " + message, file=sys.stderr)
    sys.exit(1)


def ask_or_fail(s, query):
    try:
        return ask(s, query, timeout=30)
    except (ConnectionError, OSError) as error:
        fail(str(error))


def serve(wine, program):
    first = free_port_block(2)
    process = subprocess.Popen(
        [wine, program, "serve", "--simulate=2", "--scpi", str(first), "--duration", "20s"],
        stderr=subprocess.PIPE,
    )
    ports = []
    deadline = time.monotonic() + 120
    while len(ports) < 2 and time.monotonic() < deadline:
        line = process.stderr.readline()
        if not line:
            break
        match = re.search(rb"::(\d+)::SOCKET", line)
        if match:
            ports.append(int(match.group(1)))
    if ports != [first, first + 1]:
        process.kill()
        fail(f"serve did not listen on {first} and {first + 1}: {ports}")
    for index, port in enumerate(ports):
        s = socket.create_connection(("127.0.0.1", port), timeout=30)
        identity = ask_or_fail(s, "*IDN?")
        if identity.split(",")[:3] != ["Zelmora", "zelmora-cli", f"21040010{index + 1}"]:
            fail("identity " + identity)
        watts = ask_or_fail(s, "MEAS:POW?")
        if not NUMBER.match(watts) or not 0 < float(watts) < 1000:
            fail("MEAS:POW? " + watts)
        answer = ask_or_fail(s, "SENS:POW:UNIT DBM;UNIT?;:FETC?;:SYST:ERR?")
        unit, dbm, error = answer.split(";")
        if unit != "DBM" or not NUMBER.match(dbm) or error != '0,"No error"':
            fail("dBm line " + answer)
        s.sendall(b"NOPE\n")
        if not ask_or_fail(s, "SYST:ERR?").startswith("-113,"):
            fail("error queue")
        s.close()
    _, rest = process.communicate(timeout=120)
    if process.returncode != 0 or b"served 2 meters" not in rest:
        fail(f"serve ended with {process.returncode}: {rest!r}")


def interrupted(wine, program):
    """Ctrl-C (Wine hands SIGINT to the console's control handler) with a
    client connected: the connection is closed, the meter stopped and the
    run ends well."""
    first = free_port_block(1)
    process = subprocess.Popen(
        [wine, program, "serve", "--simulate", "--scpi", str(first)], stderr=subprocess.PIPE
    )
    said = b""
    deadline = time.monotonic() + 120
    while b"::SOCKET" not in said and time.monotonic() < deadline:
        line = process.stderr.readline()
        if not line:
            break
        said += line
    if f"::{first}::SOCKET".encode() not in said:
        process.kill()
        fail(f"serve did not listen on {first}: {said!r}")
    s = socket.create_connection(("127.0.0.1", first), timeout=30)
    if not ask_or_fail(s, "*IDN?").startswith("Zelmora,"):
        fail("identity before Ctrl-C")
    process.send_signal(signal.SIGINT)
    try:
        _, rest = process.communicate(timeout=120)
    except subprocess.TimeoutExpired:
        process.kill()
        fail("serve did not end on Ctrl-C")
    if process.returncode != 0 or b"served 1 meter" not in rest:
        fail(f"serve ended with {process.returncode} on Ctrl-C: {rest!r}")
    s.settimeout(30)
    if s.recv(16) != b"":
        fail("the connection stayed open")
    s.close()


def log(wine, program, check):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "run.csv")
        run = subprocess.run(
            [wine, program, "log", "--simulate=2", "--count", "20", "--quiet", "-o", path],
            capture_output=True,
            timeout=120,
        )
        if run.returncode != 0:
            fail(f"log ended with {run.returncode}: {run.stderr!r}")
        checked = subprocess.run([sys.executable, check, "csv", path, "2", "20"])
        if checked.returncode != 0:
            fail("the log's records")


def main():
    wine, program, check = sys.argv[1:4]
    serve(wine, program)
    interrupted(wine, program)
    log(wine, program, check)
    print("wine_check: serve, its Ctrl-C and log passed")


if __name__ == "__main__":
    main()
