import pytest

import tolvanex


def summary(**data):
    full = {
        "title": None,
        "includes": [],
        "node_count": 0,
        "element_count": 0,
        "materials": [],
        "sections": [],
        "steps": [],
        "boundary_keywords": [],
        "load_keywords": [],
        "output_keywords": [],
        "unknown_keywords": [],
    }
    full.update(data)
    return full


def record(name, **data):
    return {
        "file_name": name,
        "format": "abaqus-inp",
        "ok": True,
        "warnings": [],
        "summary": {"kind": "abaqus-inp", "data": summary(**data)},
    }


def write_decks(root):
    (root / "mesh").mkdir()
    (root / "mesh" / "part.inc").write_bytes(
        b"*NODE\r\n1, 0., 0.\r\n2, 1., 0.\r\n*ELEMENT, TYPE=CPS3\r\n1, 1, 2, 3\r\n"
        b"*INCLUDE, INPUT=../model.inp\r\n"
    )
    (root / "model.inp").write_bytes(
        "*Heading\n** generated\n  Bracket \u00e9tude\u3000\n"
        "*Include, input=mesh/part.inc\n"
        "*Material, name=Steel\n*Solid Section, elset=ALL, material=Steel\n"
        "*Step\n*Static\n*Boundary\n*Dload\n*Node Output\n*End Step\n*Contact Pair\n".encode()
    )


EXPECTED = dict(
    title="Bracket \u00e9tude",
    includes=["mesh/part.inc", "../model.inp"],
    node_count=2,
    element_count=1,
    materials=["Steel"],
    sections=["SOLID SECTION:Steel"],
    steps=["STATIC"],
    boundary_keywords=["BOUNDARY"],
    load_keywords=["DLOAD"],
    output_keywords=["NODE OUTPUT"],
    unknown_keywords=["CONTACT PAIR"],
)


def test_inspect_follows_includes(tmp_path):
    write_decks(tmp_path)
    assert tolvanex.inspect(str(tmp_path / "model.inp")) == record("model.inp", **EXPECTED)
    # A copy with another suffix, read by naming the format: model.inp is now a deck of its
    # own, read once more, whose include of part.inc is listed but not followed again.
    (tmp_path / "deck.txt").write_bytes((tmp_path / "model.inp").read_bytes())
    got = tolvanex.inspect(str(tmp_path / "deck.txt"), format="ABAQUS-INP", include_paths=True)
    expected = dict(EXPECTED, includes=["mesh/part.inc", "../model.inp", "mesh/part.inc"])
    assert got == {"path": str(tmp_path / "deck.txt"), **record("deck.txt", **expected)}


def test_scan_inspects_every_deck_on_its_own(tmp_path):
    write_decks(tmp_path)
    got = sorted(tolvanex.scan([str(tmp_path)]), key=lambda r: r["file_name"])
    assert got == [
        record("model.inp", **EXPECTED),
        record("part.inc", **dict(EXPECTED, includes=["../model.inp", "mesh/part.inc"])),
    ]


def test_empty_deck(tmp_path):
    (tmp_path / "a.inp").write_bytes(b"")
    assert tolvanex.inspect(str(tmp_path / "a.inp")) == record("a.inp")


@pytest.mark.parametrize(
    "files, message",
    [
        ({"x.inp/": None}, "io error: Is a directory (os error 21)"),
        ({}, "io error: No such file or directory (os error 2)"),
        ({"x.inp": b"*INCLUDE, INPUT=sub/b.inc\n", "sub/b.inc": b"*NODE\n1\n\xff\n"},
         "io error: stream did not contain valid UTF-8"),
        ({"x.inp": b"*INCLUDE, INPUT=/proc/self/mem\n"}, "io error: Input/output error (os error 5)"),
        ({"x.inp": b"*INCLUDE, INPUT=/proc/self/mem\n*NODE\n\xc3"},
         "io error: stream did not contain valid UTF-8"),
    ],
)
def test_errors(tmp_path, files, message):
    for name, content in files.items():
        path = tmp_path / name
        if content is None:
            path.mkdir(parents=True)
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(content)
    with pytest.raises(RuntimeError) as err:
        tolvanex.inspect(str(tmp_path / "x.inp"))
    assert str(err.value) == message
    if (tmp_path / "x.inp").is_file():
        with pytest.raises(RuntimeError) as err:
            tolvanex.scan([str(tmp_path)])
        assert str(err.value) == message


def test_missing_and_directory_includes_are_listed(tmp_path):
    (tmp_path / "dir.inc").mkdir()
    (tmp_path / "a.inp").write_bytes(
        b'*INCLUDE, INPUT=missing.inc\n*INCLUDE, INPUT=dir.inc\n*INCLUDE, INPUT="q.inc"\n'
    )
    (tmp_path / "q.inc").write_bytes(b"*NODE\n1\n")
    assert tolvanex.inspect(str(tmp_path / "a.inp")) == record(
        "a.inp", includes=["missing.inc", "dir.inc", '"q.inc"']
    )
