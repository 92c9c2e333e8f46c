#!/usr/bin/env python3
"""Writes the seed inputs under fuzz/corpus/ (committed; rerun by hand after changing an input layout or the
snapshot format). Seeds are few and small: each reaches one kind of answer, so that the fuzzers start from
every branch instead of having to discover valid documents byte by byte."""

import pathlib
import struct

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"
ORIGIN = "https://kelvara.com"
BANNER = "kelvara-7"  # the banner the page and exchange fuzzers ask about


def obj(members):
    return "{" + ",".join(f'"{name}":{value}' for name, value in members) + "}"


def entry(revision):
    page = f"{ORIGIN}/banner/{BANNER}/render/{revision}"
    flags = obj([("containsPaidArtwork", "true"), ("containsFilterChange", "false"), ("containsModeration", "false")])
    return obj([("renderRevision", f'"{revision}"'), ("latestPaintingSequence", f'"{revision * 10}"'),
                ("revisionPageUrl", f'"{page}"'), ("imageUrl", f'"{page}/image"'),
                ("evaluationInstant", '"2024-05-01T12:00:00Z"'), ("classification", flags)])


def page(successors, status="available", accessible=True, next_after="null"):
    availability = obj([("status", f'"{status}"'), ("accessible", "true" if accessible else "false")])
    return obj([("schemaVersion", "2"), ("bannerId", f'"{BANNER}"'), ("availability", availability),
                ("successors", successors), ("hasMore", "false"), ("nextAfterRenderRevision", next_after)])


def png(width, height):
    return (b"\x89PNG\r\n\x1a\n" + struct.pack(">I4sII", 13, b"IHDR", width, height)).ljust(33, b"\0")


def exchange(flags, status, image_status, after, image_flags, fields):
    return bytes([flags, status, image_status, after, image_flags]) + b"\x1e".join(fields)


def settings(poll, qr, url):
    return struct.pack("<qB", poll, qr) + url.encode()


# Snapshot encoding: little-endian integers, texts with a 64-bit length, optionals behind a presence byte.
def u64(value):
    return struct.pack("<Q", value)


def text(value):
    return u64(len(value.encode())) + value.encode()


def optional(value, encode=u64):
    return b"\x00" if value is None else b"\x01" + encode(value)


def revision(banner, number, form, version, flags=(False, False, False)):
    out = b"\x01" + text(banner) + u64(number) + (u64(number * 10) if version >= 7 else b"")
    out += text(f"{ORIGIN}/banner/{banner}/{form}/{number}/image") + text("image/png")
    out += u64(33) + png(64, 16) + struct.pack("<II", 64, 16)
    return out + (bytes(flags) if version >= 5 else b"")


def snapshot(version, banner, pinned=None, approved=b"\x00", candidate=b"\x00", rejected=(), status=0,
             previewed=False, notified=None, failures=0, due=0, etag=None, cursor=0, legacy=None):
    out = struct.pack("<I", version) + text(banner) + bytes([pinned is not None]) + optional(pinned)
    out += approved + candidate + u64(len(rejected)) + b"".join(text(banner) + u64(n) for n in rejected)
    out += struct.pack("<IB", status, previewed) + (optional(notified) if version >= 4 else b"")
    out += struct.pack("<I", failures) + u64(due) + optional(etag, text)
    return out + (u64(cursor) if version >= 6 else b"") + (optional(legacy) if version >= 7 else b"")


def full(version):
    return snapshot(version, "b1", approved=revision("b1", 5, "revision", version, (True, False, True)),
                    candidate=revision("b1", 7, "render", version, (False, True, False)), rejected=(6, 9),
                    status=1, previewed=True, notified=7, failures=3, due=12345, etag='"x1"', cursor=9, legacy=50)


def write(target, seeds):
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    for old in folder.iterdir():
        old.unlink()
    for name, data in seeds.items():
        (folder / name).write_bytes(data if isinstance(data, bytes) else data.encode())


def main():
    modified, empty, tag = page(f"[{entry(42)}]"), page("[]"), b'W/"v1"'
    rr_url = f"{ORIGIN}/api/public/banners/{BANNER}/render-revisions?after=41&limit=1".encode()
    write("json_reader_fuzzer", {
        "modified_page": modified,
        "empty": " {\t}\n",
        "kinds": '{"s":"t\u00e9xt","n":007,"t":true,"f":false,"z":null,"o":{"a":[1,"]"]},"a":[{"b":"}"}]}',
        "whitespace": '\v{ "a" :\f18446744073709551615 ,\r"b":4294967296 }\n',
    })
    write("revision_page_fuzzer", {
        "modified": modified,
        "modified_spaced": page(f"[ \n{entry(42)}\t]", next_after='"43"'),
        "available_empty": empty,
        "suspended": page("[]", status="suspended", accessible=False),
        "unpublished": page("[]", status="unpublished", accessible=False, next_after="{}"),
    })
    write("exchange_fuzzer", {
        # flags: bit 2 reply ETag, bit 3 request ETag; status selectors index 200, 304, 403, 404, 410, 0, ...
        "modified_valid_image": exchange(0x04, 0, 0, 41, 1, [modified.encode(), tag, b"", b"", b"", png(64, 16)]),
        "modified_image_404": exchange(0x04, 0, 3, 41, 0, [modified.encode(), tag, b"", b"", b"", b""]),
        "modified_not_png": exchange(0x00, 0, 0, 41, 1, [modified.encode(), b"", b"", b"", b"", b"GIF89a"]),
        "not_modified_page": exchange(0x00, 0, 0, 41, 1, [empty.encode()]),
        "conditional_304": exchange(0x0C, 1, 0, 41, 1, [b"", tag, b'"v0"']),
        "redirect": exchange(0x01, 7, 0, 41, 1, [b""]),
        "other_url": exchange(0x12, 0, 0, 41, 1, [modified.encode(), b"", b"", rr_url + b"0",
                                                  b"application/json; charset=utf-8"]),
    })
    write("source_settings_fuzzer", {
        "bare_id": settings(300, 1, "kelvara-7"),
        "page_url": settings(30, 0, f"{ORIGIN}/banner/kelvara-7/"),
        "revision_url": settings(99999, 1, "https://www.kelvara.com/banner/abc_D/revision/12"),
        "revision_too_big": settings(-5, 0, f"{ORIGIN}/banner/abc/revision/18446744073709551616"),
        "bad_id": settings(60, 0, f"{ORIGIN}/banner/{'x' * 129}"),
        "not_a_url": settings(3600, 0, "kelvara.com/banner/a b"),
    })
    # One snapshot per format version with every list and optional filled, plus a minimal and a pinned one.
    write("snapshot_load_fuzzer", {
        "minimal_v7": snapshot(7, "abc"),
        "pinned_v7": snapshot(7, "p", pinned=4, approved=revision("p", 4, "render", 7)),
        **{f"full_v{version}": full(version) for version in range(3, 8)},
    })


if __name__ == "__main__":
    main()
