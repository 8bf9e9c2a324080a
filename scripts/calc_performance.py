#!/usr/bin/env python3
"""Times TEXTBRAID in headless LibreOffice Calc against Calc's own TEXTJOIN: the 400,000-cell
workbook of docs/performance.md (four columns of 100,000 short texts) with 50 joins of 2,000
cells, once as TEXTBRAID and once as TEXTJOIN, each opened, recalculated and written as CSV by
`soffice --headless --convert-to` in one profile with TextBraid.oxt installed (start-up
included in both). Runs alternate; medians of the wall time and of the processor time (user and
system, of soffice and its children), the latter steadier on a machine shared with other work.
Checks the TEXTBRAID results against `textbraid calc` first.
    scripts/calc_performance.py TextBraid.oxt TEXTBRAID [--rounds N] [--out DIR] [--json FILE]
"""
import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import time

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(root, "calc"))
sys.path.insert(0, os.path.join(root, "tests", "bench"))
import headless_calc  # noqa: E402
from compare import join_book  # noqa: E402


def main():
    p = argparse.ArgumentParser()
    p.add_argument("oxt")
    p.add_argument("textbraid")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--out", default=os.path.join(root, "build", "performance", "calc"))
    p.add_argument("--json")
    p.add_argument("--soffice", default=shutil.which("soffice") or "soffice")
    a = p.parse_args()
    out = os.path.abspath(a.out)
    os.makedirs(out, exist_ok=True)
    joins = [(1 + 2000 * j, 2000 * (j + 1)) for j in range(50)]
    books = {"textbraid": os.path.join(out, "textbraid.xlsx"),
             "textjoin": os.path.join(out, "textjoin.xlsx")}
    join_book(books["textbraid"], 100000, 4, joins, 'TEXTBRAID(",",TRUE,FALSE,Data!A{top}:A{bottom})')
    join_book(books["textjoin"], 100000, 4, joins, '_xlfn.TEXTJOIN(",",TRUE,Data!A{top}:A{bottom})')

    # The results first: Calc with the extension must agree with the native command.
    native = subprocess.run([a.textbraid, "calc", books["textbraid"]], capture_output=True,
                            text=True, check=True).stdout
    in_calc = subprocess.run([sys.executable, headless_calc.__file__, a.oxt, books["textbraid"]],
                             capture_output=True, text=True, check=True).stdout
    if native != in_calc:
        sys.exit("calc_performance: Calc's TEXTBRAID results differ from textbraid calc")

    work = os.path.join(out, "work")
    office = headless_calc.install(a.oxt, work, list(books.values()), a.soffice)
    names = {"textbraid": "book.xlsx", "textjoin": "textjoin.xlsx"}
    headless_calc.convert(office, work, names["textjoin"], headless_calc.CSV_FILTER, "warm-up")
    times = {name: [] for name in names}
    cpu = {name: [] for name in names}
    for _ in range(a.rounds):
        for name, book in names.items():
            used = resource.getrusage(resource.RUSAGE_CHILDREN)
            start = time.perf_counter()
            headless_calc.convert(office, work, book, headless_calc.CSV_FILTER, name)
            times[name].append(time.perf_counter() - start)
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu[name].append(after.ru_utime + after.ru_stime - used.ru_utime - used.ru_stime)
    for name in names:
        if not os.listdir(os.path.join(work, name)):  # soffice exits 0 even then
            sys.exit(f"calc_performance: Calc wrote no CSV for {name}")
    median = {name: sorted(t)[len(t) // 2] for name, t in times.items()}
    median_cpu = {name: sorted(t)[len(t) // 2] for name, t in cpu.items()}
    figures = {"calc_textbraid_400k_s": round(median["textbraid"], 3),
               "calc_textjoin_400k_s": round(median["textjoin"], 3),
               "ratio_calc_textbraid_to_textjoin": round(median["textbraid"] / median["textjoin"], 3),
               "calc_textbraid_400k_cpu_s": round(median_cpu["textbraid"], 3),
               "calc_textjoin_400k_cpu_s": round(median_cpu["textjoin"], 3),
               "ratio_calc_textbraid_to_textjoin_cpu":
                   round(median_cpu["textbraid"] / median_cpu["textjoin"], 3)}
    for name, value in figures.items():
        print(f"{name}: {value}")
    if a.json:
        with open(a.json, "w") as f:
            json.dump(figures, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
