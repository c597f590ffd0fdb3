"""FloXML files through tolvanex: a project as a golden record, errors, and the memory that
hostile files may take."""
import pytest

import tolvanex
from conftest import measured

EMPTY = {
    "root": "xml_case", "name": None, "solution": None, "dimensionality": None, "transient": None,
    "radiation": None, "turbulence_type": None, "gravity_direction": None, "ambient_temperature": None,
    "datum_pressure": None, "outer_iterations": None, "grid": [], "attribute_type_counts": [], "attributes": [],
    "geometry_type_counts": [], "geometry": [], "sources": [], "solution_domain": None, "truncated": False,
}

PROJECT = """\
<?xml version="1.0" encoding="UTF-8"?>
<!-- written by a test -->
<xml_case>
  <name>Board &amp; Case</name>
  <model>
    <modeling><solution>flow_heat</solution><dimensionality>3d</dimensionality>
      <transient>On</transient><radiation>off</radiation></modeling>
    <turbulence><turbulence_type>lvel_k_epsilon</turbulence_type></turbulence>
    <gravity><normal_direction>neg_y</normal_direction></gravity>
    <global><ambient_temperature>35</ambient_temperature><datum_pressure>1e5</datum_pressure></global>
  </model>
  <solve><overall_control><outer_iterations>800</outer_iterations></overall_control></solve>
  <grid><system_grid>
    <y_grid><min_size>0.1</min_size><max_size>2</max_size></y_grid>
    <x_grid><grid_type>max_size</grid_type></x_grid>
  </system_grid></grid>
  <attributes>
    <materials><material_att><name>Copper</name></material_att></materials>
    <sources>
      <source_att><name>Chip</name><power>2.5</power><power>3</power></source_att>
      <source_att><name>Amp</name><power>1</power></source_att>
    </sources>
  </attributes>
  <geometry>
    <cuboid><name>PCB</name></cuboid>
    <assembly><name>Heat sink</name><geometry><cuboid><name>Base</name></cuboid></geometry></assembly>
  </geometry>
  <solution_domain>
    <fluid>Air</fluid>
    <x_high_ambient>Outside</x_high_ambient>
    <x_low_ambient>Outside</x_low_ambient>
    <y_low_boundary>symmetry</y_low_boundary>
  </solution_domain>
</xml_case>
"""

PROJECT_SUMMARY = dict(
    EMPTY, name="Case", solution="flow_heat", dimensionality="3d", transient=True, radiation="off",
    turbulence_type="lvel_k_epsilon", gravity_direction="neg_y", ambient_temperature="35", datum_pressure="1e5",
    outer_iterations="800",
    grid=[{"axis": "x_grid", "grid_type": "max_size", "min_size": None, "max_size": None},
          {"axis": "y_grid", "grid_type": None, "min_size": "0.1", "max_size": "2"}],
    attribute_type_counts=[{"name": "material_att", "count": 1}, {"name": "source_att", "count": 2}],
    attributes=[{"kind": "material_att", "name": "Copper"}, {"kind": "source_att", "name": "Amp"},
                {"kind": "source_att", "name": "Chip"}],
    geometry_type_counts=[{"name": "assembly", "count": 1}, {"name": "cuboid", "count": 2}],
    geometry=[{"kind": "assembly", "name": "Heat sink"}, {"kind": "cuboid", "name": "Base"},
              {"kind": "cuboid", "name": "PCB"}],
    sources=[{"name": "Amp", "powers": ["1"]}, {"name": "Chip", "powers": ["2.5", "3"]}],
    solution_domain={"fluid": "Air", "boundaries": [{"face": "x_high", "kind": "ambient", "value": "Outside"},
                                                   {"face": "x_low", "kind": "ambient", "value": "Outside"},
                                                   {"face": "y_low", "kind": "boundary", "value": "symmetry"}]},
)


def record(name, summary):
    return {"file_name": name, "format": "flotherm-floxml", "ok": True, "warnings": [],
            "summary": {"kind": "flotherm-floxml", "data": summary}}


def write(path, text):
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return str(path)


@pytest.mark.parametrize("name", ["model.floxml", "MODEL.FLOXML", "case.xml", "Case.XML"])
def test_inspect_project(tmp_path, name):
    assert tolvanex.inspect(write(tmp_path / name, PROJECT)) == record(name, PROJECT_SUMMARY)


@pytest.mark.parametrize("content, message", [
    ("<project/>", "expected FloTHERM FloXML root <xml_case> or <sm_xml_case>, got <project>"),
    ("<a%s/>" % ("\u00e9" * 200), "expected FloTHERM FloXML root <xml_case> or <sm_xml_case>, got <a%s\u2026>" % ("\u00e9" * 127)),
    ("<?xml version='1.0'?>\n<!-- nothing -->\n", "FloTHERM FloXML file did not contain a root element"),
    ("<xml_case><name>a</nam></xml_case>",
     "xml error: ill-formed document: expected `</name>`, but `</nam>` was found"),
    ("<xml_case><name>A & B</name></xml_case>",
     "xml error: ill-formed document: entity or character reference not closed: `;` not found before end of input"),
    (None, "io error: No such file or directory (os error 2)"),
])
def test_inspect_and_scan_errors(tmp_path, content, message):
    path = str(tmp_path / "bad.floxml") if content is None else write(tmp_path / "bad.floxml", content)
    for call in (tolvanex.inspect, lambda p: tolvanex.scan([p])) if content is not None else (tolvanex.inspect,):
        with pytest.raises(RuntimeError) as err:
            call(path)
        assert str(err.value) == message


def test_every_prefix_of_a_project_is_a_summary_or_a_known_error(tmp_path):
    prefixes = ("xml error: syntax error: ", "xml error: ill-formed document: ")
    seen_ok = 0
    for cut in range(0, len(PROJECT) + 1, 7):
        try:
            data = tolvanex.inspect(write(tmp_path / "p.floxml", PROJECT[:cut]))["summary"]["data"]
        except RuntimeError as err:
            text = str(err)
            assert text.startswith(prefixes) or text == "FloTHERM FloXML file did not contain a root element", text
        else:
            assert data["root"] == "xml_case"
            seen_ok += 1
    assert seen_ok > 10


NAME = "tolvanex.inspect(path)['summary']['data']['name']"
KEPT = "[tolvanex.inspect(path)['summary']['data'][k] for k in ('name', 'truncated')]"
SCAN = "[r['format'] for r in tolvanex.scan([path])]"
ERROR = "tolvanex.inspect(path)"
NBSP, IDEOGRAPHIC = "\u00a0".encode(), "\u3000".encode()
TAIL = b"</name></xml_case>"
MISMATCH = "xml error: ill-formed document: expected `</xml_case>`, but `</>` was found"


@pytest.mark.slow
@pytest.mark.parametrize("name, head, filler, mib, tail, expr, outcome", [
    # The root probe holds no text, markup or name however long.
    ("data.xml", b"", b"0123456789 abcdef ", 50, b"", SCAN, []),
    ("late.xml", b"<!-- x -->", b"text ", 50, b"<xml_case/>", SCAN, ["flotherm-floxml"]),
    ("blob.xml", b"<", b"QUJDRA==", 50, b"", SCAN, []),
    ("name.xml", b"<", b"p", 50, b"xml_case/>", SCAN, []),
    # What the reader does not keep is scanned, not held.
    ("a.floxml", b"<xml_case><name>N</name><data>", b"1.0 2.0 ", 50, b"</data></xml_case>", NAME, "N"),
    # An open element costs its name and a byte or two; an open entity about a byte more.
    ("a.floxml", b"<xml_case><name>N</name>", b"<a>", 24, b"", NAME, "N"),
    ("a.floxml", b"<xml_case><name>N</name><geometry>", b"<geometry>", 20, b"", NAME, "N"),
    ("a.floxml", b"<xml_case><name>N</name><attributes>", b"<a_att>", 21, b"", NAME, "N"),
    # A relevant text is held only within the budget; white space around it not at all.
    ("a.floxml", b"<xml_case><name>", b"x ", 200, TAIL, KEPT, [None, True]),
    ("a.floxml", b"<xml_case><name>N", b" \t\r\n", 200, TAIL, KEPT, ["N", False]),
    ("a.floxml", b"<xml_case><name>N", NBSP + b" ", 200, TAIL, KEPT, ["N", False]),
    ("a.floxml", b"<xml_case><name>", IDEOGRAPHIC, 200, b"N" + TAIL, KEPT, ["N", False]),
    ("a.floxml", b"<xml_case><name>N</name", b" ", 200, b"></xml_case>", KEPT, ["N", False]),
    ("a.floxml", b"<xml_case><name>N", NBSP, 200, b"M" + TAIL, KEPT, [None, True]),
    # An end tag's name is compared as it streams by, and an error shows its first 256 bytes
    # only when it is UTF-8, so it is not held.
    ("a.floxml", b"<xml_case><name>N</name", b" \t", 200, b"></xml_case>", KEPT, ["N", False]),
    ("a.floxml", b"<xml_case></", b"x", 50, b">", ERROR, MISMATCH.replace("</>", "</%s\u2026>" % ("x" * 256))),
    ("a.floxml", b"<xml_case></xml_case", b" ", 200, b"\xff>", ERROR, MISMATCH),
    ("a.floxml", b"<xml_case></xml_case", b" ", 200, b"x\xff" + b" " * 100 + b">", ERROR, MISMATCH),
])
def test_hostile_files_take_bounded_memory(tmp_path, name, head, filler, mib, tail, expr, outcome):
    path = tmp_path / name
    with open(path, "wb") as f:
        f.write(head)
        chunk = filler * (1024 * 1024 // len(filler))
        for _ in range(mib):
            f.write(chunk)
        f.write(tail)
    result, growth = measured(expr, path)
    assert result == repr(outcome)
    assert growth < 32
