#!/usr/bin/env python3
"""Draws time per TEXTBRAID call against the number of cells, log-log, from the JSON of the
native benchmark (textbraid_bench --benchmark_out_format=json) and of the harness through the
DLL under Wine (textbraid_com_bench).

    tests/bench/plot.py native.json com.json -o docs/performance.png [--time real|cpu]

Left: through the stand-in Excel (text cells, mostly empty ranges, whole columns).
Right: the server's own share against a host that answers at no cost.
Colour: the shape; line style: native, in-process under Wine, or through COM under Wine.
Needs matplotlib (Debian: apt-get install python3-matplotlib).
"""
import argparse
import json
import re
import sys


UNIT = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}
PATHS = {  # name prefix -> (label, line style, marker)
    "BM_": ("native (Linux, GCC)", "-", "o"),
    "WineDirect_": ("in-process under Wine", ":", "^"),
    "COM_": ("DLL over COM under Wine", "--", "s"),
}
SHAPES = {  # shape -> (label, colour, panel)
    "TextCells": ("text cells", "tab:blue", 0),
    "NumberCells": ("number cells", "tab:purple", 0),
    "MostlyEmptyCells": ("mostly empty range", "tab:green", 0),
    "WholeColumn": ("whole column, used range N rows", "tab:orange", 0),
    "ServerShare": ("no-cost host", "tab:red", 1),
    "StoreAndRead": ("stand-in cell storage", "tab:brown", 1),
}


def series(files, time_key):
    """{(prefix, shape): [(cells, ms per call)]} from Google Benchmark-shaped JSON files."""
    out = {}
    for path in files:
        with open(path) as f:
            data = json.load(f)
        for b in data["benchmarks"]:
            if b.get("run_type", "iteration") != "iteration":
                continue
            m = re.fullmatch(r"(BM_|WineDirect_|COM_)(\w+)/(\d+)", b["name"])
            if not m or m.group(2) not in SHAPES:
                continue
            ms = b[time_key] * UNIT[b.get("time_unit", "ns")]
            out.setdefault((m.group(1), m.group(2)), []).append((int(m.group(3)), ms))
    return {k: sorted(v) for k, v in out.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("json", nargs="+")
    parser.add_argument("-o", "--output", default="performance.png")
    parser.add_argument("--time", choices=["real", "cpu"], default="cpu")
    args = parser.parse_args()
    data = series(args.json, args.time + "_time")
    if not data:
        sys.exit("no benchmark entries found")

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(13, 7))
    titles = ["Through the stand-in Excel", "Server's own share (host answers at no cost)"]
    for (prefix, shape), points in sorted(data.items()):
        path_label, style, marker = PATHS[prefix]
        shape_label, colour, panel = SHAPES[shape]
        xs, ys = zip(*points)
        axes[panel].plot(xs, ys, linestyle=style, marker=marker, color=colour,
                         label=f"{shape_label}, {path_label}")
    for panel, ax in enumerate(axes):
        # A faint line of slope 1 through the lowest first point: what linear scaling looks like.
        shown = [p for (_, shape), p in data.items() if SHAPES[shape][2] == panel]
        if shown:
            x0, y0 = min((p[0] for p in shown), key=lambda p: p[1])
            x1 = max(p[-1][0] for p in shown)
            ax.plot([x0, x1], [y0, y0 * x1 / x0], color="grey", alpha=0.35, linewidth=3,
                    label="linear (slope 1)")
    for ax, title in zip(axes, titles):
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("cells in the range (N)")
        ax.set_ylabel(f"{args.time} time per call (ms)")
        ax.set_title(title)
        ax.grid(True, which="major", alpha=0.4)
        ax.grid(True, which="minor", alpha=0.1)
        ax.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=2)
    fig.suptitle("TEXTBRAID: time per call against the number of cells (log-log)")
    fig.tight_layout()
    fig.savefig(args.output, dpi=100)


if __name__ == "__main__":
    main()
