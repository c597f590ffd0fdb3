"""The directory scan and the driver, end to end, in full and compact form."""

import os

import pytest

import tolvanex
from conftest import inspect_error

GOOD = "<xml_case><name>{}</name></xml_case>"


def write(path, body=None):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(GOOD.format(path.stem) if body is None else body)
    return path


def fs_order(root):
    """Every entry in the order a depth-first walk in listing order reaches it."""
    out = []
    for entry in os.scandir(root):  # scandir keeps the file system's listing order
        out.append(entry.path)
        if entry.is_dir(follow_symlinks=False):
            out.extend(fs_order(entry.path))
    return out


def test_scan_follows_the_file_system_order_depth_first(tmp_path):
    names = ["b.floxml", "a.floxml", "sub/c.floxml", "sub/deep/d.floxml", ".h.floxml", "notes.txt"]
    names += ["/".join(f"d{i}" for i in range(depth)) + f"/x{depth}.floxml" for depth in range(1, 14)]
    for name in names:
        write(tmp_path / name)
    expected = [p for p in fs_order(str(tmp_path)) if p.endswith(".floxml")]
    records = tolvanex.scan([str(tmp_path)], include_paths=True)
    assert [r["path"] for r in records] == expected
    assert [r["file_name"] for r in records] == [os.path.basename(p) for p in expected]
    shallow = tolvanex.scan([str(tmp_path)], recursive=False, include_paths=True)
    assert [r["path"] for r in shallow] == [p for p in expected if os.path.dirname(p) == str(tmp_path)]


def test_starting_paths_links_duplicates_and_trailing_slash(tmp_path):
    data = tmp_path / "data"
    write(data / "a.floxml")
    write(tmp_path / "elsewhere" / "t.floxml")
    os.symlink(tmp_path / "elsewhere" / "t.floxml", data / "link.floxml")
    os.symlink(tmp_path / "elsewhere", data / "dirlink")
    os.symlink(data, tmp_path / "alias")
    records = tolvanex.scan([str(data) + "/"], include_paths=True)
    assert sorted(r["path"] for r in records) == [str(data) + "/a.floxml", str(data) + "/link.floxml"]
    twice = tolvanex.scan([str(data / "a.floxml"), str(data / "a.floxml")])
    assert len(twice) == 2 and twice[0] == twice[1]
    via_alias = tolvanex.scan([str(tmp_path / "alias")], include_paths=True)
    assert len(via_alias) == 2 and all(r["path"].startswith(str(tmp_path / "alias") + "/") for r in via_alias)


def test_first_reader_error_ends_the_scan_with_no_partial_result(tmp_path):
    first = write(tmp_path / "1.floxml")
    bad = write(tmp_path / "2.floxml", "<xml_case></wrong>")
    (tmp_path / "3.floxml").mkdir()  # would fail differently if it were ever opened as a file
    with pytest.raises(RuntimeError) as info:
        tolvanex.scan([str(first), str(bad), str(tmp_path / "3.floxml" / "x.floxml")])
    assert str(info.value) == "xml error: ill-formed document: expected `</xml_case>`, but `</wrong>` was found"


def test_xml_files_count_only_with_a_floxml_root(tmp_path):
    write(tmp_path / "case.xml")
    write(tmp_path / "other.xml", "<project/>")
    assert [r["file_name"] for r in tolvanex.scan([str(tmp_path)])] == ["case.xml"]
    assert inspect_error(tmp_path / "other.xml") == f"unsupported file format for {tmp_path / 'other.xml'}"
    # A forced format ignores the name.
    assert tolvanex.inspect(str(tmp_path / "case.xml"), format="FLOTHERM-FLOXML")["format"] == "flotherm-floxml"


def test_nul_bytes_and_missing_files_are_io_errors(tmp_path):
    write(tmp_path / "a.floxml")
    assert inspect_error(f"{tmp_path}/a.floxml\0.floxml") == "io error: file name contained an unexpected NUL byte"
    assert inspect_error(tmp_path / "missing.floxml", "floxml") == "io error: No such file or directory (os error 2)"


def test_non_utf8_file_names_found_by_the_walk_are_replaced(tmp_path):
    with open(os.fsencode(str(tmp_path)) + b"/m\xff.floxml", "wb") as f:
        f.write(b"<xml_case/>")
    (record,) = tolvanex.scan([str(tmp_path)], include_paths=True)
    assert record["file_name"] == "m\ufffd.floxml" and record["path"] == str(tmp_path) + "/m\ufffd.floxml"


def test_full_and_compact_records_through_both_functions(tmp_path):
    write(tmp_path / "m.floxml")
    os.chdir(tmp_path)
    record = tolvanex.inspect("m.floxml")
    assert list(record) == ["file_name", "format", "ok", "warnings", "summary"]
    assert record["format"] == "flotherm-floxml" and record["ok"] is True and record["warnings"] == []
    assert record["summary"]["kind"] == "flotherm-floxml" and record["summary"]["data"]["name"] == "m"
    assert tolvanex.inspect("./m.floxml", include_paths=True)["path"] == "./m.floxml"
    compact = tolvanex.inspect("m.floxml", summary=True)
    assert list(compact) == ["schema_version", "view", "file_name", "format", "ok", "warnings", "limitations", "summary"]
    assert compact["limitations"] == [
        "Shallow FloXML structure only; references, geometry validity, mesh generation, result fields, "
        "and solver semantics are not evaluated.",
        "Proprietary FloTHERM PDML project payloads are not decoded.",
    ]
    assert compact["summary"]["data"]["name"] == "m" and compact["summary"]["data"]["source_truncated"] is False
    (scanned,) = tolvanex.scan(["."], summary=True, include_paths=True)
    assert list(scanned)[:3] == ["schema_version", "view", "path"] and scanned["path"] == "./m.floxml"


def test_compact_scan_samples_long_lists_and_cuts_long_paths(tmp_path):
    deck = tmp_path / ("d" * 250) / "a.inp"
    write(deck, "".join(f"*MATERIAL, NAME=M{i:02d}\n" for i in range(9)))
    (full,) = tolvanex.scan([str(deck.parent)], include_paths=True)
    (compact,) = tolvanex.scan([str(deck.parent)], include_paths=True, summary=True)
    assert full["path"] == str(deck) and compact["path"] == str(deck).encode()[:256].decode() + "…"
    assert full["summary"]["data"]["materials"] == [f"M{i:02d}" for i in range(9)]
    assert compact["summary"]["data"]["materials"] == {
        "total": 9, "sample": [f"M{i:02d}" for i in range(8)], "truncated": True}
