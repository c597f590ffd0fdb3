"""The directory scan and the driver, end to end, on FloXML files built here."""

import os

import pytest

import tolvanex

GOOD = "<xml_case><name>{}</name></xml_case>"


def write(path, body=None):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(GOOD.format(path.stem) if body is None else body)
    return path


def fs_order(root):
    """Candidate files in the order a depth-first walk in listing order reaches them."""
    out = []
    for entry in os.scandir(root):  # scandir keeps the file system's listing order
        out.append(entry.path)
        if entry.is_dir(follow_symlinks=False):
            out.extend(fs_order(entry.path))
    return out


def test_scan_follows_the_file_system_order_depth_first(tmp_path):
    for name in ["b.floxml", "a.floxml", "sub/c.floxml", "sub/deep/d.floxml", "z.floxml", ".h.floxml"]:
        write(tmp_path / name)
    (tmp_path / "notes.txt").write_text("x")
    expected = [p for p in fs_order(str(tmp_path)) if p.endswith(".floxml")]
    records = tolvanex.scan([str(tmp_path)], include_paths=True)
    assert [r["path"] for r in records] == expected
    assert [r["file_name"] for r in records] == [os.path.basename(p) for p in expected]
    shallow = tolvanex.scan([str(tmp_path)], recursive=False, include_paths=True)
    assert [r["path"] for r in shallow] == [p for p in expected if os.path.dirname(p) == str(tmp_path)]


def test_record_shape_with_and_without_paths(tmp_path):
    path = write(tmp_path / "m.floxml")
    record = tolvanex.inspect(str(path))
    assert list(record) == ["file_name", "format", "ok", "warnings", "summary"]
    assert record["format"] == "flotherm-floxml" and record["ok"] is True and record["warnings"] == []
    assert record["summary"]["kind"] == "flotherm-floxml"
    assert record["summary"]["data"]["name"] == "m"
    os.chdir(tmp_path)
    with_path = tolvanex.inspect("./m.floxml", include_paths=True)
    assert list(with_path)[:2] == ["path", "file_name"] and with_path["path"] == "./m.floxml"


def test_starting_paths_files_links_duplicates_and_trailing_slash(tmp_path):
    data = tmp_path / "data"
    write(data / "a.floxml")
    write(tmp_path / "elsewhere" / "t.floxml")
    os.symlink(tmp_path / "elsewhere" / "t.floxml", data / "link.floxml")
    os.symlink(tmp_path / "elsewhere", data / "dirlink")
    os.symlink(data, tmp_path / "alias")
    records = tolvanex.scan([str(data) + "/"], include_paths=True)
    paths = sorted(r["path"] for r in records)
    assert paths == sorted([str(data) + "/a.floxml", str(data) + "/link.floxml"])  # dirlink not entered
    twice = tolvanex.scan([str(data / "a.floxml"), str(data / "a.floxml")])
    assert len(twice) == 2 and twice[0] == twice[1]
    via_alias = tolvanex.scan([str(tmp_path / "alias")], include_paths=True)
    assert all(r["path"].startswith(str(tmp_path / "alias") + "/") for r in via_alias) and len(via_alias) == 2
    assert tolvanex.scan([str(tmp_path / "notes.txt"), str(tmp_path / "missing"), ""]) == []


def test_first_reader_error_ends_the_scan_with_no_partial_result(tmp_path):
    first = write(tmp_path / "1.floxml")
    bad = write(tmp_path / "2.floxml", "<xml_case></wrong>")
    third = tmp_path / "3.floxml"
    third.mkdir()  # would fail differently if it were ever opened as a file
    with pytest.raises(RuntimeError) as info:
        tolvanex.scan([str(first), str(bad), str(tmp_path / "3.floxml" / "x.floxml")])
    assert str(info.value) == "xml error: ill-formed document: expected `</xml_case>`, but `</wrong>` was found"


def test_xml_files_count_only_with_a_floxml_root(tmp_path):
    write(tmp_path / "case.xml")
    write(tmp_path / "other.xml", "<project/>")
    records = tolvanex.scan([str(tmp_path)])
    assert [r["file_name"] for r in records] == ["case.xml"]
    with pytest.raises(RuntimeError) as info:
        tolvanex.inspect(str(tmp_path / "other.xml"))
    assert str(info.value) == f"unsupported file format for {tmp_path / 'other.xml'}"
    # A forced format ignores the name.
    forced = tolvanex.inspect(str(tmp_path / "case.xml"), format="FLOTHERM-FLOXML")
    assert forced["format"] == "flotherm-floxml"


def test_paths_with_nul_bytes_name_no_file(tmp_path):
    write(tmp_path / "a.floxml")
    with pytest.raises(RuntimeError) as info:
        tolvanex.inspect(str(tmp_path / "a.floxml") + "\0.floxml")
    assert str(info.value) == "io error: file name contained an unexpected NUL byte"
    assert tolvanex.scan([str(tmp_path / "a.floxml") + "\0"]) == []


def test_missing_file_with_a_given_format_is_the_os_error(tmp_path):
    with pytest.raises(RuntimeError) as info:
        tolvanex.inspect(str(tmp_path / "missing.floxml"), format="floxml")
    assert str(info.value) == "io error: No such file or directory (os error 2)"


def test_non_utf8_file_names_found_by_the_walk_are_replaced(tmp_path):
    raw = os.fsencode(str(tmp_path)) + b"/m\xff.floxml"
    with open(raw, "wb") as f:
        f.write(b"<xml_case/>")
    (record,) = tolvanex.scan([str(tmp_path)], include_paths=True)
    assert record["file_name"] == "m\ufffd.floxml"
    assert record["path"] == str(tmp_path) + "/m\ufffd.floxml"


def test_compact_form_through_both_functions(tmp_path):
    write(tmp_path / "m.floxml")
    compact = tolvanex.inspect(str(tmp_path / "m.floxml"), summary=True)
    assert list(compact) == ["schema_version", "view", "file_name", "format", "ok", "warnings", "limitations", "summary"]
    assert compact["schema_version"] == 1 and compact["view"] == "summary"
    assert compact["warnings"] == {"total": 0, "sample": [], "truncated": False}
    assert compact["limitations"] == [
        "Shallow FloXML structure only; references, geometry validity, mesh generation, result fields, "
        "and solver semantics are not evaluated.",
        "Proprietary FloTHERM PDML project payloads are not decoded.",
    ]
    assert compact["summary"]["data"]["name"] == "m" and compact["summary"]["data"]["source_truncated"] is False
    scanned = tolvanex.scan([str(tmp_path)], summary=True, include_paths=True)
    assert scanned[0]["path"] == str(tmp_path / "m.floxml") and list(scanned[0])[2] == "path"
