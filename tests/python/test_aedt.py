"""AEDT projects and AEDTZ archives through inspect and scan: the text or member read, the neighbouring
paths, errors, and a line far longer than memory allows."""
import json
import os
import pathlib
import subprocess
import sys
import zlib

import pytest

import tolvanex
from conftest import inspect_error

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "fixtures"))
from make_zip_fixtures import DEFLATE, Entry, build_zip, raw_deflate  # noqa: E402

# As the tools save it: CR LF, indentation, bytes that are not UTF-8 in a name and a comment.
PROJECT = (b"$begin 'AnsoftProject'\r\n\tProduct='HFSS'\r\n\tProjectName='Ant\xffenna'\r\n\t$begin 'HFSSModel'\r\n"
           b"\t\tName='Patch'\r\n\t\tComment='\xc3(\xfe'\r\n\t$end 'HFSSModel'\r\n$end 'AnsoftProject'\r\n")
DATA = ('{"project_name":"Ant\ufffdenna","product":"HFSS","version_hint":null,"designs":[{"name":"Patch",'
        '"design_type":"HFSS","solution_type":null,"is_solved":null}],"variables":[],"setups":[],"sweeps":[],"ports":[],'
        '"boundaries":[],"materials":[],"mesh_operations":[],"source_member":%s,"sidecars":{"lock_file_present":false,'
        '"results_dir_present":false},"truncated":false}')


def dumps(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def test_projects_as_saved_full_and_compact(tmp_path):
    for name, data in [("crlf.aedt", PROJECT), ("lf.aedt", PROJECT.replace(b"\r\n", b"\n")), ("one.aedt", b"$"),
                       ("empty.aedt", b""), ("P.AEDTZ", build_zip([Entry("p/readme.txt", b"x"), Entry(
                           "p/Antenna.aedt", raw_deflate(PROJECT), DEFLATE, plain=PROJECT), Entry("p/x.aedt", b"")]))]:
        (tmp_path / name).write_bytes(data)
    full = {r["file_name"]: dumps(r["summary"]["data"]) for r in tolvanex.scan([str(tmp_path)])}
    assert (full.pop("crlf.aedt"), full.pop("lf.aedt"), full.pop("P.AEDTZ")) == (
        DATA % "null", DATA % "null", DATA % '"p/Antenna.aedt"')
    assert full["one.aedt"] == full["empty.aedt"] and '"project_name":null' in full["one.aedt"]
    compact = tolvanex.inspect(str(tmp_path / "P.AEDTZ"), summary=True)["summary"]["data"]
    assert dumps(compact).endswith('"icepak":null,"source_member":"p/Antenna.aedt","lock_file_present":false,'
                                   '"results_dir_present":false,"source_truncated":false}')
    (tmp_path / "dir.aedt").mkdir()
    assert inspect_error(tmp_path / "dir.aedt") == "io error: Is a directory (os error 21)"


NO_MEMBER, ENCRYPTED = "AEDTZ archive did not contain an .aedt member", "zip error: unsupported Zip archive: encrypted"


@pytest.mark.parametrize("entries, read", [
    ([Entry("readme.txt", b"x"), Entry("copy.aedt/"), Entry("old.aedtz", b"PK"), Entry("m/A.AEDT"),
      Entry("b.aedt"), Entry("c.aedt", b"", flags=1), Entry("d", b"", 7)], "m/A.AEDT"),
    ([Entry("y.txt", b"", flags=1), Entry("x.aedt")], ENCRYPTED + " entries are not supported"),
    ([Entry("x.aedt", b"x", crc=1)], "io error: invalid checksum"),
    ([Entry("copy.aedt/"), Entry("old.aedtz", b"")], NO_MEMBER), ([], NO_MEMBER),
    (b"$begin 'AnsoftProject'\n", "zip error: invalid Zip archive: end of central directory record not found")])
def test_archive_member_choice_and_errors(tmp_path, entries, read):
    (tmp_path / "p.aedtz").write_bytes(entries if isinstance(entries, bytes) else build_zip(entries))
    if "error" in read or read == NO_MEMBER:
        assert inspect_error(tmp_path / "p.aedtz") == read
    else:
        assert tolvanex.inspect(str(tmp_path / "p.aedtz"))["summary"]["data"]["source_member"] == read


@pytest.mark.parametrize("name, lock, results, flags", [
    (b"a", "dir", "file", [True, False]), (b"a", "dangling", None, [False, False]),
    (b"\xff", "file", "dir", [True, True])])  # probed by the name's own bytes
def test_neighbouring_paths(tmp_path, name, lock, results, flags):
    root = os.fsencode(tmp_path) + b"/"
    open(root + name + b".aedt", "wb").close()
    for path, kind in ((root + name + b".aedt.lock", lock), (root + name + b".aedtresults", results)):
        {"dir": lambda: os.mkdir(path), "file": lambda: open(path, "wb").close(), None: lambda: None,
         "dangling": lambda: os.symlink(root + b"missing", path)}[kind]()
    [record] = tolvanex.scan([str(tmp_path)])
    assert record["file_name"] == name.decode(errors="replace") + ".aedt"
    assert list(record["summary"]["data"]["sidecars"].values()) == flags


# A member of a few megabytes that inflates to one relevant line of 512 MiB without a line feed,
# read in a child whose address space is limited to 256 MiB: the line is dropped, the next kept.
CHILD = """import json, resource, sys
resource.setrlimit(resource.RLIMIT_AS, (256 << 20, 256 << 20))
import tolvanex
print(json.dumps(tolvanex.inspect(sys.argv[1])["summary"]["data"]))
"""


def test_a_huge_line_is_never_held(tmp_path):
    def piece(data, final=False):  # raw deflate that later pieces do not refer back to
        c = zlib.compressobj(1, zlib.DEFLATED, -15)
        return c.compress(data) + c.flush(zlib.Z_FINISH if final else zlib.Z_FULL_FLUSH)
    head, chunk, tail, count = b"$begin 'AnsoftProject'\nProjectName='", b"a" * (16 << 20), b"'\nProjectName='short'", 32
    crc = zlib.crc32(head)
    for _ in range(count):
        crc = zlib.crc32(chunk, crc)
    (tmp_path / "big.aedtz").write_bytes(build_zip([Entry(
        "big.aedt", piece(head) + piece(chunk) * count + piece(tail, True), DEFLATE, crc=zlib.crc32(tail, crc),
        usize=len(head) + len(chunk) * count + len(tail))]))
    run = subprocess.run([sys.executable, "-c", CHILD, str(tmp_path / "big.aedtz")], capture_output=True, text=True,
                         timeout=120, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert [json.loads(run.stdout)[k] for k in ("project_name", "truncated")] == ["short", True]
