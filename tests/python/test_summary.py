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
