"""Reads a record file of zelmora-cli back with Python's own csv and json
modules, as a user's script would, and checks it.

    check_records.py csv|jsonl FILE METERS COUNT [UNIT]

METERS meters, each with the counts 0 to COUNT-1 exactly once and in order
(COUNT 0: any number of counts from 0 on). Exits 1 with the reason on a
mismatch.
"""

import csv
import datetime
import json
import sys

STATUSES = {"ok", "over_range", "no_conversion", "zero_power"}


def fail(message):
    print("check_records: " + message, file=sys.stderr)
    sys.exit(1)


def fields(unit):
    return ["time_utc", "elapsed_s", "meter", "count", "power_" + unit, "status", "range",
            "wavelength_nm"]


def check_record(record, unit, counts):
    datetime.datetime.fromisoformat(record["time_utc"].replace("Z", "+00:00"))
    if not record["time_utc"].endswith("Z") or len(record["time_utc"]) != 24:
        fail("time not in ISO 8601 UTC with milliseconds: " + record["time_utc"])
    if record["status"] not in STATUSES:
        fail("unknown status " + record["status"])
    power = record["power_" + unit]
    if (power is None or power == "") != (record["status"] in ("no_conversion", "zero_power")):
        fail("power and status disagree: %r" % (record,))
    if power not in (None, ""):
        float(power)
    float(record["elapsed_s"])
    if record["status"] != "over_range":
        counts.setdefault(record["meter"], []).append(int(record["count"]))


def main():
    kind, path, meters, count = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    unit = sys.argv[5] if len(sys.argv) > 5 else "W"
    counts = {}
    described = []
    with open(path, newline="") as file:
        if kind == "csv":
            rows = list(csv.reader(file))
            header_at = next(i for i, row in enumerate(rows) if not row[0].startswith("#"))
            for row in rows[:header_at]:
                if len(row) != 1:
                    fail("a comment line of several fields: %r" % (row,))
                if row[0].startswith("# meter: "):
                    described.append(row[0].split()[2])
            if rows[header_at] != fields(unit):
                fail("header row %r" % (rows[header_at],))
            for row in rows[header_at + 1:]:
                if row[0].startswith("#"):
                    continue
                if len(row) != 8:
                    fail("a record of %d fields: %r" % (len(row), row))
                check_record(dict(zip(fields(unit), row)), unit, counts)
        else:
            lines = file.read().split("\n")
            if lines[-1] != "":
                fail("the last line has no LF")
            objects = [json.loads(line) for line in lines[:-1]]
            first = objects[0]
            if first.get("program") != "zelmora-cli" or first.get("fields") != fields(unit):
                fail("metadata object %r" % (first,))
            described = [meter["id"] for meter in first["meters"]]
            for record in objects[1:]:
                if "event" in record:
                    continue
                if list(record.keys()) != fields(unit):
                    fail("record keys %r" % (list(record.keys()),))
                check_record(record, unit, counts)
    if len(described) != meters or sorted(counts) != sorted(described):
        fail("meters described %r, meters recorded %r" % (described, sorted(counts)))
    for meter, seen in counts.items():
        expected = list(range(count if count else len(seen)))
        if seen != expected:
            fail("meter %s has the counts %r" % (meter, seen))
    print("%d records" % sum(len(seen) for seen in counts.values()))


main()
