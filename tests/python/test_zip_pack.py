"""ZIP archives through tolvanex.inspect: the FloTHERM pack summary, entry names by the ZIP rules, the
exact error of each archive or entry that cannot be opened, entries that declare more than they hold."""
import json
import os
import pathlib
import subprocess
import struct
import sys

import pytest

import tolvanex
from conftest import inspect_error

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "fixtures"))
from make_zip_fixtures import (  # noqa: E402
    DEFLATE, LZMA, PPMD, XZ, Entry, build_zip, extra_field, raw_deflate, unicode_field,
    xz_huge_dictionary, zip_lzma)


def pack(tmp_path, entries, name="model.pack"):
    """Writes the archive of `entries`, or the bytes given, and returns its path."""
    (tmp_path / name).write_bytes(entries if isinstance(entries, bytes) else build_zip(entries))
    return str(tmp_path / name)


def summary(path):
    return tolvanex.inspect(path, format="pack")["summary"]["data"]


def test_project_archive_full_record(tmp_path):
    path = pack(tmp_path, [Entry("Board.rev/"),
                           Entry("Board.rev/PDProject/group", raw_deflate(b"g" * 100), DEFLATE,
                                 plain=b"g" * 100),
                           Entry("Board.rev/DataSets/BaseSolution/x", b"0123456789")], "board.pack")
    result = tolvanex.inspect(path)  # detected by the ".pack" suffix
    assert result["format"] == "flotherm-pack"
    assert json.dumps(result["summary"]["data"], separators=(",", ":"), ensure_ascii=False) == (
        '{"project_name":"Board","project_directory":"Board.rev","entry_count":3,"file_count":2,'
        '"directory_count":1,"compressed_bytes":16,"uncompressed_bytes":110,'
        '"project_data_present":true,"base_solution_present":true,"entries":['
        '{"name":"Board.rev/","directory":true,"compressed_bytes":0,"uncompressed_bytes":0},'
        '{"name":"Board.rev/PDProject/group","directory":false,"compressed_bytes":6,"uncompressed_bytes":100},'
        '{"name":"Board.rev/DataSets/BaseSolution/x","directory":false,"compressed_bytes":10,'
        '"uncompressed_bytes":10}],"truncated":false}')


@pytest.mark.parametrize("names, directory, name, project_data, base_solution", [
    (["A/x", "B/y"], None, None, False, False),
    (["A/", "A/x"], "A", "A", False, False),
    (["A/x", "B/PDProject/group"], "B", "B", True, False),
    (["Proj.v1.2/PDPROJECT/Group"], "Proj.v1.2", "Proj", True, False),
    ([".hidden/PDProject/group"], ".hidden", "", True, False),
    # A later project-data entry wins, even with an empty top-level name.
    (["A/PDProject/group", "/PDProject/group"], "", "", True, False),
    (["/x", "A/y"], "A", "A", False, False),
    (["Proj\\PDProject\\group", "Proj\\"], "Proj", "Proj", True, False),
    # No "/" before 'PDProject', none after 'BaseSolution'; two top-level names.
    (["PDProject/group", "a/DataSets/BaseSolution", "a/datasets/basesolution/"], None, None, False, True),
])
def test_project_directory_name_and_flags(tmp_path, names, directory, name, project_data, base_solution):
    data = summary(pack(tmp_path, [Entry(n, b"") for n in names]))
    assert (data["project_directory"], data["project_name"]) == (directory, name)
    assert (data["project_data_present"], data["base_solution_present"]) == (project_data, base_solution)


def test_default_budget_truncates_listing_only(tmp_path):
    # 34 names of 60,000 bytes fit in 2,097,152 bytes, a 35th does not; a shorter later one fills it.
    names = ["d/" + "n" * 59_996 + "%02d" % i for i in range(40)] + ["d/" + "e" * 57_150, "d/z"]
    data = summary(pack(tmp_path, [Entry(n, b"x") for n in names]))
    assert [e["name"] for e in data["entries"]] == names[:34] + names[40:41]
    assert (data["truncated"], data["entry_count"], data["file_count"], data["uncompressed_bytes"]) == (True, 42, 42, 42)


def test_sizes_from_the_directory_last_listing_and_zip64_saturate(tmp_path):
    small = raw_deflate(b"x" * 1000)  # and never inflated, so its CRC-32 goes unnoticed
    data = summary(pack(tmp_path, [Entry("a", b"1"), Entry("b", b"22"), Entry("a", b"4444"),
                                   Entry("big", small, DEFLATE, usize=5 << 30, zip64=True, crc=1),
                                   Entry("huge", small, DEFLATE, usize=2**64 - 1, zip64=True)]))
    assert [(e["name"], e["compressed_bytes"], e["uncompressed_bytes"]) for e in data["entries"]] == [
        ("a", 4, 4), ("b", 2, 2), ("big", len(small), 5 << 30), ("huge", len(small), 2**64 - 1)]
    assert (data["entry_count"], data["uncompressed_bytes"], data["compressed_bytes"]) == (4, 2**64 - 1, 6 + 2 * len(small))


def test_entry_names_follow_the_zip_rules(tmp_path):
    cp437 = bytes(range(0x80, 0x100))
    data = summary(pack(tmp_path, [
        Entry(b"d/" + cp437, b""),
        Entry(b"d/bad-\xff\xc3(", b"", flags=0x800),
        Entry("d/ok-\u00e4".encode(), b"", flags=0x800),
        Entry(b"d/raw-\x81", b"", cextra=unicode_field(0x7075, b"d/raw-\x81", "d/uni-\u00fc".encode())),
        Entry(b"d/other-version", b"", cextra=extra_field(0x7075, b"\x02\0\0\0\0x")),
        Entry(b"d/commented", b"", comment=b"c\x81", cextra=unicode_field(0x6375, b"c\x81", b"c\xc3\xbc")),
        Entry(b"d/padded-extra", b"", cextra=extra_field(0x5455, b"\x01abcd") + b"\0\0"),
        Entry(b"d\\back\\", b""),
    ]))
    assert [e["name"] for e in data["entries"]] == ["d/" + cp437.decode("cp437"), "d/bad-\ufffd\ufffd(", "d/ok-\u00e4",
                                                   "d/uni-\u00fc", "d/other-version", "d/commented", "d/padded-extra",
                                                   "d/back/"]
    assert data["directory_count"] == 1


def test_failures_of_the_file_itself(tmp_path):
    (tmp_path / "dir.pack").mkdir()
    for i in range(8):
        (tmp_path / "dir.pack" / str(i)).write_bytes(b"")
    assert inspect_error(tmp_path / "dir.pack", "pack") == "zip error: i/o error"  # opens but can't be read
    assert inspect_error(pack(tmp_path, []), "pack") == "FloTHERM pack archive did not contain any ZIP entries"


good = [Entry("a", b"hello")]
INVALID, UNSUPPORTED = "zip error: invalid Zip archive: ", "zip error: unsupported Zip archive: "
NO_EOCD = INVALID + "end of central directory record not found"
zip64 = build_zip(good, zip64_eocd=True)


@pytest.mark.parametrize("data, message", [
    (b"", NO_EOCD),
    (b"PK\x03\x04 not really", NO_EOCD),
    (build_zip(good)[:-1], NO_EOCD),
    (build_zip(good, disk=1), UNSUPPORTED + "spanned archives are not supported"),
    (build_zip(good, count=2), INVALID + "central directory entry count is inconsistent"),
    (build_zip(good, cd_offset_delta=1 << 20), INVALID + "central directory lies outside the archive"),
    (zip64[:-98] + bytes(4) + zip64[-94:], INVALID + "ZIP64 end of central directory record not found"),
    (build_zip(good + [Entry("b", b"", flags=1)]), UNSUPPORTED + "encrypted entries are not supported"),
    (build_zip(good + [Entry("b", b"", 99)]), UNSUPPORTED + "encrypted entries are not supported"),
    (build_zip(good + [Entry("b", b"", 7)]), UNSUPPORTED + "compression method 7 is not supported"),
    (build_zip(good + [Entry("b", b"", local_sig=b"PK\x01\x02")]), INVALID + "local file header not found"),
    (build_zip([Entry("a", b"abc", csize=5 << 30, zip64=True)]), INVALID + "entry data extends beyond the end of the archive"),
    (build_zip([Entry("a", b"", cextra=unicode_field(0x7075, b"a", b"b", crc=0))]),
     INVALID + "Unicode path extra field does not match the entry path"),
    (build_zip([Entry("a", b"", cextra=unicode_field(0x7075, b"a", b"\xc3"))]),
     INVALID + "Unicode path extra field does not match the entry path"),
    (build_zip([Entry("a", b"", comment=b"c", cextra=unicode_field(0x6375, b"c", b"d", crc=0))]),
     INVALID + "Unicode comment extra field does not match the entry comment"),
    (build_zip([Entry("a", b"", cextra=struct.pack("<HH", 0x5455, 9))]), INVALID + "malformed extra field"),
])
def test_archive_and_entry_errors(tmp_path, data, message):
    assert inspect_error(pack(tmp_path, data), "pack") == message


# Entries that declare far more than their few bytes hold, inspected in a child whose address
# space is limited to 1 GiB: PPMd parameters and zero bytes (fed zeros without end, the decoder
# would make output forever), an XZ stream that declares a 4 GiB dictionary, and an LZMA entry
# that declares one with 3 GiB of output (a dictionary fills as the output passes).
CHILD = """import json, resource, sys
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
import tolvanex
out = []
for path in sys.argv[1:]:
    try:
        out.append(tolvanex.inspect(path)["summary"]["data"])
    except RuntimeError as e:
        out.append(str(e))
print(json.dumps(out))
"""


def test_declared_sizes_make_no_output_and_no_allocation(tmp_path):
    huge, version = [1 << 30, 1 << 40, 1 << 62], b"6.1: COMSOL 6.1.0.252"

    def bomb(name, size):
        return Entry(name, b"\x0b\x10" + bytes(23), PPMD, usize=size, zip64=True, plain=b"")
    paths = [pack(tmp_path, [bomb("p/%d" % n, n) for n in huge], "bombs.pack")]
    paths += [pack(tmp_path, [bomb(m, n)], "%s-%d.mph" % (m, n)) for m in ("fileversion", "smodel.json") for n in huge]
    paths.append(pack(tmp_path, [Entry("fileversion", xz_huge_dictionary(version), XZ, plain=version)], "xz.mph"))
    lzma_4gib = zip_lzma(version)[:5] + struct.pack("<I", 0xFFFFFFFF) + zip_lzma(version)[9:]
    paths.append(pack(tmp_path, [Entry("fileversion", lzma_4gib, LZMA, usize=3 << 30, zip64=True, plain=version)],
                      "lzma.mph"))
    run = subprocess.run([sys.executable, "-c", CHILD] + paths, capture_output=True, text=True, timeout=120,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    out = json.loads(run.stdout)
    assert [e["uncompressed_bytes"] for e in out[0]["entries"]] == huge
    assert out[1:7] == ["io error: unexpected end of compressed data"] * 6
    assert (out[7]["schema"], out[7]["saved_in"]) == ("6.1", "COMSOL 6.1.0.252")
    assert out[8] == "io error: invalid compressed data"
