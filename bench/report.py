"""Markdown tables of benchmark results, for docs/performance.md (and the summary in the README).

    python -m bench.report bench/results/cpython.json bench/results/pypy.json
    python -m bench.report --into docs/performance.md docs/bench/cpython.json docs/bench/pypy.json

Prints, per JSON file from ``bench/run.py --json``, the table that run.py
prints and the targets with their verdicts. With ``--into``, writes each
interpreter's block into the document instead, between the lines
``<!-- bench:NAME:start -->`` and ``<!-- bench:NAME:end -->`` (NAME as the
JSON's ``interpreter``: cpython, pypy), and leaves the rest of it as it was.
"""

import json
import sys

from bench.run import format_table, format_verdicts


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


def publish(document, results):
    """The document with each result's block between its markers; a missing pair is an error."""
    for result in results:
        start = "<!-- bench:%s:start -->\n" % result["interpreter"]
        end = "<!-- bench:%s:end -->" % result["interpreter"]
        head, found_start, rest = document.partition(start)
        _, found_end, tail = rest.partition(end)
        if not (found_start and found_end):
            raise ValueError("no %s ... %s lines to write the %s tables between" % (start.strip(), end, result["interpreter"]))
        document = head + start + report(result) + "\n" + end + tail
    return document


def main(argv):
    into = None
    if argv[:1] == ["--into"] and len(argv) > 1:
        into, argv = argv[1], argv[2:]
    if not argv:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    results = []
    for path in argv:
        with open(path) as f:
            results.append(json.load(f))
    if into is None:
        print("\n\n".join(report(result) for result in results))
        return 0
    with open(into, encoding="utf-8") as f:
        written = publish(f.read(), results)  # before the file is opened for writing: a missing marker leaves it whole
    with open(into, "w", encoding="utf-8") as f:
        f.write(written)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
