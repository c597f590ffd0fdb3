"""Peak resident memory of the XML readers on adversarial documents.

    .venv/bin/python bench/xml_memory.py [SCALE]      (default 1.0)

Each case is written to a temporary directory (FloXML files plain, COMSOL members as deflated
ZIP entries streamed from a generator), then inspected in a fresh interpreter; the table shows
the outcome, the size of the XML text, and the peak resident size of that interpreter
(getrusage ru_maxrss) next to the peak of an interpreter that only imports the module.
"""
import pathlib
import sys
import tempfile
import zlib

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
from peak import peak  # noqa: E402
sys.path.insert(0, str(ROOT / "tests" / "fixtures"))
from make_zip_fixtures import DEFLATE, Entry, build_zip  # noqa: E402

MIB = 1 << 20

def pieces(head, fill, count, tail):
    yield head
    reps = max(1, MIB // len(fill))
    while count:
        n = min(count, reps)
        yield fill * n
        count -= n
    yield tail


def write_plain(path, parts):
    size = 0
    with open(path, "wb") as f:
        for p in parts:
            f.write(p)
            size += len(p)
    return size


def write_member(path, member, parts):
    comp = zlib.compressobj(9, zlib.DEFLATED, -15)
    out, crc, size = [], 0, 0
    for p in parts:
        out.append(comp.compress(p))
        crc = zlib.crc32(p, crc)
        size += len(p)
    out.append(comp.flush())
    data = b"".join(out)
    entry = Entry(member, data, DEFLATE, crc=crc, usize=size, zip64=size >= 0xFFFFFFFF)
    path.write_bytes(build_zip([entry]))
    return size


def cases(scale):
    n = int(66_000_000 * scale)        # nesting depth
    big = int(200 * MIB * scale)       # size of one huge construct
    floxml = [
        ("floxml: nested <a>", b"<xml_case>", b"<a>", n, b""),
        ("floxml: nested <geometry>", b"<xml_case><geometry>", b"<geometry>", n // 3, b""),
        ("floxml: nested <a_att> in attributes", b"<xml_case><attributes>", b"<a_att>", n // 2, b""),
        ("floxml: 200 MB comment", b"<xml_case><!--", b"c", big, b"--></xml_case>"),
        ("floxml: 200 MB attribute value", b"<xml_case><a k='", b"v", big, b"'/></xml_case>"),
        ("floxml: 200 MB relevant text", b"<xml_case><name>", b"x", big, b"</name></xml_case>"),
        ("floxml: 200 MB spaces after a name", b"<xml_case><name>N", b" ", big, b"</name></xml_case>"),
        ("floxml: 200 MB U+00A0 after a name", b"<xml_case><name>N", b"\xc2\xa0", big // 2, b"</name></xml_case>"),
        ("floxml: 200 MB U+3000 before a name", b"<xml_case><name>", b"\xe3\x80\x80", big // 3, b"N</name></xml_case>"),
        ("floxml: 200 MB spaces in an end tag", b"<xml_case><name>N</name", b" ", big, b"></xml_case>"),
        ("floxml: 200 MB spaces, bad end tag", b"<xml_case></xml_case", b" ", big, b"\xff>"),
    ]
    comsol = [
        ("dmodel: nested <a>", "dmodel.xml", b"", b"<a>", n, b""),
        ("dmodel: nested <a><b>", "dmodel.xml", b"", b"<a><b>", n // 2, b""),
        ("dmodel: 200 MB comment", "dmodel.xml", b"<r><!--", b"c", big, b"--></r>"),
        ("dmodel: 200 MB CDATA", "dmodel.xml", b"<r><![CDATA[", b"c", big, b"]]></r>"),
        ("dmodel: 200 MB PI", "dmodel.xml", b"<?pi ", b"c", big, b"?><r/>"),
        ("dmodel: 200 MB DOCTYPE", "dmodel.xml", b"<!DOCTYPE r ", b"c", big, b"><r/>"),
        ("dmodel: 200 MB reference", "dmodel.xml", b"<r>&", b"c", big, b";</r>"),
        ("dmodel: 200 MB unkept attribute", "dmodel.xml", b"<r other='", b"v", big, b"' tag='t'/>"),
        ("dmodel: 200 MB kept attribute", "dmodel.xml", b"<r param='p' value='", b"v", big, b"'/>"),
        ("modelinfo: 200 MB comment", "modelinfo.xml", b"<r><!--", b"c", big, b"--></r>"),
        ("modelinfo: 200 MB unkept attribute", "modelinfo.xml", b"<r other='", b"v", big, b"'/>"),
        ("modelinfo: 200 MB attribute key", "modelinfo.xml", b"<r ", b"k", big, b"='v'/>"),
        ("modelinfo: 200 MB spaces after a title", "modelinfo.xml", b"<r><title>t", b" ", big, b"</title></r>"),
        ("modelinfo: 200 MB spaces in an end tag", "modelinfo.xml", b"<r><title>t</title", b" ", big, b"></r>"),
        # Mixed white space has no short form: it is held until the end of the text shows it trailing.
        ("modelinfo: 200 MB mixed white space", "modelinfo.xml", b"<r><title>t", b" \t", big // 2, b"</title></r>"),
    ]
    return floxml, comsol


def main():
    scale = float(sys.argv[1]) if len(sys.argv) > 1 else 1.0
    floxml, comsol = cases(scale)
    base = peak("")[1]
    print(f"interpreter with the module imported: {base} MiB peak")
    print(f"{'case':40} {'XML MiB':>8} {'peak MiB':>9}  outcome")
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        for name, head, fill, count, tail in floxml:
            path = tmp / "case.floxml"
            size = write_plain(path, pieces(head, fill, count, tail))
            outcome, mib = peak(str(path))
            print(f"{name:40} {size // MIB:8} {mib:9}  {outcome}", flush=True)
            path.unlink()
        for name, member, head, fill, count, tail in comsol:
            path = tmp / "case.mph"
            size = write_member(path, member, pieces(head, fill, count, tail))
            outcome, mib = peak(str(path))
            print(f"{name:40} {size // MIB:8} {mib:9}  {outcome}", flush=True)
            path.unlink()


if __name__ == "__main__":
    main()
