"""Generators of the benchmark table's inputs.

Each generator writes one case's input into an empty directory, scaled by `scale` (1.0 gives
the full sizes), and returns the path that the contenders read with a few words on its shape.
Output depends only on the generator and the scale, never on a clock or an unseeded random
source, so that two machines measure the same bytes. The table caches each result under a
key holding the generator's VERSION: bump it when a generator's output changes.
"""
import gzip
import io
import json
import os
import pathlib
import random
import subprocess
import tarfile
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
VERSION = {"deck": 2, "floxml": 2, "comsol": 1, "pack": 1, "tree": 1, "hdf5": 1,
           "hdf5_small": 2, "aedt": 2, "tzr": 2}


def scaled(n, scale, least=1):
    return max(least, round(n * scale))


def write_chunks(path, chunks):
    """Writes an iterable of text pieces through one large buffer; returns the byte count."""
    with open(path, "w", encoding="utf-8", newline="\n", buffering=1 << 22) as f:
        return sum(f.write(c) for c in chunks)


def deck(directory, scale):
    """An Abaqus deck of about 1 GB (bench/abaqus_scan.cpp writes it) that includes one small
    material library deck."""
    path = directory / "bracket.inp"
    subprocess.run([str(ROOT / "build" / "abaqus_scan"), "generate", str(path), str(scaled(1000, scale))],
                   check=True)
    (directory / "materials.inc").write_text(
        "** Material library\n*Material, name=Aluminium\n*Elastic\n70000., 0.33\n*Density\n2.7e-09,\n")
    return path, "1 include"


# One geometry entity of a FloXML model: a cuboid with its placement, size, orientation and
# material, indented as FloTHERM writes it. Most of a real model is elements like this.
CUBOID = """\
      <cuboid>
        <name>Block %(i)d</name>
        <active>true</active>
        <position>
          <x>%(x).6f</x>
          <y>%(y).6f</y>
          <z>%(z).6f</z>
        </position>
        <size>
          <x>0.00%(a)d</x>
          <y>0.00%(b)d</y>
          <z>0.000%(c)d</z>
        </size>
        <orientation>
          <local_x><i>1</i><j>0</j><k>0</k></local_x>
          <local_y><i>0</i><j>1</j><k>0</k></local_y>
          <local_z><i>0</i><j>0</j><k>1</k></local_z>
        </orientation>
        <material>Material %(m)d</material>
        <localized_grid>false</localized_grid>
      </cuboid>
"""

FLOXML_HEAD = """\
<?xml version="1.0" encoding="UTF-8"?>
<xml_case>
  <name>Server board</name>
  <model>
    <modeling><solution>flow_heat</solution><radiation>off</radiation>
      <dimensionality>3d</dimensionality><transient>false</transient></modeling>
    <turbulence><type>turbulent</type><turbulence_type>auto_algebraic</turbulence_type></turbulence>
    <gravity><type>normal</type><normal_direction>neg_y</normal_direction></gravity>
    <global><ambient_temperature>300</ambient_temperature><datum_pressure>101325</datum_pressure></global>
  </model>
  <solve><overall_control><outer_iterations>500</outer_iterations></overall_control></solve>
  <grid><system_grid>
    <x_grid><min_size>0.0001</min_size><grid_type>max_size</grid_type><max_size>0.002</max_size></x_grid>
    <y_grid><min_size>0.0001</min_size><grid_type>max_size</grid_type><max_size>0.002</max_size></y_grid>
    <z_grid><min_size>0.0001</min_size><grid_type>max_size</grid_type><max_size>0.001</max_size></z_grid>
  </system_grid></grid>
"""

FLOXML_TAIL = """\
  <solution_domain>
    <position><x>0</x><y>0</y><z>0</z></position>
    <size><x>0.3</x><y>0.05</y><z>0.2</z></size>
    <x_low_ambient>Ambient</x_low_ambient><x_high_ambient>Ambient</x_high_ambient>
    <y_low_boundary>symmetry</y_low_boundary><y_high_boundary>open</y_high_boundary>
    <fluid>Air</fluid>
  </solution_domain>
</xml_case>
"""


def floxml_pieces(entities):
    # Groups of 103 entities: one material and one source under <attributes>, an assembly of
    # 100 cuboids under <geometry>.
    groups = entities // 103
    yield FLOXML_HEAD + "  <attributes>\n    <materials>\n"
    yield "".join(f"      <material_att><name>Material {m}</name><conductivity>{m % 400 + 1}"
                  f"</conductivity><density>2700</density><specific_heat>900</specific_heat>"
                  f"</material_att>\n" for m in range(groups))
    yield "    </materials>\n    <sources>\n"
    yield "".join(f"      <source_att><name>Source {s}</name><source><type>total</type>"
                  f"<power>{s % 50 / 10 + 0.5}</power></source></source_att>\n"
                  for s in range(groups))
    yield "    </sources>\n  </attributes>\n  <geometry>\n"
    for g in range(groups):
        parts = [f"    <assembly>\n      <name>Assembly {g}</name>\n      <geometry>\n"]
        for i in range(g * 100, g * 100 + 100):
            parts.append(CUBOID % {"i": i, "x": i * 7919 % 300000 / 1e6, "y": i * 104729 % 50000 / 1e6,
                                   "z": i * 1299709 % 200000 / 1e6, "a": i % 9 + 1, "b": i % 7 + 1,
                                   "c": i % 5 + 1, "m": i % groups})
        parts.append("      </geometry>\n    </assembly>\n")
        yield "".join(parts)
    yield "  </geometry>\n" + FLOXML_TAIL


def floxml(directory, scale):
    """A FloXML model of about 500 MB holding about 850,000 entities."""
    path = directory / "board.floxml"
    entities = scaled(850_000, scale, 103) // 103 * 103
    write_chunks(path, floxml_pieces(entities))
    return path, f"{entities:,} entities"


KINDS = ("physics", "study", "material")


def comsol_tree(size):
    """The model tree (dmodel.xml): parameters, then components full of features with
    properties, the usual bulk of the member."""
    yield '<?xml version="1.0" encoding="UTF-8"?>\n<model tag="model" version="6.1">\n'
    yield "".join(f' <param param="L{p}" value="{p % 90 + 1}[mm]" descr="Length {p}"/>\n'
                  for p in range(200))
    written, n = 0, 0
    while written < size:
        kind = KINDS[n % 3]
        parts = [f' <{kind} tag="{kind[:3]}{n}" type="Node{n % 17}">\n']
        for f in range(50):
            parts.append(f'  <feature tag="f{f}" type="Feature{f % 11}"><selection entities="{f},{f + 1},'
                         f'{f + 7}"/><prop name="coeff{f}" value="{f}.25[W/(m*K)]"/>'
                         f'<prop name="T{f}" value="293.15[K]"/></feature>\n')
        parts.append(f" </{kind}>\n")
        chunk = "".join(parts)
        written += len(chunk)
        n += 1
        yield chunk
    yield "</model>\n"


def comsol_json(size):
    """The serialised model (smodel.json): nested objects with tags and classes."""
    nodes, written, n = [], 0, 0
    while written < size:
        node = {"apiClass": KINDS[n % 3].capitalize(), "tag": f"j{n}",
                "features": [{"type": "Feature", "tag": f"f{f}",
                              "props": {"value": [f, f + 0.5], "unit": "K"}} for f in range(20)]}
        written += len(json.dumps(node, indent=1))
        nodes.append(node)
        n += 1
    return json.dumps({"apiClass": "Model", "tag": "model", "children": nodes}, indent=1)


def comsol(directory, scale):
    """A COMSOL archive of 20,000 entries with a 50 MB model tree and a 10 MB JSON member."""
    path = directory / "heatsink.mph"
    entries = scaled(20_000, scale, 10)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
        z.writestr("fileversion", "1868:COMSOL 6.1.0.252")
        z.writestr("usedlicenses.txt", "COMSOL\nHEATTRANSFER\n")
        z.writestr("modelinfo.xml", '<?xml version="1.0"?>\n<modelinfo><title>Heat sink</title>'
                   "<description>Forced convection</description><version>COMSOL 6.1.0.252</version>"
                   "<nodetype>model</nodetype><isrunnable>true</isrunnable></modelinfo>\n")
        tree = "".join(comsol_tree(scaled(50_000_000, scale)))
        model = comsol_json(scaled(10_000_000, scale))
        z.writestr("dmodel.xml", tree)
        z.writestr("smodel.json", model)
        folders = ("savepoint1/solution", "geometry/geom", "mesh/mesh", "data/table", "img/thumb")
        for i in range(entries - 5):
            z.writestr(f"{folders[i % 5]}{i}.mphbin", (b"%08d" % i) * (i % 16 + 1))
    return path, f"{entries:,} entries, model tree {len(tree) / 1e6:.1f} MB, JSON {len(model) / 1e6:.1f} MB"


def pack(directory, scale):
    """A FloTHERM pack of 100,000 entries: one project folder with its solution data sets."""
    path = directory / "board.pack"
    entries = scaled(100_000, scale, 10)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
        z.writestr("Board.rev/", b"")
        z.writestr("Board.rev/PDProject/group", b"<group/>")
        for i in range(entries - 2):
            z.writestr(f"Board.rev/DataSets/BaseSolution/msp_{i // 1000}/field_{i % 1000:03d}",
                       b"%d" % i)
    return path, f"{entries:,} entries"


def tree(directory, scale):
    """A tree of 200,000 files in 2,000 folders (20 groups of 100), one small deck per
    folder among 99 other files that the scan must pass over."""
    root = directory / "projects"
    others = ["notes.txt", "run.log", "image.png", "result.odb", "model.cae", "job.dat", "job.msg",
              "job.sta", "report.pdf", "mesh.stl"]
    folders = scaled(2_000, scale, 10)
    for f in range(folders):
        folder = root / f"group_{f // 100:02d}" / f"case_{f:04d}"
        folder.mkdir(parents=True)
        (folder / f"model_{f:04d}.inp").write_text(
            f"*Heading\nCase {f}\n*Node\n1, 0., 0., 0.\n2, 1., 0., 0.\n*Element, type=T3D2\n1, 1, 2\n"
            "*Material, name=Steel\n*Step\n*Static\n*End Step\n")
        for i in range(99):
            os.close(os.open(folder / f"{i:02d}_{others[i % 10]}", os.O_WRONLY | os.O_CREAT, 0o644))
    return root, f"{folders * 100:,} files in {folders:,} folders, {folders:,} decks"


def hdf5(directory, scale):
    """A Fluent HDF5 file of 5,000 groups and 15,000 datasets with attributes."""
    import h5py
    import numpy as np
    path = directory / "large.cas.h5"
    zones = scaled(50, scale)
    with h5py.File(path, "w") as f:
        f.attrs["solver"] = "fluent"
        for i in range(zones):
            top = f.create_group(f"zone_{i:02d}")
            top.attrs["id"] = i
            for j in range(99):
                g = top.create_group(f"face_{j:02d}")
                g.attrs["kind"] = "wall"
                for k in range(3):
                    d = g.create_dataset(f"field_{k}", data=np.arange(4, dtype="f8"))
                    d.attrs["units"] = "m/s"
                    d.attrs["scale"] = 1.5
    return path, f"{zones * 100:,} groups, {zones * 297:,} datasets"


def hdf5_small(directory, scale):
    """1,000 small Fluent case files in one folder."""
    import h5py
    import numpy as np
    folder = directory / "cases"
    folder.mkdir()
    files = scaled(1_000, scale, 20)
    for n in range(files):
        with h5py.File(folder / f"run_{n:04d}.cas.h5", "w") as f:
            f.attrs["version"] = np.uint64(n)
            g = f.create_group("settings")
            g.attrs["model"] = "k-epsilon"
            g.create_dataset("x", data=np.arange(8))
            f.create_dataset("mesh/nodes", data=np.zeros((4, 3)))
    return folder, f"{files:,} files"


def aedt(directory, scale):
    """An AEDT project of about 1 GB, most of its lines passed over by the reader
    (bench/project_lines.cpp writes it)."""
    path = directory / "antenna.aedt"
    subprocess.run([str(ROOT / "build" / "project_lines"), "generate", str(path), str(scaled(1000, scale))],
                   check=True)
    return path, "1 design"


def tar_project(path, entries, compress):
    """An Icepak project of `entries` small files (about 2 KB of numbers each) in folders of
    1,000, as a GNU tar, gzip-wrapped when `compress`."""
    rng = random.Random(7)
    words = [b"%d.%03d" % (rng.randrange(1000), rng.randrange(1000)) for _ in range(512)]
    bodies = [b" ".join(rng.choice(words) for _ in range(rng.randrange(600))) + b"\n" for _ in range(2000)]
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.GNU_FORMAT) as tar:
        for i in range(entries):
            if i % 1000 == 0:
                info = tarfile.TarInfo("proj/part%03d" % (i // 1000))
                info.type = tarfile.DIRTYPE
                tar.addfile(info)
            body = rng.choice(bodies)
            info = tarfile.TarInfo("proj/part%03d/cell%06d.dat" % (i // 1000, i))
            info.size = len(body)
            tar.addfile(info, io.BytesIO(body))
    data = raw.getvalue()
    path.write_bytes(gzip.compress(data, 6) if compress else data)


def tzr(directory, scale):
    """An Icepak archive: a gzip tar of 100,000 files."""
    path = directory / "project.tzr"
    entries = scaled(100_000, scale, 10)
    tar_project(path, entries, compress=True)
    return path, f"{entries + (entries + 999) // 1000:,} entries"
