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


def pdf(content, resources=b"", extra_objects=()):
    """One page drawn by content; extra objects are numbered from 5 on."""
    packed = zlib.compress(content, 9)
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R%s >>" % resources,
        b"<< /Length %d /Filter /FlateDecode >>\nstream\n" % len(packed) + packed + b"\nendstream",
        *extra_objects,
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


def zlib_zeros(total, piece):
    """A zlib stream of total zero bytes, made of one compressed block of piece zeros repeated
    (total a multiple of piece): megabytes of zeros from a few kilobytes, without making them."""
    raw = zlib.compressobj(9, zlib.DEFLATED, -15)
    block = raw.compress(b"\x00" * piece) + raw.flush(zlib.Z_FULL_FLUSH)
    end = zlib.compressobj(9, zlib.DEFLATED, -15).flush(zlib.Z_FINISH)
    adler = (total % 65521) << 16 | 1  # the checksum of zeros only
    return b"\x78\xda" + block * (total // piece) + end + struct.pack(">I", adler)


def jbig2_pdf(width, height):
    """A page with one JBIG2 image whose page-information segment declares width x height: the
    decoder makes (and clears) the whole 1-bit page before it reads anything else."""
    def segment(number, kind, data):
        return struct.pack(">IBBBI", number, kind, 0, 1, len(data)) + data
    stream = segment(0, 48, struct.pack(">IIIIBH", width, height, 0, 0, 0, 0)) + segment(1, 49, b"")
    image = (b"<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace /DeviceGray "
             b"/BitsPerComponent 1 /Filter /JBIG2Decode /Length %d >>\nstream\n"
             % (width, height, len(stream)) + stream + b"\nendstream")
    return pdf(b"q 612 0 0 792 0 0 cm /I Do Q\n", b" /Resources << /XObject << /I 5 0 R >> >>",
               [image])


def tiff_tiled(side, tile):
    """An RGB TIFF of side x side zeros in deflated tiles of tile x tile, every tile the same
    few kilobytes: a reader that caches a row of tiles holds gigabytes."""
    data = zlib_zeros(tile * tile * 3, tile * 3 * 16)
    count = ((side + tile - 1) // tile) ** 2
    tags = [(256, 4, 1, side), (257, 4, 1, side), (258, 3, 3, "bits"), (259, 3, 1, 8),
            (262, 3, 1, 2), (277, 3, 1, 3), (284, 3, 1, 1), (322, 4, 1, tile), (323, 4, 1, tile),
            (324, 4, count, "offsets"), (325, 4, count, "counts")]
    at = {"bits": 8 + 2 + 12 * len(tags) + 4}
    at["offsets"] = at["bits"] + 6
    at["counts"] = at["offsets"] + 4 * count
    data_at = at["counts"] + 4 * count
    out = b"II*\x00" + struct.pack("<IH", 8, len(tags))
    for tag, kind, number, value in tags:
        value = at.get(value, value) if isinstance(value, str) else value
        inline_short = kind == 3 and number == 1
        out += struct.pack("<HHIHH" if inline_short else "<HHII", tag, kind, number, value,
                           *([0] if inline_short else []))
    out += struct.pack("<I", 0) + struct.pack("<HHH", 8, 8, 8)
    out += struct.pack("<%dI" % count, *[data_at] * count) + struct.pack("<%dI" % count, *[len(data)] * count)
    return out + data


def huge_png(side):
    """An RGB PNG of side x side black pixels, about 750 KB at 16000."""
    header = struct.pack(">IIBBBBB", side, side, 8, 2, 0, 0, 0)
    data = zlib_zeros((side * 3 + 1) * side, (side * 3 + 1) * 1000)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) + png_chunk(b"IDAT", data)
            + png_chunk(b"IEND", b""))


def ebml(element_id, payload):
    """One EBML element: its id, an 8-byte size and the payload (numbers as big-endian bytes)."""
    if isinstance(payload, int):
        payload = payload.to_bytes(max(1, (payload.bit_length() + 7) // 8), "big")
    return element_id + b"\x01" + len(payload).to_bytes(7, "big") + payload


def bitmap_info(width, height, fourcc, image_bytes):
    return struct.pack("<IiiHH4sIiiII", 40, width, height, 1, 24, fourcc, image_bytes, 0, 0, 0, 0)


def matroska_one_frame(width, height, fourcc, frame):
    """A Matroska video whose only frame is the given picture, in a video-for-windows track."""
    header = ebml(b"\x1a\x45\xdf\xa3", ebml(b"\x42\x86", 1) + ebml(b"\x42\xf7", 1)
                  + ebml(b"\x42\xf2", 4) + ebml(b"\x42\xf3", 8) + ebml(b"\x42\x82", b"matroska")
                  + ebml(b"\x42\x87", 4) + ebml(b"\x42\x85", 2))
    info = ebml(b"\x15\x49\xa9\x66", ebml(b"\x2a\xd7\xb1", 1000000) + ebml(b"\x4d\x80", b"x")
                + ebml(b"\x57\x41", b"x") + ebml(b"\x44\x89", struct.pack(">d", 1000.0)))
    video = ebml(b"\xe0", ebml(b"\xb0", width) + ebml(b"\xba", height))
    track = ebml(b"\xae", ebml(b"\xd7", 1) + ebml(b"\x73\xc5", 1) + ebml(b"\x83", 1)
                 + ebml(b"\x86", b"V_MS/VFW/FOURCC")
                 + ebml(b"\x63\xa2", bitmap_info(width, height, fourcc, 0)) + video)
    cluster = ebml(b"\x1f\x43\xb6\x75", ebml(b"\xe7", 0)
                   + ebml(b"\xa3", b"\x81\x00\x00\x80" + frame))
    return header + ebml(b"\x18\x53\x80\x67", info + ebml(b"\x16\x54\xae\x6b", track) + cluster)


def riff(kind, payload):
    return kind + struct.pack("<I", len(payload)) + payload + b"\x00" * (len(payload) % 2)


def avi_one_frame(width, height, fourcc, frame):
    """An AVI whose only frame is the given picture."""
    avih = struct.pack("<14I", 40000, 0, 0, 0x10, 1, 0, 1, 0, width, height, 0, 0, 0, 0)
    strh = b"vids" + fourcc + struct.pack("<IHHIIIIIIIIhhhh", 0, 0, 0, 0, 1, 25, 0, 1, 0,
                                          0xFFFFFFFF, 0, 0, 0, width & 0x7FFF, height & 0x7FFF)
    strl = riff(b"LIST", b"strl" + riff(b"strh", strh)
                + riff(b"strf", bitmap_info(width, height, fourcc, 0)))
    hdrl = riff(b"LIST", b"hdrl" + riff(b"avih", avih) + strl)
    movi = riff(b"LIST", b"movi" + riff(b"00dc", frame))
    index = riff(b"idx1", b"00dc" + struct.pack("<III", 0x10, 4, len(frame)))
    return riff(b"RIFF", b"AVI " + hdrl + movi + index)


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
    # A 722-byte PDF whose JBIG2 image declares an 80000x80000 page: 800 MB, cleared at once.
    "jbig2-huge-page.pdf": jbig2_pdf(80000, 80000),
    # A 16000x16000 RGB TIFF in 8000x8000 tiles (192 MB each decoded), all one deflated tile.
    "tiled-huge.tif": tiff_tiled(16000, 8000),
    # A Matroska video whose only frame is a 16000x16000 PNG (768 MB decoded), for the
    # thumbnailer that handles video.
    "png-frame-huge.mkv": matroska_one_frame(16000, 16000, b"MPNG", huge_png(16000)),
    # A Motion-JPEG AVI whose only frame is a progressive 15000x15000 JPEG (1.3 GB of
    # coefficients).
    "progressive-frame-huge.avi": avi_one_frame(15000, 15000, b"MJPG",
                                                progressive_jpeg(15000, 15000, [1, 2, 3])),
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
