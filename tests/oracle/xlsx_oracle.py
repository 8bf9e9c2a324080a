#!/usr/bin/env python3
"""Compares the stand-in's displayed cell text with LibreOffice's.

Writes one .xlsx whose column A holds each value of CASES under its format code, has LibreOffice
convert it headless to CSV with the cell contents as shown, and compares every cell with what the
probe (format_probe) prints for the same value and code. Known differences between LibreOffice and
Excel, where the stand-in follows Excel, are listed in EXPECTED_DIFFERENCES with the reason.

Usage: xlsx_oracle.py PROBE WORKDIR [--dump]
Exit codes: 0 all cells agree (or differ only as expected), 1 a mismatch, 77 LibreOffice missing.
"""

import csv
import os
import shutil
import subprocess
import sys
import zipfile
from xml.sax.saxutils import escape

# (kind, value, code): kind "n" for a number (the value as a decimal literal, exactly as stored),
# "s" for a text cell.
CASES = [
    ("n", "0", "General"),
    ("n", "1234.5", "General"),
    ("n", "-42", "General"),
    ("n", "0.1", "General"),
    ("n", "0.333333333333333333", "General"),
    ("n", "123456789012", "General"),
    ("n", "12345678901", "General"),
    ("n", "1234.56789012345", "General"),
    ("n", "0.00001234", "General"),
    ("n", "1.5E-10", "General"),
    ("n", "-2.5", "General;(General)"),
    ("n", "1234.5678", "0"),
    ("n", "-1234.5678", "0"),
    ("n", "0.5", "0"),
    ("n", "2.5", "0"),
    ("n", "-2.5", "0"),
    ("n", "2.675", "0.00"),
    ("n", "1.005", "0.00"),
    ("n", "0", "0.00"),
    ("n", "-0.001", "0.00"),
    ("n", "1234567.891", "#,##0"),
    ("n", "-1234567.891", "#,##0.00"),
    ("n", "999.999", "#,##0.00"),
    ("n", "0.5", "#,##0"),
    ("n", "12", "000"),
    ("n", "3.1", "0.000"),
    ("n", "0.25", "0%"),
    ("n", "0.12345", "0.00%"),
    ("n", "-0.5", "0%"),
    ("n", "12345.678", "0.00E+00"),
    ("n", "0.000123", "0.00E+00"),
    ("n", "-12345.678", "0.0E+0"),
    ("n", "12345", "##0.0E+0"),
    ("n", "1234567", "##0.0E+0"),
    ("n", "1234567", "#,##0,"),
    ("n", "1234567", "0.0,,"),
    ("n", "1234.5", "$#,##0.00"),
    ("n", "-1234.5", "$#,##0.00"),
    ("n", "1234.5", "#,##0.00;(#,##0.00)"),
    ("n", "-1234.5", "#,##0.00;(#,##0.00)"),
    ("n", "-1234.5", "#,##0.00_);(#,##0.00)"),
    ("n", "0", "0.00;-0.00;\"zero\""),
    ("n", "-7", "0;0;0"),
    ("n", "5", "\"Total: \"0.00"),
    ("n", "5", "0\" units\""),
    ("n", "42", "\\#0"),
    ("n", "150", "[>=100]\"big \"0;\"small \"0"),
    ("n", "50", "[>=100]\"big \"0;\"small \"0"),
    ("n", "-3", "[Red]0;[Blue]-0"),
    ("n", "1234.5", "[$€-407] #,##0.00"),
    ("n", "1234.5", "#,##0.00 [$€-407]"),
    ("n", "0.75", "# ?/?"),
    ("n", "1.25", "# ??/??"),
    ("n", "45292", "m/d/yyyy"),
    ("n", "45292.75", "m/d/yyyy h:mm"),
    ("n", "45000", "d-mmm-yy"),
    ("n", "45000", "d-mmm"),
    ("n", "45000", "mmm-yy"),
    ("n", "45000", "yyyy-mm-dd"),
    ("n", "45000", "dd/mm/yyyy"),
    ("n", "45000", "mmmm d, yyyy"),
    ("n", "45000", "dddd"),
    ("n", "45000", "ddd, mmm d"),
    ("n", "0.5", "h:mm"),
    ("n", "0.75", "h:mm:ss"),
    ("n", "0.75", "h:mm AM/PM"),
    ("n", "0.0001", "h:mm:ss AM/PM"),
    ("n", "0.5", "h:mm:ss AM/PM"),
    ("n", "1.5", "[h]:mm:ss"),
    ("n", "0.0104166666666667", "mm:ss"),
    ("n", "0.000123", "mm:ss.0"),
    ("n", "0.99999999", "h:mm:ss"),
    ("n", "61", "m/d/yyyy"),
    ("n", "1", "m/d/yyyy"),
    ("n", "45292.5", "yyyy-mm-dd hh:mm:ss"),
    ("s", "abc", "@"),
    ("s", "abc", "0.00"),
    ("s", "abc", "0;-0;0;\"[\"@\"]\""),
    ("n", "12", "@"),
    ("n", "-0.5", "# ?/?"),
    ("n", "3.14159265", "# ???/???"),
    ("n", "1.25", "0.???"),
    ("n", "12345", "0.0E-0"),
    ("n", "1E+100", "0.0E+00"),
    ("n", "-7", "\"x\""),
    ("n", "1.115", "0.00"),
    ("n", "0.5", "h \"h\" m \"min\""),
    ("n", "36526", "d mmmm yyyy"),
    ("n", "2.5", "\"value \"General"),
    ("n", "5", "0,000"),
    ("s", "abc", "0;@@"),
    ("s", "abc", "_(@_)"),
    ("n", "0", "#,##0 ;(#,##0)"),
    ("n", "0", "#"),
    ("n", "0.5", "#.##"),
    ("n", "5.5", ".00"),
    ("n", "0", "# ?/?"),
    ("n", "2", "# ?/?"),
    ("n", "0.3", "# ?/8"),
    ("n", "1.3333333", "?/?"),
    ("n", "9.996", "0.00E+00"),
    ("n", "0", "0.00E+00"),
    ("n", "0.000123", "##0.0E+0"),
    ("n", "-5", "[<0]\"neg \"0;\"pos \"0"),
    ("n", "-500", "[>=100]0;[<=-100]\"low\"0;0.0"),
    ("n", "7", "[>=100]0;[<=-100]\"low\"0;0.0"),
    ("n", "1234.5", "[$-409]#,##0.00"),
    ("n", "1234.5", "_(\"$\"* #,##0.00_);_(\"$\"* \\(#,##0.00\\);_(\"$\"* \"-\"??_);_(@_)"),
    ("n", "-1234.5", "_(\"$\"* #,##0.00_);_(\"$\"* \\(#,##0.00\\);_(\"$\"* \"-\"??_);_(@_)"),
    ("n", "0", "_(\"$\"* #,##0.00_);_(\"$\"* \\(#,##0.00\\);_(\"$\"* \"-\"??_);_(@_)"),
    ("n", "0.1234", "0.0%"),
    ("n", "45000.25", "dddd, mmmm dd, yyyy hh:mm AM/PM"),
    ("n", "45000.8", "h AM/PM"),
    ("n", "45000.8", "h:mm a/p"),
    ("n", "2.75", "[hh]:mm"),
    ("n", "0.5", "[m]"),
    ("n", "0.000123", "mmss.0"),
    ("n", "45000.123456", "hh:mm:ss.000"),
    ("n", "45000", "yy"),
    ("n", "45000", "mmmmm"),
    ("n", "1", "dddd"),
    ("n", "100", "0.00;;"),
    ("n", "-100", "0.00;;"),
    ("n", "123456789", "#,##0.00"),
    ("n", "1E+20", "0"),
    ("n", "-0.5", "#,##0.00;(#,##0.00);\"-\""),
    ("s", "abc", "\"x\"@\"y\""),
    ("s", "abc", "0;0;0"),
    ("n", "3", "0 \"items\";-0 \"items\";\"none\";\"text: \"@"),
]

# Cells where LibreOffice's text is not what Excel shows; the stand-in follows Excel.
# key: (kind, value, code) -> reason
GENERAL_WIDTH = ("Excel's General shows at most 11 characters in a cell (10 significant digits "
                 "with a point, 11 without, else 1.23457E+11 style); LibreOffice shows up to 15 "
                 "digits and three-digit exponents")
EXPECTED_DIFFERENCES = {
    ("n", "0.333333333333333333", "General"): GENERAL_WIDTH,
    ("n", "123456789012", "General"): GENERAL_WIDTH,
    ("n", "1234.56789012345", "General"): GENERAL_WIDTH,
    ("n", "-0.001", "0.00"): "Excel keeps the sign of a negative value that rounds to zero (-0.00); "
                             "LibreOffice drops it",
    ("n", "0.0001", "h:mm:ss AM/PM"): "Excel rounds times to the nearest shown unit (8.64 s shows "
                                      "as :09); LibreOffice truncates",
    ("n", "0.99999999", "h:mm:ss"): "Excel rounds 23:59:59.999 up to the next day (0:00:00); "
                                    "LibreOffice truncates",
    ("n", "-7", "\"x\""): "Excel puts the minus sign before a one-section format even when it "
                        "has no digit placeholders (-x); LibreOffice shows the literal only",
    ("n", "1", "m/d/yyyy"): "Excel counts from 1900-01-01 as serial 1 (with its 1900-02-29); "
                            "LibreOffice starts at 1899-12-31 for serials below 61",
}


def sheet_xml():
    rows = []
    for i, (kind, value, _code) in enumerate(CASES, start=1):
        style = i  # xf index i uses the case's format
        if kind == "n":
            cell = f'<c r="A{i}" s="{style}"><v>{value}</v></c>'
        else:
            cell = f'<c r="A{i}" s="{style}" t="inlineStr"><is><t>{escape(value)}</t></is></c>'
        rows.append(f'<row r="{i}">{cell}</row>')
    return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
            '<cols><col min="1" max="1" width="80" customWidth="1"/></cols>'
            f'<sheetData>{"".join(rows)}</sheetData></worksheet>')


def styles_xml():
    fmts = []
    xfs = ['<xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/>']
    for i, (_kind, _value, code) in enumerate(CASES, start=1):
        if code == "General":
            xfs.append('<xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/>')
            continue
        fid = 163 + i
        fmts.append(f'<numFmt numFmtId="{fid}" formatCode="{escape(code, {chr(34): "&quot;"})}"/>')
        xfs.append(f'<xf numFmtId="{fid}" fontId="0" fillId="0" borderId="0" xfId="0" '
                   'applyNumberFormat="1"/>')
    return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<styleSheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
            f'<numFmts count="{len(fmts)}">{"".join(fmts)}</numFmts>'
            '<fonts count="1"><font><sz val="11"/><name val="Calibri"/></font></fonts>'
            '<fills count="1"><fill><patternFill patternType="none"/></fill></fills>'
            '<borders count="1"><border/></borders>'
            '<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/>'
            '</cellStyleXfs>'
            f'<cellXfs count="{len(xfs)}">{"".join(xfs)}</cellXfs>'
            '</styleSheet>')


CONTENT_TYPES = (
    '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
    '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
    '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
    '<Default Extension="xml" ContentType="application/xml"/>'
    '<Override PartName="/xl/workbook.xml" ContentType="application/vnd.openxmlformats-'
    'officedocument.spreadsheetml.sheet.main+xml"/>'
    '<Override PartName="/xl/worksheets/sheet1.xml" ContentType="application/vnd.openxmlformats-'
    'officedocument.spreadsheetml.worksheet+xml"/>'
    '<Override PartName="/xl/styles.xml" ContentType="application/vnd.openxmlformats-'
    'officedocument.spreadsheetml.styles+xml"/>'
    '</Types>')
ROOT_RELS = (
    '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
    '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
    '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/'
    'relationships/officeDocument" Target="xl/workbook.xml"/></Relationships>')
WORKBOOK = (
    '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
    '<workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" '
    'xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">'
    '<workbookPr date1904="false"/>'
    '<sheets><sheet name="Formats" sheetId="1" r:id="rId1"/></sheets></workbook>')
WORKBOOK_RELS = (
    '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
    '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
    '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/'
    'relationships/worksheet" Target="worksheets/sheet1.xml"/>'
    '<Relationship Id="rId2" Type="http://schemas.openxmlformats.org/officeDocument/2006/'
    'relationships/styles" Target="styles.xml"/></Relationships>')


def write_book(path):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml", CONTENT_TYPES)
        z.writestr("_rels/.rels", ROOT_RELS)
        z.writestr("xl/workbook.xml", WORKBOOK)
        z.writestr("xl/_rels/workbook.xml.rels", WORKBOOK_RELS)
        z.writestr("xl/worksheets/sheet1.xml", sheet_xml())
        z.writestr("xl/styles.xml", styles_xml())


def libreoffice_texts(soffice, workdir):
    book = os.path.join(workdir, "formats.xlsx")
    write_book(book)
    out = os.path.join(workdir, "out")
    os.makedirs(out, exist_ok=True)
    csv_path = os.path.join(out, "formats.csv")
    if os.path.exists(csv_path):
        os.remove(csv_path)
    profile = os.path.join(workdir, "profile")
    env = dict(os.environ, LC_ALL="C.UTF-8", HOME=workdir)
    subprocess.run([soffice, f"-env:UserInstallation=file://{profile}", "--headless",
                    "--convert-to", "csv:Text - txt - csv (StarCalc):44,34,76,1,,1033,false,true,true",
                    "--outdir", out, book],
                   env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300,
                   check=False)
    if not os.path.exists(csv_path):
        sys.exit("LibreOffice wrote no CSV file")
    with open(csv_path, encoding="utf-8", newline="") as f:
        rows = list(csv.reader(f))
    texts = [row[0] if row else "" for row in rows]
    texts += [""] * (len(CASES) - len(texts))
    return texts


def probe_texts(probe):
    lines = "".join(f"{kind}\t{value}\t{code}\n" for kind, value, code in CASES)
    result = subprocess.run([probe], input=lines.encode("utf-8"), stdout=subprocess.PIPE,
                            check=True, timeout=60)
    texts = result.stdout.decode("utf-8").split("\n")
    if len(texts) < len(CASES):
        sys.exit("the probe answered fewer lines than asked")
    return texts[:len(CASES)]


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    probe, workdir = sys.argv[1], sys.argv[2]
    dump = "--dump" in sys.argv[3:]
    soffice = shutil.which("soffice") or shutil.which("libreoffice")
    if not soffice:
        print("SKIP: LibreOffice (soffice) is not installed")
        return 77
    os.makedirs(workdir, exist_ok=True)
    theirs = libreoffice_texts(soffice, os.path.abspath(workdir))
    ours = probe_texts(probe)
    mismatches = 0
    expected = 0
    for case, lo, mine in zip(CASES, theirs, ours):
        known = EXPECTED_DIFFERENCES.get(case)
        if dump:
            print(f"{case!r}: LibreOffice {lo!r}, stand-in {mine!r}")
        if lo == mine:
            if known:
                print(f"NOTE: now agrees, drop the expected difference {case!r}")
            continue
        if known:
            expected += 1
            continue
        mismatches += 1
        print(f"MISMATCH {case!r}: LibreOffice {lo!r}, stand-in {mine!r}")
    print(f"{len(CASES)} cells compared, {mismatches} mismatches, "
          f"{expected} expected differences")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
