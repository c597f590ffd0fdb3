"""FloTHERM pack archives through tolvanex.inspect: the summary from the central directory,
entry names by the ZIP name rules, and the exact error of every archive or entry that cannot
be opened."""
import errno
import os
import pathlib
import sys
import zipfile

import pytest

import tolvanex
from conftest import inspect_error

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "fixtures"))
from make_zip_fixtures import (  # noqa: E402
    DEFLATE, Entry, build_zip, extra_field, raw_deflate, unicode_field)


def write(tmp_path, data, name="model.pack"):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def pack(tmp_path, entries, name="model.pack"):
    return write(tmp_path, build_zip(entries), name)


def summary(path, fmt="pack"):
    result = tolvanex.inspect(path, format=fmt)
    assert result["summary"]["kind"] == "flotherm-pack"
    return result["summary"]["data"]


def error_of(path):
    return inspect_error(path, "pack")


def entry(name, directory, compressed, uncompressed):
    return {"name": name, "directory": directory, "compressed_bytes": compressed,
            "uncompressed_bytes": uncompressed}


def test_project_archive_full_record(tmp_path):
    path = tmp_path / "board.pack"
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("Board.rev/", b"")
        z.writestr("Board.rev/PDProject/group", b"g" * 100, compress_type=zipfile.ZIP_DEFLATED)
        z.writestr("Board.rev/DataSets/BaseSolution/x", b"0123456789")
    sizes = {i.filename: i.compress_size for i in zipfile.ZipFile(path).infolist()}
    result = tolvanex.inspect(str(path))  # detected by the ".pack" suffix
    assert result["format"] == "flotherm-pack"
    assert result["summary"]["data"] == {
        "project_name": "Board",
        "project_directory": "Board.rev",
        "entry_count": 3,
        "file_count": 2,
        "directory_count": 1,
        "compressed_bytes": sum(sizes.values()),
        "uncompressed_bytes": 110,
        "project_data_present": True,
        "base_solution_present": True,
        "entries": [
            entry("Board.rev/", True, 0, 0),
            entry("Board.rev/PDProject/group", False, sizes["Board.rev/PDProject/group"], 100),
            entry("Board.rev/DataSets/BaseSolution/x", False, 10, 10),
        ],
        "truncated": False,
    }


@pytest.mark.parametrize("names, directory, name", [
    (["A/x", "B/y"], None, None),
    (["A/", "A/x"], "A", "A"),
    (["top"], "top", "top"),
    (["A/x", "B/PDProject/group"], "B", "B"),
    (["Proj.v1.2/PDPROJECT/Group"], "Proj.v1.2", "Proj"),
    ([".hidden/PDProject/group"], ".hidden", ""),
    # A later project-data entry wins, even with an empty top-level name.
    (["A/PDProject/group", "/PDProject/group"], "", ""),
    (["/x", "/y"], None, None),
    (["/x", "A/y"], "A", "A"),
])
def test_project_directory_and_name(tmp_path, names, directory, name):
    data = summary(pack(tmp_path, [Entry(n, b"") for n in names]))
    assert (data["project_directory"], data["project_name"]) == (directory, name)


def test_flags_need_their_exact_paths(tmp_path):
    data = summary(pack(tmp_path, [Entry("PDProject/group", b""),
                                   Entry("a/DataSets/BaseSolution", b""),
                                   Entry("a/datasets/basesolution/", b"")]))
    # 'PDProject/group' has no leading '/', the second lacks the trailing one.
    assert data["project_data_present"] is False
    assert data["base_solution_present"] is True
    assert data["project_directory"] is None  # two top-level names: 'PDProject' and 'a'


def test_backslashes_become_slashes(tmp_path):
    data = summary(pack(tmp_path, [Entry("Proj\\PDProject\\group", b"abc"), Entry("Proj\\", b"")]))
    assert data["entries"] == [entry("Proj/PDProject/group", False, 3, 3),
                               entry("Proj/", True, 0, 0)]
    assert (data["file_count"], data["directory_count"]) == (1, 1)
    assert data["project_directory"] == "Proj"
    assert data["project_data_present"] is True


def test_default_budget_truncates_listing_only(tmp_path):
    # 40 names of 60,000 bytes: 34 fit in 2,097,152 bytes; the short last one still fits.
    names = ["d/" + "n" * 59_996 + "%02d" % i for i in range(40)] + ["d/z"]
    data = summary(pack(tmp_path, [Entry(n, b"x") for n in names]))
    assert [e["name"] for e in data["entries"]] == names[:34] + ["d/z"]
    assert data["truncated"] is True
    assert (data["entry_count"], data["file_count"]) == (41, 41)
    assert data["uncompressed_bytes"] == 41


def test_duplicate_names_count_once_with_last_sizes(tmp_path):
    data = summary(pack(tmp_path, [Entry("a", b"1"), Entry("b", b"22"), Entry("a", b"4444")]))
    assert data["entry_count"] == 2
    assert data["entries"] == [entry("a", False, 4, 4), entry("b", False, 2, 2)]
    assert data["uncompressed_bytes"] == 6


def test_sizes_come_from_zip64_fields_and_saturate(tmp_path):
    small = raw_deflate(b"x" * 1000)
    data = summary(pack(tmp_path, [
        Entry("big", small, DEFLATE, usize=5 << 30, zip64=True),
        Entry("huge", small, DEFLATE, usize=2**64 - 1, zip64=True),
    ]))
    assert data["entries"][0] == entry("big", False, len(small), 5 << 30)
    assert data["uncompressed_bytes"] == 2**64 - 1
    assert data["compressed_bytes"] == 2 * len(small)


def test_entry_names_follow_the_zip_rules(tmp_path):
    cp437 = bytes(range(0x80, 0x100))
    data = summary(pack(tmp_path, [
        Entry(b"d/" + cp437, b""),
        Entry(b"d/bad-\xff\xc3(", b"", flags=0x800),
        Entry("d/ok-\u00e4".encode(), b"", flags=0x800),
        Entry(b"d/raw-\x81", b"", cextra=unicode_field(0x7075, b"d/raw-\x81", "d/uni-\u00fc".encode())),
        Entry(b"d/other-version", b"", cextra=extra_field(0x7075, b"\x02\0\0\0\0x")),
    ]))
    assert [e["name"] for e in data["entries"]] == [
        "d/" + cp437.decode("cp437"), "d/bad-\ufffd\ufffd(", "d/ok-\u00e4", "d/uni-\u00fc",
        "d/other-version"]


def test_empty_archive_is_a_message(tmp_path):
    assert error_of(pack(tmp_path, [])) == "FloTHERM pack archive did not contain any ZIP entries"


def test_missing_file_is_an_os_error(tmp_path):
    assert error_of(str(tmp_path / "none.pack")) == (
        "io error: " + os.strerror(errno.ENOENT) + " (os error 2)")


def test_unreadable_input_is_zip_io_error(tmp_path):
    d = tmp_path / "dir.pack"
    d.mkdir()
    for i in range(8):
        (d / ("file%d" % i)).write_bytes(b"")
    assert error_of(str(d)) == "zip error: i/o error"


good = [Entry("a", b"hello")]


@pytest.mark.parametrize("data, message", [
    (b"", "zip error: invalid Zip archive: end of central directory record not found"),
    (b"PK\x03\x04 not really", "zip error: invalid Zip archive: end of central directory record not found"),
    (build_zip(good)[:-1], "zip error: invalid Zip archive: end of central directory record not found"),
    (build_zip(good, disk=1, cd_disk=1),
     "zip error: unsupported Zip archive: spanned archives are not supported"),
    (build_zip(good, count=2),
     "zip error: invalid Zip archive: central directory entry count is inconsistent"),
    (build_zip(good + [Entry("b", b"", flags=1)]),
     "zip error: unsupported Zip archive: encrypted entries are not supported"),
    (build_zip(good + [Entry("b", b"", 99, flags=1)]),
     "zip error: unsupported Zip archive: encrypted entries are not supported"),
    (build_zip(good + [Entry("b", b"", 7)]),
     "zip error: unsupported Zip archive: compression method 7 is not supported"),
    (build_zip(good + [Entry("b", b"", local_sig=b"PK\x01\x02")]),
     "zip error: invalid Zip archive: local file header not found"),
    (build_zip([Entry("a", b"abc", usize=5 << 30, csize=5 << 30, zip64=True)]),
     "zip error: invalid Zip archive: entry data extends beyond the end of the archive"),
    (build_zip([Entry("a", b"", cextra=unicode_field(0x7075, b"a", b"b", crc=0))]),
     "zip error: invalid Zip archive: Unicode path extra field does not match the entry path"),
    (build_zip([Entry("a", b"", cextra=unicode_field(0x7075, b"a", b"\xc3"))]),
     "zip error: invalid Zip archive: Unicode path extra field does not match the entry path"),
    (build_zip([Entry("a", b"", comment=b"c", cextra=unicode_field(0x6375, b"c", b"d", crc=0))]),
     "zip error: invalid Zip archive: Unicode comment extra field does not match the entry comment"),
])
def test_archive_and_entry_errors(tmp_path, data, message):
    assert error_of(write(tmp_path, data)) == message


def test_damaged_content_is_not_read(tmp_path):
    # The pack reader never decompresses, so a broken stream or CRC goes unnoticed.
    data = summary(pack(tmp_path, [Entry("a/x", b"\xff" * 10, DEFLATE, plain=b"y" * 50, crc=1)]))
    assert data["entries"] == [entry("a/x", False, 10, 50)]
