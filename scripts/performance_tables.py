#!/usr/bin/env python3
"""Writes the figures of the benchmarks' JSON into docs/performance.md, between the markers
"<!-- figures -->" and "<!-- /figures -->": time per cell by benchmark, size and path, then the
whole-workbook figures of the extra JSON files (flat name: value objects).

    scripts/performance_tables.py PAGE.md native.json com.json --extra compare.json app.json
"""
import argparse
import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "bench"))
from plot import PATHS, SHAPES, series  # noqa: E402


def main():
    p = argparse.ArgumentParser()
    p.add_argument("page")
    p.add_argument("json", nargs="+")
    p.add_argument("--extra", nargs="*", default=[])
    p.add_argument("--bitness", nargs=2, metavar=("COM32", "COM64"))
    a = p.parse_args()
    data = series(a.json, "cpu_time")
    sizes = sorted({n for points in data.values() for n, _ in points})
    lines = ["| CPU time per cell, µs | " + " | ".join(f"N = {n:,}" for n in sizes) + " |",
             "|---" * (len(sizes) + 1) + "|"]
    for shape, (shape_label, _, _) in SHAPES.items():
        for prefix, (path_label, _, _) in PATHS.items():
            points = dict(data.get((prefix, shape), []))
            if points:
                cells = [f"{points[n] * 1e3 / n:.3g}" if n in points else "—" for n in sizes]
                lines.append(f"| {shape_label}, {path_label} | " + " | ".join(cells) + " |")
    extras = {}
    for path in a.extra:
        if os.path.exists(path):
            with open(path) as f:
                extras.update(json.load(f))
    lines += ["", "| Whole workbooks (wall time in s, or as named) | |", "|---|---|"]
    lines += [f"| `{name}` | {value:.3g} |" for name, value in sorted(extras.items())]
    if a.bitness:
        lines += ["", "| Wall time per cell, µs: shape, N | 32-bit COM | 32-bit in-process | ratio"
                  " | 64-bit COM | 64-bit in-process | ratio |", "|---" * 7 + "|"]
        both = [series([path], "real_time") for path in a.bitness]
        for shape, (shape_label, _, _) in SHAPES.items():
            for n, _ in both[0].get(("COM_", shape), []):
                row = []
                for data in both:
                    com, direct = (dict(data.get((k, shape), [])).get(n) for k in ("COM_", "WineDirect_"))
                    row += [f"{com * 1e3 / n:.2f}", f"{direct * 1e3 / n:.2f}", f"{com / direct:.1f}"]
                lines.append(f"| {shape_label}, {n:,} | " + " | ".join(row) + " |")
    with open(a.page) as f:
        page = f.read()
    begin, end = "<!-- figures -->\n", "<!-- /figures -->"
    head, rest = page.split(begin, 1)
    page = head + begin + "\n".join(lines) + "\n" + end + rest.split(end, 1)[1]
    with open(a.page, "w") as f:
        f.write(page)


if __name__ == "__main__":
    main()
