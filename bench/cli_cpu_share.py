#!/usr/bin/env python3
"""The CPU share of a zelmora-cli log run, measured by hand (not a test):

    bench/cli_cpu_share.py build/normal/bin/zelmora-cli [SECONDS] [METERS]

runs `zelmora-cli log --simulate=METERS --interval 100ms --duration SECONDS`
into a temporary file and reports the user and system time the program used
(getrusage of the finished child) as a share of one core over the run's
wall time. Defaults: 60 s, 15 meters.
"""

import os
import resource
import subprocess
import sys
import tempfile
import time


def main():
    program = sys.argv[1]
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 60
    meters = int(sys.argv[3]) if len(sys.argv) > 3 else 15
    with tempfile.TemporaryDirectory() as folder:
        output = os.path.join(folder, "run.csv")
        start = time.monotonic()
        subprocess.run([program, "log", "--simulate=%d" % meters, "--interval", "100ms",
                        "--duration", "%ds" % seconds, "--quiet", "-o", output], check=True)
        wall = time.monotonic() - start
        usage = resource.getrusage(resource.RUSAGE_CHILDREN)
        with open(output) as file:
            records = sum(1 for line in file if line[:1].isdigit())
    cpu = usage.ru_utime + usage.ru_stime
    print("%d meters, %.1f s wall, %d records: user %.3f s + system %.3f s = %.3f s CPU, "
          "%.2f %% of one core" % (meters, wall, records, usage.ru_utime, usage.ru_stime, cpu,
                                   100 * cpu / wall))


main()
