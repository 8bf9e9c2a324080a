#!/usr/bin/env python3
"""Writes a workbook with openpyxl (an xlsx writer library), so the reader is tested on a file
it did not shape itself. Exits with 77 when openpyxl is not installed (tests then skip).

Usage: make_openpyxl_workbook.py OUT.xlsx
"""

import datetime
import sys

try:
    import openpyxl
except ImportError:
    print("openpyxl is not installed (Debian package python3-openpyxl)", file=sys.stderr)
    sys.exit(77)


def main(argv):
    if len(argv) != 2:
        print("usage: make_openpyxl_workbook.py OUT.xlsx", file=sys.stderr)
        return 2
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Data"
    ws["A1"] = "alpha"
    ws["A2"] = "beta"
    ws["A3"] = "gamma"
    ws["B1"] = 1234.5
    ws["B1"].number_format = "0.00"
    ws["B2"] = 1234567
    ws["B2"].number_format = "#,##0"
    ws["B3"] = 0.256
    ws["B3"].number_format = "0%"
    ws["C1"] = datetime.date(2024, 1, 15)
    ws["C1"].number_format = "m/d/yyyy"
    ws["C2"] = True
    ws["C3"] = "#N/A"  # openpyxl writes the error text as an error cell
    ws["D1"] = "=SUM(B1:B2)"
    ws["D2"] = '=TEXTBRAID(", ",TRUE,FALSE,A1:C3)'
    other = wb.create_sheet("Sheet 2")
    other["A1"] = "one"
    other["B2"] = 2
    wb.save(argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
