"""Icepak archive reader: speed on a plain (not gzip-wrapped) tar next to `tar -tvf` and Python's
tarfile, and peak memory on hostile extended headers. The gzip-wrapped archive is a case of the
benchmark table (bench/table.py).

    .venv/bin/python bench/icepak.py [ENTRIES]      (default 100000)

Speed: a generated project of ENTRIES small files (about 2 KB of text each) is written as a
plain tar in a temporary directory; each contender lists it, best of five runs (tarfile: best
of three), all from the page cache. `tolvanex` is the whole `inspect` call, JSON hand-over
included.

Memory: each hostile archive is inspected in a fresh interpreter; the table shows the
outcome and the peak resident size (getrusage ru_maxrss) next to an interpreter that only
imports the module.
"""
import pathlib
import subprocess
import sys
import tarfile
import tempfile
import time
import zlib

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
from peak import peak as child_peak  # noqa: E402
sys.path.insert(0, str(ROOT / "build" / "python"))
import tolvanex  # noqa: E402
from inputs import tar_project  # noqa: E402

MIB = 1 << 20


def best(runs, fn):
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def run_tar(flags, path):
    subprocess.run(["tar", flags, str(path)], check=True, stdout=subprocess.DEVNULL)


def run_tarfile(path):
    with tarfile.open(path) as tar:
        return len(tar.getmembers())


def speed(tmp, entries):
    for compress, flags in [(False, "-tvf")]:
        path = tmp / ("project.tzr" if compress else "plain.tzr")
        tar_project(path, entries, compress)
        path.read_bytes()
        summary = tolvanex.inspect(str(path))["summary"]["data"]
        assert summary["entry_count"] == run_tarfile(path) and summary["gzip_compressed"] == compress
        t_tar = best(5, lambda: run_tar(flags, path))
        t_py = best(3, lambda: run_tarfile(path))
        t_us = best(5, lambda: tolvanex.inspect(str(path)))
        print(f"\n{path.name}: {path.stat().st_size / MIB:.1f} MiB, {summary['entry_count']} entries, "
              f"{len(summary['entries'])} listed")
        print(f"  tar {flags:6} {t_tar:8.4f} s")
        print(f"  tarfile     {t_py:8.4f} s")
        print(f"  tolvanex    {t_us:8.4f} s   {t_us / t_tar:.2f}x tar {flags}, "
              f"{t_py / t_us:.1f}x faster than tarfile")


SHOW = "'ok, %d entries, %d listed' % (d['entry_count'], len(d['entries']))"


def peak(path):
    return child_peak(path, "tzr", SHOW)


def header(name, size, kind=b"0"):
    info = tarfile.TarInfo(name)
    info.size, info.type = size, kind
    return info.tobuf(tarfile.USTAR_FORMAT) if size < 8**11 else info.tobuf(tarfile.GNU_FORMAT)


def write_gzip(path, parts):
    z = zlib.compressobj(9, zlib.DEFLATED, 31)
    with open(path, "wb") as f:
        for p in parts:
            f.write(z.compress(p))
        f.write(z.flush())


def pax_records(total):
    """Pax records of a key no reader keeps, `total` bytes in 1 MiB records."""
    record = b"1048576 comment=" + b"x" * (MIB - 17) + b"\n"
    for _ in range(total // MIB):
        yield record


def memory(tmp):
    gib = 1 << 30
    cases = {
        # 1 GiB of pax records before one small member: streamed, never held.
        "pax header of 1 GiB": [header("PaxHeader", gib, tarfile.XHDTYPE), *pax_records(gib),
                                header("proj/a", 0), bytes(1024)],
        # A GNU long name is the entry's path and is held whole, as the record may need it.
        "long name of 64 MiB": [header("././@LongLink", 64 * MIB, tarfile.GNUTYPE_LONGNAME),
                                *[b"n" * MIB] * 64, header("x", 0), bytes(1024)],
        # Headers that claim far more than the stream holds.
        "pax header claiming 2^62": [header("PaxHeader", 1 << 62, tarfile.XHDTYPE), b"x" * MIB],
        "long name claiming 2^62": [header("././@LongLink", 1 << 62, tarfile.GNUTYPE_LONGNAME), b"n" * MIB],
        "member claiming 2^62": [header("proj/a", 1 << 62), bytes(MIB)],
    }
    base = peak("")[1]
    print(f"peak memory (import alone: {base} MiB)")
    for name, parts in cases.items():
        path = tmp / (name.replace(" ", "_") + ".tzr")
        write_gzip(path, parts)
        outcome, mib = peak(str(path))
        print(f"  {name:28} {path.stat().st_size / MIB:6.1f} MiB gz  {mib:5d} MiB  {outcome}")


def main():
    entries = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    with tempfile.TemporaryDirectory() as d:
        tmp = pathlib.Path(d)
        memory(tmp)  # first: a child's peak counts the parent's size at fork
        speed(tmp, entries)


if __name__ == "__main__":
    main()
