#!/usr/bin/env python3
"""The CPU share of a zelmora-cli log run, measured by hand (not a test):

    bench/cli_cpu_share.py build/normal/bin/zelmora-cli [SECONDS] [METERS] [--mqtt]

runs `zelmora-cli log --simulate=METERS --interval 100ms --duration SECONDS`
into a temporary file and reports the user and system time the program used
(getrusage of the finished child) as a share of one core over the run's
wall time. Defaults: 60 s, 15 meters. With --mqtt the run also publishes
every record to a mosquitto broker that the script starts on 127.0.0.1 (a
free port) and stops after; the broker's own share is reported beside.
"""

import os
import signal
import socket
import subprocess
import sys
import tempfile
import time


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_broker(folder):
    port = free_port()
    conf = os.path.join(folder, "mosquitto.conf")
    with open(conf, "w") as file:
        file.write("listener %d 127.0.0.1\nallow_anonymous true\n" % port)
    broker = subprocess.Popen(["mosquitto", "-c", conf], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    for _ in range(500):
        with socket.socket() as client:
            if client.connect_ex(("127.0.0.1", port)) == 0:
                return broker, port
        time.sleep(0.01)
    broker.kill()
    sys.exit("mosquitto does not start")


def share(usage, wall):
    cpu = usage.ru_utime + usage.ru_stime
    return "user %.3f s + system %.3f s = %.3f s CPU, %.2f %% of one core" % (
        usage.ru_utime, usage.ru_stime, cpu, 100 * cpu / wall)


def main():
    arguments = [argument for argument in sys.argv[1:] if argument != "--mqtt"]
    mqtt = len(arguments) < len(sys.argv) - 1
    program = arguments[0]
    seconds = int(arguments[1]) if len(arguments) > 1 else 60
    meters = int(arguments[2]) if len(arguments) > 2 else 15
    with tempfile.TemporaryDirectory() as folder:
        output = os.path.join(folder, "run.csv")
        command = [program, "log", "--simulate=%d" % meters, "--interval", "100ms",
                   "--duration", "%ds" % seconds, "--quiet", "-o", output]
        broker = None
        if mqtt:
            broker, port = start_broker(folder)
            command += ["--mqtt", "mqtt://127.0.0.1:%d" % port, "--mqtt-topic", "bench"]
        start = time.monotonic()
        run = subprocess.Popen(command)
        _, status, usage = os.wait4(run.pid, 0)
        wall = time.monotonic() - start
        if os.waitstatus_to_exitcode(status) != 0:
            sys.exit("zelmora-cli failed")
        with open(output) as file:
            records = sum(1 for line in file if line[:1].isdigit())
        print("%d meters, %.1f s wall, %d records%s: %s" % (
            meters, wall, records, " (also published)" if mqtt else "", share(usage, wall)))
        if broker is not None:
            broker.send_signal(signal.SIGTERM)
            _, _, usage = os.wait4(broker.pid, 0)
            print("the broker: %s" % share(usage, wall))


main()
