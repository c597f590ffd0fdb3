"""Fluent HDF5 files and Mechanical databases through tolvanex: the walk, the text forms of
attribute values and datatypes, the Mechanical streams, errors, and files on which the HDF5
library itself crashes or runs away. Every file is built here with h5py."""
import ctypes
import errno
import itertools
import os
import pathlib
import struct
import time
import zlib

import h5py
import numpy as np
import pytest

import tolvanex
from conftest import inspect_error, measured

PREFIX = "hdf5 error: hdf5 read failed: "


def data(path, fmt="auto", **kw):
    return tolvanex.inspect(str(path), format=fmt, **kw)["summary"]["data"]


def fluent(tmp_path, build, name="case.cas.h5", **kw):
    path = tmp_path / name
    with h5py.File(path, "w", **kw) as f:
        build(f)
    return path


def test_walk_order_and_hints(tmp_path):
    def build(f):
        f.attrs["version"] = np.uint64(7)
        for name in ("b", "a/c", "B", "aa", "Zones/bc_wall", "results", "Setup"):
            f.require_group(name)
        f["a"].attrs["x"] = np.int32(-5)
        f["Setup"].create_dataset("Model", data=np.zeros((2, 3), dtype="<f8"))
        f["results"].create_dataset("abc", shape=(0,), dtype="u1")
        f.create_dataset("a/c/x", data=np.arange(4, dtype=">i2"))
        f.create_dataset("b0", shape=(), dtype="u8")
        f.create_dataset("nothing", data=h5py.Empty("f8"))
        for i, name in enumerate([b"\xff", b"\xfe", b"z", b"\xef\xbf\xbd"]):  # not all UTF-8
            f["b"].attrs[name] = i
    d = data(fluent(tmp_path, build))
    assert d["root_attributes"] == [{"name": "version", "value": "U64(7)"}]
    assert [(g["path"], g["attributes"]) for g in d["groups"]] == [
        ("/B", []), ("/Setup", []), ("/Zones", []), ("/Zones/bc_wall", []),
        ("/a", [{"name": "x", "value": "I64(-5)"}]), ("/a/c", []), ("/aa", []),
        ("/b", [{"name": n, "value": f"I64({v})"} for n, v in [("z", 2), ("\ufffd", 3), ("\ufffd", 1), ("\ufffd", 0)]]),
        ("/results", [])]
    assert [(s["path"], s["shape"], s["dtype"]) for s in d["datasets"]] == [
        ("/Setup/Model", [2, 3], "F64"), ("/a/c/x", [4], "I16"), ("/results/abc", [0], "U8"),
        ("/b0", [], "U64"), ("/nothing", [], "F64")]
    assert d["hints"] == {
        "zone_paths": ["/Zones", "/Zones/bc_wall"],
        "boundary_paths": ["/Zones/bc_wall", "/results/abc"],
        "settings_paths": ["/Setup/Model"]}


def test_empty_file_record(tmp_path):
    d = data(fluent(tmp_path, lambda f: None))
    assert d == {"root_attributes": [], "groups": [], "datasets": [],
                 "hints": {"zone_paths": [], "boundary_paths": [], "settings_paths": []}}


ATTRIBUTES = [
    (np.uint64(2**64 - 1), "U64(18446744073709551615)"),
    (np.array([2**64 - 1, 1], dtype=np.uint64), "I64Array([-1, 1])"),
    (np.array([7], dtype=np.uint8), "U64(7)"),
    (np.array([1, -2], dtype=">i4"), "I64Array([1, -2])"),
    (np.float32(0.1), "F64(0.10000000149011612)"),
    (np.float32(1.5), "F64(1.5)"),
    (1e16, "F64(1e16)"),
    (1234.5, "F64(1234.5)"),
    (np.array([0.0001, -0.0, 1.5e-7, float("nan"), float("-inf")]),
     "F64Array([0.0001, -0.0, 1.5e-7, NaN, -inf])"),
    (h5py.Empty("f8"), "F64Array([])"),
    (h5py.Empty("i4"), "I64Array([])"),
    ('a"b\n\t\\', r'String("a\"b\n\t\\")'),
    ("é\u00a0\u200d\x1b", r'String("é\u{a0}\u{200d}\u{1b}")'),
    (np.bytes_(b"pad\0\0"), 'String("pad")'),
    (np.array([b"x", b"yz"], dtype="S3"), 'StringArray(["x", "yz"])'),
    (np.array(["p", "q"], dtype=h5py.string_dtype()), 'StringArray(["p", "q"])'),
    (b"\xff\xfe", 'String("\ufffd\ufffd")'),
]


def test_attribute_values(tmp_path):
    def build(f):
        for i, (value, _) in enumerate(ATTRIBUTES):
            f.attrs[f"a{i:02d}"] = value
        f.attrs.create("bits", np.zeros(1, dtype="u1"), dtype=h5py.opaque_dtype(np.dtype("V4")))
    d = data(fluent(tmp_path, build))
    assert [a["value"] for a in d["root_attributes"]] == [text for _, text in ATTRIBUTES]


def test_datatypes(tmp_path):
    enum = h5py.enum_dtype({"A": 0, "B": 1}, basetype="i1")
    types = [
        (np.dtype([("x", "<f8"), ("id", "<i4")]), 'Compound([("x", F64), ("id", I32)])'),
        (np.dtype(("<f8", (3,))), "Array(F64, [3])"),
        (enum, 'Enum(["A", "B"])'),
        (h5py.string_dtype(), "VariableLengthString"),
        (np.dtype("S4"), "String"),
        (h5py.ref_dtype, "ObjectReference"),
        (np.dtype("<f2"), 'Other("float16")'),
        (h5py.vlen_dtype(np.dtype("<i4")), 'Other("vlen{base=I32}")'),
        (np.dtype("V2"), 'Other("opaque{size=2}")'),
    ]

    def build(f):
        for i, (dtype, _) in enumerate(types):
            f.create_dataset(f"d{i}", shape=(1,), dtype=dtype)
    d = data(fluent(tmp_path, build))
    assert [s["dtype"] for s in d["datasets"]] == [text for _, text in types]


def patched(path, patch):
    raw = bytearray(path.read_bytes())
    patch(raw)
    path.write_bytes(bytes(raw))
    return path


def test_odd_integer_sizes(tmp_path):
    # h5py writes no 3-byte integers: a 4-byte type's size field is rewritten to 3.
    path = fluent(tmp_path, lambda f: f.create_dataset("i", shape=(2,), dtype="<u4"))

    def patch(raw):  # the datatype message: class 0 (integer), version 1, size 4
        at = raw.index(bytes([0x10, 0, 0, 0, 4, 0, 0, 0, 0, 0, 32, 0]))
        raw[at + 4], raw[at + 10] = 3, 24
    assert data(patched(path, patch))["datasets"][0]["dtype"] == 'Other("u24")'


def test_errors(tmp_path):
    good = fluent(tmp_path, lambda f: f.create_group("g"))
    (tmp_path / "notes.cas.h5").write_bytes(b"not hdf5 at all" * 100)
    (tmp_path / "empty.cas.h5").write_bytes(b"")
    (tmp_path / "cut.cas.h5").write_bytes(good.read_bytes()[:600])
    assert inspect_error(tmp_path / "missing.cas.h5") == (
        PREFIX + "I/O error: No such file or directory (os error 2)")
    signature = PREFIX + "HDF5 format error: HDF5 signature not found at any valid offset"
    assert inspect_error(tmp_path / "notes.cas.h5") == signature
    assert inspect_error(tmp_path / "empty.cas.h5") == signature
    assert inspect_error(tmp_path / "cut.cas.h5").startswith(PREFIX + "HDF5 format error: truncated file")


def test_hard_link_cycle_ends(tmp_path):
    def build(f):
        f.create_group("a/b")
        f["a/b/up"] = f["a"]
        f["a/self"] = f["a"]
        f["a/b"].create_dataset("x", data=[1])
    d = data(fluent(tmp_path, build))
    assert [g["path"] for g in d["groups"]] == ["/a", "/a/b", "/a/b/up", "/a/self"]
    assert [s["path"] for s in d["datasets"]] == ["/a/b/x"]


def doubled(levels):  # each level's group linked twice from the level above
    def build(f):
        for _ in range(levels):
            f["b"] = f = f.create_group("a")
    return build


def knit(f):  # nine sibling groups that each link all the others
    for g, h in itertools.permutations([f.create_group(f"s{i}") for i in range(9)], 2):
        g[h.name[1:]] = h


@pytest.mark.parametrize("build, levels", [(doubled(15), 15), (doubled(16), 0), (doubled(60), 0), (knit, 0)])
def test_shared_groups_bounded(tmp_path, build, levels):
    path = fluent(tmp_path, build, libver="latest")
    result, growth = measured("[g['path'] for g in tolvanex.inspect(path)['summary']['data']['groups']]", path)
    words = sorted("/" + "/".join(w) for k in range(1, levels + 1) for w in itertools.product("ab", repeat=k))
    shared = PREFIX + "groups and datasets linked from several places repeat more than 16 MiB of the tree"
    assert (result, growth < 64) == (repr(words or shared), True)


# Datatype messages as h5py writes them: integer or float, 8 bytes, bit offset 0, precision 64;
# a float's exponent at bit 52 (11 bits), its mantissa at bit 0 (52 bits).
U64_TYPE = bytes([0x10, 0, 0, 0, 8, 0, 0, 0, 0, 0, 64, 0])
F64_TYPE = bytes([0x11, 0x20, 0x3F, 0, 8, 0, 0, 0, 0, 0, 64, 0, 52, 11, 0, 52])


@pytest.mark.parametrize("encoded, at, field", [  # bits past the element or outside the precision
    (U64_TYPE, 8, b"\0\2"), (U64_TYPE, 10, b"\0\x10"), (F64_TYPE, 8, b"\0\2"), (F64_TYPE, 12, b"\xc8")])
def test_damaged_number_types_read_nothing(tmp_path, encoded, at, field):
    def build(f):
        f.attrs.update({"f": 1.5, "fs": [1.5, 2.5], "u": np.uint64(5), "us": np.array([5, 6], dtype="u8")})
        f.create_dataset("d", shape=(1,), dtype="u8")
    noise = fluent(tmp_path, lambda f: [f.attrs.create(f"n{i}", np.arange(i, i + 99, dtype="u8")) for i in range(40)],
                   name="n.cas.h5")
    paths = [fluent(tmp_path, build), pathlib.Path(mechdb(tmp_path / "m.mechdb", {"s": (b"x" * 100, np.uint64(10))}))]
    for p in paths:  # every message of the type, one field rewritten
        p.write_bytes(p.read_bytes().replace(encoded, encoded[:at] + field + encoded[at + len(field):]))
    alone = [tolvanex.inspect(str(p)) for p in paths]
    u = encoded == U64_TYPE
    assert (alone[0]["summary"]["data"]["datasets"][0]["dtype"], alone[1]["summary"]["data"]["streams"]) == (
        "U64", [{"name": "/s", "used_bytes": 100 if u else 10}])
    assert [a["value"] for a in alone[0]["summary"]["data"]["root_attributes"]] == (
        ["F64(1.5)", "F64Array([1.5, 2.5])"] if u else ["U64(5)", "I64Array([5, 6])"])
    for order in ([noise, *paths, noise, paths[0]], [paths[1], noise, paths[0]]):  # what was read before
        records = tolvanex.scan([str(p) for p in order])
        assert [r for r, p in zip(records, order) if p != noise] == [alone[paths.index(p)] for p in order if p != noise]


def old_style(tmp_path):
    return fluent(tmp_path, lambda f: [f.create_group(f"g{i}") for i in range(3)],
                  name="old.cas.h5", libver="earliest")


def self_child(raw):  # the root group's B-tree node: one level up, its own first child
    at = raw.index(b"TREE")
    raw[at + 5] = 1
    struct.pack_into("<Q", raw, at + 32, at)


def own_sibling(raw):
    at = raw.index(b"TREE")
    struct.pack_into("<Q", raw, at + 16, at)


def heap_free_list_loop(raw):  # the local heap's free block names itself as the next one
    at = raw.index(b"HEAP")
    _, free, base = struct.unpack_from("<QQQ", raw, at + 8)
    struct.pack_into("<Q", raw, base + free, free)


def repeated_name(raw):  # two symbol table entries named alike: an index leading back
    at = raw.index(b"g1\0")
    raw[at + 1] = ord("0")


@pytest.mark.parametrize("patch, expected", [
    (repeated_name, PREFIX + "HDF5 format error: a link index repeats itself"),
    (self_child, PREFIX + "HDF5 library failed on this file (killed by signal 11)"),
    (heap_free_list_loop, PREFIX + "HDF5 format error: "),  # unbounded allocation, capped
    (own_sibling, None),  # the walk never follows sibling pointers
])
def test_damage_that_breaks_the_library(tmp_path, patch, expected):
    path = patched(old_style(tmp_path), patch)
    start = time.monotonic()
    if expected is None:
        assert [g["path"] for g in data(path)["groups"]] == ["/g0", "/g1", "/g2"]
    else:
        assert inspect_error(path).startswith(expected)
    assert time.monotonic() - start < 20


def test_caller_state_untouched(tmp_path):
    fds = len(os.listdir("/proc/self/fd"))
    good = fluent(tmp_path, lambda f: f.create_group("g"))
    bad = patched(old_style(tmp_path), self_child)
    failed = PREFIX + "HDF5 library failed on this file (killed by signal 11)"
    for _ in range(10):
        data(good)
        inspect_error(bad)
        with pytest.raises(RuntimeError) as info:  # the scan's worker crashes on the middle file
            tolvanex.scan([str(good), str(bad), str(good)])
        assert str(info.value) == failed
        assert tolvanex.scan([str(good)] * 3) == [tolvanex.inspect(str(good))] * 3
    assert len(os.listdir("/proc/self/fd")) == fds
    with pytest.raises(ChildProcessError):
        os.waitpid(-1, os.WNOHANG)  # no child left, reaped or not
    lib = ctypes.CDLL("libhdf5_serial.so.103")
    func, client = ctypes.c_void_p(), ctypes.c_void_p()
    assert lib.H5Eget_auto2(ctypes.c_int64(0), ctypes.byref(func), ctypes.byref(client)) == 0
    assert func.value is not None  # automatic error printing still on in this process
    assert lib.H5Fget_obj_count(ctypes.c_int64(0x1F), ctypes.c_uint(0x1F)) == 0


# --- Mechanical databases ---------------------------------------------------------------

def utf16(text):
    return b"\x01\x00\x00\x00" + text.encode("utf-16-le")


def mechdb(path, streams):
    """streams: {name: bytes, or (bytes, used size), or a shape to declare without data}."""
    with h5py.File(path, "w") as f:
        for name, value in streams.items():
            if isinstance(value, int):
                f.create_dataset(name, shape=(value,), dtype="u1")
                continue
            raw, used = value if isinstance(value, tuple) else (value, None)
            d = f.create_dataset(name, data=np.frombuffer(raw, dtype="u1"), chunks=True,
                                 compression="gzip")
            if used is not None:
                d.attrs["UsedSize"] = used
    return str(path)


INVENTORY = "\0".join([
    "|,17,105,Static Structural", " | , 3 , 105 , Modal ", "|,x,105,A", "|,3,105", "|,3,105,",
    "|,1,400,[NoName]", "|,1,400,   ", "|,1,400,C:\\parts\\bracket.agdb", "|,1,400,folder/",
    "|,2,406,Steel", "|,2,406,Steel", "|,4,+4294967295,Part, copy", "|,4,4294967296,x",
    "|,5,575,Bonded", "|,6,403,Force", "|,7,520,Total Deformation"])
PARTS = b"\0X:\\cad\\Pump.STEP\0abc\0a.x_t\x01model.stepx\0/b/c.IGS\0.stp\0"


def test_mechanical_record(tmp_path):
    path = mechdb(tmp_path / "m.mechdb", {
        "Version Info Stream": (utf16("\0|2024|x| 25.1 |y|Release|\0"), np.uint64(46)),
        "DS Objects Information": utf16(INVENTORY),
        "Part Manager Stream": b"\0\0\0\0" + zlib.compress(PARTS)[:-2],  # cut checksum: no failure
        "extra/signed": (b"x" * 100, np.int64(10)),
    })
    os.mkdir(tmp_path / "m_Mech_Files")
    assert data(path) == {
        "mechanical_version": "25.1", "database_format_version": "2024", "release_kind": "Rel",
        "object_count": 13,
        "object_type_counts": [{"type_id": t, "count": n} for t, n in
                               [(105, 3), (400, 4), (403, 1), (406, 2), (520, 1), (575, 1), (2**32 - 1, 1)]],
        "analyses": ["Modal", "Static Structural"], "bodies": ["", "bracket.agdb"],
        "materials": ["Steel"], "contacts": ["Bonded"], "loads_and_conditions": ["Force"],
        "results": ["Total Deformation"], "geometry_sources": [".stp", "Pump.STEP", "a.x_t", "c.IGS"],
        "streams": [{"name": "/extra/signed", "used_bytes": 100},
                    {"name": "/DS Objects Information", "used_bytes": 4 + 2 * len(INVENTORY)},
                    {"name": "/Part Manager Stream", "used_bytes": 4 + len(zlib.compress(PARTS)) - 2},
                    {"name": "/Version Info Stream", "used_bytes": 46}],
        "sidecars": {"lock_file_present": False, "project_files_dir_present": True},
        "content_truncated": False}


BUDGET = 2_097_152


@pytest.mark.parametrize("streams, truncated, sources", [
    ({}, False, []),
    ({"Part Manager Stream": b"PMS!" + zlib.compress(b"a.step" + b"\0" * (BUDGET - 6))}, False, ["a.step"]),
    ({"Part Manager Stream": b"PMS!" + zlib.compress(b"\0" * (BUDGET - 5) + b"a.step")}, True, []),
    ({"Part Manager Stream": b"PMS!" + b"\x78\x9c garbage"}, False, []),
    ({"Version Info Stream": utf16("|1|2|3|") + b"\0" * BUDGET}, True, []),
    ({"Part Manager Stream": 2**40}, True, []),  # a terabyte declared, nothing stored
])
def test_mechanical_budget(tmp_path, streams, truncated, sources):
    d = data(mechdb(tmp_path / "m.mechdat", streams))
    assert (d["content_truncated"], d["geometry_sources"]) == (truncated, sources)


def test_mechanical_sidecars_on_raw_path_bytes(tmp_path):
    base = os.fsencode(tmp_path)
    path = base + b"/caf\xe9.mechdb"
    mechdb(path.decode("utf-8", "surrogateescape"), {})
    for sidecar, make in [(path + b".lock", lambda p: open(p, "wb").close()),
                          (base + b"/caf\xe9_Mech_Files", os.mkdir)]:
        make(sidecar)
    records = tolvanex.scan([str(tmp_path)])
    assert [r["file_name"] for r in records] == ["caf\ufffd.mechdb"]
    assert records[0]["summary"]["data"]["sidecars"] == {
        "lock_file_present": True, "project_files_dir_present": True}


def test_compact_records_through_scan(tmp_path):
    fluent(tmp_path, lambda f: [f.create_dataset(f"zone{i}", shape=(1,), dtype="u1") for i in range(9)])
    mechdb(tmp_path / "m.mechdb", {"Version Info Stream": utf16("A|B")})
    records = {r["format"]: r for r in tolvanex.scan([str(tmp_path)], summary=True)}
    f = records["fluent-hdf5"]["summary"]["data"]
    assert (f["datasets"]["total"], len(f["datasets"]["sample"]), f["datasets"]["truncated"]) == (9, 8, True)
    assert f["zone_paths"]["total"] == 9
    m = records["ansys-mechanical"]["summary"]["data"]
    assert (m["database_format_version"], m["mechanical_version"], m["release_kind"]) == ("A", None, None)
