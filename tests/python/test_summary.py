import numpy as np
import pytest

import tolvanex


@pytest.mark.parametrize("flag", [True, np.True_])
def test_summary_scan_of_nothing_is_an_empty_list(tmp_path, flag):
    (tmp_path / "notes.txt").write_text("x")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "readme.md").write_text("y")
    assert tolvanex.scan([], summary=flag) == []
    assert tolvanex.scan([str(tmp_path)], summary=flag) == []
    assert tolvanex.scan([str(tmp_path)], True, True, flag) == []


@pytest.mark.parametrize(
    "name, fmt, message",
    [
        ("notes.txt", "auto", "unsupported file format for {path}"),
        ("notes.txt", "AUTO", "unsupported file format for {path}"),
        ("a.inp", "bogus", "unknown format: bogus"),
        ("a.inp", " auto", "unknown format:  auto"),
    ],
)
def test_summary_inspect_errors_are_unchanged(tmp_path, name, fmt, message):
    path = tmp_path / name
    path.write_text("x")
    expected = message.format(path=path)
    for summary in (False, True):
        with pytest.raises(RuntimeError) as info:
            tolvanex.inspect(str(path), format=fmt, summary=summary)
        assert str(info.value) == expected


@pytest.mark.parametrize("bad", [1, 0, None, "yes"])
def test_summary_flag_must_be_a_bool(tmp_path, bad):
    with pytest.raises(TypeError):
        tolvanex.inspect(str(tmp_path / "notes.txt"), summary=bad)
    with pytest.raises(TypeError):
        tolvanex.scan([], summary=bad)


EMPTY_LIST = {"total": 0, "sample": [], "truncated": False}


def test_compact_record_of_an_empty_deck_through_the_module(tmp_path):
    (tmp_path / "a.inp").write_text("")
    compact = tolvanex.inspect(str(tmp_path / "a.inp"), summary=True)
    assert compact == {
        "schema_version": 1,
        "view": "summary",
        "file_name": "a.inp",
        "format": "abaqus-inp",
        "ok": True,
        "warnings": EMPTY_LIST,
        "limitations": ["Keyword inventory only; generated entities and solver semantics are not evaluated."],
        "summary": {
            "kind": "abaqus-inp",
            "data": {
                "title": None,
                "includes": EMPTY_LIST,
                "node_count": 0,
                "element_count": 0,
                **{key: EMPTY_LIST for key in ("materials", "sections", "steps", "boundary_keywords",
                                                "load_keywords", "output_keywords", "unknown_keywords")},
            },
        },
    }
    assert list(compact) == ["schema_version", "view", "file_name", "format", "ok", "warnings", "limitations", "summary"]


def test_compact_scan_samples_long_lists_and_cuts_long_names(tmp_path):
    long_dir = tmp_path / ("d" * 250)
    long_dir.mkdir()
    deck = long_dir / "a.inp"
    deck.write_text("".join(f"*MATERIAL, NAME=M{i:02d}\n" for i in range(9)))
    (full,) = tolvanex.scan([str(long_dir)], include_paths=True)
    (compact,) = tolvanex.scan([str(long_dir)], include_paths=True, summary=True)
    assert full["path"] == str(deck)
    assert compact["path"].endswith("…") and len(compact["path"].encode()) == 256 + 3
    assert str(deck).encode()[:256].decode() + "…" == compact["path"]
    assert full["summary"]["data"]["materials"] == [f"M{i:02d}" for i in range(9)]
    assert compact["summary"]["data"]["materials"] == {
        "total": 9, "sample": [f"M{i:02d}" for i in range(8)], "truncated": True}
