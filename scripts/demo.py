"""Generates a few sample files and prints what tolvanex.scan returns for them, full and compact."""

import json
import pathlib
import sys
import tempfile
import zipfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "build" / "python"))

import tolvanex  # noqa: E402

FLOXML = """<?xml version="1.0" encoding="UTF-8"?>
<xml_case>
  <name>Board cooling</name>
  <model>
    <modeling><solution>flow_heat</solution><dimensionality>3d</dimensionality>
      <transient>false</transient><radiation>on</radiation></modeling>
    <turbulence><turbulence_type>lvel_k_epsilon</turbulence_type></turbulence>
    <gravity><normal_direction>neg_y</normal_direction></gravity>
    <global><ambient_temperature>300 K</ambient_temperature><datum_pressure>101325</datum_pressure></global>
  </model>
  <solve><overall_control><outer_iterations>500</outer_iterations></overall_control></solve>
  <grid><system_grid><x_grid><min_size>0.001</min_size><max_size>0.01</max_size></x_grid></system_grid></grid>
  <attributes>
    <sources><source_att><name>CPU power</name><power>15</power><power>20</power></source_att></sources>
    <materials><isotropic_material_att><name>Copper</name></isotropic_material_att></materials>
  </attributes>
  <geometry><cuboid><name>Heat sink</name></cuboid><cuboid><name>Chip</name></cuboid></geometry>
  <solution_domain><fluid>Air</fluid><x_low_ambient>Ambient</x_low_ambient></solution_domain>
</xml_case>
"""

DECK = """*HEADING
Bracket under load
*INCLUDE, INPUT=mesh.inc
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
"""

MESH = """*NODE
1, 0., 0., 0.
2, 1., 0., 0.
3, 0., 1., 0.
4, 0., 0., 1.
*ELEMENT, TYPE=C3D4, ELSET=ALL
1, 1, 2, 3, 4
"""

MODELINFO = """<modelinfo><title>Busbar</title><description>Joule heating</description>
<version>COMSOL 6.2.0.290</version><nodetype>model</nodetype><runnable>true</runnable></modelinfo>"""

DMODEL = """<model><param param="L" value="9[cm]" reference="length"/>
<physics tag="ec"/><physics tag="ht"/><study tag="std1"/><material tag="mat1"/></model>"""

SMODEL = '{"tag":"model","children":[{"tag":"ec","apiClass":"Physics"},{"tag":"std1","type":"Study"}]}'


def make_samples(root: pathlib.Path) -> None:
    (root / "board.floxml").write_text(FLOXML)
    (root / "case.xml").write_text(FLOXML)
    (root / "notes.xml").write_text("<project/>")  # not FloXML: skipped
    (root / "bracket.inp").write_text(DECK)
    (root / "mesh.inc").write_text(MESH)
    with zipfile.ZipFile(root / "busbar.mph", "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("fileversion", "2036:COMSOL 6.2.0.290")
        z.writestr("modelinfo.xml", MODELINFO)
        z.writestr("dmodel.xml", DMODEL)
        z.writestr("smodel.json", SMODEL)
        z.writestr("usedlicenses.txt", "COMSOL\nACDC\n")
        z.writestr("savepoint1/solution.mphbin", b"\0" * 4096)
        z.writestr("geometry/geom1.mphbin", b"\0" * 1024)
    with zipfile.ZipFile(root / "board.pack", "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("Board.rev/", b"")
        z.writestr("Board.rev/PDProject/group", b"project data")
        z.writestr("Board.rev/DataSets/BaseSolution/msp_0/end/Temperature", b"\0" * 2048)


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp)
        make_samples(root)
        for name in sorted(p.name for p in root.iterdir()):
            print(f"sample: {name}")
        try:
            full = tolvanex.scan([tmp])
            print("\n== scan([dir]) ==")
            print(json.dumps(full, indent=2, ensure_ascii=False))
            compact = tolvanex.scan([tmp], summary=True)
            print("\n== scan([dir], summary=True) ==")
            print(json.dumps(compact, indent=2, ensure_ascii=False))
        except RuntimeError as error:
            print(f"scan failed: {error}")
            sys.exit(1)


if __name__ == "__main__":
    main()
