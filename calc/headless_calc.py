#!/usr/bin/env python3
"""Evaluates a workbook in headless LibreOffice Calc with TextBraid.oxt installed the way a user
installs it (`unopkg add` into a fresh profile; as root, as the unprivileged user `nobody`,
since unopkg refuses root for a user's install), and prints every TEXTBRAID formula's result as
`textbraid calc` does: `Sheet!A1<TAB>result`, tab, line feed, carriage return and backslash
escaped. Formulas are recalculated on load (the profile says so), as the command evaluates them.

    calc/headless_calc.py TextBraid.oxt BOOK.xlsx [--keep DIR] [--save-xlsx OUT.xlsx]
                          [--soffice PATH] [--times]

--save-xlsx also opens the workbook in Calc as a user does and saves it as .xlsx (Save As,
through LibreOffice's Python bridge, python3-uno); --times prints the install and the conversion
times to standard error. Exit status: 0 results printed, 1 Calc wrote nothing or a
step failed, 2 a bad command line.
"""
import argparse
import csv
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

PROFILE_SETTINGS = """<?xml version="1.0" encoding="UTF-8"?>
<oor:items xmlns:oor="http://openoffice.org/2001/registry" xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
<item oor:path="/org.openoffice.Office.Calc/Formula/Load"><prop oor:name="OOXMLRecalcMode" oor:op="fuse"><value>0</value></prop></item>
</oor:items>
"""
# Every sheet as CSV (UTF-8, comma, double quotes), cells as shown, one file per sheet.
CSV_FILTER = "csv:Text - txt - csv (StarCalc):44,34,76,1,,1033,false,true,false,false,false,-1"
NOBODY = 65534
# Opens a workbook in a running Calc, saves it as .xlsx (Save As) and ends that Calc.
SAVE_AS = """
import os, sys, time, uno
from com.sun.star.beans import PropertyValue
def prop(name, value):
    p = PropertyValue(); p.Name = name; p.Value = value; return p
port, source, target = sys.argv[1:]
local = uno.getComponentContext()
resolver = local.ServiceManager.createInstanceWithContext("com.sun.star.bridge.UnoUrlResolver", local)
for attempt in range(600):
    try:
        context = resolver.resolve(f"uno:socket,host=127.0.0.1,port={port};urp;StarOffice.ComponentContext")
        break
    except Exception:
        time.sleep(0.5)
else:
    sys.exit("Calc did not answer")
desktop = context.ServiceManager.createInstanceWithContext("com.sun.star.frame.Desktop", context)
document = desktop.loadComponentFromURL(uno.systemPathToFileUrl(source), "_blank", 0, (prop("Hidden", True),))
document.storeAsURL(uno.systemPathToFileUrl(target), (prop("FilterName", "Calc MS Excel 2007 XML"),))
document.close(True)
try:
    desktop.terminate()
except Exception:
    pass
os._exit(0)  # the bridge to the office that ended must not be torn down at exit: it can crash
"""


def as_user(command, home):
    """The command as the user that owns the profile: nobody when run as root."""
    if os.geteuid() != 0:
        return ["env", f"HOME={home}", *command]
    return ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups",
            "env", f"HOME={home}", *command]


def run(command, what):
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"headless_calc: {what} failed ({done.returncode}): {done.stderr.strip()}")


def column_number(letters):
    n = 0
    for ch in letters:
        n = n * 26 + ord(ch) - 64
    return n


def column_letters(n):
    letters = ""
    while n:
        n, digit = divmod(n - 1, 26)
        letters = chr(65 + digit) + letters
    return letters


def textbraid_cells(book):
    """[(sheet name, row, column)] of the TEXTBRAID formula cells, in sheet order, row by row."""
    with zipfile.ZipFile(book) as z:
        workbook = z.read("xl/workbook.xml").decode("utf-8")
        rels = z.read("xl/_rels/workbook.xml.rels").decode("utf-8")
        targets = dict(re.findall(r'<Relationship[^>]*?Id="([^"]+)"[^>]*?Target="([^"]+)"', rels))
        targets.update({i: t for t, i in re.findall(
            r'<Relationship[^>]*?Target="([^"]+)"[^>]*?Id="([^"]+)"', rels)})
        cells = []
        for name, rid in re.findall(r'<sheet [^>]*?name="([^"]*)"[^>]*?r:id="([^"]+)"', workbook):
            target = targets[rid].lstrip("/")
            path = target if target.startswith("xl/") else "xl/" + target
            xml = z.read(path).decode("utf-8")
            found = []
            cell_xml = r'<c r="([A-Z]+[0-9]+)"[^>]*?(?<!/)>(.*?)</c>'  # not an empty <c …/>
            for ref, body in re.findall(cell_xml, xml, re.S):
                formula = re.search(r"<f[^>]*>(.*?)</f>", body, re.S)
                if formula and "TEXTBRAID(" in formula.group(1).upper():
                    m = re.fullmatch(r"([A-Z]+)([0-9]+)", ref)
                    found.append((int(m.group(2)), column_number(m.group(1))))
            name = (name.replace("&amp;", "&").replace("&lt;", "<").replace("&gt;", ">")
                    .replace("&quot;", '"').replace("&apos;", "'"))
            cells += [(name, row, column) for row, column in sorted(found)]
        return cells


def cell_name(sheet, row, column):
    plain = re.fullmatch(r"[A-Za-z0-9_.]+", sheet)
    quoted = sheet if plain else "'" + sheet.replace("'", "''") + "'"
    return f"{quoted}!{column_letters(column)}{row}"


def escaped(text):
    return (text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")
            .replace("\r", "\\r"))


def install(oxt, work, books, soffice):
    """A fresh profile in WORK with the extension installed by unopkg, the books copied in (the
    first as book.xlsx); gives the soffice command that uses the profile."""
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "profile", "user"))
    shutil.copy(oxt, os.path.join(work, "TextBraid.oxt"))
    for i, book in enumerate(books):
        shutil.copy(book, os.path.join(work, "book.xlsx" if i == 0 else os.path.basename(book)))
    with open(os.path.join(work, "profile", "user", "registrymodifications.xcu"), "w") as f:
        f.write(PROFILE_SETTINGS)
    if os.geteuid() == 0:
        for folder, dirs, files in os.walk(work):
            for name in [folder, *(os.path.join(folder, n) for n in dirs + files)]:
                os.chown(name, NOBODY, NOBODY)
    profile = f"-env:UserInstallation=file://{work}/profile"
    run(as_user(["unopkg", "add", "-s", profile, os.path.join(work, "TextBraid.oxt")], work),
        "unopkg add")
    return [soffice, profile, "--headless", "--norestore"]


def convert(office, work, name, target, outdir):
    """Has headless Calc open WORK/NAME (recalculating it) and write it as TARGET to OUTDIR."""
    run(as_user([*office, "--convert-to", target, "--outdir", os.path.join(work, outdir),
                 os.path.join(work, name)], work), f"soffice --convert-to {target}")


def save_as_xlsx(office, work, name, target):
    """Has Calc open WORK/NAME and Save As .xlsx to TARGET, driven over a local socket."""
    port = str(20000 + os.getpid() % 20000)
    calc = subprocess.Popen(as_user([*office, f"--accept=socket,host=127.0.0.1,port={port};urp;"],
                                    work), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        saved = os.path.join(work, "saved.xlsx")
        run(["/usr/bin/python3", "-c", SAVE_AS, port, os.path.join(work, name), saved],
            "saving as .xlsx")
        calc.wait(timeout=300)
        shutil.copy(saved, target)
    finally:
        if calc.poll() is None:
            calc.kill()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("oxt")
    p.add_argument("book")
    p.add_argument("--keep", help="work in this folder (made afresh) and leave it")
    p.add_argument("--save-xlsx")
    p.add_argument("--soffice", default=shutil.which("soffice") or "soffice")
    p.add_argument("--times", action="store_true")
    a = p.parse_args()
    work = os.path.abspath(a.keep) if a.keep else tempfile.mkdtemp(prefix="tb-calc-")
    stem = "book"
    try:
        start = time.perf_counter()
        office = install(a.oxt, work, [a.book], a.soffice)
        installed = time.perf_counter()
        convert(office, work, stem + ".xlsx", CSV_FILTER, "csv")
        converted = time.perf_counter()
        if a.save_xlsx:
            save_as_xlsx(office, work, stem + ".xlsx", a.save_xlsx)
        if a.times:
            print(f"unopkg add: {installed - start:.2f} s, conversion: {converted - installed:.2f} s",
                  file=sys.stderr)
        sheets = {}
        for sheet, row, column in textbraid_cells(a.book):
            if sheet not in sheets:
                path = os.path.join(work, "csv", f"{stem}-{sheet}.csv")
                if not os.path.exists(path):  # soffice exits 0 even when it wrote nothing
                    sys.exit(f"headless_calc: Calc wrote no CSV for sheet {sheet}")
                with open(path, encoding="utf-8", newline="") as f:
                    sheets[sheet] = list(csv.reader(f))
            rows = sheets[sheet]
            line = rows[row - 1] if row <= len(rows) else []
            value = line[column - 1] if column <= len(line) else ""
            print(f"{cell_name(sheet, row, column)}\t{escaped(value)}")
    finally:
        if not a.keep:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
