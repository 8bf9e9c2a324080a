#!/usr/bin/env python3
"""Writes the starting corpora of the fuzz targets into tests/fuzz/corpus/<target>/ (or the folder
given). The TEXTBRAID seeds are byte strings in the order the target reads its
input (tests/fuzz/fuzz_input.h: one byte per choice, taken modulo the number of choices); the
.xlsx seeds are small workbooks written with the sample workbook's writer, cut or damaged
copies of them, and their parts as text ("=== <name>" lines), which the target packs itself.

Usage: make_corpus.py [OUTDIR]    (Python 3 standard library only)
"""

import io
import os
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))

from make_sample_workbook import Book, Error, sample_book  # noqa: E402


class Enc:
    """Bytes for the target's decoder: b(n) is the choice n (of any number of choices)."""

    def __init__(self):
        self.out = bytearray()

    def b(self, *values):
        self.out.extend(values)
        return self

    def text(self, s):  # Input::text: a length, then one byte per character (Latin-1 here)
        return self.b(len(s), *s.encode("latin-1"))

    def u16(self, v):
        return self.b(v & 0xFF, v >> 8)


# --- fuzz_textbraid ---------------------------------------------------------------------------
# Choice numbers of fuzz_textbraid.cpp.
FMT_GENERAL, FMT_0_00, FMT_DATE = 0, 1, 3
CELL_EMPTY, CELL_TEXT, CELL_NUMBER, CELL_BOOL, CELL_ERROR = 0, 1, 4, 5, 6
ARG_MISSING, ARG_EMPTY, ARG_ERROR, ARG_BOOL, ARG_DOUBLE, ARG_STRING = 0, 1, 3, 4, 9, 12
ARG_NULL_OBJECT, ARG_ARRAY, ARG_REF, ARG_OBJECT = 14, 15, 16, 17
OP_EVALUATE, OP_INTERSECT, OP_RANGE_CELLS, OP_RANGE_VALUE = 0, 1, 13, 20


def header(e, legacy=False, sheets=1):
    return e.b(int(legacy), 1, 1, 1, sheets - 1)  # profile, book open, sink, one workbook


def cell(e, row, column, kind, fmt=FMT_GENERAL):
    # Rows: a first byte of 0 would mean row 40, so rows are given as 1 + (second byte).
    return e.b(1, row - 1, column - 1, fmt, kind)


def text_cell(e, row, column, s):
    cell(e, row, column, CELL_TEXT)
    return e.text(s)


def string(e, s):
    return e.b(ARG_STRING, 1).text(s)  # 1: a short text (not one of the long ones)


def boolean(e, v):
    return e.b(ARG_BOOL, int(v))


def ref(e, sheet, shape, *choices):
    return e.b(ARG_REF, sheet, shape, *choices)


def block(e, top, left, rows, columns, sheet=0):
    return ref(e, sheet, 6, top - 1, rows - 1, left - 1, columns - 1)


def no_faults(e):
    return e.b(0, 1)  # no fail_call, no unknown member


def textbraid_seeds():
    seeds = {}

    def book_abc(e):
        e.b(6)  # cells on sheet 1
        for row, column, s in [(1, 1, "a"), (1, 2, "b"), (1, 3, "c"), (2, 1, "d"), (2, 3, "f")]:
            text_cell(e, row, column, s)
        cell(e, 3, 2, CELL_ERROR).b(6)  # #N/A
        return e

    e = header(Enc())
    book_abc(e).b(4)
    string(e, ",")
    boolean(e, True)
    boolean(e, False)
    block(e, 1, 1, 2, 3)
    seeds["join_block"] = no_faults(e).out

    e = header(Enc())
    book_abc(e).b(5)
    string(e, "; ")
    boolean(e, False)
    boolean(e, False)
    block(e, 1, 1, 3, 3)  # reaches the error cell
    string(e, "tail")
    seeds["error_cell"] = no_faults(e).out

    e = header(Enc(), legacy=True)
    book_abc(e).b(4)
    e.b(ARG_MISSING)
    boolean(e, True)
    e.b(ARG_MISSING)
    ref(e, 0, 11, 0, 0)  # the whole column A
    seeds["whole_column_legacy"] = no_faults(e).out

    e = header(Enc())
    book_abc(e).b(4)
    string(e, "-")
    boolean(e, False)
    boolean(e, False)
    ref(e, 0, 12, 0, 2)  # the whole rows 1:3: the early check answers
    seeds["whole_row_limit"] = no_faults(e).out

    e = header(Enc())
    book_abc(e).b(3)
    string(e, ",")
    boolean(e, True)
    boolean(e, False)
    seeds["help_box"] = no_faults(e).out

    e = header(Enc())
    e.b(2)
    cell(e, 1, 1, CELL_NUMBER, FMT_0_00).b(1, 5)  # from the table: 1.5, shown as 1.50
    cell(e, 2, 1, 7).u16(45293).b(128, 1)  # a date shown as m/d/yyyy
    e.b(5)
    ref(e, 0, 0, 0, 0)  # the delimiter from A1
    boolean(e, True)
    boolean(e, True)
    block(e, 1, 1, 2, 1)
    e.b(ARG_ARRAY, 1, 0, 2, 0, 2)  # a 2 x 2 array with lower bounds 1
    for s in ["p", "q", "", "r"]:
        string(e, s) if s else e.b(ARG_EMPTY)
    seeds["formats_and_array"] = no_faults(e).out

    e = header(Enc())
    e.b(1)
    cell(e, 1, 1, 2).b(0, 7, 1)  # a long text of 40,000 characters
    e.b(5)
    e.b(ARG_MISSING, ARG_MISSING, ARG_MISSING)
    string(e, "x")
    block(e, 1, 1, 1, 1)
    seeds["long_text"] = no_faults(e).out

    e = header(Enc())
    book_abc(e).b(9)
    e.b(ARG_DOUBLE, 4, 1, 0)  # the number 0 as delimiter, through the host
    e.b(ARG_ERROR, 0, 0)  # DISP_E_PARAMNOTFOUND: omitted
    e.b(ARG_NULL_OBJECT)
    e.b(ARG_ARRAY, 2, 2, 1, 3, 3, 0, 1)  # 3-D, odd bounds
    for _ in range(3):
        e.b(ARG_BOOL, 1)
    e.b(ARG_OBJECT, 3).b(0, 6, 0, 1, 0, 1)  # the rows of a block
    e.b(ARG_ERROR, 2, 3)  # #REF!
    e.b(ARG_DOUBLE, 2)  # NaN
    e.b(ARG_STRING, 0, 7, 1)  # 40,000 characters
    e.b(ARG_OBJECT, 0)  # the Application
    seeds["odd_kinds"] = no_faults(e).out

    for name, op, nth in [("fault_evaluate", OP_EVALUATE, 1), ("fault_intersect", OP_INTERSECT, 1),
                          ("fault_cells", OP_RANGE_CELLS, 3), ("fault_value", OP_RANGE_VALUE, 2)]:
        e = header(Enc())
        book_abc(e).b(4)
        string(e, ",")
        boolean(e, op == OP_INTERSECT)
        boolean(e, False)
        block(e, 1, 1, 2, 3)
        seeds[name] = e.b(1, op, nth - 1, 0, 1).out
    return seeds


# --- fuzz_xlsx --------------------------------------------------------------------------------
def tiny_book():
    book = Book()
    s = book.sheet("S")
    s.set("A1", "text")
    s.set("B1", 1.5, "0.00")
    s.set("A2", True)
    s.set("B2", Error("#N/A"))
    s.set("C3", 45293, "m/d/yyyy", formula="DATE(2024,1,2)")
    return book


def xlsx_bytes(book):
    path = io.BytesIO()
    book.save(path)
    return path.getvalue()


def xlsx_seeds():
    tiny = xlsx_bytes(tiny_book())
    seeds = {"tiny.xlsx": tiny, "sample.xlsx": xlsx_bytes(sample_book())}
    seeds["cut_half"] = tiny[: len(tiny) // 2]
    seeds["cut_directory"] = tiny[: tiny.rfind(b"PK\x01\x02")]
    seeds["no_end_record"] = tiny[:-22]
    damaged = bytearray(tiny)
    with zipfile.ZipFile(io.BytesIO(tiny)) as z:  # inside the compressed sheet
        sheet = z.getinfo("xl/worksheets/sheet1.xml")
    damaged[sheet.header_offset + 30 + len(sheet.filename) + 10] ^= 0xFF
    seeds["damaged_part"] = bytes(damaged)
    stored = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(tiny)) as source, zipfile.ZipFile(stored, "w") as target:
        for info in source.infolist():  # the same parts, stored: the XML lies open to mutation
            target.writestr(zipfile.ZipInfo(info.filename, info.date_time),
                            source.read(info.filename))
    seeds["stored.xlsx"] = stored.getvalue()
    # The parts as text, which the target packs into a zip itself (checksums included).
    for name, data in [("tiny.parts", tiny), ("sample.parts", seeds["sample.xlsx"])]:
        with zipfile.ZipFile(io.BytesIO(data)) as z:
            seeds[name] = b"\n".join(b"=== " + i.filename.encode() + b"\n" + z.read(i.filename)
                                     for i in z.infolist())
    return seeds


def main(argv):
    out = argv[1] if len(argv) > 1 else os.path.join(HERE, "corpus")
    for target, seeds in [("fuzz_textbraid", textbraid_seeds()), ("fuzz_xlsx", xlsx_seeds())]:
        folder = os.path.join(out, target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(bytes(data))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
