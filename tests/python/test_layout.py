"""Plain-text checks of the source tree that catch layering mistakes."""

import ast
import glob
import os
import re

from conftest import ROOT

SRC = os.path.join(ROOT, "src")
INCLUDES_PYTHON = re.compile(r'^\s*#\s*include\s*[<"]Python\.h[>"]', re.MULTILINE)


def core_layers():
    """The core's folders, one list per layer from the bottom up (src/core_folders.txt)."""
    with open(os.path.join(SRC, "core_folders.txt"), encoding="utf-8") as listing:
        return [line.split() for line in listing if line.strip() and not line.startswith("#")]


CORE_FOLDERS = [folder for layer in core_layers() for folder in layer]


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


def test_only_host_compat_branches_on_the_host():
    # Every difference between CPython and PyPy has a named helper there.
    offenders = [path for path, text in sources()
                 if "PYPY_VERSION" in text and os.path.basename(path).split(".")[0] != "host_compat"]
    assert offenders == []


def test_no_folder_includes_one_on_its_own_layer_or_above():
    # The layers of src/core_folders.txt from the bottom up, and the
    # extension above them all.
    layer_of = {folder: i for i, layer in enumerate(core_layers()) for folder in layer}
    layer_of["extension"] = len(layer_of)
    offenders = []
    for path, text in sources():
        folder = path.split(os.sep)[0]
        for included in re.findall(r'^\s*#\s*include\s*"(\w+)/', text, re.MULTILINE):
            if included != folder and layer_of.get(included, len(layer_of)) >= layer_of[folder]:
                offenders.append("%s includes %s/" % (path, included))
    assert offenders == []


def test_every_folder_of_src_is_the_extension_or_a_listed_core_folder():
    # An unlisted folder would be built, linted and checked by nothing.
    folders = sorted(f for f in os.listdir(SRC) if os.path.isdir(os.path.join(SRC, f)))
    assert folders == sorted(CORE_FOLDERS + ["extension"])


def test_the_architecture_page_names_every_core_folder_and_only_paths_that_exist():
    with open(os.path.join(ROOT, "docs", "architecture.md"), encoding="utf-8") as page:
        text = page.read()
    diagram = text.split("```")[1]
    assert sorted(f for f in CORE_FOLDERS + ["extension"] if "src/%s/" % f not in diagram) == []
    table = text.split("| change | files it touches |")[1].split("\n\n")[0]
    named = set(re.findall(r"`((?:src|tests|tarnu_twin|stubs|docs|bench)/[^`*<]*)`", table))
    assert len(named) > 20 and sorted(p for p in named if not os.path.exists(os.path.join(ROOT, p))) == []


def python_imports(package):
    """{module: the modules of `package` it imports}, for each file of the package."""
    graph = {}
    for path in glob.glob(os.path.join(ROOT, package, "*.py")):
        name = os.path.basename(path)[:-3]
        with open(path, encoding="utf-8") as source:
            tree = ast.parse(source.read())
        found = set()
        for node in ast.walk(tree):
            if isinstance(node, ast.ImportFrom) and node.module == package:
                found.update(alias.name for alias in node.names)
            elif isinstance(node, ast.ImportFrom) and (node.module or "").startswith(package + "."):
                found.add(node.module.split(".")[1])
            elif isinstance(node, ast.Import):
                found.update(alias.name.split(".")[1] for alias in node.names if alias.name.startswith(package + "."))
        graph[name] = found - {name}
    return graph


def test_the_twin_and_the_benchmarks_import_without_circles():
    for package in ("tarnu_twin", "bench"):
        graph = python_imports(package)
        done, path = set(), []

        def visit(module):
            assert module not in path, "%s: import circle %s" % (package, " -> ".join(path + [module]))
            if module in done:
                return
            path.append(module)
            for imported in graph.get(module, ()):
                visit(imported)
            path.pop()
            done.add(module)

        for module in graph:
            visit(module)
    # The shared workload code depends on no row file; the twin's class on no reader of it.
    assert python_imports("bench")["workloads"] == set()
    assert not any("diff" in imported for module, imported in python_imports("tarnu_twin").items()
                   if module != "__init__")


def test_no_python_file_edits_sys_path():
    offenders = []
    for folder in ("tarnu_twin", "bench", "tests/python"):
        for path in glob.glob(os.path.join(ROOT, folder, "*.py")):
            with open(path, encoding="utf-8") as source:
                if re.search(r"sys\.path\s*(\.insert|\.append|\[.*\]\s*=|\+=)", source.read()):
                    offenders.append(os.path.relpath(path, ROOT))
    assert offenders == []
