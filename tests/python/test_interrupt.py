import os
import signal
import time

import h5py
import pytest

import tolvanex


def children():
    return [pid for t in os.listdir("/proc/self/task") for pid in open(f"/proc/self/task/{t}/children").read().split()]


def sparse(path, size, head=b""):
    with open(path, "wb") as f:
        f.write(head)
        f.truncate(size)
    return os.path.realpath(path)


def nested_hdf5(path, levels):
    with h5py.File(path, "w") as f:
        group = f
        for _ in range(levels):
            group = group.create_group("g")
    return str(path)


def tree(d, names):
    for i in range(names):
        (d / f"note{i}.txt").touch()
    return str(d)


# Calls that run for seconds, or wait for ever, unless stopped: (function, its argument).
CALLS = {
    "long deck": lambda d: (tolvanex.inspect, sparse(d / "big.inp", 20 << 30, b"*HEADING\n")),
    "long AEDT read": lambda d: (tolvanex.inspect, sparse(d / "big.aedt", 50 << 30)),
    "deep HDF5 walk": lambda d: (tolvanex.inspect, nested_hdf5(d / "deep.cas.h5", 8000)),
    "scan of many files": lambda d: (tolvanex.scan, [sparse(d / "a.inp", 0, b"*NODE\n1, 0\n")] * 1_000_000),
    "scan of a long walk": lambda d: (tolvanex.scan, [tree(d, 2000)] * 100_000),
    "FIFO open": lambda d: (tolvanex.inspect, os.mkfifo(d / "f.inp") or str(d / "f.inp")),
    "FIFO open to detect": lambda d: (tolvanex.inspect, os.mkfifo(d / "f.xml") or str(d / "f.xml")),
    "HDF5 FIFO": lambda d: (tolvanex.inspect, os.mkfifo(d / "f.cas.h5") or str(d / "f.cas.h5")),
    # A writer that never writes (this process, holding the FIFO open): the wait is in a read.
    "FIFO read": lambda d: (tolvanex.inspect, os.mkfifo(d / "f.tzr") or os.open(d / "f.tzr", os.O_RDWR) and str(d / "f.tzr")),
}


# Ctrl-C's own handler, on a timer: the call ends with its KeyboardInterrupt, its worker
# reaped and its files closed.
@pytest.mark.parametrize("case", CALLS)
def test_interrupted_call_ends_clean(case, tmp_path):
    function, argument = CALLS[case](tmp_path)
    fds = len(os.listdir("/proc/self/fd"))
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        with pytest.raises(KeyboardInterrupt):
            function(argument)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert children() == [] and len(os.listdir("/proc/self/fd")) == fds


# The worker killed while idle, between two HDF5 files of a scan (while the file between them
# is read), is replaced: the next file reads as it does alone.
def test_worker_killed_between_files(tmp_path):
    first, second = nested_hdf5(tmp_path / "a.cas.h5", 2), nested_hdf5(tmp_path / "b.cas.h5", 3)
    between = sparse(tmp_path / "between.aedt", 2 << 30)
    killed = []

    def kill_idle_worker(*_):
        if killed or not any(os.path.realpath(f"/proc/self/fd/{fd}") == between for fd in os.listdir("/proc/self/fd")):
            return
        killed.extend(children())
        for pid in killed:
            os.kill(int(pid), signal.SIGKILL)
            while open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[0] != "Z":
                time.sleep(0.001)  # gone, not yet reaped

    previous = signal.signal(signal.SIGALRM, kill_idle_worker)
    signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
    try:
        records = tolvanex.scan([first, between, second])
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert len(killed) == 1 and records[2] == tolvanex.inspect(second) and children() == []
