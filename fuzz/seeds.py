#!/usr/bin/env python3
"""Seed corpora and dictionaries of the fuzz targets, made from code.

`seeds.py OUTDIR` writes OUTDIR/<target>/<seed> for every target and OUTDIR/<target>.dict for
those with a dictionary. Seeds are small, well-formed files of each format (archives by
zipfile, tarfile, gzip, 7zz and hand-built headers, HDF5 files by h5py) and a few damaged
ones; libFuzzer mutates from there.
"""
import bz2
import gzip
import lzma
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import zipfile
import zlib

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "fixtures"))
from make_zip_fixtures import (BZIP2, DEFLATE, DEFLATE64, LZMA, PPMD, STORED, XZ, ZSTD, Entry,  # noqa: E402
                               build_zip, deflate64_stream, entry_data, raw_deflate, seven_zip, zip_lzma,
                               zstd_frames)

sys.path.insert(0, str(ROOT / "scripts"))
from samples import (AEDT, COMSOL, DECK, DMODEL, FLOXML, ICEPAK, MESH, MODELINFO, PACK, SMODEL,  # noqa: E402
                     TAR_MEMBERS, fluent_case, mechanical_db, tar_of, zip_of)


def tars():
    seeds = {"gnu": tar_of(TAR_MEMBERS), "pax": tar_of(TAR_MEMBERS, tarfile.PAX_FORMAT),
             "ustar": tar_of(TAR_MEMBERS[:3], tarfile.USTAR_FORMAT), "empty": bytes(1024)}
    pax = bytearray(seeds["pax"])
    pax[156] = ord("g")  # the first pax header as a global one
    seeds["global"] = bytes(pax)
    return seeds


def hdf5_files(tmp):
    import h5py

    def make(name, build, **kw):
        path = os.path.join(tmp, name)
        with h5py.File(path, "w", **kw) as f:
            build(f)
        return open(path, "rb").read()

    return ({"plain": make("a.h5", fluent_case), "latest": make("b.h5", fluent_case, libver="latest"),
             "empty": make("c.h5", lambda f: None)},
            {"mechdb": make("m.h5", mechanical_db), "empty": make("n.h5", lambda f: None)})


def zips_by_method(tmp):
    """A small payload stored by every method the ZIP reader takes."""
    text = b"".join(b"line %d of the payload, alpha beta gamma\n" % i for i in range(60))
    seven_zip(os.path.join(tmp, "d64.zip"), {"t": text}, "Deflate64")
    seven_zip(os.path.join(tmp, "ppmd.zip"), {"t": text}, "PPMd:o=4:mem=1m")
    streams = {STORED: text, DEFLATE: raw_deflate(text), BZIP2: bz2.compress(text), LZMA: zip_lzma(text),
               XZ: lzma.compress(text), ZSTD: zstd_frames(text),
               DEFLATE64: entry_data(os.path.join(tmp, "d64.zip"), "t", DEFLATE64),
               PPMD: entry_data(os.path.join(tmp, "ppmd.zip"), "t", PPMD)}
    return text, streams


def dictionary(*tokens):
    def quoted(t):
        t = t if isinstance(t, bytes) else t.encode()
        return '"' + "".join(chr(b) if 32 <= b < 127 and b not in b'"\\' else "\\x%02X" % b for b in t) + '"'
    return "".join(quoted(t) + "\n" for t in tokens)


XML_WORDS = ["<", "</", "/>", "<!--", "-->", "<![CDATA[", "]]>", "<?xml ", "?>", "<!DOCTYPE", "&amp;", "&#10;",
             "=\"", "='", "xml_case", "sm_xml_case", "name", "power", "geometry", "attributes", "solution_domain"]


def write_all(out):
    seeds, dicts = {}, {}
    with tempfile.TemporaryDirectory() as tmp:
        text, streams = zips_by_method(tmp)
        fluent, mechanical = hdf5_files(tmp)

    seeds["abaqus"] = {
        "deck": DECK + b"\n%%\n" + MESH + b"*INCLUDE, INPUT=sub/inc2.inc\n\n%%\n*INCLUDE, INPUT=../main.inp\n*NODE\n3, 1.\n",
        "crlf": DECK.replace(b"\n", b"\r\n"), "bom": b"\xef\xbb\xbf" + DECK,
        "cycle": b"*INCLUDE, INPUT=main.inp\n*INCLUDE, INPUT=inc1.inc\n\n%%\n*INCLUDE, INPUT=main.inp\n*HEADING\nT\n",
        "bad-utf8": b"*INCLUDE, INPUT=inc1.inc\n\n%%\n*NODE\n1, \xff\n"}
    dicts["abaqus"] = dictionary("\n%%\n", "*INCLUDE, INPUT=", "inc1.inc", "sub/inc2.inc", "../", "*NODE", "*ELEMENT",
                                 "*HEADING", "*MATERIAL, NAME=", "*STEP", "*END STEP", "*STATIC", "SECTION",
                                 "OUTPUT", "PRINT", "**", "\r\n", "\xc2\xa0")

    seeds["floxml"] = {"case": FLOXML, "sm": FLOXML.replace(b"xml_case", b"sm_xml_case"),
                       "other-root": b"<project><name>x</name></project>", "prefixed": b"<a:xml_case/>",
                       "cdata": b"<xml_case><name><![CDATA[x]]>a&#10;b</name><?pi x?></xml_case>"}
    dicts["floxml"] = dictionary(*XML_WORDS, "cuboid", "assembly", "source_att", "x_grid", "min_size",
                                 "outer_iterations", "x_low_ambient", "fluid", "modeling", "solution")

    seeds["comsol"] = {"deflate": zip_of(COMSOL), "stored": zip_of(COMSOL, zipfile.ZIP_STORED),
                       "bzip2": zip_of(COMSOL[:5], zipfile.ZIP_BZIP2), "lzma": zip_of(COMSOL[:5], zipfile.ZIP_LZMA),
                       "bad-json": zip_of([("smodel.json", b'{"tag": [1, }')])}
    dicts["comsol"] = dictionary("PK\x03\x04", "PK\x01\x02", "PK\x05\x06", "fileversion", "modelinfo.xml",
                                 "dmodel.xml", "smodel.json", "usedlicenses.txt", "\"tag\"", "apiClass", "Physics")

    seeds["pack"] = {"deflate": zip_of(PACK), "stored": zip_of(PACK, zipfile.ZIP_STORED), "empty": zip_of([])}
    seeds["aedt"] = {"hfss": AEDT, "icepak": ICEPAK, "crlf": AEDT.replace(b"\n", b"\r\n"),
                     "odd": b"$begin 'A\xff'\n\xc2\xa0Product='x'\n$end 'B'\n$end 'A\xff'\n"}
    dicts["aedt"] = dictionary("$begin '", "$end '", "Name='", "Product=", "ProjectName=", "DesignName=", "Factory=",
                               "IsSolved=", "SolutionType=", "BoundType=", ":=", "Version(", "VariableProp(",
                               "IcepakModel", "HFSSModel", "DesignInfo", "SolveSetups", "Sweeps", "Materials",
                               "MeshOperations", "MeshRegions", "IcepakMonitors", "Boundaries", "\xc2\x85")
    seeds["aedtz"] = {"member": zip_of([("readme.txt", b"x"), ("Antenna/Antenna.aedt", AEDT)]),
                      "none": zip_of([("a.txt", b"x")]), "icepak": zip_of([("p.AEDT", ICEPAK)], zipfile.ZIP_STORED)}
    dicts["aedtz"] = dicts["aedt"] + dictionary(".aedt", "PK\x03\x04", "PK\x01\x02", "PK\x05\x06")
    dicts["pack"] = dictionary(".rev/", "PDProject", "DataSets", "PK\x03\x04", "PK\x01\x02", "PK\x05\x06")

    tar_seeds = tars()
    tar_words = dictionary("ustar\x0000", "ustar  \x00", "././@LongLink", "path=", "size=", "linkpath=",
                           "00000000000", "\x80\x00\x00\x00", " 30 path=")
    seeds["icepak_tar"] = dict(tar_seeds, **{k + ".gz": gzip.compress(v, mtime=0) for k, v in tar_seeds.items()})
    seeds["icepak_tgz"] = tar_seeds
    seeds["tar"] = tar_seeds
    for name in ("icepak_tar", "icepak_tgz", "tar"):
        dicts[name] = tar_words

    seeds["fluent"], seeds["mechanical"] = fluent, mechanical
    dicts["fluent"] = dicts["mechanical"] = dictionary("\x89HDF\r\n\x1a\n", "TREE", "HEAP", "SNOD", "OHDR", "GCOL")

    seeds["xml"] = {"floxml": FLOXML, "modelinfo": MODELINFO, "dmodel": DMODEL,
                    "markup": b"<?xml version='1.0'?><!DOCTYPE a [<!ENTITY x 'y'>]><a k='1' k=\"2\" j=x l>"
                              b"t &x; &#65;<![CDATA[<b>]]><!-- c --><b/></a >  </c>"}
    dicts["xml"] = dictionary(*XML_WORDS)

    entries = [Entry("t.%d" % m, data, m, plain=text) for m, data in streams.items()]
    seeds["zip"] = {"methods": build_zip(entries), "python": zip_of([("a", text), ("d/", b"")]),
                    "zip64": build_zip([Entry("z", text, zip64=True)], zip64_eocd=True),
                    "utf8-name": build_zip([Entry("caf\xc3\xa9".encode("latin-1"), b"x", flags=0x800)])}
    seeds["zip"].update({"zip-%d" % m: build_zip([Entry("t", data, m, plain=text)]) for m, data in streams.items()})
    dicts["zip"] = dictionary("PK\x03\x04", "PK\x01\x02", "PK\x05\x06", "PK\x06\x06", "PK\x06\x07",
                              "\x01\x00", "up\x00", "\xff\xff\xff\xff")

    seeds["json_member"] = {"smodel": SMODEL, "deep": b"[" * 127 + b"]" * 127, "too-deep": b"[" * 128,
                            "numbers": b"[1e400, -0.5e-3, 12345678901234567890, 1.]",
                            "strings": b'{"tag":"a\\ud83d\\ude00","type":"study","s":"\\u0000\\x"}',
                            "bom": b"\xef\xbb\xbf{}", "two": b"{}{}"}
    dicts["json_member"] = dictionary('"tag"', '"apiClass"', '"type"', '"Physics"', '"Study"', '"Material"', "\\u",
                                      "true", "false", "null", "1e308", "[", "]", "{", "}", ":", ",")

    methods = [STORED, DEFLATE, DEFLATE64, BZIP2, LZMA, XZ, ZSTD, PPMD]
    size = struct.pack("<I", len(text))[:3]
    codec = {"m%d" % methods.index(m): bytes([methods.index(m)]) + size + data for m, data in streams.items()}
    codec["gzip"] = b"\x08" + size + gzip.compress(text, mtime=0)
    codec["gzip-fields"] = b"\x08" + size + b"\x1f\x8b\x08\x1e\0\0\0\0\0\xff\x02\0ab" + b"name\0comment\0" \
        + struct.pack("<H", zlib.crc32(b"\x1f\x8b\x08\x1e\0\0\0\0\0\xff\x02\0ab" + b"name\0comment\0") & 0xFFFF) \
        + raw_deflate(text) + struct.pack("<II", zlib.crc32(text), len(text))
    codec["zlib"] = b"\x09\x80\x00\x00" + zlib.compress(text)
    codec["d64-far"] = b"\x02" + b"\x00\x00\x01" + deflate64_stream(b"abc", [(300, 3)])[0]
    seeds["codec"] = codec

    seeds["text"] = {"lines": b"*NODE\n  $x\n\t<a>\r\n\xc2\xa0*y\n\xe3\x80\x80\n\xff*z\nplain\n" * 3,
                     "utf8": "caf\u00e9 \u2028 \U0001f600 ".encode() + b"\xed\xa0\x80\xf4\x90\x80\x80\xc0\xaf end",
                     "spaces": b"  \t\x0b\x0c  x  \xc2\x85 \xe2\x80\x89"}

    seeds["scan"] = {
        "tree": b"\n@".join([b"dprojects/sub", b"fprojects/deck.inp\n" + MESH, b"fprojects/sub/case.floxml\n" + FLOXML,
                             b"fprojects/a.aedt\n" + AEDT, b"fprojects/a.aedt.lock\n", b"dprojects/a.aedtresults",
                             b"fprojects/b.XML\n<sm_xml_case/>", b"fprojects/c.xml\n<other/>",
                             b"fprojects/notes.txt\nx", b"lprojects/sub/up.inp\t../deck.inp",
                             b"lprojects/sub/loop\t../", b"lprojects/dangling.mph\tnowhere.mph",
                             b"fprojects/n\xffame.tzr\n" + tar_seeds["ustar"]]),
        "suffixes": b"\n@".join(b"fx" + s + b"\n" for s in (b".mph", b".inp", b".inc", b".cas.h5", b".msh.h5",
                                                            b".aedt", b".aedtz", b".mechdb", b".mechdat", b".tzr",
                                                            b".floxml", b".xml", b".pack", b".h5", b".MPH")),
        "broken": b"fz.mph\nnot a zip\n@fa.inp\n*NODE\n1\n"}
    dicts["scan"] = dictionary("\n@d", "\n@f", "\n@l", "../", "\t", ".mph", ".inp", ".inc", ".cas.h5", ".msh.h5",
                               ".aedt", ".aedtz", ".mechdb", ".mechdat", ".tzr", ".floxml", ".xml", ".pack", ".lock",
                               "results", "<xml_case>", "*INCLUDE, INPUT=")

    shutil.rmtree(out, ignore_errors=True)
    for target, files in seeds.items():
        os.makedirs(os.path.join(out, target))
        for name, data in files.items():
            with open(os.path.join(out, target, name), "wb") as f:
                f.write(data)
    for target, text in dicts.items():
        with open(os.path.join(out, target + ".dict"), "w") as f:
            f.write(text)


if __name__ == "__main__":
    write_all(sys.argv[1])
