#!/usr/bin/env python3
"""Writes a PDF of N A4 pages of text and rectangles: make_pdf.py OUT.pdf [PAGES]."""
import sys


def main():
    out = sys.argv[1]
    pages = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    objects = []  # bodies of objects 1..n

    def add(body):
        objects.append(body)
        return len(objects)

    catalog = add(None)
    tree = add(None)
    font = add(b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    kids = []
    for page in range(1, pages + 1):
        lines = [b"0.2 0.4 0.8 rg 50 700 495 90 re f", b"BT /F1 28 Tf 0 0 0 rg 60 740 Td (Page %d) Tj ET" % page]
        for row in range(40):
            lines.append(b"BT /F1 11 Tf 60 %d Td (Line %d of page %d: the quick brown fox jumps over the lazy dog.) Tj ET"
                         % (660 - row * 15, row + 1, page))
        stream = b"\n".join(lines)
        content = add(b"<< /Length %d >>\nstream\n%s\nendstream" % (len(stream), stream))
        kids.append(add(b"<< /Type /Page /Parent %d 0 R /MediaBox [0 0 595 842] /Resources << /Font << /F1 %d 0 R >> >> /Contents %d 0 R >>"
                        % (tree, font, content)))
    objects[catalog - 1] = b"<< /Type /Catalog /Pages %d 0 R >>" % tree
    objects[tree - 1] = b"<< /Type /Pages /Kids [%s] /Count %d >>" % (b" ".join(b"%d 0 R" % k for k in kids), len(kids))
    data = bytearray(b"%PDF-1.4\n")
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(len(data))
        data += b"%d 0 obj\n%s\nendobj\n" % (number, body)
    xref = len(data)
    data += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    for offset in offsets:
        data += b"%010d 00000 n \n" % offset
    data += b"trailer\n<< /Size %d /Root %d 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, catalog, xref)
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
