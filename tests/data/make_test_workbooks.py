#!/usr/bin/env python3
"""Writes the workbooks the .xlsx reader's tests read into the folder given: cell_types.xlsx
(every cell type, formulas with cached values and shared formulas, escapes and entities, number
formats, rows and cells without positions, a sheet name with blanks, absolute targets) and
date1904.xlsx (the 1904 date system).   Usage: make_test_workbooks.py OUTDIR
"""

import datetime
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))

from make_sample_workbook import Book, Error, Raw  # noqa: E402

ERRORS = ["#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A", "#SPILL!"]


def cell_types_book():
    book = Book()
    book.absolute_targets = True
    t = book.sheet("Types")
    t.set("A1", "plain")
    rich = book.raw_shared_string(
        '<r><rPr><b/></rPr><t>bold</t></r><r><t xml:space="preserve"> and plain</t></r>'
        '<rPh sb="0" eb="1"><t>PHONETIC</t></rPh><phoneticPr fontId="0"/>'
    )
    t.set("A2", Raw(' t="s"', f"<v>{rich}</v>"))
    t.set("A3", "inline text", inline=True)
    t.set("A4", Raw(' t="inlineStr"', "<is><r><t>in</t></r><r><rPr/><t>line</t></r></is>"))
    t.set("A5", "ab", formula='"a"&"b"')
    for ref, value in {"A6": True, "A7": False, "B1": 1.5, "B2": 42, "B3": -0.001}.items():
        t.set(ref, value)
    for i, text in enumerate(ERRORS, start=8):
        t.set(f"A{i}", Error(text))

    t.set("B4", Raw(' t="n"', "<v>1E+20</v>"))
    t.set("B5", Raw("", "<v> 3.25 </v>"))
    t.set("B6", Raw(' t="d"', "<v>2024-02-29T12:00:00</v>"), fmt="m/d/yyyy h:mm")
    t.set("B7", Raw(' t="d"', "<v>1900-01-01</v>"), fmt="m/d/yyyy")

    t.set("C1", 43.5, formula="SUM(B1:B2)")
    t.set("C2", Raw(' t="str"', "<f>C1&amp;\"\"</f>"))  # a formula without a cached value
    t.set("D1", Raw("", '<f t="shared" ref="D1:D3" si="0">B1*2+$B$1</f><v>4.5</v>'))
    t.set("D2", Raw("", '<f t="shared" si="0"/><v>85.5</v>'))
    t.set("D3", Raw("", '<f t="shared" si="0"/><v>-0.002</v>'))
    t.set("D4", Raw("", '<f t="array" ref="D4:D5">B1:B2*2</f><v>3</v>'))
    t.set("D5", Raw("", "<v>84</v>"))

    line = book.raw_shared_string("<t>line_x000D_break</t>")
    t.set("E1", Raw(' t="s"', f"<v>{line}</v>"))
    t.set("E2", Raw(' t="s"', f'<v>{book.raw_shared_string("<t>a_x005F_x0041_</t>")}</v>'))
    t.set("E3", Raw(' t="s"', f'<v>{book.raw_shared_string("<t>&lt;&amp;&#233;&#x1F600;</t>")}</v>'))
    t.set("E4", Raw(' t="s"', f'<v>{book.raw_shared_string("<t><![CDATA[<raw> & more]]></t>")}</v>'))
    t.set("E5", "  padded  ")
    t.set("E6", "caf\u00e9 \u65e5\u672c")

    t.set("F4", 19.99, fmt="$#,##0.00")
    t.set("F5", datetime.date(2024, 1, 15), fmt="m/d/yyyy")
    t.set("F7", -2, fmt='0.0;"minus "0.0')
    t.set("G1", None, fmt="0.00")  # formatted, no value

    book.sheet("My Sheet")  # empty

    p = book.sheet("Positions")
    p.raw_sheet_data = (
        "<row><c><v>1</v></c><c><v>2</v></c></row>"
        '<row r="3"><c r="C3"><v>3</v></c><c><v>4</v></c></row>'
        "<row><c><v>5</v></c></row>"
    )
    last = book.sheet("Sheet with blanks")
    last.set("XFD1048576", "corner")
    return book


def date1904_book():
    book = Book(date1904=True)
    s = book.sheet("Dates")
    s.set("A1", datetime.date(2024, 1, 15), fmt="m/d/yyyy")
    s.set("A2", 100)  # not date-formatted: not shifted
    s.set("A3", Raw(' t="d"', "<v>2024-01-15</v>"), fmt="m/d/yyyy")
    s.set("A4", 0.5, fmt="h:mm")
    s.set("A5", 1.5, fmt="[h]:mm")  # a duration, not a date
    return book


if __name__ == "__main__":
    os.makedirs(sys.argv[1], exist_ok=True)
    cell_types_book().save(os.path.join(sys.argv[1], "cell_types.xlsx"))
    date1904_book().save(os.path.join(sys.argv[1], "date1904.xlsx"))
