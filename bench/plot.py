"""Draw the time per operation of module, pure Python and floor, per interpreter.

    python bench/plot.py bench/results/cpython.json bench/results/pypy.json --output bench.png

One panel per JSON file written by ``bench/run.py --json``; every timed row
becomes a group of horizontal bars on a logarithmic axis.
"""

import argparse
import json

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

SERIES = (("module", "tarnu_api", "#1f77b4"), ("pure", "pure Python", "#ff7f0e"), ("floor", "C floor", "#7f7f7f"))


def timed_rows(result):
    return [row for row in result["rows"] if row["unit"].startswith("ns/") and any(k in row for k, _, _ in SERIES)]


def draw(results, output):
    rows_per_panel = [timed_rows(r) for r in results]
    height = max(len(rows) for rows in rows_per_panel) * 0.55 + 1.6
    figure, axes = plt.subplots(1, len(results), figsize=(7.5 * len(results), height), squeeze=False)
    for axis, result, rows in zip(axes[0], results, rows_per_panel):
        bar = 0.27
        for index, (key, name, colour) in enumerate(SERIES):
            ys, widths = [], []
            for position, row in enumerate(rows):
                if key in row:
                    ys.append(position + (index - 1) * bar)
                    widths.append(row[key]["median"])
            axis.barh(ys, widths, height=bar, color=colour, label=name)
            for y, width in zip(ys, widths):
                axis.text(width * 1.06, y, "%.0f" % width if width >= 10 else "%.1f" % width,
                          va="center", fontsize=6.5)
        axis.set_yticks(range(len(rows)))
        axis.set_yticklabels(["%s (%s)" % (row["label"], row["unit"]) for row in rows], fontsize=8)
        axis.invert_yaxis()
        axis.set_xscale("log")
        axis.set_xlabel("nanoseconds per call, edge or node (log scale, lower is better)")
        axis.set_title("%s%s" % (result["interpreter_version"], ", quick sizes" if result.get("quick") else ""))
        axis.grid(axis="x", which="both", alpha=0.25)
        axis.legend(loc="upper right", fontsize=8)
        axis.set_xlim(right=axis.get_xlim()[1] * 3)
    machine = results[0]["machine"]
    figure.suptitle("tarnu_api against pure Python and a do-nothing C floor; %s, %s cores"
                    % (machine["cpu"], machine["nproc"]), fontsize=10)
    figure.tight_layout()
    figure.savefig(output, dpi=110)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("results", nargs="+", help="JSON files from bench/run.py --json")
    parser.add_argument("--output", default="bench.png")
    args = parser.parse_args(argv)
    results = []
    for path in args.results:
        with open(path) as f:
            results.append(json.load(f))
    draw(results, args.output)
    print("wrote %s" % args.output)


if __name__ == "__main__":
    main()
