"""Markdown tables of benchmark results, for docs/performance.md (and the summary in the README).

    python bench/report.py bench/results/cpython.json bench/results/pypy.json

Prints, per JSON file from ``bench/run.py --json``, the table that run.py
prints and the targets with their verdicts.
"""

import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from run import format_table, format_verdicts  # noqa: E402


def report(result):
    heading = "**%s**%s" % (result["interpreter_version"], " (quick sizes)" if result.get("quick") else "")
    repeats = result.get("repeats")
    if repeats:
        heading += ": processor time, median of %d runs (%d for the largest sizes) after %d warm-up" % (
            repeats["runs"], repeats["runs_largest"], repeats["warmup"])
    lines = [heading, "", format_table(result)]
    if result.get("missing"):
        lines += [""] + ["Not measured: %s" % m for m in result["missing"].values()]
    if result.get("targets"):
        lines += ["", format_verdicts(result["targets"])]
    return "\n".join(lines)


def main(argv):
    if not argv:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    blocks = []
    for path in argv:
        with open(path) as f:
            blocks.append(report(json.load(f)))
    print("\n\n".join(blocks))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
