"""Whole-process times next to their anchors, each contender a fresh process from the page cache
(interpreter start-up and import included), as a user's script pays for them.

    .venv/bin/python bench/fresh_process.py [scan] [deck] [--rounds N] [--build DIR ...]

scan: a tree of 200,000 files in 2,000 folders, one small Abaqus deck and 99 other files in
      each; `tolvanex.scan` of the tree vs `find -type f` and a Python `os.walk` listing.
deck: an Abaqus deck of 1 GB (bench/abaqus_scan.cpp writes it) that includes one small deck;
      `tolvanex.inspect` of it vs `wc -l`.

The inputs are generated once and kept in $TOLVANEX_BENCH_CACHE (default
$TMPDIR/tolvanex-bench), outside the tree. Every contender runs once per round, in an order
that rotates from round to round; the table shows the median of the rounds and the ratio to
each anchor. With several --build directories (say, one built from an older commit) each
build's module is a contender of its own, measured in the same rounds.
"""
import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
CACHE = pathlib.Path(os.environ.get("TOLVANEX_BENCH_CACHE", pathlib.Path(tempfile.gettempdir()) / "tolvanex-bench"))

FOLDERS, FILES_PER_FOLDER = 2000, 100
DECK_MB = 1000
SMALL_DECK = "*Heading\nsmall deck\n*Node\n1, 0., 0., 0.\n2, 1., 0., 0.\n"
OTHER_SUFFIXES = [".dat", ".txt", ".png", ".log", ".csv", ".out", ".bak", ".json", ".h5", ".zip", ""]


def scan_tree():
    root = CACHE / "scan-200k-files"
    stamp = root / ".complete"
    if stamp.exists():
        return root
    print(f"generating {FOLDERS * FILES_PER_FOLDER} files in {root} ...", file=sys.stderr)
    for d in range(FOLDERS):
        folder = root / f"case{d:04d}"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / "model.inp").write_text(SMALL_DECK)
        for f in range(FILES_PER_FOLDER - 1):
            (folder / f"result{f:02d}{OTHER_SUFFIXES[f % len(OTHER_SUFFIXES)]}").touch()
    stamp.touch()
    return root


def big_deck(build):
    folder = CACHE / "deck-1gb-include"
    deck, stamp = folder / "deck.inp", folder / ".complete"
    if stamp.exists():
        return deck
    folder.mkdir(parents=True, exist_ok=True)
    print(f"generating a {DECK_MB} MB deck in {folder} ...", file=sys.stderr)
    subprocess.run([str(build / "abaqus_scan"), "generate", str(deck), str(DECK_MB)], check=True)
    with open(deck, "a") as f:
        f.write("*Include, input=materials.inc\n")
    (folder / "materials.inc").write_text("*Material, name=Copper\n*Elastic\n110000., 0.34\n")
    stamp.touch()
    return deck


def label(build):
    return f"{build.parent.name}/{build.name}"


def python_call(build, code, arg):
    env = dict(os.environ, PYTHONPATH=str(build / "python"))
    return [sys.executable, "-c", code, arg], env


def cases(selected, builds):
    """(title, [(label, argv, env, is_anchor)]) for each selected case."""
    out = []
    if "scan" in selected:
        root = str(scan_tree())
        contenders = []
        for build in builds:
            argv, env = python_call(build, "import sys, tolvanex; tolvanex.scan([sys.argv[1]])", root)
            contenders.append((f"tolvanex.scan ({label(build)})", argv, env, False))
        contenders.append(("find -type f", ["find", root, "-type", "f"], None, True))
        walk = "import os, sys; sum(len(files) for _, _, files in os.walk(sys.argv[1]))"
        contenders.append(("os.walk", [sys.executable, "-c", walk, root], None, True))
        out.append((f"scan: {FOLDERS * FILES_PER_FOLDER} files in {FOLDERS} folders", contenders))
    if "deck" in selected:
        deck = str(big_deck(builds[0]))
        contenders = []
        for build in builds:
            argv, env = python_call(build, "import sys, tolvanex; tolvanex.inspect(sys.argv[1])", deck)
            contenders.append((f"tolvanex.inspect ({label(build)})", argv, env, False))
        contenders.append(("wc -l", ["wc", "-l", deck], None, True))
        out.append((f"deck: {os.path.getsize(deck) / 1e9:.2f} GB Abaqus deck, one include", contenders))
    return out


def timed(argv, env):
    t0 = time.perf_counter()
    subprocess.run(argv, env=env, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - t0


def measure(contenders, rounds):
    for _, argv, env, _ in contenders:  # once, to fill the page cache
        timed(argv, env)
    times = [[] for _ in contenders]
    for r in range(rounds):
        for k in range(len(contenders)):
            i = (r + k) % len(contenders)
            times[i].append(timed(contenders[i][1], contenders[i][2]))
    return [statistics.median(t) for t in times]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("case", nargs="*", help="scan, deck (default: both)")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--build", action="append", type=pathlib.Path)
    args = parser.parse_args()
    selected = args.case or ["scan", "deck"]
    if not set(selected) <= {"scan", "deck"}:
        parser.error("cases: scan, deck")
    builds = [b.resolve() for b in (args.build or [ROOT / "build"])]
    for title, contenders in cases(selected, builds):
        medians = measure(contenders, args.rounds)
        anchors = [(label, m) for (label, _, _, anchor), m in zip(contenders, medians) if anchor]
        print(f"\n{title} (median of {args.rounds} rounds)")
        for (label, _, _, anchor), m in zip(contenders, medians):
            ratios = "" if anchor else "  ".join(f"{m / a:5.2f}x {name}" for name, a in anchors)
            print(f"  {label:<34} {m:7.3f} s  {ratios}")


if __name__ == "__main__":
    main()
