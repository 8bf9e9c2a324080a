#!/usr/bin/env python3
"""Times `textbraid calc` on whole workbooks, alternating the runs it compares.

    tests/bench/compare.py TEXTBRAID [--soffice PATH] [--rounds N] [--out DIR] [--json FILE]

1. 400,000 short texts with 50 joins of 2,000 cells, written as TEXTJOIN for LibreOffice
   (`soffice --headless --convert-to csv`, recalculating on load, start-up included) and as
   TEXTBRAID for `textbraid calc`; LibreOffice is needed only here.
2. One join of 30,000 one-character cells against the same workbook's join of one cell.
3. Peak resident size of `textbraid calc` on 1,000,000 numbers, per cell, and the refusal of
   that workbook under a smaller cell budget (exit 2).
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
from make_sample_workbook import Book  # noqa: E402

RECALC_ALWAYS = """<?xml version="1.0" encoding="UTF-8"?>
<oor:items xmlns:oor="http://openoffice.org/2001/registry" xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
<item oor:path="/org.openoffice.Office.Calc/Formula/Load"><prop oor:name="OOXMLRecalcMode" oor:op="fuse"><value>0</value></prop></item>
</oor:items>
"""


def join_book(path, rows, columns, joins, formula):
    """Formulas on the first sheet (the one LibreOffice writes as CSV), data on the second."""
    book = Book()
    first = book.sheet("Joins")
    data = book.sheet("Data")
    for r in range(1, rows + 1):
        for c in range(columns):
            data.set(f"{'ABCD'[c]}{r}", chr(ord("a") + (r + c) % 26))
    for j, (top, bottom) in enumerate(joins):
        first.set(f"A{j + 1}", None, formula=formula.format(top=top, bottom=bottom))
    book.save(path)


def numeric_book(path, rows, columns):
    book = Book()
    sheet = book.sheet("Numbers")
    sheet.raw_sheet_data = "".join(
        f'<row r="{r}">' + "".join(f"<c><v>{r % 97}.5</v></c>" for _ in range(columns)) + "</row>"
        for r in range(1, rows + 1))
    sheet.set("A1", None, formula='TEXTBRAID(",",TRUE,FALSE,A2:A3)')
    book.save(path)


def timed(command, env=None):
    start = time.perf_counter()
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    if done.returncode != 0:
        sys.exit(f"{command[0]} failed: {done.stderr.decode()}")
    return time.perf_counter() - start


def peak_rss_kb(command):
    """Peak resident size of a run, measured by GNU time (the package "time")."""
    done = subprocess.run(["/usr/bin/time", "-f", "%M", *command], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    return int(done.stderr.strip().splitlines()[-1]), done.returncode


def main():
    p = argparse.ArgumentParser()
    p.add_argument("textbraid")
    p.add_argument("--soffice", default=shutil.which("soffice"))
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--out", default=None)
    p.add_argument("--json", default=None)
    a = p.parse_args()
    out = a.out or tempfile.mkdtemp(prefix="tb-compare-")
    os.makedirs(out, exist_ok=True)
    tb = os.path.abspath(a.textbraid)
    figures = {}

    def report(name, value, text):
        figures[name] = value
        print(f"{name}: {text}", flush=True)

    # 1. Against LibreOffice.
    joins = [(1 + 2000 * j, 2000 * (j + 1)) for j in range(50)]
    ours = os.path.join(out, "joins-textbraid.xlsx")
    theirs = os.path.join(out, "joins-textjoin.xlsx")
    join_book(ours, 100000, 4, joins, 'TEXTBRAID(",",TRUE,FALSE,Data!A{top}:A{bottom})')
    join_book(theirs, 100000, 4, joins, '_xlfn.TEXTJOIN(",",TRUE,Data!A{top}:A{bottom})')
    if a.soffice:
        profile = os.path.join(out, "lo-profile")
        os.makedirs(os.path.join(profile, "user"), exist_ok=True)
        with open(os.path.join(profile, "user", "registrymodifications.xcu"), "w") as f:
            f.write(RECALC_ALWAYS)
        env = dict(os.environ, LC_ALL="C.UTF-8")
        lo = [a.soffice, f"-env:UserInstallation=file://{profile}", "--headless",
              "--convert-to", "csv", "--outdir", out, theirs]
        timed(lo, env)  # the profile's first start is not timed
        csv = os.path.join(out, "joins-textjoin.csv")
        lo_times, tb_times = [], []
        for _ in range(a.rounds):
            os.remove(csv)
            lo_times.append(timed(lo, env))
            if not os.path.exists(csv):  # soffice exits 0 even when it fails
                sys.exit("soffice wrote no CSV")
            tb_times.append(timed([tb, "calc", ours]))
        lo_t, tb_t = sorted(lo_times)[a.rounds // 2], sorted(tb_times)[a.rounds // 2]
        report("libreoffice_s", lo_t, f"{lo_t:.2f} s (median of {a.rounds})")
        report("calc_400k_s", tb_t, f"{tb_t:.2f} s")
        report("ratio_to_libreoffice", tb_t / lo_t, f"{tb_t / lo_t:.2f} (target at most 0.33)")

    # 2. 30,000 cells joined against one cell.
    big = os.path.join(out, "join-30000.xlsx")
    one = os.path.join(out, "join-1.xlsx")
    join_book(big, 30000, 1, [(1, 30000)], 'TEXTBRAID("",FALSE,FALSE,Data!A{top}:A{bottom})')
    join_book(one, 30000, 1, [(1, 1)], 'TEXTBRAID("",FALSE,FALSE,Data!A{top}:A{bottom})')
    runs = [(timed([tb, "calc", big]), timed([tb, "calc", one])) for _ in range(max(a.rounds, 5))]
    big_t, one_t = min(r[0] for r in runs), min(r[1] for r in runs)
    report("join_30000_s", big_t, f"{big_t:.3f} s")
    report("join_1_s", one_t, f"{one_t:.3f} s")
    report("ratio_30000_to_1", big_t / one_t, f"{big_t / one_t:.1f} (target at most 4)")

    # 3. Memory per numeric cell, and the budget.
    dense = os.path.join(out, "numbers-1m.xlsx")
    numeric_book(dense, 100000, 10)
    small = os.path.join(out, "numbers-1.xlsx")
    numeric_book(small, 1, 1)
    base_kb, _ = peak_rss_kb([tb, "calc", small])
    kb, code = peak_rss_kb([tb, "calc", dense])
    per_cell = (kb - base_kb) * 1024 / 1e6
    report("bytes_per_numeric_cell", per_cell,
           f"{per_cell:.0f} bytes (peak resident over a one-cell book; the XML text included)")
    kb, code = peak_rss_kb([tb, "calc", dense, "--max-cells", "500000"])
    report("over_budget_exit", code, f"exit {code} at {kb / 1024:.0f} MB peak for a 500,000-cell budget")

    if a.json:
        with open(a.json, "w") as f:
            json.dump(figures, f, indent=1)


if __name__ == "__main__":
    main()
