"""HDF5 inspection speed, beside its anchors measured in the same run.

1. One generated file of 5,000 groups and 15,000 datasets with attributes: tolvanex.inspect
   against `h5ls -r` (libhdf5's own lister, no attributes) and an h5py visititems walk that
   reads the same attributes.
2. A scan of 1,000 small files: the cost per file of one call whose HDF5 files are all read
   by one contained worker process, against h5py opening and walking the same files; from a
   caller with h5py and numpy loaded, from one without them, and with 2 GiB of touched memory
   in the caller, since the worker is a fork of it. Then the same files inspected one call
   each, where every call starts a worker of its own.

    .venv/bin/python bench/hdf5.py          (after make build)
"""
import pathlib
import subprocess
import sys
import tempfile
import time

import h5py
import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "build" / "python"))
import tolvanex  # noqa: E402


def best(fn, repeat=3):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def build_large(path):
    with h5py.File(path, "w") as f:
        f.attrs["solver"] = "fluent"
        for i in range(50):
            top = f.create_group(f"zone_{i:02d}")
            top.attrs["id"] = i
            for j in range(99):
                g = top.create_group(f"face_{j:02d}")
                g.attrs["kind"] = "wall"
                for k in range(3):
                    d = g.create_dataset(f"field_{k}", data=np.arange(4, dtype="f8"))
                    d.attrs["units"] = "m/s"
                    d.attrs["scale"] = 1.5


def build_small(directory, count):
    for n in range(count):
        with h5py.File(directory / f"run_{n:04d}.cas.h5", "w") as f:
            f.attrs["version"] = np.uint64(n)
            g = f.create_group("settings")
            g.attrs["model"] = "k-epsilon"
            g.create_dataset("x", data=np.arange(8))
            f.create_dataset("mesh/nodes", data=np.zeros((4, 3)))


def h5py_walk(path):
    with h5py.File(path, "r") as f:
        seen = [dict(f.attrs)]
        f.visititems(lambda name, obj: seen.append((name, dict(obj.attrs))))
    return seen


def main():
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        large = tmp / "large.cas.h5"
        build_large(large)
        record = tolvanex.inspect(str(large))["summary"]["data"]
        print(f"large file: {len(record['groups'])} groups, {len(record['datasets'])} datasets, "
              f"{large.stat().st_size / 2**20:.1f} MiB")
        ours = best(lambda: tolvanex.inspect(str(large)))
        h5ls = best(lambda: subprocess.run(["h5ls", "-r", str(large)], check=True,
                                           stdout=subprocess.DEVNULL))
        h5py_time = best(lambda: h5py_walk(large))
        print(f"  tolvanex.inspect      {ours * 1e3:8.1f} ms")
        print(f"  h5ls -r               {h5ls * 1e3:8.1f} ms   ratio {h5ls / ours:5.2f}x")
        print(f"  h5py visititems+attrs {h5py_time * 1e3:8.1f} ms   ratio {h5py_time / ours:5.2f}x")

        small = tmp / "small"
        small.mkdir()
        build_small(small, 1000)
        files = sorted(small.iterdir())
        assert len(tolvanex.scan([str(small)])) == 1000
        scan = best(lambda: tolvanex.scan([str(small)]))
        walk = best(lambda: [h5py_walk(p) for p in files])
        opened = best(lambda: [h5py.File(p, "r").close() for p in files])
        per_file = 1e3 / len(files)  # seconds for all files -> milliseconds per file
        print("1,000 small files, per file:")
        print(f"  tolvanex.scan         {scan * per_file:8.3f} ms")
        print(f"  h5py open+walk+attrs  {walk * per_file:8.3f} ms   ratio {walk / scan:5.2f}x")
        print(f"  h5py open+close       {opened * per_file:8.3f} ms   ratio {opened / scan:5.2f}x")
        # The worker is a copy of the caller, so starting it costs more the more the caller
        # has mapped; a caller that has not loaded h5py and numpy forks faster.
        plain = subprocess.run(
            [sys.executable, "-c",
             "import sys, time; sys.path.insert(0, sys.argv[1]); import tolvanex\n"
             "t = []\nfor _ in range(3):\n"
             "    s = time.perf_counter(); tolvanex.scan([sys.argv[2]]); t.append(time.perf_counter() - s)\n"
             "print(min(t))", str(pathlib.Path(tolvanex.__file__).parents[1]), str(small)],
            check=True, capture_output=True, text=True)
        lean = float(plain.stdout)
        print(f"  tolvanex.scan in a caller without h5py/numpy {lean * per_file:8.3f} ms "
              f"(h5py open+walk+attrs ratio {walk / lean:5.2f}x)")
        one_each = best(lambda: [tolvanex.inspect(str(p)) for p in files])
        print(f"  tolvanex.inspect, one call per file {one_each * per_file:8.3f} ms "
              f"(h5py open+walk+attrs ratio {walk / one_each:5.2f}x)")
        ballast = np.ones(2**28)  # 2 GiB, touched: the fork copies its page tables
        heavy = best(lambda: tolvanex.scan([str(small)]))
        print(f"  tolvanex.scan with 2 GiB in the caller {heavy * per_file:8.3f} ms "
              f"({heavy / scan:4.2f}x)")
        del ballast


if __name__ == "__main__":
    main()
