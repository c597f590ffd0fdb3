#!/usr/bin/env python3
"""Writes the kept findings that are made by code into regressions/<target>/<name>.

Each input is one that fuzzing found, or a damaged file a bug report brought, once a reader or
a target's own check mended what it showed; ctest replays every file under regressions/
through its target's entry point (replay.cpp). Inputs found as bytes are kept as they were
found; those below are written again by running this script, and committed with it.
"""
import pathlib
import sys
import zlib

ROOT = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(ROOT.parent / "tests" / "fixtures"))
from make_zip_fixtures import raw_deflate, zip_lzma  # noqa: E402


def codec(method, declared, stream):
    """The codec target's input: the method's number, the declared size (24 bits), the stream."""
    return bytes([method]) + declared.to_bytes(3, "little") + stream


def tar_header(name, typeflag, size):
    header = bytearray(512)
    header[0:len(name)] = name
    header[100:108] = b"0000644\0"
    header[124:136] = b"%011o\0" % size
    header[156:157] = typeflag
    header[257:265] = b"ustar\x0000"
    header[148:156] = b" " * 8
    header[148:156] = b"%06o\0 " % sum(header)
    return bytes(header)


def pax_record(text):
    n = len(text) + 2
    while len(b"%d %s\n" % (n, text)) != n:
        n += 1
    return b"%d %s\n" % (n, text)


def padded(data):
    return data + bytes(-len(data) % 512)


def regressions():
    payload = b"abcdefgh" * 64
    yield "codec", "deflate-output-then-bad-block", codec(  # a failing call drops what it decoded
        1, len(payload), raw_deflate(payload)[:-1] + b"\xff\xff")
    # liblzma, told the size, takes the end marker after it as the end when fed whole, and as
    # invalid data when fed byte by byte.
    yield "codec", "lzma-end-marker-after-the-size", codec(4, len(payload), zip_lzma(payload))
    # A frame of one of zstd's old formats, its header cut: its own decoder tells the cut
    # differently by how the bytes arrive.
    yield "codec", "zstd-legacy-frame-cut-header", codec(6, 100, b"\x25\xb5\x2f\xfd\x00\x01")
    # A deck that includes a missing file and is not UTF-8 further on: the deck's own error
    # comes first, however the decks are read.
    yield "abaqus", "deck-error-before-its-include-error", b"*HEADING\nt\n*INCLUDE, INPUT=inc9.inc\n*NODE\n1, \xff\n"
    # Skim mode clips the end tag's name that the error quotes.
    yield "xml", "skim-clips-the-name-an-error-quotes", b"<a></" + b"b" * 1100 + b">"
    # A success whose first tag reads like an error message.
    yield "json_member", "tag-that-reads-like-an-error", (
        b'{"nodes":[{"type":"Physics","tag":"ERROR json error: unexpected end"}]}')
    # A pax size of 2^64: one past the largest number that a size can hold.
    record = pax_record(b"size=18446744073709551616")
    yield "tar", "pax-size-past-64-bits", (tar_header(b"PaxHeader", b"x", len(record)) + padded(record)
                                           + tar_header(b"file.txt", b"0", 0) + bytes(1024))
    # A pax path kept past a malformed record after it, and one given up for a GNU long name.
    long_name, paths = b"q/z\0\0", pax_record(b"path=p/y")
    yield "tar", "pax-path-then-long-name", (
        tar_header(b"PaxHeader", b"x", len(paths) + 8) + padded(paths + b"9 path=a") + tar_header(b"n", b"0", 0)
        + tar_header(b"PaxHeader", b"x", len(paths)) + padded(paths) + tar_header(b"././@LongLink", b"L", 5)
        + padded(long_name) + tar_header(b"n", b"0", 0) + bytes(1024))
    # Names that are dots and separators, "./" dropped from their start however they arrive.
    dots = b"./" * 300 + b"."
    yield "icepak_tar", "dot-names", (tar_header(b"././@LongLink", b"L", len(dots)) + padded(dots)
                                      + tar_header(b"n", b"0", 0) + tar_header(b"./", b"5", 0) * 3
                                      + tar_header(b".\\.\\p\\job", b"0", 0) + bytes(1024))
    # Corrupt deflate data right after the archive's end: the tar reader never asks for it.
    deflate = zlib.compressobj(9, zlib.DEFLATED, -15)
    tar = tar_header(b"f", b"0", 3) + padded(b"abc") + bytes(512)
    yield "icepak_tar", "gzip-corrupt-after-end", (b"\x1f\x8b\x08\0\0\0\0\0\0\xff" + deflate.compress(tar)
                                                   + deflate.flush(zlib.Z_SYNC_FLUSH) + b"\x07")


def main():
    for target, name, data in regressions():
        path = ROOT / "regressions" / target / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)


if __name__ == "__main__":
    main()
