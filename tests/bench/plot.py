#!/usr/bin/env python3
"""Draws time per TEXTBRAID call against the number of cells, log-log, from the JSON of the
native benchmark (textbraid_bench --benchmark_out_format=json) and of the harness through the
DLL under Wine (textbraid_com_bench); needs matplotlib.

    tests/bench/plot.py native.json com.json -o docs/performance.png

Left: through the stand-in Excel; right: the server's own share and the stand-in's storage.
Colour: the shape; line style: native, in-process under Wine, or through COM under Wine.
"""
import argparse
import json
import re

UNIT = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}
PATHS = {"BM_": ("native (Linux, GCC)", "-", "o"),  # name prefix -> (label, style, marker)
         "WineDirect_": ("in-process under Wine", ":", "^"),
         "COM_": ("DLL over COM under Wine", "--", "s")}
SHAPES = {"TextCells": ("text cells", "tab:blue", 0),  # shape -> (label, colour, panel)
          "NumberCells": ("number cells", "tab:purple", 0),
          "MostlyEmptyCells": ("mostly empty range", "tab:green", 0),
          "WholeColumn": ("whole column, used range N rows", "tab:orange", 0),
          "ServerShare": ("no-cost host", "tab:red", 1),
          "StoreAndRead": ("stand-in cell storage", "tab:brown", 1)}


def series(files, time_key):
    """{(prefix, shape): [(cells, ms per call)]} from Google Benchmark-shaped JSON files."""
    out = {}
    for path in files:
        for b in json.load(open(path))["benchmarks"]:
            m = re.fullmatch(r"(BM_|WineDirect_|COM_)(\w+)/(\d+)", b["name"])
            if m and m[2] in SHAPES and b.get("run_type", "iteration") == "iteration":
                ms = b[time_key] * UNIT[b.get("time_unit", "ns")]
                out.setdefault((m[1], m[2]), []).append((int(m[3]), ms))
    return {k: sorted(v) for k, v in out.items()}


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("json", nargs="+")
    p.add_argument("-o", "--output", default="performance.png")
    a = p.parse_args()
    data = series(a.json, "cpu_time")
    if not data:
        raise SystemExit("no benchmark entries found")
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, axes = plt.subplots(1, 2, figsize=(13, 7))
    for (prefix, shape), points in sorted(data.items()):
        (path_label, style, marker), (shape_label, colour, panel) = PATHS[prefix], SHAPES[shape]
        axes[panel].plot(*zip(*points), linestyle=style, marker=marker, color=colour,
                         label=f"{shape_label}, {path_label}")
    titles = ["Through the stand-in Excel", "Server's own share (host answers at no cost)"]
    for ax, title in zip(axes, titles):
        ax.set(xscale="log", yscale="log", title=title, xlabel="cells in the range (N)",
               ylabel="CPU time per call (ms)")
        ax.grid(True, which="major", alpha=0.4)
        ax.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=2)
    fig.suptitle("TEXTBRAID: time per call against the number of cells (log-log)")
    fig.tight_layout()
    fig.savefig(a.output, dpi=100)


if __name__ == "__main__":
    main()
