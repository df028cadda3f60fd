#!/usr/bin/env python3
"""The man page lints clean, and every message of the tool's table stands
in it, with the conversions as words in italics.

usage: man_page.py SRC_FOLDER
"""
import os
import re
import subprocess
import sys
import textwrap


def printed_lines(src):
    """Each line of each message in the messages' header, what a message
    takes between its two texts as %s (a name), %d or %x (a number)."""
    header = open(os.path.join(src, "messages.h")).read()
    lines = set()
    for kind, body in re.findall(r"inline constexpr (message|char) (.*?);", header, re.S):
        if kind == "message":
            text, what, rest = (re.split(r",\s*takes::(\w+)", body) + ["nothing", ""])[:3]
            parts = [text + {"name": ' "%s" ', "decimal": ' "%d" ', "hex": ' "%x" ',
                             "nothing": " "}[what] + rest]
        else:
            parts = re.findall(r'\w+\[\] = ((?:\s*"(?:[^"\\]|\\.)*")+)', body)
        for part in parts:
            fmt = "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', part))
            fmt = fmt.replace("\\n", "\n").replace("\\'", "'")
            lines.update(line for line in fmt.split("\n") if line)
    return lines


def main():
    src = sys.argv[1]
    page = os.path.join(src, "bitmend.1")
    faults = []
    lint = subprocess.run(["mandoc", "-Tlint", "-Wwarning", page],
                          capture_output=True, text=True)
    if lint.returncode or lint.stdout or lint.stderr:
        faults.append("mandoc -Tlint: %s%s" % (lint.stdout, lint.stderr))
    groff = subprocess.run(["groff", "-mandoc", "-ww", "-z", page],
                           capture_output=True, text=True)
    if groff.returncode or groff.stderr:
        faults.append("groff -ww: %s" % groff.stderr)
    rendered = subprocess.run(["mandoc", "-Tascii", "-Owidth=200", page],
                              capture_output=True, text=True).stdout
    rendered = re.sub(r".\x08", "", rendered)  # overstrike for bold, italics
    lines = printed_lines(src)
    for line in sorted(lines):
        pattern = re.sub(r"%[sdux]", "[a-z]+", "".join(
            part if part in ("%s", "%d", "%u", "%x") else re.escape(part)
            for part in re.split(r"(%[sdux])", line)))
        if not re.search(pattern, rendered):
            faults.append("not in the man page: %r" % line)
    # The undo block as the README gives it, to be copied from either.
    readme = open(os.path.join(src, "..", "README.md")).read()
    undo = [textwrap.dedent(block) for block in re.findall(
        r"(?:^ {4,}\S.*\n)+", readme + rendered, re.M) if "undo.list" in block]
    if len(undo) != 2 or undo[0] != undo[1]:
        faults.append("the man page's undo block is not the README's")
    if len(lines) < 12:
        faults.append("found only %d message lines in the sources" % len(lines))
    for fault in faults:
        print("FAIL " + fault)
    print("%d passed, %d failed" % (len(lines) + 2 - len(faults), len(faults)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
