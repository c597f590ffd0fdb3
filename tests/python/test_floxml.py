import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import tolvanex

BUILD_PYTHON = pathlib.Path(__file__).resolve().parents[2] / "build" / "python"

EMPTY = {
    "root": "xml_case",
    "name": None,
    "solution": None,
    "dimensionality": None,
    "transient": None,
    "radiation": None,
    "turbulence_type": None,
    "gravity_direction": None,
    "ambient_temperature": None,
    "datum_pressure": None,
    "outer_iterations": None,
    "grid": [],
    "attribute_type_counts": [],
    "attributes": [],
    "geometry_type_counts": [],
    "geometry": [],
    "sources": [],
    "solution_domain": None,
    "truncated": False,
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
    EMPTY,
    name="Case",
    solution="flow_heat",
    dimensionality="3d",
    transient=True,
    radiation="off",
    turbulence_type="lvel_k_epsilon",
    gravity_direction="neg_y",
    ambient_temperature="35",
    datum_pressure="1e5",
    outer_iterations="800",
    grid=[
        {"axis": "x_grid", "grid_type": "max_size", "min_size": None, "max_size": None},
        {"axis": "y_grid", "grid_type": None, "min_size": "0.1", "max_size": "2"},
    ],
    attribute_type_counts=[{"name": "material_att", "count": 1}, {"name": "source_att", "count": 2}],
    attributes=[
        {"kind": "material_att", "name": "Copper"},
        {"kind": "source_att", "name": "Amp"},
        {"kind": "source_att", "name": "Chip"},
    ],
    geometry_type_counts=[{"name": "assembly", "count": 1}, {"name": "cuboid", "count": 2}],
    geometry=[
        {"kind": "assembly", "name": "Heat sink"},
        {"kind": "cuboid", "name": "Base"},
        {"kind": "cuboid", "name": "PCB"},
    ],
    sources=[{"name": "Amp", "powers": ["1"]}, {"name": "Chip", "powers": ["2.5", "3"]}],
    solution_domain={
        "fluid": "Air",
        "boundaries": [
            {"face": "x_high", "kind": "ambient", "value": "Outside"},
            {"face": "x_low", "kind": "ambient", "value": "Outside"},
            {"face": "y_low", "kind": "boundary", "value": "symmetry"},
        ],
    },
)


def record(name, summary):
    return {
        "file_name": name,
        "format": "flotherm-floxml",
        "ok": True,
        "warnings": [],
        "summary": {"kind": "flotherm-floxml", "data": summary},
    }


def write(path, text):
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return str(path)


@pytest.mark.parametrize("name", ["model.floxml", "MODEL.FLOXML", "case.xml", "Case.XML"])
def test_inspect_project(tmp_path, name):
    path = write(tmp_path / name, PROJECT)
    assert tolvanex.inspect(path) == record(name, PROJECT_SUMMARY)


def test_inspect_with_forced_format_and_path(tmp_path):
    path = write(tmp_path / "project.txt", "<sm_xml_case/>")
    got = tolvanex.inspect(path, format="FloTHERM-FloXML", include_paths=True)
    assert got == dict(record("project.txt", dict(EMPTY, root="sm_xml_case")), path=path)


def test_scan_detects_xml_by_its_first_element(tmp_path):
    write(tmp_path / "a_case.xml", "\ufeff<?xml version='1.0'?><!-- c --><ns:xml_case/>")
    write(tmp_path / "b_other.xml", "<project><xml_case/></project>")
    write(tmp_path / "c_upper.xml", "<XML_CASE/>")
    write(tmp_path / "d_empty.xml", "")
    write(tmp_path / "e_broken.xml", "a & b <xml_case/>")
    write(tmp_path / "f_late_error.xml", "<sm_xml_case><name>S</name>")
    write(tmp_path / "g_plain.floxml", "<xml_case><name>G</name></xml_case>")
    (tmp_path / "h_dir.xml").mkdir()
    # The walk keeps the directory's own order; compare by name.
    got = sorted(tolvanex.scan([str(tmp_path)]), key=lambda r: r["file_name"])
    assert got == [
        record("a_case.xml", EMPTY),
        record("f_late_error.xml", dict(EMPTY, root="sm_xml_case", name="S")),
        record("g_plain.floxml", dict(EMPTY, name="G")),
    ]


@pytest.mark.parametrize(
    "content", ["<project/>", "", "<?xml version='1.0'?><!-- only -->", "</xml_case>", "<!x>"]
)
def test_xml_without_floxml_root_has_no_format(tmp_path, content):
    path = write(tmp_path / "other.xml", content)
    with pytest.raises(RuntimeError) as err:
        tolvanex.inspect(path)
    assert str(err.value) == f"unsupported file format for {path}"


def test_missing_xml_has_no_format(tmp_path):
    path = str(tmp_path / "missing.xml")
    with pytest.raises(RuntimeError) as err:
        tolvanex.inspect(path)
    assert str(err.value) == f"unsupported file format for {path}"


@pytest.mark.parametrize(
    "content, message",
    [
        ("<project/>", "expected FloTHERM FloXML root <xml_case> or <sm_xml_case>, got <project>"),
        ("", "FloTHERM FloXML file did not contain a root element"),
        ("<?xml version='1.0'?>\n<!-- nothing -->\n", "FloTHERM FloXML file did not contain a root element"),
        (
            "<xml_case><name>a</nam></xml_case>",
            "xml error: ill-formed document: expected `</name>`, but `</nam>` was found",
        ),
        (
            "<xml_case></xml_case></xml_case>",
            "xml error: ill-formed document: close tag `</xml_case>` does not match any open tag",
        ),
        (
            "<xml_case><name>A & B</name></xml_case>",
            "xml error: ill-formed document: entity or character reference not closed: "
            "`;` not found before end of input",
        ),
        ("<xml_case><!bogus></xml_case>", "xml error: syntax error: unknown or missed symbol in markup"),
        (
            "<xml_case><!DOCTYPE >",
            "xml error: ill-formed document: `<!DOCTYPE>` declaration does not contain a name of a document type",
        ),
        (
            "<xml_case><?pi",
            "xml error: syntax error: processing instruction or xml declaration not closed: "
            "`?>` not found before end of input",
        ),
        (
            "<xml_case><![CDATA[x]",
            "xml error: syntax error: CDATA not closed: `]]>` not found before end of input",
        ),
        (
            "<xml_case><!DOCTYPE a [<!ENTITY b 'c'>]",
            "xml error: syntax error: DOCTYPE not closed: `>` not found before end of input",
        ),
    ],
)
def test_inspect_errors(tmp_path, content, message):
    path = write(tmp_path / "bad.floxml", content)
    with pytest.raises(RuntimeError) as err:
        tolvanex.inspect(path)
    assert str(err.value) == message
    # A scan stops at the same error.
    with pytest.raises(RuntimeError) as err:
        tolvanex.scan([path])
    assert str(err.value) == message


def test_missing_floxml_is_an_io_error(tmp_path):
    with pytest.raises(RuntimeError) as err:
        tolvanex.inspect(str(tmp_path / "gone.floxml"))
    assert str(err.value) == "io error: No such file or directory (os error 2)"


@pytest.mark.parametrize(
    "cut, message",
    [
        (PROJECT.index("<xml_case>") + 4, "xml error: syntax error: tag not closed: `>` not found before end of input"),
        (PROJECT.index("<!--") + 6, "xml error: syntax error: comment not closed: `-->` not found before end of input"),
        (PROJECT.index("&amp;") + 3, "xml error: ill-formed document: entity or character reference not closed: "
                                     "`;` not found before end of input"),
        (PROJECT.index("</name>") + 3, "xml error: syntax error: tag not closed: `>` not found before end of input"),
        (PROJECT.index("<?xml") + 10, "xml error: syntax error: processing instruction or xml declaration not closed: "
                                      "`?>` not found before end of input"),
    ],
)
def test_truncated_file_errors(tmp_path, cut, message):
    path = write(tmp_path / "cut.floxml", PROJECT[:cut])
    with pytest.raises(RuntimeError) as err:
        tolvanex.inspect(path)
    assert str(err.value) == message


def test_file_cut_between_elements_keeps_what_was_read(tmp_path):
    cut = PROJECT.index("<solution_domain>")
    path = write(tmp_path / "cut.floxml", PROJECT[:cut])
    assert tolvanex.inspect(path)["summary"]["data"] == dict(PROJECT_SUMMARY, solution_domain=None)
    # Cut inside a source: the open source is dropped, its count stays.
    cut = PROJECT.index("<power>1</power>")
    data = tolvanex.inspect(write(tmp_path / "cut2.floxml", PROJECT[:cut]))["summary"]["data"]
    assert data["attribute_type_counts"] == [{"name": "material_att", "count": 1}, {"name": "source_att", "count": 2}]
    assert data["sources"] == [{"name": "Chip", "powers": ["2.5", "3"]}]
    assert data["geometry"] == []


def test_every_prefix_of_a_project_is_a_summary_or_a_known_error(tmp_path):
    prefixes = ("xml error: syntax error: ", "xml error: ill-formed document: ")
    seen_ok = 0
    for cut in range(0, len(PROJECT) + 1, 7):
        path = write(tmp_path / "p.floxml", PROJECT[:cut])
        try:
            data = tolvanex.inspect(path)["summary"]["data"]
        except RuntimeError as err:
            text = str(err)
            assert text.startswith(prefixes) or text == "FloTHERM FloXML file did not contain a root element", text
        else:
            assert data["root"] == "xml_case"
            seen_ok += 1
    assert seen_ok > 10


def test_deep_nesting(tmp_path):
    depth = 100_000
    body = "<n>" * depth + "<name>deep</name>" + "</n>" * depth
    path = write(tmp_path / "deep.floxml", "<xml_case>" + body + "<name>top</name></xml_case>")
    assert tolvanex.inspect(path)["summary"]["data"] == dict(EMPTY, name="top")
    # Deeply nested sources under one "attributes" element, each named and powered.
    nested = "<attributes>" + "<source_att><name>x</name><power>1</power>" * depth + "</source_att>" * depth
    data = tolvanex.inspect(write(tmp_path / "att.floxml", "<xml_case>" + nested + "</attributes></xml_case>"))
    data = data["summary"]["data"]
    assert data["attribute_type_counts"] == [{"name": "source_att", "count": depth}]
    assert data["attributes"] == [{"kind": "source_att", "name": "x"}] * depth
    assert data["sources"] == [{"name": "x", "powers": ["1"]}] * depth
    # Left open at the end: not an error.
    path = write(tmp_path / "open.floxml", "<xml_case>" + "<n>" * depth)
    assert tolvanex.inspect(path)["summary"]["data"] == EMPTY
    # Closed wrongly at the bottom.
    path = write(tmp_path / "bad.floxml", "<xml_case>" + "<n>" * depth + "</m>")
    with pytest.raises(RuntimeError) as err:
        tolvanex.inspect(path)
    assert str(err.value) == "xml error: ill-formed document: expected `</n>`, but `</m>` was found"


def peak_memory_growth_mib(script):
    """Runs `script` in a fresh interpreter; returns its result and how far its peak resident
    size rose above the resident size it started from (MiB)."""
    code = textwrap.dedent(
        """
        import tolvanex
        def status(key):
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith(key):
                        return int(line.split()[1])
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets the peak to the current size
        before = status("VmRSS:")
        result = None
        """
    ) + textwrap.dedent(script) + textwrap.dedent(
        """
        print(repr(result))
        print((status("VmHWM:") - before) // 1024)
        """
    )
    env = dict(os.environ, PYTHONPATH=str(BUILD_PYTHON))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    lines = out.stdout.splitlines()
    return lines[0], int(lines[1])


def write_big(path, head, filler, megabytes, tail):
    chunk = filler * (1024 * 1024 // len(filler))
    with open(path, "wb") as f:
        f.write(head)
        for _ in range(megabytes):
            f.write(chunk)
        f.write(tail)
    return str(path)


def test_root_probe_does_not_buffer_a_huge_text(tmp_path):
    big = write_big(tmp_path / "data.xml", b"", b"0123456789 abcdef ", 50, b"")
    result, growth = peak_memory_growth_mib(f"result = tolvanex.scan([{big!r}])")
    assert result == "[]"
    assert growth < 16
    # The same text before a FloXML root: found, still without holding the text.
    found = write_big(tmp_path / "late.xml", b"<!-- x -->", b"text ", 50, b"<xml_case/>")
    result, growth = peak_memory_growth_mib(f"result = [r['format'] for r in tolvanex.scan([{found!r}])]")
    assert result == "['flotherm-floxml']"
    assert growth < 16


def test_root_probe_does_not_buffer_a_huge_unclosed_tag(tmp_path):
    big = write_big(tmp_path / "blob.xml", b"<", b"QUJDRA==", 50, b"")
    result, growth = peak_memory_growth_mib(f"result = tolvanex.scan([{big!r}])")
    assert result == "[]"
    assert growth < 16


def test_reader_does_not_buffer_a_huge_unused_text(tmp_path):
    big = write_big(tmp_path / "big.floxml", b"<xml_case><name>N</name><data>", b"1.0 2.0 ", 50, b"</data></xml_case>")
    result, growth = peak_memory_growth_mib(f"result = tolvanex.inspect({big!r})['summary']['data']['name']")
    assert result == "'N'"
    assert growth < 16


@pytest.mark.parametrize("head, filler, tail", [
    (b"<xml_case><name>N</name><!--", b"comment ", b"--></xml_case>"),
    (b"<xml_case><name>N</name><![CDATA[", b"cdata ", b"]]></xml_case>"),
    (b"<?pi ", b"instruction ", b"?><xml_case><name>N</name></xml_case>"),
    (b"<!DOCTYPE xml_case [", b"<!-- x --> ", b"]><xml_case><name>N</name></xml_case>"),
    (b"<xml_case><name>N</name><data>&", b"entity", b";</data></xml_case>"),
    (b"<xml_case><name>N</name><data value='", b"1.0 2.0 ", b"'/></xml_case>"),
    (b"<xml_case><name a='1' ", b"b", b"='2'>N</name></xml_case>"),
])
def test_reader_does_not_buffer_huge_markup_or_attributes(tmp_path, head, filler, tail):
    big = write_big(tmp_path / "big.floxml", head, filler, 50, tail)
    result, growth = peak_memory_growth_mib(f"result = tolvanex.inspect({big!r})['summary']['data']['name']")
    assert result == "'N'"
    assert growth < 16


@pytest.mark.parametrize("head, level, levels", [
    (b"<xml_case><name>N</name>", b"<a>", 8_000_000),
    (b"<xml_case><name>N</name><geometry>", b"<geometry>", 2_000_000),
    (b"<xml_case><name>N</name><attributes>", b"<a_att>", 3_000_000),
])
def test_reader_keeps_little_per_open_element(tmp_path, head, level, levels):
    # Names are held twice (the tokenizer's raw names, the reader's local names), with a byte
    # or two beside each; an open entity adds about a byte.
    path = tmp_path / "deep.floxml"
    with open(path, "wb") as f:
        f.write(head)
        chunk = level * 100_000
        for _ in range(levels // 100_000):
            f.write(chunk)
    result, growth = peak_memory_growth_mib(f"result = tolvanex.inspect({str(path)!r})['summary']['data']['name']")
    assert result == "'N'"
    assert growth < 64


NBSP, IDEOGRAPHIC = "\u00a0".encode(), "\u3000".encode()


@pytest.mark.parametrize("head, filler, tail, outcome", [
    # A relevant text far over the budget is dropped without being held.
    (b"<xml_case><name>", b"x", b"</name></xml_case>", (None, True)),
    (b"<xml_case><name>", b"x ", b"</name></xml_case>", (None, True)),
    # White space around a kept text, of any kind, is trimmed without being held.
    (b"<xml_case><name>N", b" ", b"</name></xml_case>", ("N", False)),
    (b"<xml_case><name>N", b" \t\r\n", b"</name></xml_case>", ("N", False)),
    (b"<xml_case><name>N", NBSP, b"</name></xml_case>", ("N", False)),
    (b"<xml_case><name>N", NBSP + b" ", b"</name></xml_case>", ("N", False)),
    (b"<xml_case><name>", IDEOGRAPHIC, b"N</name></xml_case>", ("N", False)),
    (b"<xml_case><name>N</name", b" ", b"></xml_case>", ("N", False)),
    # Over the budget once the white space inside counts.
    (b"<xml_case><name>N", NBSP, b"M</name></xml_case>", (None, True)),
])
def test_reader_holds_a_relevant_text_only_within_the_budget(tmp_path, head, filler, tail, outcome):
    big = write_big(tmp_path / "big.floxml", head, filler, 200, tail)
    result, growth = peak_memory_growth_mib(
        f"d = tolvanex.inspect({big!r})['summary']['data']\nresult = (d['name'], d['truncated'])")
    assert result == repr(outcome)
    assert growth < 32


@pytest.mark.parametrize("tail, message", [
    (b"\xff>", "expected `</xml_case>`, but `</>` was found"),
    (b"x\xff" + b" " * 100 + b">", "expected `</xml_case>`, but `</>` was found"),
])
def test_end_tag_with_a_long_white_space_run_inside(tmp_path, tail, message):
    # Its name matches no open tag, and is shown only when it is UTF-8, so it is not held.
    big = write_big(tmp_path / "big.floxml", b"<xml_case></xml_case", b" ", 200, tail)
    result, growth = peak_memory_growth_mib(f"""
        try:
            tolvanex.inspect({big!r})
        except RuntimeError as e:
            result = str(e)
        """)
    assert result == repr("xml error: ill-formed document: " + message)
    assert growth < 32
