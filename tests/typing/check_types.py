"""Runs a type checker on one example and compares its errors with the markers.

    python check_types.py mypy|pyright FILE

A line that must be flagged ends with ``# E: <mypy error code>``. The check
passes when the checker flags exactly the marked lines (for mypy, with the
marked codes too) and nothing else; an example without markers must come out
clean. Run it with the interpreter of the environment that has the checker
and the installed wheel, so that the checker finds the stubs there.
"""

import json
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
MARKER = re.compile(r"#\s*E:\s*([\w-]+)\s*$")
MYPY_ERROR = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: .*\[(?P<code>[\w-]+)\]$")


def expected_errors(path):
    with open(path, encoding="utf-8") as source:
        return {(number, match.group(1))
                for number, line in enumerate(source, start=1)
                for match in [MARKER.search(line)] if match}


def mypy_errors(path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", os.path.join(HERE, "mypy.ini"),
         "--no-incremental", "--show-error-codes", "--no-error-summary", path],
        capture_output=True, text=True)
    found = set()
    for line in result.stdout.splitlines():
        match = MYPY_ERROR.match(line)
        if match:
            found.add((int(match.group("line")), match.group("code")))
        elif ": note: " not in line and line.strip():
            found.add((0, "unparsed: " + line))
    if result.returncode not in (0, 1) or result.stderr.strip():
        found.add((0, "mypy failed: " + (result.stderr.strip() or "exit %d" % result.returncode)))
    return found


def pyright_errors(path):
    # Microsoft's pyright (the pip package, which runs it under node) when it
    # is installed, else basedpyright, its fork that bundles its own node.
    bin_dir = os.path.dirname(sys.executable)
    executable = next((os.path.join(bin_dir, name) for name in ("pyright", "basedpyright")
                       if os.path.exists(os.path.join(bin_dir, name))), "pyright")
    result = subprocess.run(
        [executable, "--outputjson", "--pythonpath", sys.executable,
         "-p", os.path.join(HERE, "pyrightconfig.json"), path],
        capture_output=True, text=True)
    try:
        report = json.loads(result.stdout)
    except ValueError:
        return {(0, "pyright failed: " + (result.stderr.strip() or result.stdout[:500]))}
    # Pyright can flag one misuse more than once; the line is what counts.
    return {(diagnostic["range"]["start"]["line"] + 1, "")
            for diagnostic in report.get("generalDiagnostics", ())
            if diagnostic.get("severity") == "error"}


def main(argv):
    if len(argv) != 2 or argv[0] not in ("mypy", "pyright"):
        print(__doc__.strip().splitlines()[2].strip())
        return 2
    tool, path = argv
    expected = expected_errors(path)
    if tool == "mypy":
        found = mypy_errors(path)
    else:
        found = pyright_errors(path)
        expected = {(line, "") for line, _ in expected}
    missed, extra = sorted(expected - found), sorted(found - expected)
    for line, code in missed:
        print("%s:%d: %s should flag this line%s" % (os.path.basename(path), line, tool,
                                                    " [%s]" % code if code else ""))
    for line, code in extra:
        print("%s:%d: %s flags an unmarked line%s" % (os.path.basename(path), line, tool,
                                                     " [%s]" % code if code else ""))
    return 1 if missed or extra else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
