#!/usr/bin/env python3
"""Writes the parity workbook: data sheets with formatted numbers, dates and times, texts,
empty cells, error cells and long texts, and a sheet "Formulas" with TEXTBRAID formulas that the
native `textbraid calc` and the stand-in Excel application with the real add-in must evaluate
to the same results.

Usage: make_parity_workbook.py OUT.xlsx
"""

import datetime
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from make_sample_workbook import Book, Error  # noqa: E402

FORMULAS = [
    # Ranges, row by row, with and without empties.
    'TEXTBRAID(",",TRUE,FALSE,Data!A1:C4)',
    'TEXTBRAID(",",FALSE,FALSE,Data!A1:C4)',
    'TEXTBRAID(",",TRUE,TRUE,Data!A1:C4)',
    'TEXTBRAID(", ",FALSE,TRUE,Data!A1:A8)',
    # Whole columns and rows (used range cut).
    'TEXTBRAID("-",TRUE,FALSE,Data!A:A)',
    'TEXTBRAID("-",TRUE,TRUE,Data!B:B)',
    'TEXTBRAID("|",TRUE,FALSE,Data!1:1)',
    'TEXTBRAID("|",TRUE,TRUE,Data!A:C)',
    # Formatted numbers: as values and as shown.
    'TEXTBRAID("; ",TRUE,FALSE,Data!B1:B8)',
    'TEXTBRAID("; ",TRUE,TRUE,Data!B1:B8)',
    'TEXTBRAID(" ",TRUE,TRUE,Numbers!A1:D2)',
    'TEXTBRAID(" ",TRUE,FALSE,Numbers!A1:D2)',
    # Dates and times.
    'TEXTBRAID(" / ",TRUE,TRUE,Dates!A1:A5)',
    'TEXTBRAID(" / ",TRUE,FALSE,Dates!A1:A5)',
    # Booleans, numbers and texts as values and arrays.
    'TEXTBRAID("+",TRUE,FALSE,TRUE,FALSE,1/3,1E+20,-0.5,"x")',
    'TEXTBRAID(";",TRUE,FALSE,{1,2;3,4})',
    'TEXTBRAID(";",FALSE,FALSE,{"a","",TRUE;1.5,"b",FALSE})',
    'TEXTBRAID(",",TRUE,FALSE,Data!A1,{"x";"y"},Numbers!A1:B1)',
    # Switches given as numbers, texts and omitted.
    'TEXTBRAID("-",1,0,Data!A1:A4)',
    'TEXTBRAID("-","TRUE","false",Data!A1:A4)',
    'TEXTBRAID(,,,Data!A1:A3)',
    'TEXTBRAID("-",,TRUE,Data!B1:B2)',
    'TEXTBRAID("-",TRUE,FALSE,Data!A1,,Data!A2)',
    # Delimiters that are not texts.
    'TEXTBRAID(0,TRUE,FALSE,Data!B5:B6)',
    'TEXTBRAID(TRUE,TRUE,FALSE,"a","b")',
    'TEXTBRAID(Data!B1,TRUE,TRUE,"a","b")',
    'TEXTBRAID("",TRUE,FALSE,Data!A1:A3)',
    # Errors among the items, in the switches and the delimiter; bad switches.
    'TEXTBRAID(",",TRUE,FALSE,Errors!A1:A3)',
    'TEXTBRAID(",",TRUE,FALSE,Errors!B1:B2)',
    'TEXTBRAID(NA(),TRUE,FALSE,Data!A1:A2)',
    'TEXTBRAID(",",1/0,FALSE,Data!A1:A2)',
    'TEXTBRAID(",","maybe",FALSE,Data!A1:A2)',
    'TEXTBRAID(",",TRUE,{1,2},Data!A1:A2)',
    # Too few arguments: #VALUE! and the help box.
    'TEXTBRAID(",",TRUE,FALSE)',
    # Other sheets, quoted names, several ranges.
    "TEXTBRAID(\" \",TRUE,FALSE,'Sheet 2'!A1:B2)",
    "TEXTBRAID(\"|\",TRUE,FALSE,Data!A1:A2,'Sheet 2'!A1:A2,Numbers!A1)",
    # Empty results and the cell text limit.
    'TEXTBRAID(",",TRUE,FALSE,Data!D1:D5)',
    'TEXTBRAID(",",FALSE,FALSE,Data!D1:D3)',
    'TEXTBRAID("",TRUE,FALSE,Long!A1:A3)',
    'LEN(TEXTBRAID("",TRUE,FALSE,Long!A1:A2))',
    'LEN(TEXTBRAID("",TRUE,FALSE,REPT("ab",16000),REPT("c",767)))',
    'TEXTBRAID("",TRUE,FALSE,REPT("ab",16000),REPT("c",768))',
]


def parity_book():
    book = Book()
    data = book.sheet("Data")
    data.set("A1", "alpha")
    data.set("A2", "beta")
    data.set("A3", "")  # an empty text, not an empty cell
    data.set("A4", "gamma")
    data.set("A6", " spaced ")
    data.set("A8", "last")
    data.set("B1", 1234.5, "0.00")
    data.set("B2", 1234567, "#,##0")
    data.set("B3", 0.256, "0%")
    data.set("B4", 19.99, "$#,##0.00")
    data.set("B5", 42)
    data.set("B6", -3.5)
    data.set("B7", 0.000123, "0.00E+00")
    data.set("B8", 1 / 3)
    data.set("C1", True)
    data.set("C2", False)
    data.set("C4", "after gap")

    numbers = book.sheet("Numbers")
    numbers.set("A1", 1234.5678, "#,##0.00")
    numbers.set("B1", -1234.5678, "0.0;(0.0)")
    numbers.set("C1", 0.5, "0.0%")
    numbers.set("D1", 12345, "00000000")
    numbers.set("A2", 3.14159, "# ?/?")
    numbers.set("B2", 1e-7)
    numbers.set("C2", 123456789012345678)
    numbers.set("D2", 5, '"n="0')

    dates = book.sheet("Dates")
    dates.set("A1", datetime.date(2024, 1, 15), "m/d/yyyy")
    dates.set("A2", datetime.date(2024, 3, 5), "d-mmm-yy")
    dates.set("A3", datetime.datetime(2024, 2, 29, 13, 45, 30), "m/d/yyyy h:mm")
    dates.set("A4", datetime.datetime(1899, 12, 30, 8, 5), "h:mm AM/PM")
    dates.set("A5", datetime.date(1900, 2, 1), "yyyy-mm-dd")

    errors = book.sheet("Errors")
    errors.set("A1", "ok")
    errors.set("A2", Error("#DIV/0!"), formula="1/0")
    errors.set("A3", Error("#N/A"), formula="NA()")
    errors.set("B1", Error("#REF!"))
    errors.set("B2", "never reached")

    other = book.sheet("Sheet 2")
    other.set("A1", "one")
    other.set("B1", "three")
    other.set("A2", 2)
    other.set("B2", True)

    long = book.sheet("Long")
    long.set("A1", "x" * 20000)
    long.set("A2", "y" * 12767)
    long.set("A3", "z")

    # Formula cells without saved results read by others, a cell that cannot be evaluated, a
    # cycle, a result with a tab, a newer error value and a union.
    chain = book.sheet("Chain")
    for ref, formula in [("A1", 'TEXTBRAID("|",TRUE,FALSE,A2,"end")'), ("A2", 'UPPER("c")'),
                         ("A3", 'TEXTBRAID(",",TRUE,FALSE,VLOOKUP(1,B1,1))'),
                         ("A4", 'TEXTBRAID(",",TRUE,FALSE,A5)'), ("A5", 'TEXTBRAID(",",TRUE,FALSE,A4)'),
                         ("A6", 'TEXTBRAID(",",TRUE,FALSE,B1,B2)'),
                         ("A7", 'TEXTBRAID(",",FALSE,FALSE,(B1,A2))')]:
        chain.set(ref, None, formula=formula)
    chain.set("B1", "tab\there\\")
    chain.set("B2", Error("#SPILL!"))

    formulas = book.sheet("Formulas")
    for i, formula in enumerate(FORMULAS, start=1):
        formulas.set(f"A{i}", None, formula=formula)
    return book


def main(argv):
    if len(argv) != 2:
        print("usage: make_parity_workbook.py OUT.xlsx", file=sys.stderr)
        return 2
    parity_book().save(argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
