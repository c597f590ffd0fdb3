"""One table of every reader beside its anchors, measured in the same run (`make bench`).

    .venv/bin/python bench/table.py [--scale 1.0] [--rounds 5] [--only deck,floxml,...]

Inputs are generated once per scale and generator version and cached under
${XDG_CACHE_HOME:-~/.cache}/tolvanex-bench. Each case then runs one warm-up round (which also
fills the page cache) and ROUNDS timed rounds; a round runs every contender once in turn
(tolvanex, anchor A, anchor B, tolvanex, ...) so that noise on a shared machine falls on all
of them alike. Every figure is a fresh process, interpreter start-up and imports included, as
a user running a script sees it, timed from spawn to exit; the table gives medians. Peak memory
is the tolvanex process's own VmHWM (bench/work.py reads it just before exiting).

Per-file rows run each contender on the folder and on an empty folder in the same round and
show (median over the folder - median over none) / files: the cost that grows with the files,
without start-up and imports.

Adding a case is one entry in CASES, with its generator in bench/inputs.py.
"""
import argparse
import ast
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field

import inputs

ROOT = pathlib.Path(__file__).resolve().parents[1]
WORK = str(ROOT / "bench" / "work.py")
ENV = dict(os.environ, PYTHONPATH=str(ROOT / "build" / "python"))


def py(work):
    return [sys.executable, WORK, work, "{input}"]


@dataclass
class Case:
    id: str
    title: str
    input: str              # generator in inputs.py
    ours: str               # tolvanex's work in work.py
    anchors: list           # (label, argv with "{input}")
    shows: tuple = ()       # summary fields shown under the table
    per_file: bool = False
    ballast: int = 0        # bytes filled in the tolvanex process before its work, at scale 1


CASES = [
    Case("deck", "Abaqus deck with one small include", "deck", "inspect",
         [("`wc -l`", ["wc", "-l", "{input}"])], ("node_count", "element_count", "includes")),
    Case("floxml", "FloXML model", "floxml", "inspect",
         [("ElementTree `iterparse`", py("iterparse")), ("`wc -l`", ["wc", "-l", "{input}"])],
         ("geometry_type_counts_sum", "attribute_type_counts_sum", "geometry", "truncated")),
    Case("comsol", "COMSOL archive", "comsol", "inspect",
         [("Python zipfile + `iterparse` + `json.loads`", py("comsol"))],
         ("entries", "parameters", "physics_tags", "study_tags", "material_tags")),
    Case("pack", "FloTHERM pack", "pack", "inspect",
         [("`unzip -l`", ["unzip", "-l", "{input}"]), ("Python `zipfile`", py("zipfile_list"))],
         ("entry_count", "entries", "truncated")),
    Case("scan", "`scan` of a tree", "tree", "scan",
         [("`find -type f`", ["find", "{input}", "-type", "f"]), ("Python `os.walk`", py("os_walk"))],
         ("records",)),
    Case("hdf5", "Fluent HDF5 file", "hdf5", "inspect",
         [("`h5ls -r`", ["h5ls", "-r", "{input}"]), ("h5py `visititems` + attributes", py("h5py_walk"))],
         ("groups", "datasets")),
    Case("hdf5_small", "`scan` of small HDF5 files, per file", "hdf5_small", "scan",
         [("h5py open + close", py("h5py_open")), ("h5py open + walk + attributes", py("h5py_walk"))],
         ("records",), per_file=True),
    # The HDF5 worker of a call is a fork of the caller: its start costs more the more the
    # caller has mapped, once per call.
    Case("hdf5_loaded", "the same, numpy and h5py loaded in the caller", "hdf5_small", "scan_loaded",
         [("`scan` in a caller without them", py("scan")),
          ("h5py open + walk + attributes", py("h5py_walk"))],
         ("records",), per_file=True),
    Case("hdf5_ballast", "the same, {ballast} filled in the caller", "hdf5_small", "scan",
         [("`scan` in a caller without it", py("scan")), ("h5py open + close", py("h5py_open"))],
         ("records",), per_file=True, ballast=2 << 30),
    Case("aedt", "AEDT project, mostly irrelevant lines", "aedt", "inspect",
         [("`wc -l`", ["wc", "-l", "{input}"])], ("designs", "truncated")),
    Case("tzr", "Icepak archive (gzip tar)", "tzr", "inspect",
         [("`tar -tzvf`", ["tar", "-tzvf", "{input}"]), ("Python `tarfile`", py("tarfile_list"))],
         ("entry_count", "entries", "truncated")),
]


def cache_root():
    base = os.environ.get("XDG_CACHE_HOME") or str(pathlib.Path.home() / ".cache")
    return pathlib.Path(base) / "tolvanex-bench"


def generated(name, scale):
    """The cached input of generator `name` and its shape, made first if missing or of an
    older version."""
    root = cache_root()
    tag = f"x{scale:g}"
    directory = root / f"{name}-v{inputs.VERSION[name]}-{tag}"
    done = directory / ".complete"
    if done.exists():
        relative, shape = done.read_text().split("\n", 1)
        return directory / relative, shape
    for stale in root.glob(f"{name}-v*-{tag}"):
        shutil.rmtree(stale)
    directory.mkdir(parents=True)
    start = time.perf_counter()
    path, shape = getattr(inputs, name)(directory, scale)
    done.write_text(f"{path.relative_to(directory)}\n{shape}")
    print(f"generated {path} in {time.perf_counter() - start:.1f} s", file=sys.stderr)
    return path, shape


def size_text(path):
    """Bytes of the input: the file, or every file below the folder."""
    size = path.stat().st_size if path.is_file() else sum(
        os.path.getsize(os.path.join(d, n)) for d, _, names in os.walk(path) for n in names)
    return (f"{size / 1e9:.2f} GB" if size >= 1e9 else f"{size / 1e6:.0f} MB" if size >= 1e8
            else f"{size / 1e6:.1f} MB" if size >= 1e6 else f"{size / 1e3:.0f} kB")


def run(argv):
    """Runs one contender; returns (seconds, its report or None for an outside tool)."""
    ours = argv[0] == sys.executable
    start = time.perf_counter()
    p = subprocess.run(argv, env=ENV, stdout=subprocess.PIPE if ours else subprocess.DEVNULL,
                       stderr=subprocess.PIPE, text=True)
    seconds = time.perf_counter() - start
    if p.returncode != 0:
        raise SystemExit(f"{' '.join(argv)} failed ({p.returncode}):\n{p.stderr}")
    return seconds, ast.literal_eval(p.stdout) if ours else None


@dataclass
class Row:
    case: Case
    title: str
    size: str
    ours: float = 0.0
    anchors: list = field(default_factory=list)  # medians, in the case's order
    hwm_kib: int = 0
    digest: dict = field(default_factory=dict)


def title(case, scale):
    return case.title.format(ballast=f"{case.ballast * scale / 2**30:g} GiB")


def measure(case, path, shape, empty, scale, rounds):
    contenders = [("tolvanex", py(case.ours))] + case.anchors
    runs = []  # (contender index, input or empty, argv)
    for i, (_, argv) in enumerate(contenders):
        extra = [str(round(case.ballast * scale))] if case.ballast and i == 0 else []
        for where in ([path, empty] if case.per_file else [path]):
            runs.append((i, where == path, [a.replace("{input}", str(where)) for a in argv] + extra))
    times = {(i, full): [] for i, full, _ in runs}
    row = Row(case, title(case, scale), f"{size_text(path)}, {shape}")
    for r in range(rounds + 1):  # round 0 warms the caches and is not counted
        for i, full, argv in runs:
            seconds, report = run(argv)
            if r:
                times[i, full].append(seconds)
            if i == 0 and full:
                row.digest = report["digest"]
                row.hwm_kib = max(row.hwm_kib, report["hwm_kib"])
    files = sum(1 for p in path.iterdir()) if case.per_file else 1
    floor = [statistics.median(times[i, False]) if case.per_file else 0 for i in range(len(contenders))]
    medians = [(statistics.median(times[i, True]) - floor[i]) / files for i in range(len(contenders))]
    row.ours, row.anchors = medians[0], medians[1:]
    return row


def fmt_time(seconds):
    return f"{seconds:.3f} s" if abs(seconds) >= 0.01 else f"{seconds * 1e3:.2f} ms"


def fmt_ratio(r):
    return f"{r:.2f}x" if r < 10 else f"{r:.1f}x" if r < 100 else f"{r:.0f}x"


def cells(row):
    c = row.case
    peak = f"{row.hwm_kib / 1024:.0f} MiB"
    anchors = "; ".join(f"{label} {fmt_time(t)}" for (label, _), t in zip(c.anchors, row.anchors))
    ratios = ", ".join(f"{fmt_ratio(row.ours / t) if t > 0 else '-'} {label}"
                       for (label, _), t in zip(c.anchors, row.anchors))
    return [row.title, row.size, fmt_time(row.ours), peak, anchors, ratios]


def print_table(rows):
    header = ["case", "input", "tolvanex", "tolvanex peak", "anchors (median)", "tolvanex / anchor"]
    table = [header, ["---"] * len(header)] + [cells(r) for r in rows]
    widths = [max(len(line[i]) for line in table) for i in range(len(header))]
    for line in table:
        print("| " + " | ".join(text.ljust(w, "-" if text == "---" else " ")
                                for text, w in zip(line, widths)) + " |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="input sizes, 1.0 = full")
    parser.add_argument("--rounds", type=int, default=5, help="timed rounds per case")
    parser.add_argument("--only", default="", help="comma-separated case ids: "
                        + ",".join(c.id for c in CASES))
    args = parser.parse_args()
    wanted = [c for c in CASES if not args.only or c.id in args.only.split(",")]
    empty = cache_root() / "empty"
    empty.mkdir(parents=True, exist_ok=True)

    floor = [run(py("nothing"))[0] for _ in range(args.rounds + 1)][1:]
    floor_kib = run(py("nothing"))[1]["hwm_kib"]
    rows = []
    for case in wanted:
        path, shape = generated(case.input, args.scale)
        rows.append(measure(case, path, shape, empty, args.scale, args.rounds))
        print(" | ".join(cells(rows[-1])), file=sys.stderr, flush=True)

    print(f"\nscale {args.scale:g}, median of {args.rounds} rounds, {os.cpu_count()} cores, "
          f"load average {os.getloadavg()[0]:.1f} at the end\n")
    print_table(rows)
    print(f"\nAn interpreter that imports tolvanex and stops: {fmt_time(statistics.median(floor))}, "
          f"{floor_kib / 1024:.0f} MiB peak.")
    for row in rows:
        shown = ", ".join(f"{k} {row.digest.get(k, '?')}" for k in row.case.shows)
        print(f"{row.case.id}: tolvanex read {shown}")


if __name__ == "__main__":
    main()
