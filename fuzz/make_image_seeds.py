#!/usr/bin/env python3
"""Writes the hand-built seeds of the image decoding fuzzer: palette pictures
whose indices run past their palette (once decoded from stack garbage) and
files cut short. seed.png, seed.jpg and seed.bmp are kept as they are."""
import os
import struct
import zlib

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "framework_image")


def png_chunk(kind, payload):
    return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))


def png(width, height, depth, colour, rows, palette=None):
    head = png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, 0))
    plte = png_chunk(b"PLTE", palette) if palette is not None else b""
    raw = b"".join(b"\0" + row for row in rows)
    return b"\x89PNG\r\n\x1a\n" + head + plte + png_chunk(b"IDAT", zlib.compress(raw)) + png_chunk(b"IEND", b"")


def bmp(width, height, bpp, palette, rows):
    stride = (width * bpp + 31) // 32 * 4
    pixels = b"".join(row.ljust(stride, b"\0") for row in rows)
    offset = 14 + 40 + len(palette)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bpp, 0, len(pixels), 2835, 2835, len(palette) // 4, 0)
    return b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset) + info + palette + pixels


def main():
    seeds = {
        # Two palette entries, indices 0, 1, 5 and 255.
        "palette_short.png": png(4, 1, 8, 3, [bytes([0, 1, 5, 255])], palette=b"\xff\0\0\0\xff\0"),
        # 4-bit indices up to 15 against a palette of one entry.
        "palette_short_4bit.png": png(4, 2, 4, 3, [b"\x0f\x10", b"\x21\xf0"], palette=b"\x10\x20\x30"),
        "palette_short.bmp": bmp(4, 2, 8, b"\x00\x00\xff\x00\x00\xff\x00\x00", [b"\x00\x01\x07\xff", b"\x01\x00\xc8\x02"]),
        # A bare header that promises 8 x 8 pixels of 24 bits.
        "truncated.bmp": bmp(8, 8, 24, b"", [])[:54],
        "truncated.png": png(8, 8, 8, 2, [bytes(24)] * 8)[:-20],
    }
    for name, data in seeds.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
    with open(os.path.join(OUT, "seed.jpg"), "rb") as f:
        jpeg = f.read()
    with open(os.path.join(OUT, "truncated.jpg"), "wb") as f:
        f.write(jpeg[: len(jpeg) * 2 // 3])


if __name__ == "__main__":
    main()
