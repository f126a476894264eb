#!/usr/bin/env python3
"""Writes small hostile documents into a folder, one per way of taking a renderer down.

Usage: make_hostile.py FOLDER

Each is a few hundred bytes to a few tens of kilobytes and costs an unguarded renderer gigabytes
of memory or minutes of CPU. Used by the thumbtool tests and by bench/thumbtool/hostile.sh.
"""
import os
import struct
import sys
import zlib


def segment(marker, body):
    return b"\xff" + bytes([marker]) + struct.pack(">H", len(body) + 2) + body


def progressive_jpeg(width, height, components, empty_scans=0):
    """Header, one DC scan of a few bytes, then empty AC scans: libjpeg keeps coefficients for
    the whole declared image and makes one pass over it per scan."""
    jpeg = b"\xff\xd8" + segment(0xDB, b"\x00" + b"\x01" * 64)
    frame = struct.pack(">BHHB", 8, height, width, len(components))
    frame += b"".join(bytes([c, 0x11, 0]) for c in components)
    jpeg += segment(0xC2, frame)
    one_code = bytes([1] + [0] * 15) + b"\x00"  # one 1-bit code for symbol 0
    jpeg += segment(0xC4, b"\x00" + one_code) + segment(0xC4, b"\x10" + one_code)
    dc_scan = bytes([len(components)]) + b"".join(bytes([c, 0]) for c in components) + b"\x00\x00\x00"
    jpeg += segment(0xDA, dc_scan) + b"\x00" * 40
    for _ in range(empty_scans):
        jpeg += segment(0xDA, bytes([1, components[0], 0, 1, 63, 0]))
    return jpeg + b"\xff\xd9"


def pdf(content):
    packed = zlib.compress(content, 9)
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R >>",
        b"<< /Length %d /Filter /FlateDecode >>\nstream\n" % len(packed) + packed + b"\nendstream",
    ]
    out = b"%PDF-1.4\n"
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % offset for offset in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    return out


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


DOCUMENTS = {
    # 1.5 GB of coefficients for a 16000x16000 progressive JPEG.
    "progressive-huge.jpg": progressive_jpeg(16000, 16000, [1, 2, 3]),
    # The same as CMYK without a colour profile, which the fast path hands on: 2 GB.
    "progressive-cmyk-huge.jpg": progressive_jpeg(16000, 16000, [1, 2, 3, 4]),
    # 3300 empty scans over a 64-megapixel image: one pass over the image each.
    "many-scans.jpg": progressive_jpeg(8192, 8192, [1], empty_scans=3300),
    # 300,000 page-sized fills in 13 KB of compressed content.
    "many-fills.pdf": pdf(b"0 0 612 792 re f\n" * 300000),
    # A turbulence filter of 10,000 octaves over the whole picture.
    "turbulence.svg": b'<svg xmlns="http://www.w3.org/2000/svg" width="1000" height="1000">'
    b'<filter id="f"><feTurbulence baseFrequency="0.05" numOctaves="10000"/></filter>'
    b'<rect width="1000" height="1000" filter="url(#f)"/></svg>',
    # An interlaced 16000x16000 RGBA PNG: interlacing needs the whole 1 GB image at once.
    "interlaced-huge.png": b"\x89PNG\r\n\x1a\n"
    + png_chunk(b"IHDR", struct.pack(">IIBBBBB", 16000, 16000, 8, 6, 0, 0, 1))
    + png_chunk(b"IDAT", zlib.compress(b"\x00" * 1000))
    + png_chunk(b"IEND", b""),
    # A 16000x16000 GIF canvas around one pixel.
    "huge-canvas.gif": b"GIF89a" + struct.pack("<HH", 16000, 16000) + b"\x80\x00\x00"
    + b"\x00\x00\x00\xff\xff\xff" + b"\x2c" + struct.pack("<HHHH", 0, 0, 1, 1) + b"\x00"
    + b"\x02\x02\x44\x01\x00" + b"\x3b",
    # One letter carrying 8000 combining accents: a single cluster for the text shaper.
    "combining.txt": ("a" + "\u0301" * 8000).encode(),
}


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    for name, data in DOCUMENTS.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
        print(name)


if __name__ == "__main__":
    main()
