import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD_PYTHON = ROOT / "build" / "python"
sys.path.insert(0, str(BUILD_PYTHON))


def inspect_error(path, fmt="auto", summary=False):
    """The RuntimeError text of inspecting `path` with the format `fmt`."""
    import pytest
    import tolvanex

    with pytest.raises(RuntimeError) as info:
        tolvanex.inspect(str(path), format=fmt, summary=summary)
    return str(info.value)
