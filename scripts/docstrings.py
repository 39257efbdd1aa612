"""The docstrings of the stubs and of the pure-Python twin, from the module's own.

The module's method tables (src/extension/*_object.cpp, and the struct
sequence of DiffCounts in read_methods.cpp) hold the one text of each
docstring. This script reads them from the built module, as ``__doc__``
gives them on CPython (the text-signature line taken out), and

    --check  lists every copy that differs (exit status 1 if any does);
    --write  rewrites the copies: the docstrings in place in
             stubs/tarnu_api-stubs/__init__.pyi, and tarnu_twin/_docs.py.

Run it with the CPython that has the module installed (PyPy drops the docs
of a heap type's methods). A member whose doc the module leaves empty (the
class PyGraphDiff and its first eight methods, whose texts are fixed) keeps
the stubs' own docstring; the twin has none there either.
"""

import argparse
import ast
import difflib
import inspect
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STUBS = os.path.join(ROOT, "stubs", "tarnu_api-stubs", "__init__.pyi")
TWIN_DOCS = os.path.join(ROOT, "tarnu_twin", "_docs.py")
# The classes whose docs the twin takes; it has no Arrow batch type.
TWIN_CLASSES = ("PyGraphDiff", "DiffCounts")
# The members whose doc comes from the module's tables: the methods of a
# type, the fields of a struct sequence. A slot wrapper's doc ("Return
# repr(self).") is the host's own, and so are a struct sequence's methods.
METHOD_KINDS = ("method_descriptor", "classmethod_descriptor")
FIELD_KINDS = ("member_descriptor",)


def module_docs():
    """{class name: {member name or "": doc}}, "" for the class itself; only
    the docs the module sets and leaves non-empty, cleaned as inspect cleans them."""
    import tarnu_api

    batch_type = type(tarnu_api.PyGraphDiff().to_arrow()["node_updates"])
    docs = {}
    for cls, kinds in ((tarnu_api.PyGraphDiff, METHOD_KINDS), (tarnu_api.DiffCounts, FIELD_KINDS),
                       (batch_type, METHOD_KINDS)):
        found = {"": cls.__doc__}
        for name, member in vars(cls).items():
            if type(member).__name__ in kinds:
                found[name] = member.__doc__
        docs[cls.__name__] = {name: inspect.cleandoc(doc) for name, doc in found.items() if doc}
    return docs


def stub_targets(source):
    """(class name, member name or "", node) for every class of the stubs and
    every function defined directly in one."""
    for node in ast.parse(source).body:
        if isinstance(node, ast.ClassDef):
            yield node.name, "", node
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    yield node.name, member.name, member


def literal(text, indent):
    """``text`` as a docstring literal whose lines after the first start at ``indent``."""
    body = text.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    if body.endswith('"'):
        body = body[:-1] + '\\"'
    lines = body.split("\n")
    if len(lines) == 1:
        return '"""%s"""' % body
    return '"""' + "\n".join([lines[0]] + [indent + line if line else "" for line in lines[1:]]) + "\n" + indent + '"""'


def stub_edits(source, docs):
    """(differences, edits): a text per stub docstring that differs from the
    module's, and (start, end, replacement) offsets into ``source``."""
    starts = [0]
    for line in source.splitlines(keepends=True):
        starts.append(starts[-1] + len(line))

    def offset(line, column):  # ast columns are UTF-8 byte offsets
        start = starts[line - 1]
        return start + len(source.encode("utf-8")[start:start + column].decode("utf-8")) if column else start

    differences, edits = [], []
    for cls, name, node in stub_targets(source):
        want = docs.get(cls, {}).get(name)
        if want is None:
            continue  # the module has no doc here: the stubs keep theirs
        have = ast.get_docstring(node)
        if have == want:
            continue
        label = "stubs: %s%s" % (cls, "." + name if name else "")
        differences.append(describe(label, have, want))
        first = node.body[0]
        indent = " " * (node.col_offset + 4)
        text = literal(want, indent)
        if have is not None:
            edits.append((offset(first.lineno, first.col_offset), offset(first.end_lineno, first.end_col_offset), text))
        elif source[offset(first.lineno, 0):offset(first.lineno, first.col_offset)].strip():
            # "def f(self) -> int: ...": the docstring takes the ellipsis's place.
            start = offset(first.lineno, first.col_offset)
            while source[start - 1] == " ":
                start -= 1
            edits.append((start, offset(first.end_lineno, first.end_col_offset), "\n" + indent + text))
        else:
            line_start = offset(first.lineno, 0)
            edits.append((line_start, line_start, indent + text + "\n"))
    return differences, edits


def twin_docs_source(docs):
    """tarnu_twin/_docs.py: one literal per line of text, so that a change to
    a text shows as a change to its lines."""
    out = [
        '"""The module\'s docstrings, which the twin\'s classes take (tarnu_twin/diff.py).',
        "",
        "Written by scripts/docstrings.py --write from the built module: edit the",
        'texts in src/extension/, not here. The key "" is the class\'s own doc.',
        '"""',
        "",
        "DOCS = {",
    ]
    for cls in TWIN_CLASSES:
        out.append("    %r: {" % cls)
        for name, text in docs[cls].items():
            lines = text.split("\n")
            if len(lines) == 1:
                out.append("        %r: %r," % (name, text))
                continue
            out.append("        %r: (" % name)
            out.extend("            %r" % (line + "\n") for line in lines[:-1])
            out.append("            %r" % lines[-1])
            out.append("        ),")
        out.append("    },")
    out.append("}")
    return "\n".join(out) + "\n"


def describe(label, have, want):
    lines = difflib.unified_diff((have or "").splitlines(), want.splitlines(), "copy", "module", lineterm="")
    return label + "\n" + "\n".join("    " + line for line in lines)


def compare():
    """(differences, the stubs as they should be, tarnu_twin/_docs.py as it should be)."""
    docs = module_docs()
    with open(STUBS, encoding="utf-8") as file:
        stubs = file.read()
    differences, edits = stub_edits(stubs, docs)
    for start, end, text in sorted(edits, reverse=True):
        stubs = stubs[:start] + text + stubs[end:]
    twin = twin_docs_source(docs)
    try:
        with open(TWIN_DOCS, encoding="utf-8") as file:
            twin_now = file.read()
    except FileNotFoundError:
        twin_now = ""
    if twin_now != twin:
        differences.append(describe("twin: " + os.path.relpath(TWIN_DOCS, ROOT), twin_now, twin))
    return differences, stubs, twin


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    action = parser.add_mutually_exclusive_group(required=True)
    action.add_argument("--check", action="store_true", help="list the copies that differ; exit status 1 if any")
    action.add_argument("--write", action="store_true", help="rewrite the copies from the module")
    options = parser.parse_args(argv)
    differences, stubs, twin = compare()
    if options.check:
        print("\n".join(differences) if differences else "the stubs and the twin carry the module's docstrings")
        return 1 if differences else 0
    for path, text in ((STUBS, stubs), (TWIN_DOCS, twin)):
        with open(path, "w", encoding="utf-8") as file:
            file.write(text)
    print("%d docstrings rewritten" % len(differences))
    return 0


if __name__ == "__main__":
    sys.exit(main())
