#!/usr/bin/python3
"""Doxygen input filter for the C++ headers: their plain // comments are the
documentation (a comment block above a declaration describes it; a comment
after a member on the same line describes that member), so they are handed
to Doxygen as /// and ///< comments. Lines are kept one for one, so line
numbers in warnings stay right."""

import re
import sys

LEADING = re.compile(r"^(\s*)//(?!/)(.*)$")


def code_part_ends_outside_string(code):
    """Whether a // found after `code` is outside a string or char literal."""
    quote = None
    escaped = False
    for char in code:
        if escaped:
            escaped = False
        elif char == "\\":
            escaped = True
        elif quote:
            if char == quote:
                quote = None
        elif char in "\"'":
            quote = char
    return quote is None


def convert(line):
    match = LEADING.match(line)
    if match:
        return f"{match.group(1)}///{match.group(2)}"
    position = line.find("//")
    while position != -1:
        code = line[:position]
        if code.strip() and code_part_ends_outside_string(code) and not line.startswith("///", position):
            return f"{code}///<{line[position + 2:]}"
        position = line.find("//", position + 2)
    return line


with open(sys.argv[1], encoding="utf-8") as source:
    for text in source:
        sys.stdout.write(convert(text.rstrip("\n")) + "\n")
