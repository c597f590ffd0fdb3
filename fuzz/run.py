#!/usr/bin/env python3
"""Runs the fuzz targets, several at a time, and prints one row per target: executions,
coverage (libFuzzer's cov and ft at the end), corpus size and findings (the crash, leak,
timeout and out-of-memory inputs it wrote). Exits non-zero when a target found something or
did not run.

Each target keeps its corpus in CORPUS/<target> and writes findings to CORPUS/findings/<target>
and its output to CORPUS/logs/<target>.log; with --fresh, CORPUS is a new temporary directory
(kept only when something was found), so the targets start from their seeds alone.
"""
import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time

# The scan starts an HDF5 worker for each input that holds an HDF5 file, and waits for it as
# long as a scan does.
SLOW = {"fluent": 30, "mechanical": 30, "scan": 60}
FINDING = re.compile(r"^(crash|leak|timeout|oom)-")
STATUS = re.compile(r"^#(\d+)\s+\w+\s+cov: (\d+) ft: (\d+) corp: (\d+)/")


def targets_in(build):
    return sorted(p.name[len("fuzz_"):] for p in build.glob("fuzz_*") if p.is_file() and os.access(p, os.X_OK))


def command(build, target, seconds, corpus, findings):
    seeds = build / "seeds"
    cmd = [str(build / ("fuzz_" + target)), "-max_total_time=%d" % seconds, "-print_final_stats=1",
           "-timeout=%d" % SLOW.get(target, 10), "-rss_limit_mb=2048", "-artifact_prefix=%s/" % findings,
           str(corpus), str(seeds / target)]
    if (seeds / (target + ".dict")).exists():
        cmd.insert(1, "-dict=%s" % (seeds / (target + ".dict")))
    return cmd


def row(target, log, findings):
    text = log.read_text(errors="replace") if log.exists() else ""
    execs = re.findall(r"stat::number_of_executed_units: (\d+)", text)
    status = [STATUS.match(line) for line in text.splitlines()]
    last = [m for m in status if m][-1:]
    found = sorted(p.name for p in findings.iterdir() if FINDING.match(p.name)) if findings.exists() else []
    runs = execs[-1] if execs else (last[0].group(1) if last else "-")
    cov, ft, corp = (last[0].group(2), last[0].group(3), last[0].group(4)) if last else ("-", "-", "-")
    return [target, runs, cov, ft, corp, str(len(found))], found, bool(last or execs)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True, type=pathlib.Path)
    ap.add_argument("--seconds", type=int, default=60)
    ap.add_argument("--jobs", type=int, default=os.cpu_count())
    ap.add_argument("--corpus", type=pathlib.Path)
    ap.add_argument("--fresh", action="store_true")
    ap.add_argument("targets", nargs="*")
    args = ap.parse_args()

    build = args.build.resolve()
    known = targets_in(build)
    targets = args.targets or known
    unknown = [t for t in targets if t not in known]
    if unknown:
        sys.exit("unknown fuzz targets: %s (known: %s)" % (" ".join(unknown), " ".join(known)))
    root = pathlib.Path(tempfile.mkdtemp(prefix="tolvanex-fuzz-")) if args.fresh else args.corpus
    if root is None:
        sys.exit("--corpus or --fresh is needed")
    for sub in ("findings", "logs"):
        (root / sub).mkdir(parents=True, exist_ok=True)

    print("fuzzing %d targets for %d s each, %d at a time; corpora in %s"
          % (len(targets), args.seconds, args.jobs, root), flush=True)
    pending, running, results, started = list(targets), {}, {}, time.time()
    while pending or running:
        while pending and len(running) < args.jobs:
            t = pending.pop(0)
            corpus, findings = root / t, root / "findings" / t
            corpus.mkdir(exist_ok=True)
            findings.mkdir(exist_ok=True)
            before = {p.name for p in findings.iterdir()}
            log = open(root / "logs" / (t + ".log"), "w")
            running[t] = (subprocess.Popen(command(build, t, args.seconds, corpus, findings), stdout=log,
                                           stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, cwd=root), log, before)
        for t, (proc, log, before) in list(running.items()):
            if proc.poll() is not None:
                log.close()
                del running[t]
                results[t] = (proc.returncode, before)
        time.sleep(0.5)

    header = ["target", "executions", "cov", "ft", "corpus", "findings"]
    rows, bad = [header], []
    for t in targets:
        code, before = results[t]
        cells, found, ran = row(t, root / "logs" / (t + ".log"), root / "findings" / t)
        new = [f for f in found if f not in before]
        cells[-1] = str(len(new))
        rows.append(cells)
        if new or code != 0 or not ran:
            bad.append((t, code, new))
    widths = [max(len(r[i]) for r in rows) for i in range(len(header))]
    for r in rows:
        print("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))))
    print("%.0f s in all" % (time.time() - started))
    for t, code, new in bad:
        print("%s: exit %s; findings: %s; log: %s" % (t, code, " ".join(str(root / "findings" / t / f) for f in new)
                                                      or "none", root / "logs" / (t + ".log")))
    if args.fresh and not bad:
        shutil.rmtree(root, ignore_errors=True)
    sys.exit(1 if bad else 0)

if __name__ == "__main__":
    main()
