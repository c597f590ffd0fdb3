"""Entry decoding throughput of the ZIP layer, one entry per method, next to 7-Zip's
`7zz t` testing the same entry (decoding and checking its CRC-32) in the same run.

    .venv/bin/python bench/zip_read.py [MEGABYTES [ZIP_READ]]      (default 32, build/zip_read)

The payload is word-like text; the archives are written to a temporary directory by
zipfile, 7zz and the fixture builder, then each entry is read by build/zip_read (best of
three) and tested by `7zz t` (best of three).
"""
import lzma
import pathlib
import subprocess
import sys
import tempfile
import time
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "fixtures"))
from make_zip_fixtures import XZ, ZSTD, Entry, build_zip, seven_zip, text_payload, zstd_frames  # noqa: E402


def best_of(n, f):
    best = None
    for _ in range(n):
        t0 = time.perf_counter()
        f()
        t = time.perf_counter() - t0
        best = t if best is None else min(best, t)
    return best


def main():
    mb = int(sys.argv[1]) if len(sys.argv) > 1 else 32
    binary = sys.argv[2] if len(sys.argv) > 2 else str(ROOT / "build" / "zip_read")  # or another build's
    chunk = text_payload(1 << 20)
    text = b"".join(chunk[i:] + chunk[:i] for i in range(0, mb * 4099, 4099))[:mb << 20]
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        with zipfile.ZipFile(tmp / "py.zip", "w") as z:
            for name, method in (("stored", zipfile.ZIP_STORED), ("deflate", zipfile.ZIP_DEFLATED),
                                 ("bzip2", zipfile.ZIP_BZIP2), ("lzma", zipfile.ZIP_LZMA)):
                z.writestr(name, text, compress_type=method)
        seven_zip(str(tmp / "deflate64.zip"), {"deflate64": text}, "Deflate64")
        seven_zip(str(tmp / "ppmd.zip"), {"ppmd": text}, "PPMd")
        (tmp / "hand.zip").write_bytes(build_zip([
            Entry("xz", lzma.compress(text), XZ, plain=text),
            Entry("zstd", zstd_frames(text), ZSTD, plain=text)]))
        archives = {"stored": "py.zip", "deflate": "py.zip", "bzip2": "py.zip", "lzma": "py.zip",
                    "deflate64": "deflate64.zip", "ppmd": "ppmd.zip", "xz": "hand.zip",
                    "zstd": "hand.zip"}
        out = subprocess.run([binary, "3"]
                             + sorted({str(tmp / a) for a in archives.values()}),
                             check=True, capture_output=True, text=True).stdout
        ours = {name: float(s) for name, _, s in (line.split() for line in out.splitlines())}
        print(f"{len(text) >> 20} MiB of text per entry")
        print(f"{'method':10} {'tolvanex s':>10} {'MB/s':>7} {'7zz t s':>8} {'ratio':>6}")
        for name, archive in archives.items():
            anchor = best_of(3, lambda: subprocess.run(
                ["7zz", "t", str(tmp / archive), name], check=True, capture_output=True))
            s = ours[name]
            print(f"{name:10} {s:10.3f} {len(text) / s / 1e6:7.0f} {anchor:8.3f} {s / anchor:6.2f}x")


if __name__ == "__main__":
    main()
