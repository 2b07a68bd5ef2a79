#!/usr/bin/env python3
"""How stable is the laser? Logs a meter for a while (60 s by default) and
saves a plot of the power and its running mean.

    python3 examples/stability.py --simulate           # a simulated meter
    python3 examples/stability.py 210400101 --duration 600 --output arm1.png

Ctrl-C ends the run early; the plot shows what was logged until then.
"""

import argparse
import glob
import os
import sys


def import_zelmora():
    """The installed module, or else the one a build of this checkout made."""
    try:
        import zelmora
    except ImportError:
        top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        built = sorted(glob.glob(os.path.join(top, "build", "*", "python", "zelmora*.so")))
        if not built:
            sys.exit("stability.py: the zelmora module is neither installed nor built "
                     "(scripts/test.sh normal builds it into build/normal/python)")
        sys.path.insert(0, os.path.dirname(built[0]))
        import zelmora
    return zelmora


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("meter", nargs="?", help="the meter's id (default: the only one present)")
    parser.add_argument("--simulate", action="store_true", help="use a simulated meter")
    parser.add_argument("--duration", type=float, default=60, help="seconds to log (60)")
    parser.add_argument("--interval", type=float, default=0.1, help="seconds between samples")
    parser.add_argument("--output", default="stability.png", help="the PNG to write")
    args = parser.parse_args()

    zelmora = import_zelmora()
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import numpy as np
    except ImportError as missing:
        # Another python3 first on the PATH (a virtual environment, pyenv)
        # lacks the system's packages.
        sys.exit(f"stability.py: {missing.name} is missing for {sys.executable} "
                 "(Debian: python3-matplotlib; or run /usr/bin/python3)")

    simulate = 1 if args.simulate else 0
    meter_id = args.meter
    if meter_id is None:
        meters = zelmora.list_meters(simulate=simulate)
        if len(meters) != 1:
            sys.exit(f"stability.py: {len(meters)} meters present; name the one to log")
        meter_id = meters[0].id

    samples = []
    with zelmora.open(meter_id, simulate=simulate, interval=args.interval) as meter:
        try:
            for sample in meter.stream(duration=args.duration):
                samples.append(sample)
        except KeyboardInterrupt:
            print("stopped early", file=sys.stderr)
        statistics = meter.statistics
        model = meter.model
    good = [s for s in samples if s.status == "ok"]
    if not good:
        sys.exit("stability.py: the meter gave no sample to plot")

    seconds = np.array([s.elapsed for s in good])
    power = np.array([s.power for s in good]) * 1e3
    running_mean = np.cumsum(power) / np.arange(1, len(power) + 1)

    figure, axes = plt.subplots(figsize=(8, 4), dpi=100)
    axes.plot(seconds, power, linewidth=0.8, color="tab:blue", label="power")
    axes.plot(seconds, running_mean, linewidth=1.8, color="tab:red", label="running mean")
    axes.set_xlabel("elapsed time (s)")
    axes.set_ylabel("power (mW)")
    axes.set_title(f"Meter {meter_id} ({model}): mean {statistics.mean * 1e3:.3f} mW, "
                   f"std {statistics.std_percent:.2f} % over {len(good)} samples")
    axes.grid(True, alpha=0.3)
    axes.legend(loc="lower right")
    figure.tight_layout()
    figure.savefig(args.output)
    print(f"{args.output}: {len(good)} samples over {seconds[-1]:.1f} s")


if __name__ == "__main__":
    main()
