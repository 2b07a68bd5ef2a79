"""The bench every test of the module runs on: zelmora._testbed plays the
USB bus, with simulated meters polled 20 times faster than their nominal
interval (counts and elapsed times stay nominal)."""

import os
import subprocess
import time

import pytest

import zelmora


@pytest.fixture
def bench():
    zelmora._testbed.install(speed_up=20)
    yield zelmora._testbed
    zelmora._testbed.clear()


@pytest.fixture
def start_log():
    """Starts `zelmora-cli log ARGS -o PATH` and gives back its process once
    the file holds a record: by then the program owns or watches the
    meter."""
    def start(args, path):
        process = subprocess.Popen([os.environ["ZELMORA_CLI_PROGRAM"], "log", *args,
                                    "-o", str(path)], stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and (
                not path.exists() or "\n20" not in path.read_text()):
            time.sleep(0.01)
        return process
    return start
