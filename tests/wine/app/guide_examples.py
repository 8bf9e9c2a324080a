#!/usr/bin/env python3
"""Turns the examples table of the user guide into a workbook and the results it promises.

Usage: guide_examples.py USER_GUIDE.md OUT.xlsx EXPECTED.txt

The workbook holds the cells the guide's examples describe (A1 alpha, A2 empty, A3 gamma, B1
1234.5 shown as 1,234.50, C1 15 Jan 2024 shown as 1/15/2024) and one example formula per row of
column E; EXPECTED.txt holds the lines `textbraid calc` prints for them when the guide is right.
"""

import datetime
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tools"))
from make_sample_workbook import Book  # noqa: E402


def examples(guide):
    rows = []
    in_examples = False
    for line in open(guide, encoding="utf-8"):
        if line.startswith("## "):
            in_examples = line.strip() == "## Examples"
        m = re.match(r"\| `=(.*)` \| `(.*?)`", line)
        if in_examples and m:
            rows.append((m.group(1), m.group(2)))
    return rows


def main(argv):
    if len(argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    rows = examples(argv[1])
    if len(rows) < 5:
        print("guide_examples: the guide's examples table was not found", file=sys.stderr)
        return 1
    book = Book()
    sheet = book.sheet("Sheet1")
    sheet.set("A1", "alpha")
    sheet.set("A3", "gamma")
    sheet.set("B1", 1234.5, "#,##0.00")
    sheet.set("C1", datetime.date(2024, 1, 15), "m/d/yyyy")
    with open(argv[3], "w", encoding="utf-8") as expected:
        for i, (formula, result) in enumerate(rows, start=1):
            sheet.set(f"E{i}", None, formula=formula)
            expected.write(f"Sheet1!E{i}\t{result}\n")
    book.save(argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
