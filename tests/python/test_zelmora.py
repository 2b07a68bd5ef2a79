"""The module `zelmora` as a script uses it, on the tests' bench."""

import _thread
import ast
import datetime
import gc
import math
import os
import re
import subprocess
import sys
import threading
import time

import numpy
import pytest

import zelmora

SOURCE = os.environ.get("ZELMORA_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "../.."))


# --- Listing and opening ------------------------------------------------------


def test_lists_the_meters_each_way_they_are_reached(bench):
    bench.plug("300000001", model="RM41")
    simulated = zelmora.list_meters(simulate=3, real=False)
    assert [(m.id, m.family, m.model, m.backend, m.port) for m in simulated] == [
        ("300000001", "RM", "RM41", "simulated", "-"),
        ("210400101", "KV", "KV50", "simulated", "-"),
        ("210400102", "RM", "RM41", "simulated", "-"),
        ("210400103", "ZN", "ZN21", "simulated", "-"),
    ]
    for bad in ({"simulate": 16}, {"simulate": -1}, {"usb_ids": ["5a4c"]},
                {"usb_ids": ["5a4c:0a01"], "real": False}):
        with pytest.raises(ValueError):
            zelmora.list_meters(**bad)
    with pytest.raises(TypeError):
        zelmora.list_meters(usb_ids="5a4c:0a01")
    with pytest.raises(ValueError):
        zelmora.list_meters(simulate=2**64)
    with pytest.raises(TypeError):
        zelmora.list_meters(simulate=True)


def test_a_malformed_meter_id_is_a_value_error_before_any_meter_is_opened(bench):
    for bad in ["", "21040010", "2104001011", "21040\n101", "2104001\u00e91"]:
        with pytest.raises(ValueError, match="is not a meter id"):
            zelmora.open(bad, simulate=1)


def test_open_says_which_meter_is_missing_and_refuses_bad_arguments(bench):
    with pytest.raises(zelmora.MeterNotFound, match="no meter 399999999 is present"):
        zelmora.open("399999999", simulate=1)
    assert issubclass(zelmora.MeterNotFound, LookupError)
    bad_arguments = [
        {"interval": 0.05}, {"interval": 0.0999}, {"interval": float("nan")},
        {"interval": float("inf")}, {"interval": 86401}, {"interval": 10**400},
        {"averaging": 0}, {"averaging": 20001}, {"averaging": 2**63}, {"averaging": -10**20},
        {"simulate": 99}, {"simulate": 10**20},
    ]
    for bad in bad_arguments:
        with pytest.raises(ValueError):
            zelmora.open("210400101", **{"simulate": 1, **bad})
    # Python counts a bool as an int; a script that passes one meant something else.
    for bad in ({"averaging": True}, {"interval": True}, {"simulate": True},
                {"averaging": 2.0}, {"interval": "1s"}):
        with pytest.raises(TypeError):
            zelmora.open("210400101", **{"simulate": 1, **bad})
    with pytest.raises(TypeError):
        zelmora.open(210400101, simulate=1)
    with zelmora.open("210400101", simulate=1, averaging=numpy.int64(2),
                      interval=numpy.float64(0.1)) as meter:
        assert (meter.averaging, meter.interval) == (2, 0.1)
    with zelmora.open("210400101", simulate=1) as meter:
        assert (meter.id, meter.family, meter.model) == ("210400101", "KV", "KV50")
        with pytest.raises(OSError, match="open already"):
            zelmora.open("210400101", simulate=1)


# --- Samples ------------------------------------------------------------------


def test_a_sample_is_the_record_in_watts_whatever_the_family(bench):
    bench.plug("300000001", model="ZN21", power=12.34, wavelength=532)  # milliwatts
    with zelmora.open("300000001", real=False) as meter:
        before = datetime.datetime.now(datetime.timezone.utc)
        sample = meter.read(timeout=5)
        after = datetime.datetime.now(datetime.timezone.utc)
    assert sample.power == 0.01234
    assert (sample.status, sample.wavelength, sample.meter) == ("ok", 532, "300000001")
    assert sample.time.tzinfo == datetime.timezone.utc
    # To the millisecond, as the records keep it.
    assert before - datetime.timedelta(milliseconds=1) <= sample.time <= after
    assert sample.elapsed == pytest.approx(0.1 * (sample.count + 1))


def test_over_range_and_unconverted_readings_say_so(bench):
    # KV50 range 2 is 0 to 5 W in milliwatt steps; range 9 has no conversion.
    bench.plug("300000001", script=[(1064, 1500, 2), (1064, 6000, 2), (1064, 10, 9)])
    with zelmora.open("300000001", real=False) as meter:
        first, over, unknown = meter.stream(count=3)
    assert (first.status, first.power, first.count) == ("ok", 1.5, 0)
    assert (over.status, over.power, over.count) == ("over_range", 6.0, 1)
    assert (unknown.status, unknown.power) == ("no_conversion", None)


def test_read_gives_a_sample_taken_after_the_call(bench):
    bench.plug("300000001")
    with zelmora.open("300000001", real=False) as meter:
        first = meter.read(timeout=5)
        time.sleep(0.2)  # about 40 samples at the bench's pace
        called = datetime.datetime.now(datetime.timezone.utc)
        second = meter.read(timeout=5)
        assert second.count > first.count + 10
        assert second.time >= called - datetime.timedelta(milliseconds=1)
        bench.silence("300000001", True)
        with pytest.raises(TimeoutError):
            meter.read(timeout=0.2)
        with pytest.raises(ValueError):
            meter.read(timeout=-1)


def test_read_leaves_every_sample_to_stream_and_collect(bench):
    bench.plug("300000001")
    with zelmora.open("300000001", real=False) as meter:
        time.sleep(0.2)  # about 40 samples wait
        read = meter.read(timeout=5)
        assert read.count > 10
        assert list(meter.collect(5)["count"]) == [0, 1, 2, 3, 4]
        assert meter.read(timeout=5).count > read.count
        counts = [s.count for s in meter.stream(count=read.count)]
        assert counts == list(range(5, 5 + read.count))
        assert meter.lost_samples == 0


def test_a_script_that_only_reads_keeps_a_bounded_queue(bench):
    bench.install(speed_up=50, queue_capacity=10)
    bench.plug("300000001")
    with zelmora.open("300000001", real=False) as meter:
        last = 0
        while last < 100:  # ten times what the queue keeps
            last = meter.read(timeout=5).count
        with pytest.warns(RuntimeWarning, match="samples lost"):
            first = next(meter.stream())
        assert first.count > last - 20 and meter.lost_samples >= first.count


def test_stream_and_collect_hand_out_every_count_once(bench):
    bench.plug("300000001", noise=0.01)
    with zelmora.open("300000001", real=False) as meter:
        counts = [s.count for s in meter.stream(count=150)]
        time.sleep(0.1)  # a backlog for the next readers
        counts += [s.count for s in meter.stream(count=30)]
        data = meter.collect(200)
        counts += list(data["count"])
        counts += [s.count for s in meter.stream(duration=0.2)]
        assert counts == list(range(len(counts)))
        assert len(counts) > 380
        for bad in ({"count": 0}, {"duration": 0}, {"duration": -1.0}, {"count": 2**64},
                    {"duration": 10**400}):
            with pytest.raises(ValueError):
                meter.stream(**bad)
        for bad in ({"count": True}, {"duration": False}, {"count": 1.5}):
            with pytest.raises(TypeError):
                meter.stream(**bad)


def test_collect_gives_a_structured_array(bench):
    bench.plug("300000001")
    with zelmora.open("300000001", real=False, interval=0.5) as meter:
        data = meter.collect(numpy.int32(25))
        for bad in (0, 10**20, -(2**64)):
            with pytest.raises(ValueError):
                meter.collect(bad)
        with pytest.raises(TypeError):
            meter.collect(True)
    assert data.shape == (25,)
    assert data.dtype.names == ("time", "elapsed", "count", "power", "status", "range",
                                "wavelength")
    assert [data.dtype[name] for name in data.dtype.names] == [
        numpy.dtype("datetime64[ms]"), numpy.dtype("float64"), numpy.dtype("int64"),
        numpy.dtype("float64"), numpy.dtype("<U13"), numpy.dtype("int32"),
        numpy.dtype("int32")]
    assert list(data["count"]) == list(range(25))
    assert list(data["elapsed"]) == pytest.approx([0.5 * (i + 1) for i in range(25)])
    assert set(data["status"]) == {"ok"}
    assert (data["power"] == 0.012).all() and (data["wavelength"] == 1064).all()
    now = numpy.datetime64(datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None),
                           "ms")
    assert (numpy.diff(data["time"]) >= numpy.timedelta64(0, "ms")).all()
    assert now - numpy.timedelta64(10, "s") < data["time"][0] <= now


# --- Statistics and settings --------------------------------------------------

UNITS = {"W": 1.0, "mW": 1e-3, "uW": 1e-6}


def window_number(text):
    """A window text ("12.3mW", "1.500W", "40.825%") as a number and the
    half step of its last digit, in watts or percent."""
    match = re.fullmatch(r"(\d+(?:\.(\d*))?)(W|mW|uW|%)", text)
    assert match, text
    scale = UNITS.get(match.group(3), 1.0)
    step = 10.0 ** -len(match.group(2) or "") * scale
    return float(match.group(1)) * scale, step / 2


def test_statistics_are_the_windows_numbers(bench):
    readings = [1500, 1520, 1480, 6000, 1510, 1490, 1333, 1666]  # 6000: over range
    bench.plug("300000001", script=[(1064, r, 2) for r in readings],
               remove_after=len(readings))
    meter = zelmora.open("300000001", real=False)
    powers = []
    with pytest.raises(zelmora.MeterLost):
        for sample in meter.stream():
            powers.append(sample.power)
    statistics = meter.statistics
    texts = bench.window_texts(meter)
    for name in ("mean", "std", "min", "max", "std_percent"):
        expected, tolerance = window_number(texts[name])
        assert getattr(statistics, name) == pytest.approx(expected, abs=tolerance), name
    counted = [p for p, r in zip(powers, readings) if r != 6000]
    assert statistics.count == len(counted) == int(texts["count"]) + 1
    assert statistics.mean == pytest.approx(numpy.mean(counted))
    assert statistics.std == pytest.approx(numpy.std(counted))
    assert statistics.duration == pytest.approx(0.1 * len(counted))
    assert texts["duration"] == "00:00:00(700)"
    meter.close()


def test_statistics_offer_the_spread_of_the_averaged_powers_too(bench):
    # Range 2 of a KV50 reads milliwatts; 6000 is over range, range 9 has no
    # conversion: neither has a power of its own.
    readings = [(1064, r, 2) for r in (1500, 1620, 1380, 1550, 6000, 1450, 1700, 1300)]
    readings.insert(3, (1064, 10, 9))
    bench.plug("300000001", script=readings, remove_after=len(readings))
    with zelmora.open("300000001", real=False, averaging=3) as meter:
        samples = []
        with pytest.raises(zelmora.MeterLost):
            for sample in meter.stream():
                samples.append(sample)
        statistics = meter.statistics
    handed_out = [s.power for s in samples if s.status == "ok"]
    assert statistics.averaged_count == len(handed_out) == 7
    assert statistics.averaged_mean == pytest.approx(numpy.mean(handed_out))
    assert statistics.averaged_std == pytest.approx(numpy.std(handed_out))
    assert statistics.averaged_std_percent == pytest.approx(
        100 * numpy.std(handed_out) / numpy.mean(handed_out))
    assert (statistics.averaged_min, statistics.averaged_max) == (min(handed_out),
                                                                  max(handed_out))
    # The window's figures stay over the unaveraged readings, which spread more.
    assert statistics.count == 8
    assert statistics.std > 1.5 * statistics.averaged_std
    assert statistics.max == 1.7 and statistics.averaged_max < 1.7


def test_reset_and_settings_start_a_new_collection(bench):
    bench.plug("300000001", noise=0.05)
    with zelmora.open("300000001", real=False, averaging=4) as meter:
        meter.collect(20)
        meter.reset()
        assert next(meter.stream()).count == 0
        meter.set_averaging(1)
        meter.set_interval(0.25)
        assert (meter.averaging, meter.interval) == (1, 0.25)
        meter.reset()
        assert meter.statistics.averaged_count == 0
        assert math.isnan(meter.statistics.averaged_mean)
        data = meter.collect(5)
        assert numpy.diff(data["elapsed"]) == pytest.approx([0.25] * 4)
        for call, bad in ((meter.set_averaging, 0), (meter.set_interval, 0.01),
                          (meter.set_interval, float("nan")), (meter.set_averaging, 2**70),
                          (meter.set_interval, 0.0999)):
            with pytest.raises(ValueError):
                call(bad)
        for call, bad in ((meter.set_averaging, True), (meter.set_interval, False),
                          (meter.read, True)):
            with pytest.raises(TypeError):
                call(bad)


# --- Lost and closed meters ---------------------------------------------------


def test_an_unplugged_meter_raises_meter_lost_after_its_last_sample(bench):
    bench.plug("300000001")
    with zelmora.open("300000001", real=False) as meter:
        meter.collect(10)
        bench.unplug("300000001")
        counts = []
        with pytest.raises(zelmora.MeterLost) as lost:
            for sample in meter.stream():
                counts.append(sample.count)
        assert isinstance(lost.value, OSError)
        assert counts == list(range(10, 10 + len(counts)))
        with pytest.raises(zelmora.MeterLost):
            meter.read()
        with pytest.raises(zelmora.MeterLost, match="wait for stream"):
            meter.collect(5)


def test_a_collect_cut_short_loses_no_sample(bench):
    bench.plug("300000001", remove_after=30)
    with zelmora.open("300000001", real=False) as meter:
        with pytest.raises(zelmora.MeterLost):
            meter.collect(1000)
        counts = []
        with pytest.raises(zelmora.MeterLost):
            for sample in meter.stream():
                counts.append(sample.count)
        assert counts == list(range(30))


def test_ctrl_c_ends_a_wait_and_the_samples_wait_for_the_next_reader(bench):
    bench.plug("300000001")
    with zelmora.open("300000001", real=False) as meter:
        threading.Timer(0.3, _thread.interrupt_main).start()
        with pytest.raises(KeyboardInterrupt):
            meter.collect(10**6)
        assert next(meter.stream()).count == 0
        bench.silence("300000001", True)
        threading.Timer(0.3, _thread.interrupt_main).start()
        with pytest.raises(KeyboardInterrupt):
            for _ in meter.stream():
                pass
        bench.silence("300000001", False)
        assert meter.read(timeout=5).status == "ok"


def test_a_closed_meter_refuses_every_use_and_closes_twice(bench):
    bench.plug("300000001")
    meter = zelmora.open("300000001", real=False)
    stream = meter.stream()
    next(stream)
    assert bench.measuring("300000001")
    meter.close()
    meter.close()
    assert meter.closed and "closed" in repr(meter)
    assert not bench.measuring("300000001")
    assert list(stream) == []  # a stream ends with its meter
    for use in (meter.read, meter.stream, lambda: meter.collect(3), lambda: meter.statistics,
                meter.reset, lambda: meter.set_averaging(2), lambda: meter.set_interval(1)):
        with pytest.raises(ValueError, match="closed"):
            use()
    # A with block and the garbage collector close it as well: it opens again.
    with zelmora.open("300000001", real=False) as meter:
        pass
    assert meter.closed
    meter = zelmora.open("300000001", real=False)
    del meter
    gc.collect()
    assert not bench.measuring("300000001")
    zelmora.open("300000001", real=False).close()


def test_close_from_another_thread_ends_a_stream(bench):
    bench.plug("300000001")
    bench.silence("300000001", True)
    meter = zelmora.open("300000001", real=False)
    closing = threading.Timer(0.2, meter.close)
    closing.start()
    assert list(meter.stream()) == []
    closing.join()
    assert meter.closed


def test_a_meter_closed_under_a_waiting_collect_opens_again_at_once(bench):
    bench.install(speed_up=1)  # stopping the meter takes its 100 ms to settle
    bench.plug("300000001")
    bench.silence("300000001", True)
    meter = zelmora.open("300000001", real=False)
    closing = threading.Timer(0.2, meter.close)
    closing.start()
    with pytest.raises(ValueError, match="closed"):
        meter.collect(10)
    zelmora.open("300000001", real=False).close()
    closing.join()


def test_a_full_queue_is_told(bench):
    bench.install(speed_up=50, queue_capacity=10)
    bench.plug("300000001")
    with zelmora.open("300000001", real=False) as meter:
        time.sleep(0.3)  # about 150 samples into a queue of 10
        with pytest.warns(RuntimeWarning, match="samples lost"):
            first = next(meter.stream())
        assert first.count > 0 and meter.lost_samples >= first.count


# --- Threads ------------------------------------------------------------------


def test_two_meters_in_two_threads_keep_the_interpreter_free(bench):
    results = {}
    ticks = []

    def log(meter_id):
        with zelmora.open(meter_id, simulate=2) as meter:
            results[meter_id] = list(meter.collect(100)["count"])

    threads = [threading.Thread(target=log, args=(i,)) for i in ("210400101", "210400102")]
    for thread in threads:
        thread.start()
    while any(thread.is_alive() for thread in threads):
        ticks.append(time.monotonic())  # runs only while the waits let the GIL go
        time.sleep(0.01)
    assert results == {"210400101": list(range(100)), "210400102": list(range(100))}
    assert len(ticks) > 10


def test_a_streaming_thread_and_reads_do_not_wait_for_each_other(bench):
    bench.plug("300000001")
    meter = zelmora.open("300000001", real=False)
    streamed = []
    logger = threading.Thread(target=lambda: streamed.extend(s.count for s in meter.stream()))
    logger.start()
    # A read in a thread of its own beside the main thread's collect.
    reads = []
    reader = threading.Thread(target=lambda: reads.extend(meter.read(timeout=30).count
                                                          for _ in range(50)))
    reader.start()
    for _ in range(20):
        reads.append(meter.read(timeout=30).count)
    reader.join()
    meter.close()
    logger.join()
    assert len(reads) == 70
    # Closing drops what the stream had not taken yet.
    assert streamed == list(range(len(streamed))) and len(streamed) > 10
    # A collect in the main thread beside reads in another.
    with zelmora.open("300000001", real=False) as meter:
        stop = threading.Event()
        reads = []

        def read_on():
            while not stop.is_set():
                reads.append(meter.read(timeout=30).count)

        reader = threading.Thread(target=read_on)
        reader.start()
        try:
            assert list(meter.collect(200)["count"]) == list(range(200))
        finally:
            stop.set()
            reader.join()
        assert reads == sorted(reads) and len(reads) > 10


def run_script(code, timeout=60):
    """Runs a script with the tests' module in a session of its own, killed
    whole (a forked child included) when it outlives its time."""
    process = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, start_new_session=True)
    try:
        output, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, 9)
        output, _ = process.communicate()
        pytest.fail("the script did not end:\n" + output)
    return process.returncode, output


def test_a_forked_child_cannot_use_the_meter_and_exits(bench):
    code = """
import os, sys, zelmora
meter = zelmora.open("210400101", simulate=1)
meter.read(timeout=30)
pid = os.fork()
if pid == 0:
    try:
        meter.read(timeout=1)
    except RuntimeError as e:
        print("child:", e)
    print("child closed:", meter.closed)
    sys.exit(0)  # the whole exit: atexit, the meter's destructor
_, status = os.waitpid(pid, 0)
print("child exit:", os.waitstatus_to_exitcode(status))
print("parent reads:", meter.read(timeout=30).status)
"""
    status, output = run_script(code)
    assert status == 0, output
    assert re.search(r"child: meter 210400101 belongs to the process that opened it \(\d+\): "
                     r"a child made by fork\(\) cannot use it", output), output
    assert "child closed: True" in output and "child exit: 0" in output, output
    assert "parent reads: ok" in output, output


def test_daemon_threads_waiting_on_meters_let_the_interpreter_end(bench):
    # The interpreter ends daemon threads that ask for the GIL after its
    # end began: threads ending waits of every kind, over and over.
    code = """
import threading, time, zelmora
meter = zelmora.open("210400101", simulate=2)
other = zelmora.open("210400102", simulate=2)

def forever(call):
    while True:
        try:
            call()
        except (ValueError, TimeoutError):
            pass

for call in (lambda: meter.read(timeout=0.01), lambda: list(meter.stream(duration=0.1)),
             lambda: other.collect(3), lambda: zelmora.list_meters(simulate=15)):
    threading.Thread(target=forever, args=(call,), daemon=True).start()
time.sleep(0.3)
print("main ends")
"""
    for _ in range(5):
        status, output = run_script(code)
        assert (status, output) == (0, "main ends\n")
    # The pattern for a thread that is not a daemon: the main thread closes
    # the meter, which ends the stream and lets the thread end.
    code = """
import threading, time, zelmora
meter = zelmora.open("210400101", simulate=1)
counts = []
logger = threading.Thread(target=lambda: counts.extend(s.count for s in meter.stream()))
logger.start()
while len(counts) < 2:
    time.sleep(0.01)
meter.close()
logger.join()
print("logged", counts == list(range(len(counts))) and len(counts) > 0)
"""
    assert run_script(code) == (0, "logged True\n")


# --- What the user sees -------------------------------------------------------


def public(names):
    return {name for name in names if not name.startswith("_")}


def test_the_stubs_describe_the_module():
    with open(os.path.join(SOURCE, "src/python/zelmora.pyi"), encoding="utf-8") as stub_file:
        stubs = ast.parse(stub_file.read())
    declared = {}
    for node in stubs.body:
        if isinstance(node, ast.ClassDef):
            declared[node.name] = public(
                n.name for n in node.body if isinstance(n, ast.FunctionDef))
        elif isinstance(node, ast.FunctionDef):
            declared[node.name] = None
        elif isinstance(node, ast.AnnAssign):
            declared[node.target.id] = None
    assert public(declared) == public(dir(zelmora))
    for name, members in declared.items():
        if members is not None and not issubclass(getattr(zelmora, name), BaseException):
            assert members == public(dir(getattr(zelmora, name))), name
        if not name.startswith("__"):
            assert getattr(zelmora, name).__doc__, name


def test_the_example_writes_its_plot(tmp_path):
    module_dir = os.environ.get("ZELMORA_PYTHON_MODULE_DIR")
    if not module_dir:
        pytest.skip("the installed module's folder is not known")
    png = tmp_path / "stability.png"
    environment = dict(os.environ, PYTHONPATH=module_dir)
    subprocess.run([sys.executable, os.path.join(SOURCE, "examples/stability.py"), "--simulate",
                    "--duration", "1", "--output", str(png)], env=environment, check=True,
                   timeout=120)
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


# --- A meter another process owns ----------------------------------------------


def test_a_meter_owned_by_another_process_gives_its_samples_each_once(bench, tmp_path,
                                                                      start_log):
    """zelmora-cli owns simulated meter 210400101 and logs it; the script
    attaches to it and collects the owner's own samples, consecutive."""
    owner_log = tmp_path / "owner.csv"
    owner = start_log(["--simulate=1", "210400101", "--count", "60"], owner_log)
    try:
        with zelmora.open("210400101", simulate=1, real=False) as meter:
            data = meter.collect(20)
    finally:
        assert owner.wait(timeout=30) == 0
    rows = [line.split(",") for line in owner_log.read_text().splitlines()
            if line.startswith("20")]
    owned = [(row[0], float(row[4])) for row in rows]
    attached = [(str(numpy.datetime_as_string(t, unit="ms")) + "Z", float(p))
                for t, p in zip(data["time"], data["power"])]
    assert list(data["count"]) == list(range(20))
    start = owned.index(attached[0])
    assert owned[start:start + 20] == attached


def test_an_interval_the_owner_keeps_is_refused_and_stays_as_it_was(bench, tmp_path,
                                                                     start_log):
    """Beside another process, a change of interval that the meter's owner
    does not make raises, whether the script attaches to the owner or owns
    the meter another process watches; the interval it reports stays true."""
    def log(name):
        return start_log(["--simulate=1", "210400101", "--count", "30"], tmp_path / name)

    owner = log("owner.csv")
    try:
        with zelmora.open("210400101", simulate=1, real=False) as meter:
            with pytest.raises(OSError, match="polls it every 100 ms"):
                meter.set_interval(0.25)
            assert meter.interval == 0.1
    finally:
        assert owner.wait(timeout=30) == 0

    with zelmora.open("210400101", simulate=1, real=False) as meter:
        meter.read(timeout=10)
        watcher = log("watcher.csv")
        try:
            with pytest.raises(OSError, match="other processes watch this meter every 100 ms"):
                meter.set_interval(0.2)
            assert meter.interval == 0.1
        finally:
            assert watcher.wait(timeout=30) == 0


def test_a_forked_child_does_not_keep_the_meter_from_the_next_owner(bench):
    """The script owns the meter and forks a child that lives on; once the
    script closes the meter, zelmora-cli becomes its owner at once."""
    code = """
import os, subprocess, sys, zelmora
meter = zelmora.open("210400101", simulate=1)
meter.read(timeout=30)
r, w = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(w)
    os.read(r, 1)  # until the parent is done
    os._exit(0)
os.close(r)
meter.close()
log = subprocess.run([os.environ["ZELMORA_CLI_PROGRAM"], "log", "--simulate=1", "210400101",
                      "--count", "5", "-o", "-"], capture_output=True, text=True, timeout=40)
print("log exit:", log.returncode, log.stderr.strip())
print("records:", sum(1 for line in log.stdout.splitlines() if line.startswith("20")))
os.close(w)
os.waitpid(pid, 0)
"""
    status, output = run_script(code)
    assert status == 0, output
    assert "log exit: 0" in output and "records: 5" in output, output


# --- Traces --------------------------------------------------------------------


def test_a_traced_meter_replays_with_the_same_samples(bench, tmp_path):
    trace = str(tmp_path / "t.jsonl")

    def samples(**where):
        with zelmora.open("210400101", **where) as meter:
            return [(s.count, s.power, s.status, s.range, s.wavelength)
                    for s in meter.stream(count=20)]

    recorded = samples(simulate=1, real=False, trace=trace)
    with open(trace, encoding="utf-8") as file:
        lines = file.read().splitlines()
    assert lines[0].startswith('{"format":"zelmora-trace","version":1,"program":"zelmora (Python)"')
    assert '"op":"end","reason":"closed"' in lines[-1]
    assert samples(replay=trace) == recorded
    assert [m.id for m in zelmora.list_meters(replay=trace)] == ["210400101"]

    cut = str(tmp_path / "cut.jsonl")
    with open(cut, "w", encoding="utf-8") as file:
        file.write("\n".join(lines[:5]) + "\n" + lines[5][:30])
    with pytest.raises(zelmora.MeterNotFound, match="line 6 is cut short"):
        zelmora.open("210400101", replay=cut)
    with pytest.raises(ValueError):
        zelmora.open("210400101", replay="")
