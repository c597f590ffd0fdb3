import tolvanex

KEYS = ["title", "includes", "node_count", "element_count", "materials", "sections", "steps",
        "boundary_keywords", "load_keywords", "output_keywords", "unknown_keywords"]


def record(name, **data):
    summary = {k: None if k == "title" else 0 if k.endswith("count") else [] for k in KEYS}
    return {"file_name": name, "format": "abaqus-inp", "ok": True, "warnings": [],
            "summary": {"kind": "abaqus-inp", "data": dict(summary, **data)}}


def test_inspect_and_scan(tmp_path):
    (tmp_path / "mesh").mkdir()
    (tmp_path / "mesh" / "part.inc").write_bytes(
        b"*NODE\r\n1, 0.\r\n2, 1.\r\n*ELEMENT, TYPE=CPS3\r\n1, 1, 2, 3\r\n*INCLUDE, INPUT=../model.inp\r\n")
    (tmp_path / "model.inp").write_bytes(
        "*Heading\n** generated\n  Bracket \u00e9tude\u3000\n*Include, input=mesh/part.inc\n"
        "*Material, name=Steel\n*Solid Section, elset=ALL, material=Steel\n"
        "*Step\n*Static\n*Boundary\n*Dload\n*Node Output\n*End Step\n*Contact Pair\n".encode())
    expected = dict(title="Bracket \u00e9tude", includes=["mesh/part.inc", "../model.inp"], node_count=2,
                    element_count=1, materials=["Steel"], sections=["SOLID SECTION:Steel"], steps=["STATIC"],
                    boundary_keywords=["BOUNDARY"], load_keywords=["DLOAD"], output_keywords=["NODE OUTPUT"],
                    unknown_keywords=["CONTACT PAIR"])
    assert tolvanex.inspect(str(tmp_path / "model.inp")) == record("model.inp", **expected)
    assert sorted(tolvanex.scan([str(tmp_path)]), key=lambda r: r["file_name"]) == [
        record("model.inp", **expected),
        record("part.inc", **dict(expected, includes=["../model.inp", "mesh/part.inc"]))]
