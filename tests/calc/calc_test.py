#!/usr/bin/env python3
"""TEXTBRAID in LibreOffice Calc against `textbraid calc`: the sample workbook and the shared
formula case table (its workbook, with each case as a formula cell) evaluated in headless Calc
with TextBraid.oxt installed by `unopkg add` into a fresh profile (as `nobody` when run as
root), each result compared with the native command's on the same file. A result may differ
only as the table below says, for the reason it gives.
    tests/calc/calc_test.py TEXTBRAID CASE_CELLS TextBraid.oxt WORK_DIR
"""
import os
import subprocess
import sys
import zipfile

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(root, "tools"))
sys.path.insert(0, os.path.join(root, "calc"))
from headless_calc import column_letters  # noqa: E402
from make_sample_workbook import Book, Error, sample_book  # noqa: E402

CASE_ROW = 1000  # the cases sit in Sheet1!AB1000 on, away from every range they read

# What Calc shows where it cannot give Excel's result, and why (the guide's list).
KNOWN = {
    # The first text is no reference: Calc refuses the call (Err:504) before it is made.
    "Formulas!B9": "Err:504", "Formulas!B14": "Err:504", "array is one item": "Err:504",
    "values not cells ignore formats": "Err:504", "ignore_empty omitted skips": "Err:504",
    "array with error element": "Err:539",  # Calc refuses an error in an inline array
    # Unions never reach an add-in.
    "union": "Err:504", "union, empties ignored": "Err:504", "union, whole columns cut": "Err:504",
    "union with error cell": "Err:504",
    # Fewer than four arguments: Calc refuses the call, so no help box and no #VALUE!.
    "too few arguments": "Err:504", "no argument": "Err:504",
    # An error argument, or a later range holding an error, is refused before the call.
    "Formulas!B16": "#N/A", "delimiter NA()": "#N/A", "delimiter error cell": "#DIV/0!",
    "switch error cell": "#N/A", "error cell in range": "Err:504",
    # The delimiter is a value, never a cell: its number format is not applied.
    "delimiter cell formatted": "tl1.5tr",
    # Calc has no #SPILL! or #CALC! (it loads them as #NAME?) and shows a circular reference
    # as Err:522 where Excel shows 0.
    "newer error value": "#NAME?", "Sheet1!L10": "Err:522", "Sheet1!L11": "Err:522",
    "circular reference reads 0": "Err:522",
    # The first text is a function's result, no reference (Err:504 as above).
    "text functions": "Err:504",
    # Calc computes what the stand-in cannot (VLOOKUP finds no "x": #N/A, as in Excel), and
    # has no limit on chains of formula cells waiting for each other.
    "saved value kept": "#N/A", "chain of 128 formula cells": "x",
    "chain of 129 formula cells": "x",
}


def case_book(case_cells, path):
    """The case workbook, written from the shared table, with each case as a formula cell."""
    book, sheets, names = Book(), {}, {}
    lines = subprocess.run([case_cells], capture_output=True, text=True, check=True).stdout
    cases = []
    for fields in (line.split("\t") for line in lines.splitlines()):
        if fields[0] == "case":
            cases.append(fields[1:])
            continue
        _, sheet, row, column, kind, value, fmt, formula = fields
        if sheet not in sheets:
            sheets[sheet] = book.sheet(sheet)
        ref = f"{column_letters(int(column))}{row}"
        typed = {"s": value, "n": float(value) if kind == "n" else None, "b": value == "1",
                 "e": Error(value), "-": None}[kind]
        sheets[sheet].set(ref, None if formula else typed,
                          None if fmt == "General" else fmt, formula or None)
    for i, (name, formula) in enumerate(cases):
        ref = f"AB{CASE_ROW + i}"
        sheets["Sheet1"].set(ref, None, formula=formula)
        names[f"Sheet1!{ref}"] = name
    book.save(path)
    return names


def results(command, allowed=(0, 1)):
    """Cell -> result; textbraid's exit status 1 (a cell could not be evaluated: a cycle) is one."""
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode not in allowed:
        sys.exit(f"calc_test: {command[:2]} failed: {done.stderr.strip()}")
    return dict(line.split("\t", 1) for line in done.stdout.splitlines())


def main():
    textbraid, case_cells, oxt, work = sys.argv[1:5]
    os.makedirs(work, exist_ok=True)
    sample = os.path.join(work, "sample.xlsx")
    sample_book().save(sample)
    cases = os.path.join(work, "cases.xlsx")
    labels = case_book(case_cells, cases)
    failures = same = 0
    saved = os.path.join(work, "saved.xlsx")
    for book in sample, cases:
        native = results([textbraid, "calc", book])
        calc = results([sys.executable, os.path.join(root, "calc", "headless_calc.py"), oxt, book]
                       + (["--save-xlsx", saved] if book == sample else []), allowed=(0,))
        if native.keys() != calc.keys():
            print(f"{book}: Calc gave results for other cells: {sorted(native.keys() ^ calc.keys())}")
            failures += 1
        for cell, expected in native.items():
            name = labels.get(cell, cell)
            got = calc.get(cell)
            wanted = KNOWN.get(name, expected)
            if got == expected and name not in KNOWN:
                same += 1
            elif got != wanted:
                failures += 1
                print(f"FAIL {cell} ({name}): Calc {got[:80]!r}, expected {wanted[:80]!r}"
                      f" (textbraid calc: {expected[:80]!r})")
    # Saved back as .xlsx by Calc, the sample still names TEXTBRAID as Excel does and gives the
    # same results.
    with zipfile.ZipFile(saved) as z:
        xml = "".join(z.read(n).decode("utf-8") for n in z.namelist() if "worksheets/" in n)
    if xml.count("TEXTBRAID(") != 15 or "ORG.TEXTBRAID" in xml.upper():
        failures += 1
        print("FAIL the .xlsx Calc saved does not call TEXTBRAID(…) in its 15 formulas")
    if results([textbraid, "calc", saved]) != results([textbraid, "calc", sample]):
        failures += 1
        print("FAIL the .xlsx Calc saved gives other results in textbraid calc")
    print(f"calc_test: {same} results identical to textbraid calc, {len(KNOWN)} known "
          f"differences, {failures} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
