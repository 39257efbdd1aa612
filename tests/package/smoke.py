"""Checks an installed tarnu_api wheel from the outside, as a user gets it.

Run with the interpreter of a fresh virtual environment into which only the
wheel was installed, from a directory outside the checkout:

    python smoke.py EXPECTED_VERSION

Prints one line per failed check and exits non-zero if any failed.
"""

import importlib.metadata
import os
import sys
import sysconfig

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def encoded_example():
    """The diff of one labelled node with one edge, which has a single encoding."""
    from tarnu_api import PyGraphDiff

    a, b = bytes(15) + b"\x01", bytes(15) + b"\x02"
    diff = PyGraphDiff()
    diff.add_node(a, {"label": "A", "size": 1.5})
    diff.add_edge(a, b, 0.5)
    return diff.to_bytes()


def expected_example():
    def u64(value):
        return value.to_bytes(8, "little")

    a, b = bytes(15) + b"\x01", bytes(15) + b"\x02"
    text = b'{"label":"A","size":1.5}'
    return (u64(1) + u64(16) + a + u64(len(text)) + text
            + u64(0)
            + u64(1) + u64(16) + a + u64(1) + u64(16) + b + b"\x00\x00\x00\x3f"
            + u64(0))


def main(argv):
    expected_version = argv[0]
    import tarnu_api
    from tarnu_api import PyGraphDiff

    # The module must come from the environment, with this interpreter's
    # extension suffix, not from a build tree lying around.
    site = sysconfig.get_paths()["platlib"]
    check(os.path.dirname(os.path.abspath(tarnu_api.__file__)) == os.path.abspath(site),
          "tarnu_api imported from %s, not from %s" % (tarnu_api.__file__, site))
    check(tarnu_api.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX")),
          "extension file %s lacks suffix %s" % (tarnu_api.__file__, sysconfig.get_config_var("EXT_SUFFIX")))

    # The metadata names its authors, and the MIT terms it declares travel
    # with the wheel.
    metadata = importlib.metadata.metadata("tarnu_api")
    check("tarnu_api developers" in (metadata.get("Author") or "") + (metadata.get("Author-email") or ""),
          "no author in the metadata")
    licenses = [f for f in importlib.metadata.files("tarnu_api") or () if f.name == "LICENSE"]
    check(bool(licenses) and "Permission is hereby granted" in licenses[0].read_text(),
          "the wheel holds no LICENSE with the MIT terms")

    version = importlib.metadata.version("tarnu_api")
    check(version == expected_version, "version %r, expected %r" % (version, expected_version))
    check(getattr(tarnu_api, "__version__", None) == expected_version,
          "__version__ is %r, expected %r" % (getattr(tarnu_api, "__version__", None), expected_version))
    # DiffCounts is reachable so that counts() pickles, but only PyGraphDiff
    # is what `import *` gives.
    public = sorted(name for name in vars(tarnu_api) if not name.startswith("_"))
    check(public == ["DiffCounts", "PyGraphDiff"], "public names are %r" % (public,))
    check(tarnu_api.__all__ == ["PyGraphDiff"], "__all__ is %r" % (tarnu_api.__all__,))

    # Stubs travel in the same distribution, where checkers look for them.
    files = {str(path) for path in importlib.metadata.files("tarnu_api") or ()}
    check("tarnu_api-stubs/__init__.pyi" in files, "the distribution lacks tarnu_api-stubs/__init__.pyi")
    stub = os.path.join(site, "tarnu_api-stubs", "__init__.pyi")
    check(os.path.isfile(stub), "stub file missing at %s" % stub)

    check(PyGraphDiff().to_bytes() == bytes(32), "an empty diff does not encode to 32 zero bytes")
    check(encoded_example() == expected_example(), "the one-node, one-edge diff encodes differently")

    a, b, c = os.urandom(16), os.urandom(16), os.urandom(16)
    diff = PyGraphDiff()
    diff.add_edge(a, b, 1.0)
    diff.add_edge(a, c, 2.0)
    check(diff.num_edges() == 1, "num_edges counts %d for one source" % diff.num_edges())
    diff.delete_node(b)
    diff.add_edge(c, b, 1.0)  # refused without an exception: b is marked deleted
    check((diff.num_nodes(), diff.num_edges()) == (1, 2),
          "counts after delete_node: %r" % ((diff.num_nodes(), diff.num_edges()),))
    try:
        diff.add_node("not sixteen bytes", {})
    except TypeError as error:
        check(str(error) == "argument 'id': failed to extract field PyUuid.0",
              "str id raised %r" % (str(error),))
    else:
        failures.append("a str id was accepted")
    diff.clear()
    check(diff.to_bytes() == bytes(32), "clear() left something behind")

    for failure in failures:
        print("smoke: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
