"""Plain-text checks of the source tree that catch layering mistakes."""

import os
import re

from conftest import ROOT

SRC = os.path.join(ROOT, "src")
INCLUDES_PYTHON = re.compile(r'^\s*#\s*include\s*[<"]Python\.h[>"]', re.MULTILINE)


def sources():
    for folder, _, files in os.walk(SRC):
        for name in files:
            if name.endswith((".cpp", ".hpp", ".h", ".cc")):
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8") as source:
                    yield os.path.relpath(path, SRC), source.read()


def test_only_the_extension_includes_python_h():
    offenders = [path for path, text in sources()
                 if INCLUDES_PYTHON.search(text) and not path.startswith("extension" + os.sep)]
    assert offenders == []


def test_the_core_does_not_include_the_extension():
    offenders = [path for path, text in sources()
                 if not path.startswith("extension" + os.sep) and re.search(r'#\s*include\s*"extension/', text)]
    assert offenders == []
