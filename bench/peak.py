"""Peak memory of one inspection in a fresh interpreter."""
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]

# argv: the path (empty: import only) and what to show of the data ("" for "ok").
CHILD = ("import resource, sys\n"
         "import tolvanex\n"
         "out = '-'\n"
         "if sys.argv[1]:\n"
         "    try:\n"
         "        kw = {'format': sys.argv[2]} if sys.argv[2] else {}\n"
         "        d = tolvanex.inspect(sys.argv[1], **kw)['summary']['data']\n"
         "        out = eval(sys.argv[3]) if sys.argv[3] else 'ok'\n"
         "    except RuntimeError as e:\n"
         "        out = str(e)[:60]\n"
         "print(out)\n"
         "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)\n")


def peak(path, fmt="", show=""):
    """The outcome (what `show` gives of the summary's data, or the error's head) and the peak
    resident size in MiB of an interpreter that inspects `path`; with an empty path, of one
    that only imports the module."""
    env = dict(os.environ, PYTHONPATH=str(ROOT / "build" / "python"))
    out = subprocess.run([sys.executable, "-c", CHILD, path, fmt, show], env=env, check=True,
                         capture_output=True, text=True).stdout.splitlines()
    return out[0], int(out[1]) // 1024
