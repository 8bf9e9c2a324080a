#!/usr/bin/env python3
"""Planted-fault check: how many realistic one-line faults the native tests catch.

    scripts/fault_check.py [FAULT_LIST] [--build DIR] [--log FILE] [--only N[-M],...] [--exclude REGEX]

FAULT_LIST (default scripts/faults.txt) holds one fault a line, tab-separated: the file, the line
as it stands (without its indent) and its replacement; lines starting with '#' are comments.
Each fault in turn is written into its file, a plain (unsanitized) Debug build in its own folder
(default build/faults) is rebuilt with -j2 and its tests run; the fault is caught when a test
fails (tests whose name matches --exclude are left out). The file is restored after every
fault, also on an error or an interrupt. A line that is not found exactly once is reported as
stale; a fault that does not compile as broken.
"""
import argparse
import json
import pathlib
import re
import signal
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run(cmd, log, cwd=ROOT, timeout=None):
    try:
        return subprocess.run(cmd, cwd=cwd, stdout=log, stderr=subprocess.STDOUT,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return 124


def run_tests(build, exclude, log):
    """Runs the tests of the build: each GoogleTest program once with all its tests (far faster
    than ctest's process per test), every other test through ctest. Non-zero when one fails."""
    listing = subprocess.run(["ctest", "--test-dir", str(build), "--show-only=json-v1"],
                             capture_output=True, text=True, check=True).stdout
    programs, skipped, others = {}, {}, []
    for test in json.loads(listing)["tests"]:
        command = test.get("command", [])
        if any(a.startswith("--gtest_filter=") for a in command):
            programs.setdefault(command[0], [])
            if exclude and re.search(exclude, test["name"]):
                skipped.setdefault(command[0], []).append(test["name"])
        elif not (exclude and re.search(exclude, test["name"])):
            others.append(re.escape(test["name"]))
    failed = 0
    for program in programs:
        minus = ":".join(skipped.get(program, []))
        failed |= run([program] + ([f"--gtest_filter=-{minus}"] if minus else []), log,
                      cwd=pathlib.Path(program).parent, timeout=600)
    if others:
        failed |= run(["ctest", "--test-dir", str(build), "--timeout", "600", "-R",
                       "^(" + "|".join(others) + ")$"], log)
    return failed


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("faults", nargs="?", default=str(ROOT / "scripts/faults.txt"))
    ap.add_argument("--build", default=str(ROOT / "build/faults"))
    ap.add_argument("--log", default=None)
    ap.add_argument("--only", default="", help="fault numbers N or ranges N-M, comma-separated")
    ap.add_argument("--exclude", default="", help="a regular expression: tests to leave out")
    args = ap.parse_args()
    only = set()
    for part in filter(None, args.only.split(",")):
        first, _, last = part.partition("-")
        only.update(range(int(first), int(last or first) + 1))
    build = pathlib.Path(args.build)
    log = open(args.log or build.with_suffix(".log"), "w")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    faults = []
    for line in pathlib.Path(args.faults).read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            faults.append(line.split("\t"))

    if run(["cmake", "-S", ".", "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug",
            "-DTB_SANITIZE=OFF", "-DTB_BENCH=OFF"], log) or \
            run(["cmake", "--build", str(build), "-j2"], log) or \
            run_tests(build, args.exclude, log):
        sys.exit("fault check: the unchanged sources do not build or pass; see " + log.name)

    results = {}
    for number, (name, before, after) in enumerate(faults, 1):
        if only and number not in only:
            continue
        path = ROOT / name
        original = path.read_text()
        lines = original.split("\n")
        hits = [i for i, text in enumerate(lines) if text.strip() == before]
        if len(hits) != 1:
            verdict = "stale"
        else:
            indent = lines[hits[0]][: len(lines[hits[0]]) - len(lines[hits[0]].lstrip())]
            lines[hits[0]] = indent + after
            try:
                path.write_text("\n".join(lines))
                print(f"--- fault {number}: {name}: {before}", file=log, flush=True)
                if run(["cmake", "--build", str(build), "-j2"], log):
                    verdict = "broken"
                elif run_tests(build, args.exclude, log):
                    verdict = "caught"
                else:
                    verdict = "missed"
            finally:
                path.write_text(original)
        results.setdefault(verdict, []).append(number)
        print(f"{verdict:7} {number:3} {name}: {before}  ->  {after}", flush=True)

    planted = len(results.get("caught", [])) + len(results.get("missed", []))
    caught = len(results.get("caught", []))
    print(f"caught {caught} of {planted} planted faults"
          + (f" ({100 * caught / planted:.0f}%)" if planted else "")
          + "".join(f"; {k}: {v}" for k, v in sorted(results.items()) if k != "caught"))
    sys.exit(1 if results.get("missed") or results.get("stale") or results.get("broken") else 0)


if __name__ == "__main__":
    main()
