import os
import signal
import time

import h5py
import pytest

import tolvanex


def children():
    """The process ids of this process's children (the HDF5 worker among them)."""
    return [pid for task in os.listdir("/proc/self/task")
            for pid in open(f"/proc/self/task/{task}/children").read().split()]


def sparse(path, size, head=b""):
    with open(path, "wb") as f:
        f.write(head)
        f.truncate(size)
    return str(path)


def nested_hdf5(path, levels):
    with h5py.File(path, "w") as f:
        group = f
        for _ in range(levels):
            group = group.create_group("g")
    return str(path)


def fifo(path):
    os.mkfifo(path)
    return str(path)


def walked_tree(d):
    (d / "tree").mkdir()
    for i in range(2000):
        (d / "tree" / f"note{i}.txt").touch()
    return [str(d / "tree")] * 100_000


# Each call runs for seconds, or waits for ever, unless stopped.
CALLS = {
    "long deck": lambda d: lambda p=sparse(d / "big.inp", 20 << 30, b"*HEADING\n"): tolvanex.inspect(p),
    "long AEDT read": lambda d: lambda p=sparse(d / "big.aedt", 50 << 30): tolvanex.inspect(p),
    "deep HDF5 walk": lambda d: lambda p=nested_hdf5(d / "deep.cas.h5", 8000): tolvanex.inspect(p),
    "scan of many files": lambda d: lambda p=[sparse(d / "a.inp", 0, b"*NODE\n1, 0\n")] * 1_000_000: tolvanex.scan(p),
    "scan of a large walk": lambda d: lambda p=walked_tree(d): tolvanex.scan(p),
    "FIFO open": lambda d: lambda p=fifo(d / "f.inp"): tolvanex.inspect(p),
    "FIFO open by detection": lambda d: lambda p=fifo(d / "f.xml"): tolvanex.inspect(p),
    "HDF5 FIFO": lambda d: lambda p=fifo(d / "f.cas.h5"): tolvanex.inspect(p),
}


# Ctrl-C's own handler, on a timer: the call ends with its KeyboardInterrupt, its worker
# reaped and its files closed.
@pytest.mark.parametrize("case", CALLS)
def test_interrupted_call_ends_clean(case, tmp_path):
    call = CALLS[case](tmp_path)
    fds = len(os.listdir("/proc/self/fd"))
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert children() == []
    assert len(os.listdir("/proc/self/fd")) == fds


# A worker killed while idle, between two HDF5 files of a scan (while the file between them
# is read), is replaced: the next file reads as it does alone.
def test_worker_killed_between_files(tmp_path):
    first, second = nested_hdf5(tmp_path / "a.cas.h5", 2), nested_hdf5(tmp_path / "b.cas.h5", 3)
    between = os.path.realpath(sparse(tmp_path / "between.aedt", 2 << 30))
    killed = []

    def kill_idle_worker(*_):
        if killed or not any(os.path.realpath(f"/proc/self/fd/{fd}") == between for fd in os.listdir("/proc/self/fd")):
            return
        killed.extend(children())
        for pid in killed:
            os.kill(int(pid), signal.SIGKILL)
            while open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[0] != "Z":
                time.sleep(0.001)

    previous = signal.signal(signal.SIGALRM, kill_idle_worker)
    signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
    try:
        records = tolvanex.scan([first, between, second])
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert len(killed) == 1
    assert records[2] == tolvanex.inspect(second)
    assert children() == []
