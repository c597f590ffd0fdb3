"""Small, well-formed files of each format that tolvanex reads, made from code.

`make demo` (scripts/demo.py) writes them to a folder and prints what tolvanex reads from them;
the fuzz targets (fuzz/seeds.py) start from them. HDF5 files need h5py and numpy, imported only
by the two functions that build them.
"""
import io
import tarfile
import zipfile
import zlib

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

COMSOL = [("fileversion", b"2036:COMSOL 6.2.0.290"), ("modelinfo.xml", MODELINFO), ("dmodel.xml", DMODEL),
          ("smodel.json", SMODEL), ("usedlicenses.txt", b"COMSOL\nACDC\n"),
          ("savepoint1/solution.mphbin", bytes(64)), ("geometry/geom1.mphbin", bytes(16))]

PACK = [("Board.rev/", b""), ("Board.rev/PDProject/group", b"project data"),
        ("Board.rev/DataSets/BaseSolution/msp_0/end/Temperature", bytes(64))]

# (name, content) of an Icepak project archive; None makes a directory.
TAR_MEMBERS = [("Board/", None), ("Board/model", b"model data\n"), ("Board/job.info", b"x"),
               ("Board/" + "long_name_" * 12 + ".dat", b"1" * 600), ("Board/pr\u00e9view.png", b"")]


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


def fluent_case(f):
    """Fills an open h5py file as a small Fluent case: root attributes, zones, settings, results."""
    import h5py
    import numpy as np

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
    """A Mechanical text stream: a 4-byte head, then UTF-16LE."""
    return b"\x01\x00\x00\x00" + text.encode("utf-16-le")


def mechanical_db(f):
    """Fills an open h5py file as a small Mechanical database: version, object inventory, parts."""
    import numpy as np

    streams = {"Version Info Stream": utf16("\0|2024|x| 25.1 |y|Release|\0"),
               "DS Objects Information": utf16("|,17,105,Static Structural\0|,2,406,Steel\0|,1,400,a.agdb"),
               "Part Manager Stream": b"\0\0\0\0" + zlib.compress(b"\0X:\\cad\\Pump.STEP\0a.x_t\0")}
    for name, raw in streams.items():
        d = f.create_dataset(name, data=np.frombuffer(raw, dtype="u1"), chunks=True, compression="gzip")
        d.attrs["UsedSize"] = np.uint64(len(raw))
