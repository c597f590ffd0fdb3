"""Writes a small sample of every format that tolvanex reads into a temporary folder and
prints what `tolvanex.scan` returns for it, in full and in compact form."""

import gzip
import json
import pathlib
import sys
import tempfile

import h5py

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "build" / "python"))
sys.path.insert(0, str(HERE))

import tolvanex  # noqa: E402
from samples import (AEDT, COMSOL, DECK, FLOXML, ICEPAK, MESH, PACK, TAR_MEMBERS,  # noqa: E402
                     fluent_case, mechanical_db, tar_of, zip_of)

# File name and content, in the order the records are shown.
SAMPLES = {
    "busbar.mph": lambda: zip_of(COMSOL),
    "bracket.inp": lambda: DECK,            # names inc1.inc, which is read with it
    "inc1.inc": lambda: MESH,               # and, being a deck too, gets a record of its own
    "nozzle.cas.h5": fluent_case,
    "antenna.aedt": lambda: AEDT,
    "cooling.aedtz": lambda: zip_of([("Cooling/readme.txt", b"x"), ("Cooling/Cooling.aedt", ICEPAK)]),
    "bracket.mechdb": mechanical_db,
    "board.tzr": lambda: gzip.compress(tar_of(TAR_MEMBERS), mtime=0),
    "board.floxml": lambda: FLOXML,
    "fan.xml": lambda: b"<sm_xml_case><name>Fan tray</name></sm_xml_case>",  # FloXML by its first element
    "notes.xml": lambda: b"<project/>",    # not FloXML: passed over
    "board.pack": lambda: zip_of(PACK),
    "readme.txt": lambda: b"no supported suffix: passed over",
}


def write_samples(root: pathlib.Path) -> None:
    for name, make in SAMPLES.items():
        if make in (fluent_case, mechanical_db):
            with h5py.File(root / name, "w") as f:
                make(f)
        else:
            (root / name).write_bytes(make())


def pretty(value, indent=0, used=0):
    """JSON with every object or list that fits on its line (`used` columns taken) on one line."""
    flat = json.dumps(value, ensure_ascii=False)
    if used + len(flat) <= 100 or not value or not isinstance(value, (dict, list)):
        return flat
    inner = " " * (indent + 2)
    if isinstance(value, dict):
        items = []
        for key, item in value.items():
            head = f"{inner}{json.dumps(key, ensure_ascii=False)}: "
            items.append(head + pretty(item, indent + 2, len(head)))
    else:
        items = [inner + pretty(item, indent + 2, len(inner)) for item in value]
    return ("{\n" if isinstance(value, dict) else "[\n") + ",\n".join(items) + "\n" + " " * indent + \
        ("}" if isinstance(value, dict) else "]")


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        write_samples(pathlib.Path(tmp))
        try:
            full = tolvanex.scan([tmp])
            compact = tolvanex.scan([tmp], summary=True)
        except RuntimeError as error:
            sys.exit(f"scan failed: {error}")
    order = list(SAMPLES)
    for title, records in (("full", full), ("compact, summary=True", compact)):
        for record in sorted(records, key=lambda r: order.index(r["file_name"])):
            print(f"\n== {record['file_name']} ({title}) ==")
            print(pretty(record))
    formats = sorted({r["format"] for r in full})
    passed = sorted(set(order) - {r["file_name"] for r in full})
    print(f"\nscan of {len(order)} files: {len(full)} records of {len(formats)} formats "
          f"({', '.join(formats)}); passed over: {', '.join(passed)}")


if __name__ == "__main__":
    main()
