#!/usr/bin/env python3
"""Writes the sample workbook: a sheet "Data" with texts, formatted numbers, dates, booleans,
empty cells and an error cell, a sheet "Sheet 2" with a few values, and a sheet "Formulas" whose
TEXTBRAID formulas the `textbraid calc` command evaluates (they carry no cached values).

Usage: make_sample_workbook.py OUT.xlsx

Python 3 standard library only. The small writer below (Book, Sheet, Error) is also used by the
test-workbook generators under tests/data/.
"""

import datetime
import sys
import zipfile
from xml.sax.saxutils import escape

# Built-in number format ids of the .xlsx format that need no <numFmt> entry.
BUILTIN_FORMATS = {
    "General": 0,
    "0": 1,
    "0.00": 2,
    "#,##0": 3,
    "#,##0.00": 4,
    "0%": 9,
    "0.00%": 10,
    "0.00E+00": 11,
    "m/d/yyyy": 14,
    "d-mmm-yy": 15,
    "d-mmm": 16,
    "mmm-yy": 17,
    "h:mm AM/PM": 18,
    "h:mm": 20,
    "h:mm:ss": 21,
    "m/d/yyyy h:mm": 22,
    "@": 49,
}

NS_MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
NS_REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
NS_PKG_REL = "http://schemas.openxmlformats.org/package/2006/relationships"
REL_TYPE = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/"


class Error:
    """An error value such as #N/A, written as a t="e" cell."""

    def __init__(self, text):
        self.text = text


class Raw:
    """A cell written exactly as given (the XML of the whole <c> element, without r=)."""

    def __init__(self, attrs, inner):
        self.attrs = attrs
        self.inner = inner


def column_name(n):
    s = ""
    while n > 0:
        n, rem = divmod(n - 1, 26)
        s = chr(ord("A") + rem) + s
    return s


def parse_ref(ref):
    letters = "".join(c for c in ref if c.isalpha())
    digits = ref[len(letters):]
    col = 0
    for c in letters.upper():
        col = col * 26 + ord(c) - ord("A") + 1
    return int(digits), col


def date_serial(value, date1904=False):
    """The serial of a date or datetime in the 1900 system (or the 1904 system)."""
    if isinstance(value, datetime.datetime):
        base = datetime.datetime(1904, 1, 1) if date1904 else datetime.datetime(1899, 12, 30)
        delta = value - base
        return delta.days + delta.seconds / 86400.0
    base = datetime.date(1904, 1, 1) if date1904 else datetime.date(1899, 12, 30)
    return (value - base).days


def number_text(x):
    if isinstance(x, bool):
        raise TypeError("booleans are no numbers here")
    if isinstance(x, int) or float(x).is_integer() and abs(x) < 1e15:
        return str(int(x))
    return repr(float(x))


class Sheet:
    def __init__(self, book, name):
        self.book = book
        self.name = name
        self.cells = {}  # (row, col) -> xml of the <c> element without r=
        self.raw_sheet_data = None  # when set: the inner XML of <sheetData>, written as is

    def set(self, ref, value=None, fmt=None, formula=None, inline=False):
        """Sets a cell. value: str, int/float, bool, datetime.date(time), Error, Raw or None."""
        row, col = parse_ref(ref)
        style = self.book.style(fmt) if fmt is not None else None
        s_attr = f' s="{style}"' if style else ""
        f_xml = f"<f>{escape(formula)}</f>" if formula is not None else ""
        if isinstance(value, Raw):
            xml = f"<c{value.attrs}{s_attr}>{value.inner}</c>"
        elif value is None:
            xml = f"<c{s_attr}>{f_xml}</c>"
        elif isinstance(value, bool):
            xml = f'<c t="b"{s_attr}>{f_xml}<v>{int(value)}</v></c>'
        elif isinstance(value, Error):
            xml = f'<c t="e"{s_attr}>{f_xml}<v>{escape(value.text)}</v></c>'
        elif isinstance(value, str):
            if formula is not None:
                xml = f'<c t="str"{s_attr}>{f_xml}<v>{escape(value)}</v></c>'
            elif inline:
                xml = f'<c t="inlineStr"{s_attr}><is><t xml:space="preserve">{escape(value)}</t></is></c>'
            else:
                xml = f'<c t="s"{s_attr}><v>{self.book.shared_string(value)}</v></c>'
        elif isinstance(value, (datetime.date, datetime.datetime)):
            serial = date_serial(value, self.book.date1904)
            xml = f"<c{s_attr}>{f_xml}<v>{number_text(serial)}</v></c>"
        else:
            xml = f"<c{s_attr}>{f_xml}<v>{number_text(value)}</v></c>"
        self.cells[(row, col)] = xml

    def xml(self):
        rows = {}
        for (row, col), cell in self.cells.items():
            rows.setdefault(row, []).append((col, cell))
        out = [
            '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n',
            f'<worksheet xmlns="{NS_MAIN}" xmlns:r="{NS_REL}"><sheetData>',
        ]
        for row in sorted(rows):
            out.append(f'<row r="{row}">')
            for col, cell in sorted(rows[row]):
                out.append(cell.replace("<c", f'<c r="{column_name(col)}{row}"', 1))
            out.append("</row>")
        if self.raw_sheet_data is not None:
            out.append(self.raw_sheet_data)
        out.append("</sheetData></worksheet>")
        return "".join(out)


class Book:
    def __init__(self, date1904=False):
        self.date1904 = date1904
        self.sheets = []
        self.string_items = []  # inner XML of each <si>
        self.string_index = {}
        self.custom_formats = {}  # code -> id
        self.xfs = [0]  # numFmtId per cellXfs entry; entry 0 is General
        self.absolute_targets = False  # write sheet targets as "/xl/worksheets/…"

    def sheet(self, name):
        s = Sheet(self, name)
        self.sheets.append(s)
        return s

    def shared_string(self, text):
        if text not in self.string_index:
            self.string_index[text] = len(self.string_items)
            self.string_items.append(f'<t xml:space="preserve">{escape(text)}</t>')
        return self.string_index[text]

    def raw_shared_string(self, si_inner):
        """Adds an <si> with the given inner XML (rich runs and so on); returns its index."""
        self.string_items.append(si_inner)
        return len(self.string_items) - 1

    def style(self, code):
        if code in BUILTIN_FORMATS:
            fmt_id = BUILTIN_FORMATS[code]
        else:
            fmt_id = self.custom_formats.setdefault(code, 164 + len(self.custom_formats))
        if fmt_id not in self.xfs:
            self.xfs.append(fmt_id)
        return self.xfs.index(fmt_id)

    def styles_xml(self):
        num_fmts = "".join(
            f'<numFmt numFmtId="{i}" formatCode="{escape(c, {chr(34): "&quot;"})}"/>'
            for c, i in self.custom_formats.items()
        )
        xfs = "".join(
            f'<xf numFmtId="{i}" fontId="0" fillId="0" borderId="0" xfId="0"'
            f'{" applyNumberFormat=" + chr(34) + "1" + chr(34) if i else ""}/>'
            for i in self.xfs
        )
        return (
            '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            f'<styleSheet xmlns="{NS_MAIN}">'
            + (f'<numFmts count="{len(self.custom_formats)}">{num_fmts}</numFmts>' if num_fmts else "")
            + '<fonts count="1"><font><sz val="11"/><name val="Calibri"/></font></fonts>'
            '<fills count="2"><fill><patternFill patternType="none"/></fill>'
            '<fill><patternFill patternType="gray125"/></fill></fills>'
            '<borders count="1"><border><left/><right/><top/><bottom/><diagonal/></border></borders>'
            '<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs>'
            f'<cellXfs count="{len(self.xfs)}">{xfs}</cellXfs>'
            '<cellStyles count="1"><cellStyle name="Normal" xfId="0" builtinId="0"/></cellStyles>'
            "</styleSheet>"
        )

    def shared_strings_xml(self):
        items = [f"<si>{inner}</si>" for inner in self.string_items]
        return (
            '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            f'<sst xmlns="{NS_MAIN}" count="{len(items)}" uniqueCount="{len(items)}">'
            + "".join(items)
            + "</sst>"
        )

    def workbook_xml(self):
        sheets = "".join(
            f'<sheet name="{escape(s.name, {chr(34): "&quot;"})}" sheetId="{i + 1}" r:id="rId{i + 1}"/>'
            for i, s in enumerate(self.sheets)
        )
        pr = '<workbookPr date1904="1"/>' if self.date1904 else "<workbookPr/>"
        return (
            '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            f'<workbook xmlns="{NS_MAIN}" xmlns:r="{NS_REL}">{pr}'
            f"<bookViews><workbookView/></bookViews><sheets>{sheets}</sheets></workbook>"
        )

    def save(self, path):
        n = len(self.sheets)
        # Sheet XML first: it registers the shared strings.
        sheet_xml = [s.xml() for s in self.sheets]
        folder = "/xl/worksheets/" if self.absolute_targets else "worksheets/"
        rels = "".join(
            f'<Relationship Id="rId{i + 1}" Type="{REL_TYPE}worksheet" Target="{folder}sheet{i + 1}.xml"/>'
            for i in range(n)
        )
        rels += (
            f'<Relationship Id="rId{n + 1}" Type="{REL_TYPE}styles" Target="styles.xml"/>'
            f'<Relationship Id="rId{n + 2}" Type="{REL_TYPE}sharedStrings" Target="sharedStrings.xml"/>'
        )
        overrides = "".join(
            f'<Override PartName="/xl/worksheets/sheet{i + 1}.xml" ContentType="application/'
            'vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/>'
            for i in range(n)
        )
        parts = {
            "[Content_Types].xml": (
                '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
                '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
                '<Default Extension="xml" ContentType="application/xml"/>'
                '<Override PartName="/xl/workbook.xml" ContentType="application/'
                'vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>'
                '<Override PartName="/xl/styles.xml" ContentType="application/'
                'vnd.openxmlformats-officedocument.spreadsheetml.styles+xml"/>'
                '<Override PartName="/xl/sharedStrings.xml" ContentType="application/'
                'vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml"/>'
                f"{overrides}</Types>"
            ),
            "_rels/.rels": (
                '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                f'<Relationships xmlns="{NS_PKG_REL}">'
                f'<Relationship Id="rId1" Type="{REL_TYPE}officeDocument" Target="xl/workbook.xml"/>'
                "</Relationships>"
            ),
            "xl/workbook.xml": self.workbook_xml(),
            "xl/_rels/workbook.xml.rels": (
                '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                f'<Relationships xmlns="{NS_PKG_REL}">{rels}</Relationships>'
            ),
            "xl/styles.xml": self.styles_xml(),
            "xl/sharedStrings.xml": self.shared_strings_xml(),
        }
        for i, xml in enumerate(sheet_xml):
            parts[f"xl/worksheets/sheet{i + 1}.xml"] = xml
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
            for name, text in parts.items():
                # A fixed time stamp keeps the output byte-for-byte reproducible.
                info = zipfile.ZipInfo(name, date_time=(2024, 1, 1, 0, 0, 0))
                info.compress_type = zipfile.ZIP_DEFLATED
                z.writestr(info, text.encode("utf-8"))


def sample_book():
    book = Book()
    data = book.sheet("Data")
    # Column A: texts with an empty cell in between; a whole-column reference reads them.
    data.set("A1", "alpha")
    data.set("A2", "beta")
    data.set("A3", "gamma")
    data.set("A5", "delta")
    data.set("A6", "two words")
    # Column B: numbers under number formats.
    data.set("B1", 1234.5, "0.00")
    data.set("B2", 1234567, "#,##0")
    data.set("B3", 0.256, "0%")
    data.set("B4", 19.99, "$#,##0.00")
    data.set("B5", 42)
    data.set("B6", -3.5)
    # Column C: dates, booleans, an empty cell and an error cell.
    data.set("C1", datetime.date(2024, 1, 15), "m/d/yyyy")
    data.set("C2", datetime.date(2024, 3, 5), "d-mmm-yy")
    data.set("C3", True)
    data.set("C4", False)
    data.set("C5", Error("#N/A"), formula="NA()")
    data.set("C7", datetime.date(1999, 12, 31), "m/d/yyyy")

    other = book.sheet("Sheet 2")
    other.set("A1", "one")
    other.set("B1", "three")
    other.set("A2", 2)
    other.set("B2", True)

    formulas = book.sheet("Formulas")
    cases = [
        ("range, ignore empty", 'TEXTBRAID(", ",TRUE,FALSE,Data!A1:C3)'),
        ("range with formats", 'TEXTBRAID(", ",TRUE,TRUE,Data!A1:C3)'),
        ("whole column", 'TEXTBRAID("-",TRUE,FALSE,Data!A:A)'),
        ("keep empties", 'TEXTBRAID("-",FALSE,FALSE,Data!A1:A6)'),
        ("dates with formats", 'TEXTBRAID(" / ",TRUE,TRUE,Data!C1:C2)'),
        ("dates as values", 'TEXTBRAID(" / ",TRUE,FALSE,Data!C1:C2)'),
        ("formatted numbers", 'TEXTBRAID("; ",TRUE,TRUE,Data!B1:B6)'),
        ("array constant", 'TEXTBRAID(";",TRUE,FALSE,{1,2;3,4})'),
        ("omitted arguments", "TEXTBRAID(,,,Data!A1:A3)"),
        ("numeric delimiter", "TEXTBRAID(0,TRUE,FALSE,Data!B5:B6)"),
        ("error cell", 'TEXTBRAID(", ",TRUE,FALSE,Data!C4:C5)'),
        ("other sheet", "TEXTBRAID(\" \",TRUE,FALSE,'Sheet 2'!A1:B2)"),
        ("mixed items", 'TEXTBRAID("+",TRUE,FALSE,"x",Data!B5,TRUE,{"a","b"})'),
        ("two ranges", 'TEXTBRAID("|",TRUE,FALSE,Data!A1:A2,\'Sheet 2\'!A1:A2)'),
        ("error delimiter", "TEXTBRAID(NA(),TRUE,FALSE,Data!A1:A2)"),
    ]
    formulas.set("A1", "case")
    formulas.set("B1", "formula")
    for i, (label, formula) in enumerate(cases, start=2):
        formulas.set(f"A{i}", label)
        formulas.set(f"B{i}", None, formula=formula)
    return book


def main(argv):
    if len(argv) != 2:
        print("usage: make_sample_workbook.py OUT.xlsx", file=sys.stderr)
        return 2
    sample_book().save(argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
