"""The README's and docs/*.md's code examples and error tables, run as tests.

The documents are the test data: every fenced ``python`` block is executed,
every ``pycon`` block is checked with doctest, and every table with a
"Trigger" column has each row's trigger run and its exception compared. The
pure-Python twin refuses every encoding that the module refuses (in its own
words).
docs/testing.md ("Examples and error tables in the documents") describes
the conventions.
"""

import doctest
import glob
import os
import re
import sys

import pytest

import tarnu_twin
from conftest import IS_PYPY, ROOT

DOCUMENTS = ["README.md"] + sorted(
    os.path.relpath(path, ROOT) for path in glob.glob(os.path.join(ROOT, "docs", "*.md")))
INTERPRETER = "pypy" if IS_PYPY else "cpython"
MARKER = re.compile(r"<!--\s*doctest:\s*(.*?)\s*-->")
MARKER_WORDS = {"skip", "setup", "cpython", "pypy"}
# Data libraries that the Arrow examples use, installed where they have a
# wheel (noxfile.py); an example that needs a missing one is skipped.
OPTIONAL_PRODUCERS = {"pyarrow", "polars", "pandas", "duckdb", "nanoarrow", "arro3", "dask"}


def pandas_series_speak_arrow():
    try:
        import pandas
    except ImportError:
        return True  # the example is then skipped as missing a producer
    return hasattr(pandas.Series, "__arrow_c_stream__")


FENCE = re.compile(r"^(\s*)```\s*(\S*)")


class Block:
    def __init__(self, document, line, language, marker, source):
        self.document, self.line, self.language, self.source = document, line, language, source
        self.words = set(marker.replace(",", " ").split()) if marker is not None else set()

    def runs_here(self):
        if "skip" in self.words:
            return False
        wanted = self.words & {"cpython", "pypy"}
        return not wanted or INTERPRETER in wanted


def read_lines(document):
    with open(os.path.join(ROOT, document), encoding="utf-8") as f:
        return f.read().splitlines()


def fenced_blocks(document):
    lines, blocks, i = read_lines(document), [], 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if not opening:
            i += 1
            continue
        indent, language = opening.group(1), opening.group(2)
        end = i + 1
        while end < len(lines) and lines[end].strip() != "```":
            end += 1
        before = next((line for line in reversed(lines[:i]) if line.strip()), "")
        marker = MARKER.search(before)
        body = "\n".join(line[len(indent):] for line in lines[i + 1:end])
        blocks.append(Block(document, i + 1, language, marker.group(1) if marker else None, body))
        i = end + 1
    return blocks


def table_rows(document):
    """(line number, {column: cell}) for each row of each table with a Trigger column."""
    lines, rows, header = read_lines(document), [], None
    for number, line in enumerate(lines, 1):
        if not line.startswith("|"):
            header = None
            continue
        cells = [cell.strip().replace("\\|", "|") for cell in re.split(r"(?<!\\)\|", line.strip())[1:-1]]
        if header is None:
            header = cells
        elif not re.fullmatch(r"[-: |]+", line) and "Trigger" in header:
            rows.append((number, dict(zip(header, cells))))
    return rows


def for_interpreter(cell):
    """The part of a cell for this interpreter: "CPython: x; PyPy: y" or one value for both."""
    parts = re.split(r"\b(CPython|PyPy):", cell)
    if len(parts) == 1:
        return cell.strip()
    variants = {name.lower(): text.strip().rstrip(";").strip() for name, text in zip(parts[1::2], parts[2::2])}
    return variants.get(INTERPRETER, "")


def quoted(cell):
    return cell[cell.index('"') + 1:cell.rindex('"')] if cell.count('"') >= 2 else None


def code_spans(cell):
    return re.findall(r"`([^`]+)`", cell)


def type_name(cls):
    return cls.__name__ if cls.__module__ == "builtins" else "%s.%s" % (cls.__module__, cls.__name__)


def text_matches(expected, actual):
    pattern = ".*".join(re.escape(piece) for piece in expected.split("..."))
    return re.fullmatch(pattern, actual, re.DOTALL) is not None


def check_exception(what, error, expected_type, expected_text):
    assert error is not None, "%s: nothing raised, expected %s" % (what, expected_type)
    assert type_name(type(error)) == expected_type, "%s: %s(%r)" % (what, type_name(type(error)), str(error))
    if expected_text is not None:
        assert text_matches(expected_text, str(error)), "%s text: %r" % (what, str(error))


def example_params():
    for document in DOCUMENTS:
        for block in fenced_blocks(document):
            if block.language in ("python", "pycon"):
                yield pytest.param(block, id="%s:%d" % (document, block.line))


def row_params():
    for document in DOCUMENTS:
        for line, row in table_rows(document):
            yield pytest.param(document, row, id="%s:%d" % (document, line))


@pytest.mark.parametrize("block", list(example_params()))
def test_example(block):
    assert block.words <= MARKER_WORDS, "unknown doctest marker words: %s" % (block.words - MARKER_WORDS)
    if not block.runs_here():
        pytest.skip("marked %s" % " ".join(sorted(block.words)))
    name = "%s:%d" % (block.document, block.line)
    if block.language == "python":
        if "import pandas" in block.source and not pandas_series_speak_arrow():
            pytest.skip("pandas before 3.0: its Series export no Arrow stream")
        try:
            exec(compile(block.source, name, "exec"), {"__name__": "__doc_example__"})
        except ModuleNotFoundError as missing:
            if missing.name not in OPTIONAL_PRODUCERS:
                raise
            pytest.skip("%s is not installed for this interpreter" % missing.name)
        return
    test = doctest.DocTestParser().get_doctest(block.source, {"__name__": "__doc_example__"}, name,
                                               block.document, block.line)
    report = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=report.append)
    assert not runner.failures, "".join(report)


@pytest.mark.parametrize("document, row", list(row_params()))
def test_error_table_row(document, row):
    namespace = {"__name__": "__doc_example__"}
    for block in fenced_blocks(document):
        if "setup" in block.words:
            exec(compile(block.source, "%s:%d" % (document, block.line), "exec"), namespace)
    raises, trigger = for_interpreter(row["Raises"]), code_spans(row["Trigger"])
    assert raises and trigger, "a row needs a trigger in backticks and a Raises entry for %s" % INTERPRETER
    error = None
    try:
        for statement in trigger:
            exec(statement, namespace)
    except BaseException as caught:  # noqa: B036 - the table may name any exception
        error = caught
    if raises.strip("* ").lower() == "nothing":
        assert error is None, "raised %s(%r)" % (type_name(type(error)), str(error))
        return
    check_exception("exception", error, code_spans(raises)[0], quoted(for_interpreter(row.get("Text", ""))))
    cause = for_interpreter(row.get("Cause", ""))
    if code_spans(cause):
        check_exception("__cause__", error.__cause__, code_spans(cause)[0], quoted(cause))


def refused_encodings():
    for line, row in table_rows("docs/errors.md"):
        trigger = code_spans(row["Trigger"])
        if any("from_bytes" in statement for statement in trigger) and code_spans(row["Raises"]) == ["ValueError"]:
            yield pytest.param(trigger, id="docs/errors.md:%d" % line)


@pytest.mark.parametrize("trigger", list(refused_encodings()))
def test_the_twin_refuses_every_encoding_the_module_refuses(trigger):
    namespace = {"__name__": "__doc_example__"}
    for block in fenced_blocks("docs/errors.md"):
        if "setup" in block.words:
            exec(compile(block.source, "docs/errors.md:%d" % block.line, "exec"), namespace)
    namespace["PyGraphDiff"] = tarnu_twin.PyGraphDiff
    with pytest.raises(ValueError, match="^invalid encoded diff at byte |^operation forbidden on released memoryview"):
        for statement in trigger:
            exec(statement, namespace)


def test_readme_is_short_and_the_detail_lives_in_docs():
    # The README is the package index's long description: what it does,
    # install, a first example, the two commands, one performance summary.
    readme = read_lines("README.md")
    text = "\n".join(readme)
    assert len(readme) <= 130, "the README has %d lines; performance detail goes to docs/performance.md" % len(readme)
    assert "- The demo: `bash scripts/demo.sh`" in text and "- Every test: `bash scripts/test.sh`" in text
    start, end = readme.index("<!-- performance:start -->"), readme.index("<!-- performance:end -->")
    section = readme[start:end]
    assert sum(1 for line in section if line.startswith("|---")) == 1, "one summary table"
    assert any("docs/bench/bench.png" in line for line in section)
    assert any("docs/performance.md" in line for line in section)
    performance = "\n".join(read_lines(os.path.join("docs", "performance.md")))
    assert "## CPython 3.11" in performance and "## PyPy 7.3.11" in performance and "](bench/bench.png)" in performance


def test_the_guides_contents_link_every_section_in_order():
    lines, inside, headings = read_lines(os.path.join("docs", "guide.md")), False, []
    for line in lines:
        inside ^= bool(FENCE.match(line))
        if not inside and line.startswith("## "):
            heading = line[3:].strip()
            headings.append((heading, re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")))
    contents = re.findall(r"^- \[(.+)\]\(#([^)]+)\)$", "\n".join(lines), re.MULTILINE)
    assert contents == headings
