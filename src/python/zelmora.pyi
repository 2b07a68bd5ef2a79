"""Read USB laser power meters: list them, read single samples, stream every
sample as it comes and collect runs into NumPy arrays. Powers are in watts
whatever the probe family reads in; times are UTC."""

import datetime
from collections.abc import Iterator, Sequence
from types import TracebackType

import numpy
import numpy.typing

__version__: str

class MeterNotFound(LookupError):
    """No meter with this id is present."""

class MeterLost(OSError):
    """The meter stopped answering (it was unplugged, or its USB link failed)."""

class MeterInfo:
    """A meter present: its id, probe and where it sits."""

    @property
    def id(self) -> str: ...
    @property
    def family(self) -> str: ...
    @property
    def model(self) -> str: ...
    @property
    def backend(self) -> str:
        """libusb, simulated or driver."""
    @property
    def port(self) -> str: ...

class Sample:
    """One sample of a meter."""

    @property
    def time(self) -> datetime.datetime:
        """When it was taken: timezone-aware UTC, to the millisecond."""
    @property
    def elapsed(self) -> float:
        """Seconds of collection, in nominal intervals, up to this sample."""
    @property
    def meter(self) -> str: ...
    @property
    def count(self) -> int:
        """How many samples the collection counted before this one."""
    @property
    def power(self) -> float | None:
        """Watts (averaged as set); None for no_conversion."""
    @property
    def status(self) -> str:
        """"ok", "over_range" or "no_conversion"."""
    @property
    def range(self) -> int: ...
    @property
    def wavelength(self) -> int:
        """Nanometres."""

class Statistics:
    """The collection's statistics since open or reset, in watts (NaN before
    the first counted sample).

    mean, std, std_percent, min, max and count are the window's: over the
    counted samples' unaveraged readings. With averaging above 1 the powers
    that stream() and collect() hand out are averaged and spread less; the
    averaged_* figures are over those (the samples with status "ok")."""

    @property
    def mean(self) -> float: ...
    @property
    def std(self) -> float: ...
    @property
    def std_percent(self) -> float: ...
    @property
    def min(self) -> float: ...
    @property
    def max(self) -> float: ...
    @property
    def count(self) -> int: ...
    @property
    def duration(self) -> float:
        """Seconds of collection, in nominal intervals."""
    @property
    def averaged_mean(self) -> float: ...
    @property
    def averaged_std(self) -> float: ...
    @property
    def averaged_std_percent(self) -> float: ...
    @property
    def averaged_min(self) -> float: ...
    @property
    def averaged_max(self) -> float: ...
    @property
    def averaged_count(self) -> int:
        """The samples with a power (status "ok") the averaged_* figures are over."""

class SampleStream(Iterator[Sample]):
    def __iter__(self) -> SampleStream: ...
    def __next__(self) -> Sample: ...

class Meter:
    """An open meter. Close it, or use it in a with block."""

    @property
    def id(self) -> str: ...
    @property
    def family(self) -> str: ...
    @property
    def model(self) -> str: ...
    @property
    def closed(self) -> bool: ...
    @property
    def interval(self) -> float: ...
    @property
    def averaging(self) -> int: ...
    @property
    def lost_samples(self) -> int: ...
    @property
    def statistics(self) -> Statistics: ...
    def read(self, timeout: float | None = None) -> Sample:
        """The newest sample, once the meter has taken one after this call.
        It hands nothing out: stream() and collect() still get every sample,
        and waits in other threads do not hold it up."""
    def stream(self, count: int | None = None, duration: float | None = None) -> SampleStream:
        """Every sample in the order taken, none twice. A thread waiting here
        keeps running until the meter is closed: use a daemon thread, or close
        the meter from the main thread, to let the interpreter end."""
    def collect(self, n: int) -> numpy.typing.NDArray[numpy.void]:
        """The next n samples in a structured array: time (datetime64[ms]),
        elapsed, count, power, status, range, wavelength."""
    def reset(self) -> None: ...
    def set_averaging(self, n: int) -> None: ...
    def set_interval(self, seconds: float) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> Meter: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> bool: ...

def list_meters(
    simulate: int = 0,
    real: bool | None = None,
    usb_ids: Sequence[str] = (),
    trace: str | None = None,
    replay: str | None = None,
    replay_pace: bool = False,
) -> list[MeterInfo]: ...
def open(
    meter_id: str,
    *,
    simulate: int = 0,
    real: bool | None = None,
    usb_ids: Sequence[str] = (),
    interval: float = 0.1,
    averaging: int = 1,
    trace: str | None = None,
    replay: str | None = None,
    replay_pace: bool = False,
) -> Meter: ...
