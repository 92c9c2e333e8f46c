#!/usr/bin/env python3
"""Writes fuzz/corpus/ (committed; rerun after changing an input layout or the snapshot format): a few seeds per
fuzzer, each reaching one kind of answer, so that the fuzzers need not find valid documents byte by byte."""

import pathlib
import struct
import zlib

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"
BANNER = "https://kelvara.com/banner/kelvara-7"  # the banner the page and exchange fuzzers ask about
PNG = (b"\x89PNG\r\n\x1a\n" + struct.pack(">I4sII", 13, b"IHDR", 64, 16)).ljust(33, b"\0")


def obj(**members):
    return "{" + ",".join(f'"{name}":{value}' for name, value in members.items()) + "}"


def page(successors, status="available", accessible="true", next_after="null"):
    return obj(schemaVersion=2, bannerId='"kelvara-7"', availability=obj(status=f'"{status}"', accessible=accessible),
               successors=successors, hasMore="false", nextAfterRenderRevision=next_after)


ENTRY = obj(renderRevision='"42"', latestPaintingSequence='"420"', revisionPageUrl=f'"{BANNER}/render/42"',
            imageUrl=f'"{BANNER}/render/42/image"', evaluationInstant='"2024-05-01T12:00:00Z"',
            classification=obj(containsPaidArtwork="true", containsFilterChange="false", containsModeration="false"))
MODIFIED, EMPTY = page(f"[{ENTRY}]").encode(), page("[]").encode()


# Control bytes (flags, status selectors, cursor, image flags) and 0x1E-separated fields: exchange_fuzzer.cpp.
def exchange(flags, status, image_status, fields):
    return bytes([flags, status, image_status, 41, 1]) + b"\x1e".join(fields)


# Snapshots: little-endian integers, texts with a 64-bit length, optionals behind a presence byte.
def u64(value):
    return struct.pack("<Q", value)


def text(value):
    return u64(len(value)) + value.encode()


def revision(number, form, version, flags):
    out = b"\x01" + text("b1") + u64(number) + (u64(number * 10) if version >= 7 else b"")
    out += text(f"https://kelvara.com/banner/b1/{form}/{number}/image") + text("image/png") + u64(33) + PNG
    return out + struct.pack("<II", 64, 16) + (bytes(flags) if version >= 5 else b"")


# Every list and optional filled, in the layout of each version the loader reads.
def snapshot(version):
    out = struct.pack("<I", version) + text("b1") + b"\x00\x00" + revision(5, "revision", version, (1, 0, 1))
    out += revision(7, "render", version, (0, 1, 0)) + u64(2) + text("b1") + u64(6) + text("b1") + u64(9)
    out += struct.pack("<IB", 1, 1) + (b"\x01" + u64(7) if version >= 4 else b"") + struct.pack("<I", 3)
    out += u64(12345) + b"\x01" + text('"x1"') + (u64(9) if version >= 6 else b"")
    return out + (b"\x01" + u64(50) if version >= 7 else b"")


# PNG files: every colour type, transparency chunks, a file cut off, and unused chunks large or running past the end.
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png(colour_type, depth=8, width=16, height=8, before_data=b"", palette=None, trns=None):
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour_type]
    row_bytes = (width * channels * depth + 7) // 8
    limit = len(palette) // 3 if palette else 256
    raw = b"".join(b"\0" + bytes((x * 37 + y * 11) % limit for x in range(row_bytes)) for y in range(height))
    out = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0, 0))
    out += before_data + (chunk(b"PLTE", palette) if palette else b"") + (chunk(b"tRNS", trns) if trns else b"")
    return out + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


PALETTE = bytes(range(48))
PNG_SEEDS = {
    "grey8": png(0),
    "grey1_keyed": png(0, depth=1, trns=struct.pack(">H", 1)),
    "rgb8": png(2),
    "rgb16_keyed": png(2, depth=16, trns=struct.pack(">HHH", 1, 2, 3)),
    "palette8_alpha": png(3, palette=PALETTE, trns=bytes(range(0, 256, 32))),
    "grey_alpha8": png(4),
    "rgba8": png(6),
    "rgba8_cut_off": png(6)[:60],
    "large_text": png(2, before_data=chunk(b"tEXt", b"k\0" + b"x" * 66000)),
    "text_inflating_far": png(2, before_data=chunk(b"zTXt", b"k\0\0" + zlib.compress(bytes(1 << 24)))),
    "text_past_end": png(2)[:-12] + struct.pack(">I4s", 1 << 30, b"tEXt") + b"runs past the end",
}

SEEDS = {
    "json_reader_fuzzer": {
        "modified_page": MODIFIED,
        "kinds": '\v{"s":"t\u00e9xt","n":007,"t":true ,"f":false,"z":null,"o":{"a":[1,"]"]},"a":[{"b":"}"}]}\f',
    },
    "revision_page_fuzzer": {
        "modified": MODIFIED,
        "modified_spaced": page(f"[ \n{ENTRY}\t]", next_after='"43"'),
        "available_empty": EMPTY,
        "suspended": page("[]", status="suspended", accessible="false", next_after="{}"),
    },
    "exchange_fuzzer": {  # flags: bit 2 reply ETag, bit 3 request ETag; statuses 0: 200, 1: 304, 3: 404
        "modified_valid_image": exchange(0x04, 0, 0, [MODIFIED, b'W/"v1"', b"", b"", b"", PNG]),
        "modified_image_404": exchange(0x04, 0, 3, [MODIFIED, b'W/"v1"']),
        "not_modified_page": exchange(0x00, 0, 0, [EMPTY]),
        "conditional_304": exchange(0x0C, 1, 0, [b"", b'W/"v1"', b'"v0"']),
    },
    "source_settings_fuzzer": {  # stored poll seconds, QR byte, input text
        "page_url": struct.pack("<qB", 30, 0) + f"{BANNER}/".encode(),
        "revision_url": struct.pack("<qB", 99999, 1) + b"https://www.kelvara.com/banner/abc_D/revision/12",
        "revision_too_big": struct.pack("<qB", -5, 0) + f"{BANNER}/revision/18446744073709551616".encode(),
    },
    "snapshot_load_fuzzer": {f"full_v{version}": snapshot(version) for version in range(3, 8)},
    "png_decode_fuzzer": PNG_SEEDS,
}

if __name__ == "__main__":
    for target, seeds in SEEDS.items():
        folder = CORPUS / target
        folder.mkdir(parents=True, exist_ok=True)
        for old in folder.iterdir():
            old.unlink()
        for name, data in seeds.items():
            (folder / name).write_bytes(data if isinstance(data, bytes) else data.encode())
