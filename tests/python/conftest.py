import os
import pathlib
import subprocess
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


MEASURED = """\
import resource, sys
if len(sys.argv) > 2:
    resource.setrlimit(resource.RLIMIT_AS, (int(sys.argv[2]) << 20,) * 2)
import tolvanex
def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key))
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets the peak to the current size
before = status("VmRSS:")
path = sys.argv[1]
try:
    result = repr(%s)
except RuntimeError as e:
    result = repr(str(e))
except MemoryError:
    result = "MemoryError"
print(result)
print((max(status("VmHWM:"), resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss) - before) // 1024)
"""


def measured(expr, path, limit_mib=None):
    """Evaluates `expr` (with `path` and `tolvanex` at hand) in a fresh interpreter, its address
    space limited to `limit_mib` when given: the repr of its value or of the RuntimeError text
    ("MemoryError" when it ran out), and how far the peak resident size, its own or that of a
    worker process it started and reaped (the HDF5 library's), rose above the size it started
    from (MiB)."""
    limit = [str(limit_mib)] if limit_mib else []
    out = subprocess.run([sys.executable, "-c", MEASURED % expr, str(path)] + limit, check=True, capture_output=True,
                         text=True, env=dict(os.environ, PYTHONPATH=str(BUILD_PYTHON))).stdout.splitlines()
    return out[0], int(out[1])
