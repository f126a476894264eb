#!/usr/bin/python3
"""Writes the benchmark's XML documents into the folder given, generated from a
fixed seed so every run measures the same bytes:

  attributes.xml    90,000 small elements, three attributes each (entities in
                    attribute values and text), about 4.3 MB
  mixed-texts.xml   60,000 elements of long mixed content (text around inline
                    children, entities, non-ASCII) nested up to 24 deep,
                    about 25 MB
  long-texts.xml    25,000 records with 2 KB bodies, about 50 MB
  small-elements.xml  90,000 small elements with two attributes
"""
import random
import sys

work = sys.argv[1]
random.seed(7)
WORDS = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta", "iota", "kappa",
         "gr\u00fc\u00dfe", "caf\u00e9", "na\u00efve", "&amp;", "&lt;x&gt;", "&#233;t\u00e9",
         "&quot;q&quot;"]


def text(n):
    out, size = [], 0
    while size < n:
        w = random.choice(WORDS)
        out.append(w)
        size += len(w) + 1
    return " ".join(out)


def write_attributes(f):
    f.write('<?xml version="1.0" encoding="UTF-8"?>\n<catalog>\n')
    for i in range(89999):
        f.write(f'<item id="{i}" k="{i % 7}" v="{text(1)}">{text(1)}</item>\n')
    f.write('</catalog>\n')


def mixed_paragraph(size):
    parts, written = [], 0
    while written < size:
        piece = text(random.randint(300, 600))
        parts.append(piece)
        written += len(piece)
        tag = random.choice(["em", "b", "a"])
        inner = text(random.randint(5, 30))
        attrs = f' href="#s{random.randint(0, 999)}&amp;x"' if tag == "a" else ""
        parts.append(f"<{tag}{attrs}>{inner}</{tag}>")
        written += len(inner) + 9
    return " ".join(parts)


def write_mixed_texts(f):
    # Sections nest to 24 levels and back; each holds a heading and
    # paragraphs of text with inline elements, so character data comes in
    # many pieces per element and after children's end tags.
    f.write('<?xml version="1.0" encoding="UTF-8"?>\n<book lang="en">\n')
    elements, depth, open_sections = 1, 0, []
    while elements < 60000:
        if depth < 24 and (depth == 0 or random.random() < 0.55):
            f.write(f'{" " * depth}<section id="s{elements}" depth="{depth}">\n')
            f.write(f'<title>{text(30)}</title>\n')
            open_sections.append(depth)
            depth += 1
            elements += 2
        else:
            f.write("</section>\n")
            open_sections.pop()
            depth -= 1
            continue
        for _ in range(random.randint(0, 2)):
            para = mixed_paragraph(random.randint(2500, 7500))
            f.write(f"<p>{para}</p>\n")
            elements += 1 + para.count("</")
    while open_sections:
        f.write("</section>\n")
        open_sections.pop()
    f.write("</book>\n")


def write_long_texts(f):
    f.write('<?xml version="1.0" encoding="UTF-8"?>\n<archive>\n')
    for i in range(24999):
        f.write(f' <record id="{i}">\n  <body lang="en">{text(2000)}</body>\n </record>\n')
    f.write('</archive>\n')


def write_small_elements(f):
    f.write('<?xml version="1.0" encoding="UTF-8"?>\n<list>\n')
    for i in range(89999):
        f.write(f' <item n="{i}" kind="k{i % 7}">{text(random.randint(20, 120))}</item>\n')
    f.write('</list>\n')


for name, writer in [("attributes", write_attributes), ("mixed-texts", write_mixed_texts),
                     ("long-texts", write_long_texts), ("small-elements", write_small_elements)]:
    with open(f"{work}/{name}.xml", "w", encoding="utf-8") as f:
        writer(f)
