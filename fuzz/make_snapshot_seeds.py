#!/usr/bin/env python3
"""Writes the seed snapshots under fuzz/corpus/snapshot_load_fuzzer/ (committed; rerun by hand after
changing the snapshot layout).

One small file per format version and per branch of the reader that a valid state reaches: no images,
two revisions of the two image URL forms with every list and optional filled, a pinned state."""

import pathlib
import struct

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus" / "snapshot_load_fuzzer"
ORIGIN = "https://kelvara.com"


def u32(value):
    return struct.pack("<I", value)


def u64(value):
    return struct.pack("<Q", value)


def text(value):
    data = value.encode()
    return u64(len(data)) + data


def optional_u64(value):
    return b"\x00" if value is None else b"\x01" + u64(value)


def png(width, height):
    header = b"\x89PNG\r\n\x1a\n" + struct.pack(">I", 13) + b"IHDR" + struct.pack(">II", width, height)
    return header + bytes(33 - len(header))


def revision(banner, number, form, version, flags=(False, False, False)):
    image = png(64, 16)
    out = b"\x01" + text(banner) + u64(number)
    if version >= 7:
        out += u64(number * 10)
    out += text(f"{ORIGIN}/banner/{banner}/{form}/{number}/image") + text("image/png")
    out += u64(len(image)) + image + u32(64) + u32(16)
    if version >= 5:
        out += bytes(int(flag) for flag in flags)
    return out


def snapshot(version, banner, pinned=None, approved=b"\x00", candidate=b"\x00", rejected=(), status=0,
             previewed=False, notified=None, failures=0, due=0, etag=None, cursor=0, legacy=None):
    out = u32(version) + text(banner) + bytes([pinned is not None]) + optional_u64(pinned)
    out += approved + candidate + u64(len(rejected))
    for number in rejected:
        out += text(banner) + u64(number)
    out += u32(status) + bytes([previewed])
    if version >= 4:
        out += optional_u64(notified)
    out += u32(failures) + u64(due) + (b"\x00" if etag is None else b"\x01" + text(etag))
    if version >= 6:
        out += u64(cursor)
    if version >= 7:
        out += optional_u64(legacy)
    return out


def full(version):
    return snapshot(version, "b1", approved=revision("b1", 5, "revision", version, (True, False, True)),
                    candidate=revision("b1", 7, "render", version, (False, True, False)), rejected=(6, 9),
                    status=1, previewed=True, notified=7, failures=3, due=12345, etag='"x1"', cursor=9,
                    legacy=50)


def main():
    CORPUS.mkdir(parents=True, exist_ok=True)
    seeds = {
        "minimal_v7": snapshot(7, "abc"),
        "pinned_v7": snapshot(7, "p", pinned=4, approved=revision("p", 4, "render", 7)),
    }
    for version in range(3, 8):
        seeds[f"full_v{version}"] = full(version)
    for name, data in seeds.items():
        (CORPUS / name).write_bytes(data)


if __name__ == "__main__":
    main()
