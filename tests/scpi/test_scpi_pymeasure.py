"""The shipped PyMeasure class on a served meter, through PyMeasure's own
VISA adapter and its experiment machinery."""

import math
import os
import sys

import pytest

pytest.importorskip("pymeasure")
pytest.importorskip("pyvisa_py")

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples", "scpi"))
from zelmora_instrument import ZelmoraMeter  # noqa: E402


def meter_of(server):
    return ZelmoraMeter(f"TCPIP::127.0.0.1::{server.ports[0]}::SOCKET")


def test_power_in_watts_and_dbm_and_settings(serve):
    meter = meter_of(serve(1))
    assert meter.id.startswith("Zelmora,zelmora-cli,210400101,")
    assert meter.unit == "W"
    watts = meter.power
    assert 0 < watts < 1000
    meter.unit = "DBM"
    assert meter.unit == "DBM"
    dbm = meter.power
    # The simulated signal moves a little; its level stays.
    assert dbm == pytest.approx(10 * math.log10(watts * 1000), abs=1.0)
    meter.unit = "W"
    meter.averaging = 7
    assert meter.averaging == 7
    assert meter.wavelength > 0
    assert meter.range_limit > 0
    # The signal moves between two queries: a reference far above it makes
    # the relative reading plainly negative.
    meter.reference = 1000
    assert meter.reference == 1000
    meter.relative = True
    assert meter.relative is True
    assert -1000 < meter.last_power < -900
    meter.relative = False
    assert meter.last_power > 0
    assert meter.zero() > 0
    meter.reset()
    assert meter.averaging == 1
    assert meter.errors() == []


def test_out_of_range_values_raise_pymeasures_error(serve):
    meter = meter_of(serve(1))
    with pytest.raises(ValueError):
        meter.averaging = 0
    with pytest.raises(ValueError):
        meter.averaging = 20001
    with pytest.raises(ValueError):
        meter.unit = "FURLONG"
    assert meter.averaging == 1
    assert meter.errors() == []


def test_a_procedure_reads_the_meter(serve, tmp_path):
    from pymeasure.experiment import IntegerParameter, Procedure, Results, Worker

    server = serve(1)

    class PowerProcedure(Procedure):
        resource = f"TCPIP::127.0.0.1::{server.ports[0]}::SOCKET"
        points = IntegerParameter("Points", default=5)
        DATA_COLUMNS = ["Point", "Power (W)"]

        def startup(self):
            self.meter = ZelmoraMeter(self.resource)

        def execute(self):
            for point in range(self.points):
                self.emit("results", {"Point": point, "Power (W)": self.meter.power})
                if self.should_stop():
                    break

    procedure = PowerProcedure()
    path = tmp_path / "power.csv"
    results = Results(procedure, str(path))
    worker = Worker(results)
    worker.start()
    worker.join(timeout=60)
    assert not worker.is_alive()
    data = Results.load(str(path), procedure_class=PowerProcedure).data
    assert list(data["Point"]) == [0, 1, 2, 3, 4]
    assert all(0 < p < 1000 for p in data["Power (W)"])
