"""The bench every test of the module runs on: zelmora._testbed plays the
USB bus, with simulated meters polled 20 times faster than their nominal
interval (counts and elapsed times stay nominal)."""

import pytest

import zelmora


@pytest.fixture
def bench():
    zelmora._testbed.install(speed_up=20)
    yield zelmora._testbed
    zelmora._testbed.clear()
