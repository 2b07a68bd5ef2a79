"""zelmora-cli serve read through PyVISA's pure-Python backend, as a lab's
script would, over TCPIP::127.0.0.1::PORT::SOCKET."""

import math
import re

import pytest

pyvisa = pytest.importorskip("pyvisa")
pytest.importorskip("pyvisa_py")

NUMBER = re.compile(r"^[-+]?\d\.\d{6}E[-+]\d{2}$")


def errors(r):
    found = []
    while True:
        code, text = r.query("SYST:ERR?").split(",", 1)
        if int(code) == 0:
            return found
        found.append(int(code))


def test_identity_common_commands_and_forms(serve):
    server = serve(1)
    r = server.resource()
    assert r.query("*IDN?") == "Zelmora,zelmora-cli,210400101," + r.query("*IDN?").split(",")[3]
    assert r.query("*OPC?") == "1"
    assert r.query("*TST?") == "0"
    assert r.query("*ESR?") == "128"
    assert r.query("*ESR?") == "0"
    r.write("*ESE 60")
    assert r.query("*ESE?") == "60"
    r.write("*SRE 32")
    assert r.query("*SRE?") == "32"
    assert r.query("*STB?") == "0"
    r.write("*WAI")
    r.write("*CLS")
    assert r.query("SYSTem:VERSion?") == "1999.0"
    assert r.query("SYST:ERR:COUN?") == "0"
    # Long, short and with optional nodes, in any case.
    for query in ("MEAS:POW?", "MEASure:SCALar:POWer?", "meas?", "MEAS1:SCAL:POW?", "READ?",
                  "read:scalar:power?", "FETCh?", "FETC:POW?"):
        answer = r.query(query)
        assert NUMBER.match(answer), (query, answer)
        assert 0 < float(answer) < 1000
    r.write("CONFigure:SCALar:POWer")
    assert r.query("CONF?") == '"POW"'
    r.write("INITiate:IMMediate")
    assert NUMBER.match(r.query("FETC?"))
    r.write("INIT;ABORt")
    r.write("SENSe:AVERage:COUNt 5")
    assert r.query("SENS:AVER?") == "5"
    r.write("aver 2")
    assert r.query("SENSe1:AVERage:COUNt?") == "2"
    assert r.query("AVER? MAX;AVER? MIN") == "20000;1"
    assert int(r.query("SENS:CORR:WAV?")) > 0
    assert r.query("CORR:WAV? MIN") == r.query("SENSe:CORRection:WAVelength? MAX")
    assert float(r.query("SENS:POW:DC:RANG:UPP?")) > 0
    assert float(r.query("POW:RANG?")) > 0
    assert errors(r) == []


def test_errors_reach_the_queue(serve):
    r = serve(1).resource()
    r.write("BOGUS")
    r.write("SENS:AVER")
    r.write("SENS:AVER 0")
    r.write("SENS:AVER 20001")
    r.write("SENS:CORR:WAV 633")
    r.write("SENS:POW:UNIT FURLONG")
    r.write("*IDN? extra")
    assert r.query("SYST:ERR:COUN?") == "7"
    assert int(r.query("*STB?")) & 4
    first = r.query("SYSTem:ERRor:NEXT?")
    assert first.startswith('-113,"Undefined header')
    assert errors(r) == [-109, -222, -222, -221, -224, -108]
    assert r.query("SYST:ERR?") == '0,"No error"'
    # Command error and execution error.
    assert int(r.query("*ESR?")) & 0x30 == 0x30
    # A flood of errors stays a queue of fixed depth, its last -350.
    for _ in range(40):
        r.write("NOPE")
    found = errors(r)
    assert len(found) == 16 and found[-1] == -350


def test_several_commands_in_one_line(serve):
    r = serve(1).resource()
    answer = r.query("*IDN?;:SENS:POW:UNIT DBM;UNIT?;:SENS:AVER 3;AVER?;:*OPC?")
    parts = answer.split(";")
    assert parts[0].startswith("Zelmora,")
    assert parts[1:] == ["DBM", "3", "1"]
    # The same reading in W and in dBm, on one line, agree.
    watts, dbm = (float(x) for x in r.query(":POW:UNIT W;:FETC?;:POW:UNIT DBM;:FETC?").split(";"))
    assert dbm == pytest.approx(10 * math.log10(watts * 1000), abs=1e-4)
    assert errors(r) == []


def test_relative_reading_and_zero(serve):
    r = serve(1).resource()
    watts = float(r.query("FETC?"))
    relative = float(r.query(f"SENS:POW:REF {watts:.6E};REF:STAT ON;:FETC?"))
    assert relative == pytest.approx(0, abs=1e-12)
    assert r.query("SENS:POW:REF:STAT?") == "1"
    r.write("SENS:POW:REF:STAT OFF")
    assert r.query("SENS:CORR:COLL:ZERO:STAT?") == "0"
    r.write("SENS:CORR:COLL:ZERO:INIT")
    assert r.query("*OPC?") == "1"
    assert r.query("SENS:CORR:COLL:ZERO:STAT?") == "1"
    zero = float(r.query("SENS:CORR:COLL:ZERO:MAGN?"))
    assert zero > 0
    # Later readings are taken less the zero: near 0 for a steady signal.
    assert abs(float(r.query("READ?"))) < zero
    r.write("*RST")
    assert r.query("SENS:CORR:COLL:ZERO:STAT?;:SENS:POW:UNIT?;:SENS:AVER?") == "0;W;1"
    assert errors(r) == []


def test_two_connections_to_one_meter_keep_their_own_settings(serve):
    server = serve(1)
    a = server.resource()
    b = server.resource()
    a.write("SENS:POW:UNIT DBM;:SENS:AVER 4")
    assert a.query("SENS:POW:UNIT?") == "DBM"
    assert b.query("SENS:POW:UNIT?") == "W"
    assert b.query("SENS:AVER?") == "1"
    assert 0 < float(b.query("MEAS?")) < 1000
    assert float(a.query("FETC?")) > -90
    assert a.query("*IDN?") == b.query("*IDN?")


def test_three_meters_on_three_ports_and_a_clean_stop(serve):
    server = serve(3)
    assert server.ports == [server.ports[0] + i for i in range(3)]
    serials = set()
    for i in range(3):
        r = server.resource(i)
        serials.add(r.query("*IDN?").split(",")[2])
        assert float(r.query("READ?")) > 0
    assert serials == {"210400101", "210400102", "210400103"}
    # SIGTERM with connections open: they close and the program ends well.
    still_open = server.resource(1)
    assert server.stop() == 0
    assert b"served 3 meters" in server.errors
    # pyvisa-py reports a closed connection either way.
    with pytest.raises((pyvisa.errors.VisaIOError, ConnectionError)):
        still_open.query("*IDN?")


def test_help_lists_every_header(serve):
    r = serve(1).resource()
    r.write("SYST:HELP:HEAD?")
    head = r.read_bytes(2)
    assert head[:1] == b"#"
    length = int(r.read_bytes(int(head[1:2])))
    body = r.read_bytes(length + 1)
    assert body.endswith(b"\n")
    lines = body.decode().split("\n")
    assert "MEASure#[:SCALar][:POWer]?/qonly/" in lines
    assert "[SENSe#]:AVERage[:COUNt]?" in lines
    assert r.query("*OPC?") == "1"
