"""The module through real libusb, on a meter emulated at the usbfs level
(umockdev), as on a machine with a meter plugged in. Runs with umockdev's
preload library in the process (CTest sets LD_PRELOAD)."""

import signal

import pytest

import zelmora

USB_ID = "5a4c:0a01"  # the simulated meter's vendor:product id


@pytest.fixture
def usb():
    bench = zelmora._testbed
    if not bench.emulate_usb_bus():
        pytest.skip("umockdev's preload library is not loaded")
    bench.install(speed_up=5)
    yield bench
    bench.clear()


def test_lists_reads_and_loses_a_meter_through_libusb(usb):
    usb.emulate_usb("210400107", "ZN", 2)
    meters = zelmora.list_meters(usb_ids=[USB_ID])
    assert [(m.id, m.family, m.backend, m.port) for m in meters] == [
        ("210400107", "ZN", "libusb", "1-2")
    ]
    with zelmora.open("210400107", usb_ids=[USB_ID]) as meter:
        sample = meter.read(timeout=10)
        assert sample.status == "ok"
        # The ZN family reads milliwatts; the module hands out watts.
        assert 0 < sample.power < 1
        counts = [s.count for s in meter.stream(count=5)]
        assert counts == list(range(counts[0], counts[0] + 5))
        usb.unplug_usb("210400107")
        with pytest.raises(zelmora.MeterLost):
            for _ in meter.stream(duration=30):
                pass


def test_a_meter_another_process_polls_is_listed_without_a_request(usb, tmp_path, start_log):
    """zelmora-cli owns the emulated meter; the script's list learns it
    from its owner and sends the device nothing between the owner's
    requests."""
    usb.emulate_usb("210400107", "KV", 3)
    owner = start_log(["--usb-id=" + USB_ID, "210400107", "--count", "600"],
                      tmp_path / "owner.csv")
    try:
        asked = usb.usb_identity_requests("210400107")
        meters = zelmora.list_meters(usb_ids=[USB_ID])
        assert [(m.id, m.family, m.backend, m.port) for m in meters] == [
            ("210400107", "KV", "libusb", "1-3")
        ]
        assert usb.usb_identity_requests("210400107") == asked
    finally:
        owner.send_signal(signal.SIGINT)
        assert owner.wait(timeout=30) == 0
