"""Icepak archives (.tzr) through tolvanex: tar streams from tarfile and hand-built headers,
plain and gzip-wrapped, with the exact record or error of each."""
import gzip
import io
import os
import struct
import subprocess
import sys
import tarfile
import zlib

import pytest

import tolvanex
from conftest import inspect_error, measured

USTAR, GNU, OLD = b"ustar\x0000", b"ustar  \x00", b"\x00" * 8


def header(name=b"f", size=b"0", kind=b"0", magic=USTAR, signed=False, at=(), cks=b"%06o\x00 "):
    """One header block; `at` holds (offset, bytes) pairs placed last, before the checksum."""
    h = bytearray(512)
    for offset, data in [(0, name), (124, size), (156, kind), (257, magic), *at]:
        h[offset:offset + len(data)] = data
    h[148:156] = b" " * 8
    h[148:156] = (cks % sum(b - 256 if signed and b > 127 else b for b in h)).ljust(8, b"\x00")
    return bytes(h)


def member(name, data=b"", kind=b"0", magic=USTAR, size=None, **kw):
    size = b"%011o" % len(data) if size is None else size
    return header(name, size, kind, magic, **kw) + data + bytes(-len(data) % 512)


def rec(key, value):
    """One pax record, its length counting its own digits."""
    body = b" %s=%s\n" % (key, value)
    n = len(body) + 1
    while len(str(n)) + len(body) != n:
        n += 1
    return b"%d" % n + body


def pax(body, kind=b"x", magic=USTAR):
    return member(b"PaxHeader", body, kind, magic)


def archive(members=(), fmt=tarfile.GNU_FORMAT, **kw):
    """A tarfile archive of (name, size, type) members."""
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=fmt, **kw) as tar:
        for name, size, kind in members:
            info = tarfile.TarInfo(name)
            info.size, info.type = size, kind
            tar.addfile(info, io.BytesIO(bytes(size)))
    return out.getvalue()


GZ_HEAD, GIB = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 2**30


def deflated(data):
    """A gzip member left open after `data`, then 0x07: a deflate block of the invalid type 3."""
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    return GZ_HEAD + c.compress(data) + c.flush(zlib.Z_SYNC_FLUSH) + b"\x07"


def gz_repeated(parts):
    """A gzip member of (bytes, times) parts, each compressed once and its deflate repeated."""
    out, crc, size = [GZ_HEAD], 0, 0
    for data, times in parts:
        c = zlib.compressobj(9, zlib.DEFLATED, -15)
        out.append((c.compress(data) + c.flush(zlib.Z_FULL_FLUSH)) * times)
        for _ in range(times):
            crc = zlib.crc32(data, crc)
        size += len(data) * times
    return b"".join(out + [zlib.compressobj(9, zlib.DEFLATED, -15).flush(), struct.pack("<II", crc, size % 2**32)])


def data_of(tmp_path, data, gz=False, summary=False):
    (tmp_path / "a.tzr").write_bytes(gzip.compress(data) if gz else data)
    return tolvanex.inspect(str(tmp_path / "a.tzr"), summary=summary)["summary"]["data"]


def listed(tmp_path, data):
    return [(e["name"], e["entry_type"], e["bytes"]) for e in data_of(tmp_path, data)["entries"]]


REG, DIR = tarfile.REGTYPE, tarfile.DIRTYPE
PROJECT = [("proj", 0, DIR), ("proj/job", 3, REG), ("proj/model", 700, REG), ("proj/data/a.dat", 5, REG)]
ENTRIES = [("proj/", "directory", 0), ("proj/job", "file", 3), ("proj/model", "file", 700),
           ("proj/data/a.dat", "file", 5)]


@pytest.mark.parametrize("gz", [False, True])
def test_project_record_full_compact_and_scanned(tmp_path, gz):
    entries = [{"name": n, "entry_type": t, "bytes": b} for n, t, b in ENTRIES]
    head = {"project_name": "proj", "gzip_compressed": gz, "entry_count": 4, "file_count": 3,
            "directory_count": 1, "uncompressed_bytes": 708, "job_file_present": True,
            "model_file_present": True}
    assert data_of(tmp_path, archive(PROJECT), gz) == {**head, "entries": entries, "truncated": False}
    compact = data_of(tmp_path, archive(PROJECT), gz, summary=True)
    sample = {"total": 4, "sample": entries, "truncated": False}
    assert compact == {**head, "entries": sample, "source_truncated": False}
    (scanned,) = tolvanex.scan([str(tmp_path)])
    assert (scanned["file_name"], scanned["format"]) == ("a.tzr", "icepak-tzr")
    assert scanned["summary"]["data"]["entries"] == entries


TOO_SHORT = "Icepak TZR archive is too short to contain a tar stream"
NO_ENTRIES = "Icepak TZR archive did not contain any tar entries"
CUT_HEADER = "io error: tar archive ended inside a header block"
CUT_DATA = "io error: tar archive ended inside entry data"
FILE = member(b"f", b"abc")
EXT = "io error: tar archive has two {} for one entry"
BAD_CRC = gzip.compress(FILE)[:-8] + bytes(8)


@pytest.mark.parametrize("data, message", [
    (b"", TOO_SHORT), (b"x", TOO_SHORT), (bytes(512), NO_ENTRIES), (bytes(512) + FILE, NO_ENTRIES),
    (b"ab" * 100, CUT_HEADER), (FILE + b"\x01", CUT_HEADER), (FILE[:600], CUT_DATA),
    (member(b"f", size=b"%011o" % 5000), CUT_DATA),
    (member(b"f", size=b"\x80" + b"\xff" * 11), CUT_DATA),  # padding of 2^64-1 must not wrap
    (header(cks=b"7%05o\x00 "), "io error: tar header checksum mismatch"),
    (header(b"\xe9t\xe9", signed=True), "io error: tar header checksum mismatch"),
    (header(cks=b"9%05o \x00"), "io error: tar header has an invalid checksum field"),
    (header(size=b"12a"), "io error: tar header has an invalid size field"),
    (header(size=b" \x00 7"), "io error: tar header has an invalid size field"),
    (pax(rec(b"path", b"a")), "io error: tar archive ended after an extended header without its entry"),
    (pax(b"") * 2 + FILE, EXT.format("pax extended headers")),
    (pax(b"a\x00", b"L", GNU) * 2 + FILE, EXT.format("GNU long names")),
    (pax(b"a\x00", b"K", USTAR) * 2 + FILE, EXT.format("GNU long links")),
    (gzip.compress(b""), NO_ENTRIES), (b"\x1f\x8b", "io error: unexpected end of compressed data"),
    (b"\x1f\x8bgarbage..", "io error: invalid gzip header"), (BAD_CRC, "io error: invalid checksum"),
    (gzip.compress(FILE)[:-20], "io error: unexpected end of compressed data"),
    (deflated(FILE), "io error: invalid compressed data"),
    (gzip.compress(member(b"f", size=b"%011o" % 5000)), CUT_DATA),
    (member(b"s", kind=b"S"), "io error: tar sparse entry without a GNU header"),
    (member(b"s", kind=b"S", magic=GNU, at=[(482, b"\x01"), (483, b"1")]), CUT_HEADER),
    (member(b"s", kind=b"S", magic=GNU, at=[(483, b"zz")]), "io error: tar header has an invalid real-size field"),
])
def test_error_texts(tmp_path, data, message):
    (tmp_path / "a.tzr").write_bytes(data)
    assert inspect_error(tmp_path / "a.tzr", "tzr") == message


def test_directory_is_too_short(tmp_path):
    assert inspect_error(tmp_path, "tzr") == TOO_SHORT


@pytest.mark.parametrize("data, message", [(b"x", TOO_SHORT), (FILE * 200, "io error: Illegal seek (os error 29)")])
def test_fifo_is_read_then_fails_to_seek_back(tmp_path, data, message):
    fifo, source = tmp_path / "a.tzr", tmp_path / "data"
    os.mkfifo(fifo), source.write_bytes(data)
    copy = "import sys\ntry: open(sys.argv[2], 'wb').write(open(sys.argv[1], 'rb').read())\nexcept BrokenPipeError: pass"
    writer = subprocess.Popen([sys.executable, "-c", copy, str(source), str(fifo)])
    assert inspect_error(fifo) == message
    writer.wait()


@pytest.mark.parametrize("size, cks, value", [
    (b"17", b"%06o\x00 ", 15), (b"  17  \x00", b"%07o\x00", 15), (b"\t0000000017\x00xyz", b" %06o ", 15),
    (b"\x80" + bytes(3) + (600).to_bytes(8, "big"), b"%o", 600),
    (b"\xff\x12\x34\x56" + (600).to_bytes(8, "big"), b"  %o\x00", 600),  # only the last eight count
])
def test_numeric_fields(tmp_path, size, cks, value):
    data = member(b"f", bytes(value), size=size, cks=cks) + member(b"g", b"z")
    assert listed(tmp_path, data) == [("f", "file", value), ("g", "file", 1)]


SPARSE = (member(b"s", kind=b"S", magic=GNU, at=[(482, b"\x01"), (483, b"%011o" % 70000)])
          + bytes(504) + b"\x01" + bytes(7) + bytes(511) + b"\x01")
PAX_PATH = rec(b"mtime", b"1") + rec(b"path", b"") + rec(b"path", b"p/a") + rec(b"path", b"p/b")


@pytest.mark.parametrize("data, entries", [
    (member(b"proj\\model") + member(b"././a/b") + member(b"./") + member(b"/abs") + member(b"\xffa"),
     [("proj/model", "file", 0), ("a/b", "file", 0), ("", "file", 0), ("/abs", "file", 0), ("\ufffda", "file", 0)]),
    (b"".join(member(b"t", kind=bytes([k])) for k in b"\x0012345679gZ"),
     [("t", t, 0) for t in ["file", "hard-link", "symlink", "other", "other", "directory", "other",
                             "other", "other", "other", "other"]]),
    (pax(b"12 path=abc\n", b"x", OLD) + pax(b"x\x00", b"L", OLD) + pax(b"", b"K", OLD),
     [("PaxHeader", "other", 12), ("PaxHeader", "other", 2), ("PaxHeader", "other", 0)]),
    (pax(rec(b"comment", b"hi"), b"g") + member(b"n", at=[(345, b"pre/fix")])
     + member(b"n", magic=GNU, at=[(345, b"pre")]) + member(b"n", magic=OLD, at=[(345, b"pre")]),
     [("PaxHeader", "other", 14), ("pre/fix/n", "file", 0), ("n", "file", 0), ("n", "file", 0)]),
    (pax(PAX_PATH + rec(b"size", b"3") + rec(b"size", b"1")) + member(b"f", b"abc", size=b"%011o" % 9999)
     + pax(b"9 path=zz\n" + rec(b"size", b"3")) + member(b"g"),
     [("p/a", "file", 9999), ("g", "file", 0)]),
    (pax(b"long/name\x00", b"L", GNU) + pax(b"target", b"K", GNU) + member(b"short", magic=GNU)
     + pax(rec(b"path", b"pax")) + pax(b"gnu\x00\x00", b"L", GNU) + member(b"short"),
     [("long/name", "file", 0), ("gnu\x00", "file", 0)]),
    (gzip.compress(FILE) + gzip.compress(FILE), [("f", "file", 3)]),  # the first member only
    (gzip.compress(FILE + bytes(1024))[:-8] + bytes(8), [("f", "file", 3)]),  # its trailer unread
    (deflated(FILE + bytes(512)), [("f", "file", 3)]),  # corrupt data past the end, unread
    (pax(b"p/" + b"a" * 65533 + b"\x00b\x00", b"L", GNU) + member(b"n", magic=GNU),  # a NUL at a read's end
     [("p/" + "a" * 65533 + "\x00b", "file", 0)]),
    (pax(b"./" * 32768 + b".", b"L", GNU) + member(b"n", magic=GNU) + pax(b"./" * 40000 + b".\\p\\", b"L", GNU)
     + member(b"n", magic=GNU), [(".", "file", 0), ("p/", "file", 0)]),
    (SPARSE + member(b"after", b"xy"), [("s", "other", 70000), ("after", "file", 2)]),
    (archive([("d/" + "n" * 150, 3, REG)], tarfile.PAX_FORMAT, pax_headers={"comment": "c"}),
     [("@PaxHeader", "other", 13), ("d/" + "n" * 150, "file", 3)]),
    (archive([("e/" + "é" * 90, 0, REG)], tarfile.GNU_FORMAT), [("e/" + "é" * 90, "file", 0)]),
])
def test_names_types_and_extended_headers(tmp_path, data, entries):
    assert listed(tmp_path, data) == entries


@pytest.mark.parametrize("names, project, job, model", [
    ([b"PROJ/JOB", b"PROJ/x/Model"], "PROJ", True, True),
    ([b"proj/job.txt", b"proj/model/", b"proj/jobs"], "proj", False, False),
    ([b"proj/a", b"other/b"], None, False, False), ([b"proj/a", b"readme"], None, False, False),
    ([b"readme", b"proj/a"], None, False, False), ([b"/abs/job"], None, True, False),
    ([b"./", b"job"], None, True, False), ([b"p/a", b"q/b", b"p/c"], None, False, False),
])
def test_project_name_and_presence_flags(tmp_path, names, project, job, model):
    data = data_of(tmp_path, b"".join(member(n, kind=b"5") for n in names))
    assert (data["project_name"], data["job_file_present"], data["model_file_present"]) == (project, job, model)
    assert (data["entry_count"], data["directory_count"], data["file_count"]) == (len(names), len(names), 0)


@pytest.mark.parametrize("names, lengths, project", [
    # 1,000,000 + 1,200,000 bytes exceed the 2 MiB budget; 1,000,000 + 900,000 do not.
    ([b"p/" + c * (n - 2) for c, n in [(b"a", 1_000_000), (b"b", 1_200_000), (b"c", 900_000)]],
     [1_000_000, 900_000], "p"),
    ([b"p/" + b"a" * (2**21 - 4)] + [b"./"] * 3, [2**21 - 2, 0, 0], None),  # an empty name costs a byte
    ([b"\xe0\x80q/" + b"z" * 2**21, b"\xef\xbf\xbd\xef\xbf\xbdq/" + b"z" * 2**21, b"\xe0\x80q/job"],
     [len("\ufffd\ufffdq/job".encode())], "\ufffd\ufffdq"),
])
def test_budget_drops_names_that_do_not_fit_and_counts_all(tmp_path, names, lengths, project):
    data = b"".join(pax(name + b"\x00", b"L", GNU) + member(b"x", b"ab", magic=GNU) for name in names)
    full = data_of(tmp_path, data)
    assert [len(e["name"].encode()) for e in full["entries"]] == lengths
    assert (full["truncated"], full["entry_count"], full["uncompressed_bytes"], full["project_name"]) == (
        True, len(names), 2 * len(names), project)
    compact = data_of(tmp_path, data, summary=True)
    assert (compact["entries"]["total"], compact["source_truncated"]) == (len(lengths), True)


@pytest.mark.parametrize("parts, picked, mib", [
    # Two million names "./" and more: each listed one costs a byte.
    ([(member(b"./", kind=b"5") * 2048, 1100)], (2048 * 1100, 2**21, None, False), 400),
    # A GiB long name, a GiB pax path: only their first component and end are needed.
    ([(header(b"L", b"%011o" % (GIB + 6), b"L", GNU) + b"p/", 1), (b"a" * 2**20, 1024),
      (b"/JOB" + bytes(506) + member(b"x", magic=GNU), 1)], (1, 0, "p", True), 64),
    ([(member(b"p/job") + header(b"x", b"%011o" % (GIB + 19), b"x") + b"%d path=p/" % (GIB + 19), 1),
      (b"b" * 2**20, 1024), (b"\n" + bytes(493) + member(b"x"), 1)], (2, 1, "p", True), 64),
])
def test_bombs_cost_what_the_record_keeps(tmp_path, parts, picked, mib):
    (tmp_path / "a.tzr").write_bytes(gz_repeated(parts + [(bytes(1024), 1)]))
    expr = ("(lambda d: (d['entry_count'], d['entries']['total'], d['project_name'], d['job_file_present']))"
            "(tolvanex.inspect(path, summary=True)['summary']['data'])")
    result, growth = measured(expr, tmp_path / "a.tzr")
    assert result == repr(picked)
    assert growth < mib


def test_sizes_sum_saturates(tmp_path):
    huge = member(b"a", size=b"\x80" + bytes(3) + (2**63).to_bytes(8, "big"))
    data = data_of(tmp_path, (pax(rec(b"size", b"0")) + huge) * 2)
    assert [e["bytes"] for e in data["entries"]] == [2**63, 2**63]
    assert data["uncompressed_bytes"] == 2**64 - 1
