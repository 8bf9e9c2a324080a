#!/usr/bin/env python3
"""Times `textbraid calc` on whole workbooks, alternating the runs it compares: 50 joins of 2,000
cells as TEXTBRAID and as TEXTJOIN in LibreOffice (needed only here; recalculating on load, start-up
included); a join of 30,000 cells against one of a single cell; the peak resident size per numeric
cell (GNU time) and the refusal of 1,000,000 cells under a smaller cell budget (exit 2); the peak
resident size on a sheet padded with 250 MB of blanks and on 8,000,000 cells past a budget.
    tests/bench/compare.py TEXTBRAID [--soffice PATH] [--rounds N] [--out DIR] [--json FILE]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

here = os.path.dirname(__file__)
sys.path.insert(0, os.path.join(here, "..", "..", "tools"))
sys.path.insert(0, os.path.join(here, "..", "..", "calc"))
from make_sample_workbook import Book  # noqa: E402
# A profile whose Calc recalculates workbooks on load, as the Calc test's does.
from headless_calc import PROFILE_SETTINGS as RECALC_ALWAYS  # noqa: E402


def join_book(path, rows, columns, joins, formula):
    """Formulas on the first sheet (the one LibreOffice writes as CSV), data on the second."""
    book = Book()
    first, data = book.sheet("Joins"), book.sheet("Data")
    for r in range(1, rows + 1):
        for c in range(columns):
            data.set(f"{'ABCD'[c]}{r}", chr(ord("a") + (r + c) % 26))
    for j, (top, bottom) in enumerate(joins):
        first.set(f"A{j + 1}", None, formula=formula.format(top=top, bottom=bottom))
    book.save(path)


def numeric_book(path, rows, columns):
    book = Book()
    sheet = book.sheet("Numbers")
    sheet.raw_sheet_data = "".join(f'<row r="{r}">' + f"<c><v>{r % 97}.5</v></c>" * columns
                                   + "</row>" for r in range(1, rows + 1))
    sheet.set("A1", None, formula='TEXTBRAID(",",TRUE,FALSE,A2:A3)')
    book.save(path)


def streamed_book(path, formula, rows):
    """Cells A1:A2 "a", "b" and B1 = formula, then the rows yielded by rows(), the sheet written
    piece by piece into a zip deflated at level 9."""
    book = Book()
    sheet = book.sheet("Data")
    sheet.set("A1", "a"), sheet.set("A2", "b"), sheet.set("B1", None, formula=formula)
    sheet.raw_sheet_data = "@ROWS@"
    book.save(path + ".tmp")
    with zipfile.ZipFile(path + ".tmp") as src, \
            zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as dst:
        for info in src.infolist():
            data = src.read(info.filename)
            if info.filename != "xl/worksheets/sheet1.xml":
                dst.writestr(info.filename, data)
                continue
            with dst.open(info.filename, "w") as out:
                head, tail = data.decode().split("@ROWS@")
                for text in [head, *rows(), tail]:
                    out.write(text.encode())
    os.remove(path + ".tmp")


def padded_book(path):
    """A join of two cells among 244 MB of padding (blank cells, blanks between them), 1 MB zipped."""
    blanks = " " * 8000
    streamed_book(path, 'TEXTBRAID(",",TRUE,FALSE,A1:A2)', lambda: (
        f'<row r="{r}">' + "".join(f'<c r="{c}{r}"/>' for c in "CDEFGHIJ") + blanks + "</row>"
        for r in range(3, 30003)))


def dense_book(path):
    """8,000,000 numeric cells (800,000 rows of 10), 153 MB of sheet XML."""
    cells = "".join(f"<c><v>{k}.5</v></c>" for k in range(10))
    streamed_book(path, 'TEXTBRAID(",",TRUE,FALSE,A1:A2)',
                  lambda: (f'<row r="{r}">{cells}</row>' for r in range(3, 800003)))


def timed(command, env=None):
    start = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, check=True, env=env)
    return time.perf_counter() - start


def peak_rss_kb(command):  # and the exit status
    done = subprocess.run(["/usr/bin/time", "-f", "%M", *command], capture_output=True, text=True)
    return int(done.stderr.strip().splitlines()[-1]), done.returncode


def main():
    p = argparse.ArgumentParser()
    p.add_argument("textbraid")
    p.add_argument("--soffice", default=shutil.which("soffice"))
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--out")
    p.add_argument("--json")
    a = p.parse_args()
    out = a.out or tempfile.mkdtemp(prefix="tb-compare-")
    os.makedirs(out, exist_ok=True)
    path = lambda name: os.path.join(out, name)  # noqa: E731
    calc = lambda name, *more: [os.path.abspath(a.textbraid), "calc", path(name), *more]  # noqa: E731
    figures = {}

    def report(name, value, note=""):
        figures[name] = value
        print(f"{name}: {value:.3g} {note}", flush=True)

    joins = [(1 + 2000 * j, 2000 * (j + 1)) for j in range(50)]
    join_book(path("ours.xlsx"), 100000, 4, joins, 'TEXTBRAID(",",TRUE,FALSE,Data!A{top}:A{bottom})')
    join_book(path("textjoin.xlsx"), 100000, 4, joins, '_xlfn.TEXTJOIN(",",TRUE,Data!A{top}:A{bottom})')
    if a.soffice:
        os.makedirs(path("lo-profile/user"), exist_ok=True)
        with open(path("lo-profile/user/registrymodifications.xcu"), "w") as f:
            f.write(RECALC_ALWAYS)
        env = dict(os.environ, LC_ALL="C.UTF-8")
        lo = [a.soffice, f"-env:UserInstallation=file://{path('lo-profile')}", "--headless",
              "--convert-to", "csv", "--outdir", out, path("textjoin.xlsx")]
        timed(lo, env)  # the profile's first start is not timed
        times = []
        for _ in range(a.rounds):
            os.remove(path("textjoin.csv"))
            times.append((timed(lo, env), timed(calc("ours.xlsx"))))
            if not os.path.exists(path("textjoin.csv")):  # soffice exits 0 even then
                sys.exit("soffice wrote no CSV")
        lo_t, tb_t = (sorted(t)[a.rounds // 2] for t in zip(*times))
        report("libreoffice_s", lo_t, f"(median of {a.rounds})")
        report("calc_400k_s", tb_t)
        report("ratio_to_libreoffice", tb_t / lo_t, "(target at most 0.33)")

    for top in 30000, 1:
        join_book(path(f"join-{top}.xlsx"), 30000, 1, [(1, top)],
                  'TEXTBRAID("",FALSE,FALSE,Data!A{top}:A{bottom})')
    runs = [(timed(calc("join-30000.xlsx")), timed(calc("join-1.xlsx")))
            for _ in range(max(a.rounds, 5))]
    big_t, one_t = (min(t) for t in zip(*runs))
    report("join_30000_s", big_t)
    report("join_1_s", one_t)
    report("ratio_30000_to_1", big_t / one_t, "(target at most 4)")

    numeric_book(path("numbers-1m.xlsx"), 100000, 10)
    numeric_book(path("numbers-1.xlsx"), 1, 1)
    kb = peak_rss_kb(calc("numbers-1m.xlsx"))[0] - peak_rss_kb(calc("numbers-1.xlsx"))[0]
    report("bytes_per_numeric_cell", kb * 1024 / 1e6, "(peak resident over a one-cell book)")
    kb, code = peak_rss_kb(calc("numbers-1m.xlsx", "--max-cells", "500000"))
    report("over_budget_exit", code, f"at {kb / 1024:.0f} MB peak for a 500,000-cell budget")
    # Memory follows the cells held, not the file: a sheet padded with blanks, even under a
    # budget of 10 cells, and a dense sheet refused past a budget of 1,000,000 cells.
    padded_book(path("padded.xlsx"))
    for budget in [], ["--max-cells", "10"]:
        kb, code = peak_rss_kb(calc("padded.xlsx", *budget))
        report("padded_peak_mb" + ("_budget_10" if budget else ""), kb / 1024, f"(exit {code})")
    dense_book(path("dense-8m.xlsx"))
    kb, code = peak_rss_kb(calc("dense-8m.xlsx", "--max-cells", "1000000"))
    report("dense_over_budget_peak_mb", kb / 1024, f"(exit {code}, 8,000,000 cells)")
    if a.json:
        json.dump(figures, open(a.json, "w"), indent=1)


if __name__ == "__main__":
    main()
