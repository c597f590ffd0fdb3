"""AEDT projects and AEDTZ archives through tolvanex.inspect and scan: the text or member read, the
neighbouring paths, errors, and a line far longer than memory allows."""
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

# As the tools save it: CR LF, bytes that are not UTF-8 in a name and a comment.
PROJECT = (b"$begin 'AnsoftProject'\r\n\tProduct='HFSS'\r\n\tProjectName='Ant\xffenna'\r\n\t$begin 'Desktop'\r\n"
           b"\t\tVersion(2024, 1, 0)\r\n\t$end 'Desktop'\r\n\t$begin 'HFSSModel'\r\n\t\tName='Patch'\r\n"
           b"\t\tSolutionType='DrivenModal'\r\n\t\tComment='\xc3(\xfe'\r\n\t$end 'HFSSModel'\r\n$end 'AnsoftProject'\r\n")
DATA = ('{"project_name":"Ant\ufffdenna","product":"HFSS","version_hint":"2024.1","designs":[{"name":"Patch",'
        '"design_type":"HFSS","solution_type":"DrivenModal","is_solved":null}],"variables":[],"setups":[],"sweeps":[],'
        '"ports":[],"boundaries":[],"materials":[],"mesh_operations":[],"source_member":%s,"sidecars":'
        '{"lock_file_present":false,"results_dir_present":false},"truncated":false}')


def dumps(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def named(name):  # a project whose name tells which member was read
    return b"$begin 'AnsoftProject'\nProjectName='%s'\n" % name.encode()


def test_plain_and_archived_projects_full_and_compact(tmp_path):
    (tmp_path / "crlf.aedt").write_bytes(PROJECT)
    (tmp_path / "lf.aedt").write_bytes(PROJECT.replace(b"\r\n", b"\n"))
    (tmp_path / "Packed.AEDTZ").write_bytes(build_zip([
        Entry("Antenna/readme.txt", b"x"), Entry("Antenna/Antenna.aedt", raw_deflate(PROJECT), DEFLATE, plain=PROJECT),
        Entry("Antenna/Antenna.aedtresults/x.aedt", b"")]))
    record = tolvanex.inspect(str(tmp_path / "crlf.aedt"), include_paths=True)
    assert dumps(record) == ('{"path":"%s","file_name":"crlf.aedt","format":"hfss-aedt","ok":true,"warnings":[],'
                             '"summary":{"kind":"hfss-aedt","data":%s}}' % (tmp_path / "crlf.aedt", DATA % "null"))
    full = {r["file_name"]: dumps(r["summary"]["data"]) for r in tolvanex.scan([str(tmp_path)])}
    assert full == {"crlf.aedt": DATA % "null", "lf.aedt": DATA % "null", "Packed.AEDTZ": DATA % '"Antenna/Antenna.aedt"'}
    compact = tolvanex.scan([str(tmp_path / "Packed.AEDTZ")], summary=True)[0]["summary"]["data"]
    assert dumps(compact).endswith('"mesh_operations":{"total":0,"sample":[],"truncated":false},"icepak":null,'
                                   '"source_member":"Antenna/Antenna.aedt","lock_file_present":false,'
                                   '"results_dir_present":false,"source_truncated":false}')


ENCRYPTED = "zip error: unsupported Zip archive: encrypted entries are not supported"
NO_MEMBER = "AEDTZ archive did not contain an .aedt member"


@pytest.mark.parametrize("entries, read", [
    ([Entry("readme.txt", b"x"), Entry("model/Antenna.AEDT", named("model/Antenna.AEDT")),
      Entry("other.aedt", named("other.aedt"))], "model/Antenna.AEDT"),
    ([Entry("copy.aedt/"), Entry("old.aedtz", b"PK"), Entry("x.aedt", named("x.aedt"))], "x.aedt"),
    ([Entry("x.aedt", named("x.aedt")), Entry("y.aedt", b"", flags=1), Entry("z", b"", 7)], "x.aedt"),
    ([Entry("y.txt", b"", flags=1), Entry("x.aedt", named("x.aedt"))], ENCRYPTED),
    ([Entry("y.txt", b"", 7), Entry("x.aedt", b"")], "zip error: unsupported Zip archive: compression method 7 is not supported"),
    ([Entry("x.aedt", named("x.aedt"), crc=1)], "io error: invalid checksum"),
    ([Entry("copy.aedt/"), Entry("old.aedtz", b"")], NO_MEMBER),
    ([], NO_MEMBER),
    (b"$begin 'AnsoftProject'\n", "zip error: invalid Zip archive: end of central directory record not found"),
])
def test_archive_member_choice_and_errors(tmp_path, entries, read):
    path = tmp_path / "p.aedtz"
    path.write_bytes(entries if isinstance(entries, bytes) else build_zip(entries))
    if read.startswith(("zip error", "io error", NO_MEMBER)):
        assert inspect_error(path) == read
    else:
        data = tolvanex.inspect(str(path))["summary"]["data"]
        assert (data["source_member"], data["project_name"]) == (read, read)


@pytest.mark.parametrize("lock, results, flags", [
    ("dir", "file", (True, False)), ("file", "dir", (True, True)), ("dangling", "dir-link", (False, True)),
    (None, "dangling", (False, False))])
def test_neighbouring_paths(tmp_path, lock, results, flags):
    (tmp_path / "a.aedt").write_bytes(b"")
    (tmp_path / "target").mkdir()
    for suffix, kind in ((".lock", lock), ("results", results)):
        path = tmp_path / ("a.aedt" + suffix)
        {"dir": path.mkdir, "file": path.touch, "dangling": lambda: path.symlink_to(tmp_path / "missing"),
         "dir-link": lambda: path.symlink_to(tmp_path / "target"), None: lambda: None}[kind]()
    sidecars = tolvanex.inspect(str(tmp_path / "a.aedt"))["summary"]["data"]["sidecars"]
    assert (sidecars["lock_file_present"], sidecars["results_dir_present"]) == flags


def test_a_name_that_is_not_utf8_finds_its_neighbours(tmp_path):
    root = os.fsencode(tmp_path)
    open(root + b"/\xff.aedt", "wb").close()
    open(root + b"/\xff.aedt.lock", "wb").close()
    os.mkdir(root + b"/\xff.aedtresults")
    [record] = tolvanex.scan([str(tmp_path)])
    assert record["file_name"] == "\ufffd.aedt"
    assert record["summary"]["data"]["sidecars"] == {"lock_file_present": True, "results_dir_present": True}


@pytest.mark.parametrize("content, error", [
    (b"$", None), (b"", None), (None, "io error: Is a directory (os error 21)")])
def test_odd_files(tmp_path, content, error):
    path = tmp_path / "p.aedt"
    path.mkdir() if content is None else path.write_bytes(content)
    if error:
        assert inspect_error(path) == error
    else:
        assert dumps(tolvanex.inspect(str(path))["summary"]["data"]) == DATA.replace(
            '"Ant\ufffdenna","product":"HFSS","version_hint":"2024.1","designs":[{"name":"Patch","design_type":"HFSS",'
            '"solution_type":"DrivenModal","is_solved":null}]', 'null,"product":null,"version_hint":null,"designs":[]') % "null"
    assert inspect_error(tmp_path / "missing.aedt") == "io error: No such file or directory (os error 2)"


# A member of a few megabytes that inflates to one relevant line of 512 MiB without a line feed,
# read in a child whose address space is limited to 256 MiB: the line is dropped, the next kept.
CHILD = """import json, resource, sys
resource.setrlimit(resource.RLIMIT_AS, (256 << 20, 256 << 20))
import tolvanex
print(json.dumps(tolvanex.inspect(sys.argv[1])["summary"]["data"]))
"""


def test_a_huge_line_is_never_held(tmp_path):
    def flushed(data, final=False):  # a raw deflate piece that later pieces do not refer back to
        c = zlib.compressobj(1, zlib.DEFLATED, -15)
        return c.compress(data) + c.flush(zlib.Z_FINISH if final else zlib.Z_FULL_FLUSH)
    head, chunk, tail, count = b"$begin 'AnsoftProject'\nProjectName='", b"a" * (16 << 20), b"'\nProjectName='short'", 32
    crc = zlib.crc32(head)
    for _ in range(count):
        crc = zlib.crc32(chunk, crc)
    stream = flushed(head) + flushed(chunk) * count + flushed(tail, final=True)
    (tmp_path / "big.aedtz").write_bytes(build_zip([Entry("big.aedt", stream, DEFLATE, crc=zlib.crc32(tail, crc),
                                                          usize=len(head) + len(chunk) * count + len(tail))]))
    run = subprocess.run([sys.executable, "-c", CHILD, str(tmp_path / "big.aedtz")], capture_output=True, text=True,
                         timeout=120, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    data = json.loads(run.stdout)
    assert (data["project_name"], data["truncated"]) == ("short", True)
