"""How long a call takes to answer Ctrl-C: each case runs in a fresh interpreter, which gets a
real SIGINT once the call has run for a while; the figure is the time from the signal to the
KeyboardInterrupt caught around the call. The child also says whether it left a worker process
or a file descriptor behind.

    .venv/bin/python bench/interrupt_latency.py [--build build/python] [--delay 0.5] [--limit 30]

A case that has not answered `--limit` seconds after the signal is killed and shown as such.

Last, the outcome of a scan of two HDF5 files whose worker is killed from outside (by another
process, as the out-of-memory killer would) while it is idle, between the two.
"""
import argparse
import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[1]

CHILD = r"""
import os, sys, time
import tolvanex
def children():
    return sum(len(open(f"/proc/self/task/{t}/children").read().split()) for t in os.listdir("/proc/self/task"))
fds = len(os.listdir("/proc/self/fd"))
call = eval("lambda: " + sys.argv[1])
print("ready", flush=True)
try:
    call()
    print("returned", flush=True)
except KeyboardInterrupt:
    caught = time.monotonic()
    print("caught", caught, children(), len(os.listdir("/proc/self/fd")) - fds, flush=True)
"""


def make_inputs(d):
    d = pathlib.Path(d)
    cases = {}
    deck = d / "sparse.inp"
    with open(deck, "wb") as f:
        f.write(b"*HEADING\n")
        f.truncate(20 << 30)
    cases["deck, 20 GiB sparse"] = f"tolvanex.inspect({str(deck)!r})"
    aedt = d / "sparse.aedt"
    with open(aedt, "wb") as f:
        f.truncate(50 << 30)
    cases["AEDT, 50 GiB sparse"] = f"tolvanex.inspect({str(aedt)!r})"
    try:
        import h5py
        deep = d / "deep.cas.h5"
        with h5py.File(deep, "w") as f:
            g = f
            for _ in range(8000):
                g = g.create_group("g")
        cases["HDF5, 8000 nested groups"] = f"tolvanex.inspect({str(deep)!r})"
    except ImportError:
        pass
    mph = d / "spaces.mph"
    with zipfile.ZipFile(mph, "w", compression=zipfile.ZIP_DEFLATED, compresslevel=1) as z:
        with z.open("dmodel.xml", "w", force_zip64=True) as f:
            f.write(b"<model>")
            for _ in range(256):
                f.write(b" " * (1 << 24))
            f.write(b"</model>")
    cases["COMSOL, 4 GiB member (deflate)"] = f"tolvanex.inspect({str(mph)!r})"
    small = d / "small.inp"
    small.write_bytes(b"*HEADING\nsmall\n*NODE\n1, 0, 0, 0\n")
    cases["scan, one deck named 3 million times"] = f"tolvanex.scan([{str(small)!r}] * 3_000_000)"
    tree = d / "tree"
    tree.mkdir()
    for i in range(20000):
        (tree / f"note{i}.txt").touch()
    cases["scan, 20000 names turned down, walked 2000 times"] = f"tolvanex.scan([{str(tree)!r}] * 2000)"
    for name in ("fifo.inp", "fifo.cas.h5", "fifo.xml"):
        os.mkfifo(d / name)
        cases[f"FIFO without a writer, {name}"] = f"tolvanex.inspect({str(d / name)!r})"
    return cases


def run(build, expr, delay, limit):
    env = dict(os.environ, PYTHONPATH=str(build))
    child = subprocess.Popen([sys.executable, "-c", CHILD, expr], stdout=subprocess.PIPE, text=True, env=env)
    assert child.stdout.readline().strip() == "ready"
    time.sleep(delay)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    try:
        out, _ = child.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        return f"no answer after {limit:g} s"
    words = out.split()
    if not words or words[0] != "caught":
        return out.strip() or f"exit status {child.returncode}"
    latency = float(words[1]) - sent
    return f"{latency * 1000:8.1f} ms   workers left {words[2]}, descriptors left {words[3]}"


WATCHER = r"""
import os, signal, sys, time
parent, target = sys.argv[1], sys.argv[2]
def open_in_parent():
    for fd in os.listdir(f"/proc/{parent}/fd"):
        try:
            if os.readlink(f"/proc/{parent}/fd/{fd}") == target:
                return True
        except OSError:
            pass
while not open_in_parent():
    time.sleep(0.0005)
for task in os.listdir(f"/proc/{parent}/task"):
    for pid in open(f"/proc/{parent}/task/{task}/children").read().split():
        if int(pid) != os.getpid():
            os.kill(int(pid), signal.SIGKILL)
"""

SCAN = r"""
import os, subprocess, sys
import tolvanex
first, between, second, watcher = sys.argv[1:]
subprocess.Popen([sys.executable, "-c", watcher, str(os.getpid()), between])
try:
    print(len(tolvanex.scan([first, between, second])), "records")
except RuntimeError as e:
    print(e)
"""


def worker_killed_between_files(build, d):
    import h5py
    d = pathlib.Path(d)
    for name in ("a.cas.h5", "b.cas.h5"):
        with h5py.File(d / name, "w") as f:
            f.create_group("zone")
    between = d / "between.aedt"
    with open(between, "wb") as f:
        f.truncate(4 << 30)
    env = dict(os.environ, PYTHONPATH=str(build))
    out = subprocess.run([sys.executable, "-c", SCAN, str(d / "a.cas.h5"), str(between), str(d / "b.cas.h5"), WATCHER],
                         capture_output=True, text=True, env=env)
    return (out.stdout + out.stderr).strip()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=str(ROOT / "build" / "python"))
    ap.add_argument("--delay", type=float, default=0.5)
    ap.add_argument("--limit", type=float, default=30)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as d:
        for title, expr in make_inputs(d).items():
            print(f"{title:52} {run(args.build, expr, args.delay, args.limit)}", flush=True)
        print(f"{'worker killed while idle, between two HDF5 files':52} {worker_killed_between_files(args.build, d)}")


if __name__ == "__main__":
    main()
