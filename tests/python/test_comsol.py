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
    path = tmp_path / "beam.mph"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("fileversion", "1882: COMSOL 6.1.0.357\n")
        z.writestr("modelinfo.xml", '<?xml version="1.0"?>\n<ModelInfo isRunnable="true">'
                   "<Title>Beam</Title><Description> A beam </Description>"
                   '<ComsolVersion>COMSOL 6.1</ComsolVersion><NodeType attr="x">Model</NodeType>'
                   "</ModelInfo>")
        z.writestr("dmodel.xml", '<model><param param="L" value="2[m]" reference="len"/>'
                   '<physics tag="solid"/><study tag="std1"/><material tag="mat2"/></model>')
        z.writestr("smodel.json", '{"nodes":[{"tag":"ht","apiClass":"Physics"},'
                   '{"tag":"mat1","type":"Material"},{"tag":"solid","type":"physics"}]}')
        z.writestr("usedlicenses.txt", "COMSOL\r\nSTRUCTURALMECHANICS\r\n")
        z.writestr("savepoint1/", b"")
        z.writestr("savepoint1/solution1.mphbin", b"s" * 100)
        z.writestr("mesh/mesh1.mphbin", b"m" * 30)
        z.writestr("geometry/geom1.mphbin", b"g" * 20)
        z.writestr("data.mphbin", b"b" * 7)
    infos = zipfile.ZipFile(path).infolist()
    members = ("fileversion", "modelinfo.xml", "dmodel.xml", "smodel.json", "usedlicenses.txt")
    data_bytes = sum(i.file_size for i in infos if i.filename in members)
    assert record(str(path)) == {
        "schema": "1882", "saved_in": "COMSOL 6.1.0.357", "title": "Beam", "description": "A beam",
        "comsol_version": "COMSOL 6.1", "node_type": "Model", "is_runnable": True,
        "parameters": [param("L", "2[m]", "len")], "physics_tags": ["ht", "solid"], "study_tags": ["std1"],
        "material_tags": ["mat1", "mat2"], "used_licenses": ["COMSOL", "STRUCTURALMECHANICS"],
        "size_breakdown": [{"bucket": "binary", "bytes": 7}, {"bucket": "data", "bytes": data_bytes},
                           {"bucket": "geometry", "bytes": 20}, {"bucket": "mesh", "bytes": 30},
                           {"bucket": "solution", "bytes": 100}],
        "entries": sorted(i.filename for i in infos),
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
    data = record(mph(tmp_path, [
        ("b.txt", b"1"), ("A/", b""), ("a.txt", b"22"), ("Savepoint1/model.txt", b"333"),
        ("results/savepoint1/x", b"4444"), ("mesh_solution.bin", b"55555"),
        ("GeomManager/a", b"666666"), ("x.MPHBIN", b"7777777"),
    ]))
    assert data["entries"] == ["A/", "GeomManager/a", "Savepoint1/model.txt", "a.txt", "b.txt",
                               "mesh_solution.bin", "results/savepoint1/x", "x.MPHBIN"]
    assert data["size_breakdown"] == [
        {"bucket": "binary", "bytes": 7}, {"bucket": "data", "bytes": 1 + 2 + 4},
        {"bucket": "geometry", "bytes": 6}, {"bucket": "solution", "bytes": 3 + 5}]
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


def test_white_space_runs_longer_than_held_are_read_again(tmp_path):
    run = " " * 70_000
    licences = ("x" + run + "y\n" + run + "\nz" + run).encode()
    data = record(mph(tmp_path, [Entry("usedlicenses.txt", raw_deflate(licences), DEFLATE, plain=licences),
                                 ("fileversion", ("1" + run + ":" + run + "2" + run).encode())]))
    assert data["used_licenses"] == ["x" + run + "y", "z"]
    assert (data["schema"], data["saved_in"]) == ("1", "2")


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


MODELINFO_BAD, MODELINFO_ERR = ("modelinfo.xml", b"<a></b>"), "xml error: ill-formed document: expected `</a>`, but `</b>` was found"
DMODEL_BAD, DMODEL_ERR = ("dmodel.xml", b"</x>"), "xml error: ill-formed document: close tag `</x>` does not match any open tag"
SMODEL_BAD = ("smodel.json", b"[1,]")
SMODEL_ERR = ("json error: syntax error while parsing value - unexpected ']'; expected '[', '{', "
              "or a literal at line 1 column 4")


@pytest.mark.parametrize("entries, message", [
    ([SMODEL_BAD, DMODEL_BAD, MODELINFO_BAD], MODELINFO_ERR),
    ([DMODEL_BAD, MODELINFO_BAD], MODELINFO_ERR),
    ([SMODEL_BAD, DMODEL_BAD], DMODEL_ERR),
    ([SMODEL_BAD], SMODEL_ERR),
    # A failure of the archive pass comes first, wherever it stands.
    ([("a.txt", b"x"), Entry("other.bin", b"", flags=1)], "zip error: unsupported Zip archive: encrypted entries are not supported"),
    ([MODELINFO_BAD, bad_crc("usedlicenses.txt", b"L")], "io error: invalid checksum"),
    ([SMODEL_BAD, DMODEL_BAD, ("fileversion", b"\xff")], UTF8),
    ([MODELINFO_BAD, ("x", b""), Entry("y", b"", 7)], "zip error: unsupported Zip archive: compression method 7 is not supported"),
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


@pytest.mark.parametrize("text, message", [
    (b"[" * 127 + b"]" * 127, None),
    (b"[" * 128 + b"]" * 128, "json error: recursion limit exceeded at line 1 column 128"),
    (b"\xef\xbb\xbf{}", "json error: syntax error while parsing value - invalid literal at line 1 column 1"),
    (b"", "json error: syntax error while parsing value - unexpected end of input; expected '[', '{', "
          "or a literal at line 1 column 1"),
    (b'{"tag":"x","type":"physics"}\x00 this is not JSON [[[',
     "json error: syntax error while parsing value - invalid literal; expected end of input at line 1 column 29"),
])
def test_serialised_model_parse(tmp_path, text, message):
    path = mph(tmp_path, [("smodel.json", text)])
    assert (record(path)["physics_tags"] == []) if message is None else inspect_error(path) == message


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
    ("modelinfo.xml", [b"<r><title>t</title", (b" ", 200 << 20), b"></r>"], "t"),
    ("fileversion", [b"6.1:", (b"\t", GIB // 2)], ["6.1", ""]),
    ("usedlicenses.txt", [b"A\n", (b" ", GIB // 2), b"\nB"], ["A", "B"]),
])
def test_bombs_stream_in_bounded_memory(tmp_path, member, segments, outcome):
    path = mph(tmp_path, [bomb(member, *segments)])
    result, growth = measured(f"(lambda d: {PICKS[member]})(tolvanex.inspect(path)['summary']['data'])", path)
    assert result == repr(outcome)
    assert growth < 32


@pytest.mark.parametrize("method", [zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED, zipfile.ZIP_BZIP2, zipfile.ZIP_LZMA])
def test_members_in_every_common_method(tmp_path, method):
    path = tmp_path / "m.mph"
    with zipfile.ZipFile(path, "w", method) as z:
        z.writestr("smodel.json", '[{"tag":"s","type":"study"}]' + " " * 10_000)
        z.writestr("dmodel.xml", '<physics tag="p"/>' * 1000)
    data = record(str(path))
    assert (data["physics_tags"], data["study_tags"]) == (["p"], ["s"])


def test_scan_reads_archives_and_stops_at_a_broken_one(tmp_path):
    (tmp_path / "a").mkdir()
    mph(tmp_path / "a", [("fileversion", b"1:2")], name="good.mph")
    records = tolvanex.scan([str(tmp_path / "a")])
    assert [(r["file_name"], r["summary"]["data"]["schema"]) for r in records] == [("good.mph", "1")]
    mph(tmp_path / "a", [("modelinfo.xml", b"<a></b>")], name="z.mph")
    with pytest.raises(RuntimeError) as info:
        tolvanex.scan([str(tmp_path / "a")])
    assert str(info.value) == MODELINFO_ERR
