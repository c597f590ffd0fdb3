"""COMSOL model archives (.mph) through tolvanex.inspect: the inventory, the five root
members, the order in which failures are reported, and members too large to hold."""
import binascii
import pathlib
import sys
import zipfile
import zlib

import pytest

import tolvanex
from conftest import inspect_error, measured

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "fixtures"))
from make_zip_fixtures import DEFLATE, Entry, build_zip, raw_deflate  # noqa: E402

EMPTY = {
    "schema": None, "saved_in": None, "title": None, "description": None, "comsol_version": None,
    "node_type": None, "is_runnable": None, "parameters": [], "physics_tags": [], "study_tags": [],
    "material_tags": [], "used_licenses": [], "size_breakdown": [], "entries": [],
}
UTF8 = "io error: stream did not contain valid UTF-8"


def mph(tmp_path, entries, name="model.mph"):
    """An archive of (name, bytes) pairs or hand-made Entry records, in that order."""
    path = tmp_path / name
    path.write_bytes(build_zip([e if isinstance(e, Entry) else Entry(e[0], e[1]) for e in entries]))
    return str(path)


def record(path):
    result = tolvanex.inspect(path)
    assert (result["format"], result["summary"]["kind"]) == ("comsol-mph", "comsol-mph")
    return result["summary"]["data"]


def bad_crc(name, data):
    return Entry(name, data, crc=binascii.crc32(data) ^ 1)


def param(name, value=None, reference=None):
    return {"name": name, "value": value, "reference": reference}


def test_full_record(tmp_path):
    files = {
        "fileversion": "1882: COMSOL 6.1.0.357\n",
        "modelinfo.xml": '<?xml version="1.0"?>\n<ModelInfo isRunnable="true"><Title>Beam</Title><Description> A beam '
                         '</Description><ComsolVersion>COMSOL 6.1</ComsolVersion><NodeType attr="x">Model</NodeType>'
                         "</ModelInfo>",
        "dmodel.xml": '<model><param param="L" value="2[m]" reference="len"/><physics tag="solid"/><study tag="std1"/>'
                      '<material tag="mat2"/></model>',
        "smodel.json": '{"nodes":[{"tag":"ht","apiClass":"Physics"},{"tag":"mat1","type":"Material"},'
                       '{"tag":"solid","type":"physics"}]}',
        "usedlicenses.txt": "COMSOL\r\nSTRUCTURALMECHANICS\r\n",
        "savepoint1/": "", "savepoint1/solution1.mphbin": "s" * 100, "mesh/mesh1.mphbin": "m" * 30,
        "geometry/geom1.mphbin": "g" * 20, "data.mphbin": "b" * 7,
    }
    # Written by Python's zipfile, each entry by another of the common methods.
    methods = [zipfile.ZIP_DEFLATED, zipfile.ZIP_STORED, zipfile.ZIP_BZIP2, zipfile.ZIP_LZMA]
    with zipfile.ZipFile(tmp_path / "beam.mph", "w") as z:
        for i, (name, text) in enumerate(files.items()):
            z.writestr(name, text, compress_type=methods[i % 4])
    assert record(str(tmp_path / "beam.mph")) == {
        "schema": "1882", "saved_in": "COMSOL 6.1.0.357", "title": "Beam", "description": "A beam",
        "comsol_version": "COMSOL 6.1", "node_type": "Model", "is_runnable": True,
        "parameters": [param("L", "2[m]", "len")], "physics_tags": ["ht", "solid"], "study_tags": ["std1"],
        "material_tags": ["mat1", "mat2"], "used_licenses": ["COMSOL", "STRUCTURALMECHANICS"],
        "size_breakdown": [{"bucket": "binary", "bytes": 7},
                           {"bucket": "data", "bytes": sum(len(files[n]) for n in list(files)[:5])},
                           {"bucket": "geometry", "bytes": 20}, {"bucket": "mesh", "bytes": 30},
                           {"bucket": "solution", "bytes": 100}],
        "entries": sorted(files),
    }


@pytest.mark.parametrize("data, message", [
    (build_zip([]), None),
    (b"", "zip error: invalid Zip archive: end of central directory record not found"),
    (b"not a zip archive at all", "zip error: invalid Zip archive: end of central directory record not found"),
])
def test_empty_and_not_an_archive(tmp_path, data, message):
    path = tmp_path / "x.mph"
    path.write_bytes(data)
    assert (record(str(path)) == EMPTY) if message is None else inspect_error(path, "comsol-mph") == message


def test_entries_sorted_by_bytes_and_bucketed(tmp_path):
    names = ["b.txt", "A/", "a.txt", "Savepoint1/model.txt", "results/savepoint1/x", "mesh_solution.bin",
             "GeomManager/a", "x.MPHBIN", "a/Geometry.txt", "MESH1.mphbin", "x.mphbin/", "SOLUTIONS"]
    data = record(mph(tmp_path, [(name, b"x" * 2**i) for i, name in enumerate(names)]))
    assert data["entries"] == sorted(names)
    assert data["size_breakdown"] == [
        {"bucket": "binary", "bytes": 128}, {"bucket": "data", "bytes": 1 + 2 + 4 + 16 + 1024},
        {"bucket": "geometry", "bytes": 64 + 256}, {"bucket": "mesh", "bytes": 512},
        {"bucket": "solution", "bytes": 8 + 32 + 2048}]
    # A bucket of empty entries is listed; sums saturate.
    assert record(mph(tmp_path, [("savepoint1/", b"")]))["size_breakdown"] == [{"bucket": "solution", "bytes": 0}]
    small = raw_deflate(b"x" * 1000)
    data = record(mph(tmp_path, [Entry("a.mphbin", small, DEFLATE, usize=2**64 - 2, zip64=True),
                                 Entry("b.mphbin", small, DEFLATE, usize=5, zip64=True)]))
    assert data["size_breakdown"] == [{"bucket": "binary", "bytes": 2**64 - 1}]


def test_only_exact_root_names_are_members(tmp_path):
    # Not members, so never read: neither their bad bytes nor their bad CRC matter.
    data = record(mph(tmp_path, [
        ("sub/dmodel.xml", b"<a></b>"), ("DModel.xml", b"\xff"), ("./fileversion", b"1:2"),
        bad_crc("/smodel.json", b"{"), ("usedlicenses.txt ", b"X"),
    ]))
    assert data == dict(EMPTY, entries=["./fileversion", "/smodel.json", "DModel.xml", "sub/dmodel.xml",
                                        "usedlicenses.txt "], size_breakdown=[{"bucket": "data", "bytes": 13}])


@pytest.mark.parametrize("member", ["fileversion", "usedlicenses.txt", "modelinfo.xml", "dmodel.xml", "smodel.json"])
def test_member_must_be_utf8(tmp_path, member):
    assert inspect_error(mph(tmp_path, [(member, b"<a>\xc3(</a>")])) == UTF8
    assert inspect_error(mph(tmp_path, [(member, b"{}\xe2\x82")])) == UTF8  # cut short at the end
    assert record(mph(tmp_path, [(member + ".bak", b"\xff")]))["entries"] == [member + ".bak"]


def test_member_listed_twice_is_read_from_last_listing(tmp_path):
    data = record(mph(tmp_path, [("fileversion", b"1:old"), ("z", b""), ("fileversion", b"2:new")]))
    assert (data["entries"], data["schema"], data["saved_in"]) == (["fileversion", "z"], "2", "new")
    assert data["size_breakdown"] == [{"bucket": "data", "bytes": 5}]
    # The earlier listing's malformed text is never read.
    data = record(mph(tmp_path, [("smodel.json", b"{"), ("smodel.json", b'{"tag":"p","type":"physics"}')]))
    assert data["physics_tags"] == ["p"]


MODELINFO_BAD = ("modelinfo.xml", b"<a></b>")
MODELINFO_ERR = "xml error: ill-formed document: expected `</a>`, but `</b>` was found"
DMODEL_BAD = ("dmodel.xml", b"</x>")
DMODEL_ERR = "xml error: ill-formed document: close tag `</x>` does not match any open tag"
SMODEL_BAD = ("smodel.json", b"[1,]")
SMODEL_ERR = ("json error: syntax error while parsing value - unexpected ']'; expected '[', '{', "
              "or a literal at line 1 column 4")


@pytest.mark.parametrize("entries, message", [
    ([SMODEL_BAD, DMODEL_BAD, MODELINFO_BAD], MODELINFO_ERR),
    ([DMODEL_BAD, MODELINFO_BAD], MODELINFO_ERR),
    ([SMODEL_BAD, DMODEL_BAD], DMODEL_ERR),
    ([SMODEL_BAD], SMODEL_ERR),
    # A failure of the archive pass comes first, wherever it stands.
    ([("a.txt", b"x"), Entry("other.bin", b"", flags=1)],
     "zip error: unsupported Zip archive: encrypted entries are not supported"),
    ([MODELINFO_BAD, bad_crc("usedlicenses.txt", b"L")], "io error: invalid checksum"),
    ([SMODEL_BAD, DMODEL_BAD, ("fileversion", b"\xff")], UTF8),
    ([MODELINFO_BAD, ("x", b""), Entry("y", b"", 7)],
     "zip error: unsupported Zip archive: compression method 7 is not supported"),
    ([bad_crc("dmodel.xml", b"<a/>"), Entry("y", b"", flags=1)], "io error: invalid checksum"),
    ([("dmodel.xml", b"\xff<a/>"), bad_crc("smodel.json", b"{}")], UTF8),
    ([Entry("smodel.json", b"\xff" * 10, DEFLATE, plain=b"{}")], "io error: invalid compressed data"),
    # Within one member, the damage found at its end beats the fault found on the way.
    ([bad_crc("smodel.json", b"[1,]" + b" " * 100_000)], "io error: invalid checksum"),
    ([bad_crc("modelinfo.xml", b"<a></b>" + b" " * 100_000)], "io error: invalid checksum"),
    ([("modelinfo.xml", b"<a></b>\xff")], UTF8),
    ([bad_crc("smodel.json", b"\xff")], "io error: invalid checksum"),
])
def test_failure_precedence(tmp_path, entries, message):
    assert inspect_error(mph(tmp_path, entries), "comsol-mph") == message


def test_model_tree_and_tag_merging(tmp_path):
    dmodel = (b'<m><p param="L" value="2[m]"/><p param="L" value="a&lt;b"/><x param="a" param="b"/>'
              b'<Physics tag="b"/><physics tag="a"/><physicsfeature tag="z"/><physics Tag="y"/>'
              b'<Study tag="s"/><Material tag="m" param="k" reference="r"/></m>')
    smodel = (b'[{"tag":"a","apiClass":"physics"},{"tag":"c","type":"Physics"},'
              b'{"tag":"n","apiClass":5,"type":"physics"},{"x":{"tag":"s","type":"study"}}]')
    data = record(mph(tmp_path, [("smodel.json", smodel), ("dmodel.xml", dmodel)]))
    assert data["parameters"] == [param("L", "2[m]"), param("L", "a&lt;b"), param("a"), param("k", None, "r")]
    assert (data["physics_tags"], data["study_tags"], data["material_tags"]) == (["a", "b", "c"], ["s"], ["m"])


def bomb(name, *segments):
    """A deflated member of bytes and (filler, count) runs, made in pieces."""
    comp, out, crc, size = zlib.compressobj(9, zlib.DEFLATED, -15), [], 0, 0
    for seg in segments:
        fill, count = (seg, 1) if isinstance(seg, bytes) else seg
        reps = max(1, (1 << 20) // max(1, len(fill)))
        while count:
            piece = fill * min(count, reps)
            out.append(comp.compress(piece))
            crc, size, count = zlib.crc32(piece, crc), size + len(piece), count - min(count, reps)
    data = b"".join(out) + comp.flush()
    return Entry(name, data, DEFLATE, crc=crc, usize=size, zip64=size >= 0xFFFFFFFF)


GIB, BIG = 1 << 30, (b"c", 100 << 20)
PICKS = {"smodel.json": "d['physics_tags']", "dmodel.xml": "d['physics_tags']", "modelinfo.xml": "d['title']",
         "fileversion": "[d['schema'], d['saved_in']]", "usedlicenses.txt": "d['used_licenses']"}


@pytest.mark.parametrize("member, segments, outcome", [
    ("smodel.json", [(b" ", GIB), b'{"tag":"p","type":"physics"}'], ["p"]),
    ("smodel.json", [b'["', (b"a", GIB // 2), b'\x01"]'],
     "json error: syntax error while parsing value - invalid string: control character U+0001 (SOH) "
     "must be escaped to \\u0001 at line 1 column %d" % (GIB // 2 + 3)),
    ("smodel.json", [b"[", (b"[],", 100_000_000), b"[]]"], []),
    ("smodel.json", [b"[", (b"7", GIB // 2), b"e-536870700]"], []),
    ("smodel.json", [b"[1", (b"0", GIB // 2), b"]"], "json error: number overflow at line 1 column %d" %
     (GIB // 2 + 2)),
    ("dmodel.xml", [b"<r>", (b"x", GIB // 2), b'<physics tag="p"/></r>'], ["p"]),
    ("modelinfo.xml", [b"<r>", (b"x", GIB // 2), b"<title>t</title></r>"], "t"),
    # Markup and attribute values that no reader uses are scanned, not held, and an open
    # element costs its name and a byte.
    ("dmodel.xml", [b"<!DOCTYPE r ", BIG, b"><?pi ", BIG, b"?><r><!--", BIG, b"--><![CDATA[", BIG, b"]]>&", BIG,
                    b';<physics tag="p"/></r>'], ["p"]),
    ("dmodel.xml", [b"<physics other='", BIG, b"' ", BIG, b"='v' tag='p'/>"], ["p"]),
    ("dmodel.xml", [b'<physics tag="p"/>', (b"<a>", 8_000_000)], ["p"]),
    ("modelinfo.xml", [b"<r><!--", BIG, b"--><r other='", BIG, b"' title='t'/></r>"], "t"),
    # White space whose fate is known only at the next byte is held packed.
    ("modelinfo.xml", [b"<r><title>t", (b" ", 200 << 20), b"</title></r>"], "t"),
    ("modelinfo.xml", [b"<r><title>t</title", (b" \t", 100 << 20), b"></r>"], "t"),
    # An error quotes at most 256 bytes of a name.
    ("modelinfo.xml", [b"<a></", (b"x", 500 << 20), b">"], MODELINFO_ERR.replace("</b>", "</%s\u2026>" % ("x" * 256))),
    ("dmodel.xml", [b"</", (b"x", 500 << 20), b">"], DMODEL_ERR.replace("</x>", "</%s\u2026>" % ("x" * 256))),
    ("modelinfo.xml", [b"<r><title>t", (b" \t", 100 << 20), b"</title></r>"], "t"),
    ("fileversion", [b"6.1:", (b"\t", GIB // 2)], ["6.1", ""]),
    ("usedlicenses.txt", [b"A\n", (b" ", GIB // 2), b"\nB"], ["A", "B"]),
])
@pytest.mark.slow
def test_bombs_stream_in_bounded_memory(tmp_path, member, segments, outcome):
    path = mph(tmp_path, [bomb(member, *segments)])
    result, growth = measured(f"(lambda d: {PICKS[member]})(tolvanex.inspect(path)['summary']['data'])", path)
    assert result == repr(outcome)
    assert growth < 32


@pytest.mark.slow
def test_billions_of_open_elements_fail_in_bounded_memory(tmp_path):
    # 3.3 billion levels of <a>: once the window holds the pattern, each 3 MiB of it deflates
    # to the same bytes, so the member is made by repeating them.
    chunk, comp, count, crc = b"<a>" * (1 << 20), zlib.compressobj(9, zlib.DEFLATED, -15), 3300, 0
    first = comp.compress(chunk) + comp.flush(zlib.Z_SYNC_FLUSH)
    again = comp.compress(chunk) + comp.flush(zlib.Z_SYNC_FLUSH)
    for _ in range(count):
        crc = zlib.crc32(chunk, crc)
    data = first + again * (count - 1) + comp.flush()
    path = mph(tmp_path, [Entry("dmodel.xml", data, DEFLATE, crc=crc, usize=len(chunk) * count, zip64=True)])
    result, growth = measured("tolvanex.inspect(path)", path, limit_mib=1024)
    assert result == repr("xml error: ill-formed document: elements nested too deeply: open element names exceed 64 MiB")
    assert growth < 100


@pytest.mark.slow
def test_what_the_record_keeps_is_bounded_only_by_memory(tmp_path):
    # A licence line is the record's own text: two gigabytes of it ask for that much.
    path = mph(tmp_path, [bomb("usedlicenses.txt", (b"L", 2 * GIB))])
    assert measured("tolvanex.inspect(path)", path, limit_mib=1024)[0] == "MemoryError"
