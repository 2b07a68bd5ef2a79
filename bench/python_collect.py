#!/usr/bin/env python3
"""What Meter.collect(1000) costs beyond the sampling itself, run by hand:

    /usr/bin/python3 bench/python_collect.py build/normal

It uses the tests' build of the module (build/<tree>/tests/python/module),
whose bench polls a simulated meter 100 times faster than its nominal
100 ms, and measures:

- backlog: collect(1000) when the 1000 samples are already waiting in the
  meter's queue, so that no sampling is waited for: the whole call is
  overhead (taking the samples from the link, turning them into records
  and filling the NumPy array). Median of the rounds.
- live: the CPU time the calling thread spends in a collect(1000) that
  waits for its samples as they come (time.thread_time), the rest of the
  call being sleep; and how far its wall time passes the 1000 intervals
  (the first sample comes up to one interval after the reset, and the
  poll's own timing counts too).
"""

import os
import statistics
import sys
import time


def main():
    tree = sys.argv[1] if len(sys.argv) > 1 else "build/normal"
    sys.path.insert(0, os.path.join(tree, "tests", "python", "module"))
    import zelmora

    speed_up = 100
    zelmora._testbed.install(speed_up=speed_up)
    zelmora._testbed.plug("300000001", noise=0.01)
    rounds = 20
    with zelmora.open("300000001", real=False) as meter:
        backlog = []
        for _ in range(rounds):
            meter.reset()
            time.sleep(1000 * 0.1 / speed_up * 1.5)  # some 1500 samples queue up
            started = time.perf_counter()
            data = meter.collect(1000)
            backlog.append(time.perf_counter() - started)
            assert len(data) == 1000 and data["count"][-1] == 999
        live = []
        beyond = []
        for _ in range(5):
            meter.reset()
            cpu = time.thread_time()
            started = time.perf_counter()
            meter.collect(1000)
            beyond.append(time.perf_counter() - started - 1000 * 0.1 / speed_up)
            live.append(time.thread_time() - cpu)
    print(f"collect(1000) from a backlog: median {statistics.median(backlog) * 1e3:.2f} ms, "
          f"min {min(backlog) * 1e3:.2f} ms over {rounds} rounds")
    print(f"collect(1000) live: the caller's CPU time, median "
          f"{statistics.median(live) * 1e3:.2f} ms (sampling at {100 / speed_up:.0f} ms); "
          f"wall time beyond the 1000 intervals, median {statistics.median(beyond) * 1e3:.2f} ms")


if __name__ == "__main__":
    main()
