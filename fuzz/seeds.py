#!/usr/bin/env python3
"""Seed corpora and dictionaries of the fuzz targets, made from code.

`seeds.py OUTDIR` writes OUTDIR/<target>/<seed> for every target and OUTDIR/<target>.dict for
those with a dictionary. Seeds are small, well-formed files of each format (archives by
zipfile, tarfile, gzip, 7zz and hand-built headers, HDF5 files by h5py) and a few damaged
ones; libFuzzer mutates from there.
"""
import bz2
import gzip
import io
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

DECK = b"""*HEADING
Bracket under load
** a comment
*INCLUDE, INPUT=inc1.inc
*MATERIAL, NAME=Steel
*ELASTIC
210000., 0.3
*SOLID SECTION, ELSET=ALL, MATERIAL=Steel
*STEP
*STATIC
*BOUNDARY
1, 1, 3
*CLOAD
2, 2, -100.
*OUTPUT, FIELD
*NODE OUTPUT
U
*END STEP
*FREQUENCY
"""
MESH = b"*NODE\n1, 0., 0., 0.\n2, 1., 0., 0.\n*ELEMENT, TYPE=C3D4, ELSET=ALL\n1, 1, 2, 3, 4\n"

FLOXML = b"""<?xml version="1.0" encoding="UTF-8"?>
<!-- board -->
<xml_case>
  <name>Board &amp; case</name>
  <model>
    <modeling><solution>flow_heat</solution><dimensionality>3d</dimensionality>
      <transient>false</transient><radiation>on</radiation></modeling>
    <turbulence><turbulence_type>lvel_k_epsilon</turbulence_type></turbulence>
    <gravity><normal_direction>neg_y</normal_direction></gravity>
    <global><ambient_temperature>300 K</ambient_temperature><datum_pressure>101325</datum_pressure></global>
  </model>
  <solve><overall_control><outer_iterations>500</outer_iterations></overall_control></solve>
  <grid><system_grid><x_grid><min_size>0.001</min_size><max_size>0.01</max_size></x_grid>
    <y_grid><grid_type>max_size</grid_type></y_grid></system_grid></grid>
  <attributes>
    <sources><source_att><name>CPU power</name><power>15</power><power>20</power></source_att></sources>
    <materials><isotropic_material_att><name>Copper</name></isotropic_material_att></materials>
  </attributes>
  <geometry><cuboid><name>Heat sink</name></cuboid>
    <assembly><name>Fan</name><geometry><cuboid><name>Hub</name></cuboid></geometry></assembly></geometry>
  <solution_domain><fluid>Air</fluid><x_low_ambient>Ambient</x_low_ambient>
    <y_high_boundary>symmetry</y_high_boundary></solution_domain>
</xml_case>
"""

MODELINFO = (b"<modelinfo title='Busbar'><title>Busbar</title><description>Joule heating</description>"
             b"<version>COMSOL 6.2.0.290</version><nodetype>model</nodetype><runnable>true</runnable></modelinfo>")
DMODEL = (b'<model><param param="L" value="9[cm]" reference="length"/><param param="W" value="1"/>'
          b'<physics tag="ec"/><physics tag="ht"/><study tag="std1"/><material tag="mat1"/></model>')
SMODEL = (b'{"tag":"model","children":[{"tag":"ec","apiClass":"Physics"},{"tag":"std1","type":"Study"},'
          b'{"tag":"mat1","apiClass":"Material","x":[1,2.5e3,-0,true,false,null,"\\u00e9\\n"]}]}')

AEDT = b"""$begin 'AnsoftProject'
\tCreated='Tue Mar 12 09:15:00 2024'
\tProduct='HFSS'
\tProjectName='Antenna'
\t$begin 'Desktop'
\t\tVersion(2024, 1, 0)
\t$end 'Desktop'
\t$begin 'Definitions'
\t\t$begin 'Materials'
\t\t\t$begin 'copper'
\t\t\t$end 'copper'
\t\t$end 'Materials'
\t$end 'Definitions'
\t$begin 'HFSSModel'
\t\tName='Patch'
\t\tSolutionType='DrivenModal'
\t\t$begin 'ModelSetup'
\t\t\t$begin 'Properties'
\t\t\t\tVariableProp('width', 'UD', '', '10mm')
\t\t\t$end 'Properties'
\t\t\t$begin 'Boundaries'
\t\t\t\t$begin 'Port1'
\t\t\t\t\tBoundType='Wave Port'
\t\t\t\t$end 'Port1'
\t\t\t$end 'Boundaries'
\t\t\t$begin 'MeshOperations'
\t\t\t\t$begin 'Length1'
\t\t\t\t$end 'Length1'
\t\t\t$end 'MeshOperations'
\t\t\t$begin 'SolveSetups'
\t\t\t\t$begin 'Setup1'
\t\t\t\t\t$begin 'Sweeps'
\t\t\t\t\t\t$begin 'Sweep'
\t\t\t\t\t\t$end 'Sweep'
\t\t\t\t\t$end 'Sweeps'
\t\t\t\t$end 'Setup1'
\t\t\t$end 'SolveSetups'
\t\t$end 'ModelSetup'
\t$end 'HFSSModel'
$end 'AnsoftProject'
$begin 'ProjectPreview'
\t$begin 'DesignInfo'
\t\tDesignName='Patch'
\t\tFactory='HFSS'
\t\tIsSolved=true
\t$end 'DesignInfo'
$end 'ProjectPreview'
"""
ICEPAK = b"""$begin 'AnsoftProject'
\tProduct='ElectronicsDesktop'
\t$begin 'IcepakModel'
\t\tName='Board'
\t\tSolutionType='SteadyState'
\t\tSolutionTypeOption:='Transient'
\t\tProblemOption:='Temperature and Flow'
\t\tAmbientTemperature:='20cel'
\t\tAmbientPressure:='0n_per_meter_sq'
\t\tAmbientRadiationTemperature:='22cel'
\t\t'Default Fluid Material':='air'
\t\t$begin 'Boundaries'
\t\t\t$begin 'CPU'
\t\t\t\tBoundType='Block'
\t\t\t\t'Thermal Condition':='Total Power'
\t\t\t\t'Total Power':='10W'
\t\t\t$end 'CPU'
\t\t$end 'Boundaries'
\t\t$begin 'IcepakMonitors'
\t\t\t$begin 'Point1'
\t\t\t$end 'Point1'
\t\t$end 'IcepakMonitors'
\t\t$begin 'MeshRegions'
\t\t\t$begin 'CPU_region'
\t\t\t$end 'CPU_region'
\t\t$end 'MeshRegions'
\t$end 'IcepakModel'
$end 'AnsoftProject'
"""


def zip_of(entries, method=zipfile.ZIP_DEFLATED):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", method) as z:
        for name, data in entries:
            z.writestr(name, data)
    return out.getvalue()


def tar_of(members, fmt=tarfile.GNU_FORMAT):
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=fmt) as t:
        for name, data in members:
            info = tarfile.TarInfo(name)
            if data is None:
                info.type = tarfile.DIRTYPE
                t.addfile(info)
            else:
                info.size = len(data)
                t.addfile(info, io.BytesIO(data))
    return out.getvalue()


TAR_MEMBERS = [("Board/", None), ("Board/model", b"model data\n"), ("Board/job.info", b"x"),
               ("Board/" + "long_name_" * 12 + ".dat", b"1" * 600), ("Board/pr\u00e9view.png", b"")]


def tars():
    seeds = {"gnu": tar_of(TAR_MEMBERS), "pax": tar_of(TAR_MEMBERS, tarfile.PAX_FORMAT),
             "ustar": tar_of(TAR_MEMBERS[:3], tarfile.USTAR_FORMAT), "empty": bytes(1024)}
    pax = bytearray(seeds["pax"])
    pax[156] = ord("g")  # the first pax header as a global one
    seeds["global"] = bytes(pax)
    return seeds


def hdf5_files(tmp):
    import h5py
    import numpy as np

    def make(name, build, **kw):
        path = os.path.join(tmp, name)
        with h5py.File(path, "w", **kw) as f:
            build(f)
        return open(path, "rb").read()

    def fluent(f):
        f.attrs["version"] = np.uint64(7)
        f.attrs["title"] = "case"
        for name in ("settings", "meshes/1/zones", "results/1/phase-1"):
            f.require_group(name)
        f["meshes/1"].attrs["dimension"] = np.int32(3)
        f.create_dataset("settings/Rampant", data=np.frombuffer(b"(rp-seg? #f)", dtype="u1"))
        f.create_dataset("meshes/1/zones/ids", data=np.arange(4, dtype=">i2"))
        f.create_dataset("results/1/phase-1/v", shape=(0,), dtype="f8")
        f.create_dataset("empty", data=h5py.Empty("f8"))

    def utf16(text):
        return b"\x01\x00\x00\x00" + text.encode("utf-16-le")

    def mechanical(f):
        streams = {"Version Info Stream": utf16("\0|2024|x| 25.1 |y|Release|\0"),
                   "DS Objects Information": utf16("|,17,105,Static Structural\0|,2,406,Steel\0|,1,400,a.agdb"),
                   "Part Manager Stream": b"\0\0\0\0" + zlib.compress(b"\0X:\\cad\\Pump.STEP\0a.x_t\0")}
        for name, raw in streams.items():
            d = f.create_dataset(name, data=np.frombuffer(raw, dtype="u1"), chunks=True, compression="gzip")
            d.attrs["UsedSize"] = np.uint64(len(raw))

    return ({"plain": make("a.h5", fluent), "latest": make("b.h5", fluent, libver="latest"),
             "empty": make("c.h5", lambda f: None)},
            {"mechdb": make("m.h5", mechanical), "empty": make("n.h5", lambda f: None)})


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

    comsol = [("fileversion", b"2036:COMSOL 6.2.0.290"), ("modelinfo.xml", MODELINFO), ("dmodel.xml", DMODEL),
              ("smodel.json", SMODEL), ("usedlicenses.txt", b"COMSOL\nACDC\n"),
              ("savepoint1/solution.mphbin", bytes(64)), ("geometry/geom1.mphbin", bytes(16))]
    seeds["comsol"] = {"deflate": zip_of(comsol), "stored": zip_of(comsol, zipfile.ZIP_STORED),
                       "bzip2": zip_of(comsol[:5], zipfile.ZIP_BZIP2), "lzma": zip_of(comsol[:5], zipfile.ZIP_LZMA),
                       "bad-json": zip_of([("smodel.json", b'{"tag": [1, }')])}
    dicts["comsol"] = dictionary("PK\x03\x04", "PK\x01\x02", "PK\x05\x06", "fileversion", "modelinfo.xml",
                                 "dmodel.xml", "smodel.json", "usedlicenses.txt", "\"tag\"", "apiClass", "Physics")

    pack = [("Board.rev/", b""), ("Board.rev/PDProject/group", b"project data"),
            ("Board.rev/DataSets/BaseSolution/msp_0/end/Temperature", bytes(64))]
    seeds["pack"] = {"deflate": zip_of(pack), "stored": zip_of(pack, zipfile.ZIP_STORED), "empty": zip_of([])}
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
