"""A Zelmora meter served by `zelmora-cli serve --scpi PORT` as a PyMeasure
instrument, so that PyMeasure procedures and its experiment window use it
like any other:

    from zelmora_instrument import ZelmoraMeter
    meter = ZelmoraMeter("TCPIP::127.0.0.1::5025::SOCKET")
    meter.unit = "DBM"
    meter.averaging = 10
    print(meter.power, meter.wavelength)

Every connection has its own unit, averaging, reference and zero, so
several scripts can use one meter without changing each other's readings.
"""

import math

from pymeasure.instruments import Instrument
from pymeasure.instruments.validators import strict_discrete_set, strict_range

# The standard's values for Over Range and for a reading with no value.
OVERFLOW = 9.9e37
NOT_A_NUMBER = 9.91e37


def _reading(value):
    """A reading as a number: Over Range is infinity, no value is NaN."""
    if value >= NOT_A_NUMBER * 0.9995:
        return math.nan
    if value >= OVERFLOW * 0.9995:
        return math.inf
    if value <= -OVERFLOW * 0.9995:
        return -math.inf
    return value


class ZelmoraMeter(Instrument):
    """One meter served over a raw TCP socket (LF ends every message)."""

    power = Instrument.measurement(
        "MEAS:POW?",
        """The power of a new measurement (the mean of `averaging` samples
        taken after the call), in `unit`, less the zero and, while
        `relative` is on, the reference; infinity for Over Range.""",
        get_process=_reading,
    )

    last_power = Instrument.measurement(
        "FETC?",
        """The last completed reading, without starting a new one.""",
        get_process=_reading,
    )

    unit = Instrument.control(
        "SENS:POW:UNIT?",
        "SENS:POW:UNIT %s",
        """The unit of `power`: "W" or "DBM".""",
        validator=strict_discrete_set,
        values=["W", "DBM"],
        get_process=lambda v: str(v).strip(),
    )

    averaging = Instrument.control(
        "SENS:AVER?",
        "SENS:AVER %d",
        """How many samples a reading is the mean of (1 to 20000).""",
        validator=strict_range,
        values=[1, 20000],
        get_process=int,
    )

    wavelength = Instrument.measurement(
        "SENS:CORR:WAV?",
        """The wavelength set on the meter, in nanometres (it is set on the
        meter only).""",
        get_process=int,
    )

    range_limit = Instrument.measurement(
        "SENS:POW:RANG?",
        """The limit of the meter's current range, in `unit`.""",
    )

    reference = Instrument.control(
        "SENS:POW:REF?",
        "SENS:POW:REF %.9g",
        """The reference of a relative reading, in `unit` (0 to 1000 W, or
        -90 to 60 dBm).""",
    )

    relative = Instrument.control(
        "SENS:POW:REF:STAT?",
        "SENS:POW:REF:STAT %d",
        """Whether `power` is relative to `reference`.""",
        validator=strict_discrete_set,
        values={True: 1, False: 0},
        map_values=True,
    )

    def __init__(self, adapter, name="Zelmora power meter", **kwargs):
        if isinstance(adapter, str):
            kwargs.setdefault("read_termination", "\n")
            kwargs.setdefault("write_termination", "\n")
            kwargs.setdefault("visa_library", "@py")
            kwargs.setdefault("timeout", 10000)
        super().__init__(adapter, name, includeSCPI=True, **kwargs)

    def zero(self):
        """Takes a zero from the mean of the next samples (of this
        connection only) and subtracts it from every later reading; returns
        it in watts."""
        self.write("SENS:CORR:COLL:ZERO:INIT")
        self.ask("*OPC?")
        return float(self.ask("SENS:CORR:COLL:ZERO:MAGN?"))

    def clear_zero(self):
        self.write("SENS:CORR:COLL:ZERO:STAT OFF")

    def errors(self):
        """Every error waiting in this connection's queue, oldest first, as
        (code, text)."""
        found = []
        while True:
            code, text = self.ask("SYST:ERR?").strip().split(",", 1)
            if int(code) == 0:
                return found
            found.append((int(code), text.strip('"')))

    def reset(self):
        self.write("*RST;*CLS")
