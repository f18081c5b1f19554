#!/usr/bin/env python3
"""Prints CHANGELOG.md (given as the argument) as a Debian changelog, the form Debian's tools read.

Each "## VERSION (YYYY-MM-DD)" section becomes one entry; its paragraphs and "- " items become
the entry's items.
"""
import datetime
import re
import sys

MAINTAINER = "palmconv developers <palmconv@example.org>"


def entries(text):
    for match in re.finditer(r"^## (\S+) \((\d{4}-\d{2}-\d{2})\)\n(.*?)(?=^## |\Z)", text,
                             re.M | re.S):
        version, day, body = match.groups()
        items = []
        for block in re.split(r"\n\s*\n", body.strip()):
            for item in re.split(r"^- ", block, flags=re.M):
                words = " ".join(item.split())
                if words:
                    items.append(words)
        yield version, datetime.date.fromisoformat(day), items


def wrap(words, width=76):
    lines, line = [], ""
    for word in words.split(" "):
        if line and len(line) + 1 + len(word) > width:
            lines.append(line)
            line = word
        else:
            line = f"{line} {word}" if line else word
    return lines + [line]


def main():
    text = open(sys.argv[1], encoding="utf-8").read()
    out = []
    for version, day, items in entries(text):
        out.append(f"palmconv ({version}) unstable; urgency=medium\n")
        for item in items:
            first, *rest = wrap(item.replace("`", ""))
            out.append(f"  * {first}")
            out.extend(f"    {line}" for line in rest)
        stamp = datetime.datetime(day.year, day.month, day.day, tzinfo=datetime.timezone.utc)
        out.append(f"\n -- {MAINTAINER}  {stamp.strftime('%a, %d %b %Y %H:%M:%S +0000')}\n")
    sys.stdout.write("\n".join(out))


if __name__ == "__main__":
    main()
