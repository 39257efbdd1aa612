"""The interpreters the module is built and tested for, and where each one is.

    python3 scripts/interpreters.py

prints one line per interpreter, "NAME PATH", with "-" for PATH where none
was found; `--cibuildwheel` prints instead the CPython identifiers that
[tool.cibuildwheel] must build. An installed pyenv version counts even when
pyenv has not made it the active one; after pyenv's versions the PATH is
searched. noxfile.py takes its sessions and its PATH from here, and
scripts/test_package.sh its wheels. Runs under any Python 3 (no tomllib).
"""

import glob
import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def classifier_versions(pyproject=os.path.join(ROOT, "pyproject.toml")):
    """The "Programming Language :: Python :: 3.X" classifiers of pyproject.toml,
    the one list of the CPython versions the module supports."""
    with open(pyproject, encoding="utf-8") as file:
        text = file.read()
    versions = re.findall(r'"Programming Language :: Python :: (3\.\d+)"', text)
    return sorted(versions, key=lambda version: tuple(int(part) for part in version.split(".")))


CPYTHONS = classifier_versions()
# Classifiers cannot name a PyPy version: this is the one Debian 12 ships
# (pypy3, 7.3.11), the primary host.
PYPYS = ["pypy3.9"]
INTERPRETERS = CPYTHONS + PYPYS


def pyenv_bin_dirs():
    """The bin directory of the newest pyenv install of each wanted version."""
    try:
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return []
    newest = {}
    for bin_dir in glob.glob(os.path.join(root, "versions", "*", "bin")):
        name = os.path.basename(os.path.dirname(bin_dir))
        # 3.9.18, or pypy3.9-7.3.16 for a PyPy that pyenv installed.
        match = re.fullmatch(r"(\d+\.\d+)\.\d+|(pypy\d+\.\d+)-[\d.]+", name)
        wanted = match and (match.group(1) or match.group(2))
        release = tuple(int(part) for part in re.findall(r"\d+", name))
        if wanted in INTERPRETERS and release > newest.get(wanted, ((),))[0]:
            newest[wanted] = (release, bin_dir)
    return [bin_dir for _, bin_dir in newest.values()]


def search_path():
    """pyenv's versions ahead of the PATH, and of pyenv's shims on it, which
    refuse to run a version that is not active."""
    return os.pathsep.join(pyenv_bin_dirs() + [os.environ.get("PATH", "")])


def find(name, path):
    """The executable for NAME ("3.9" or "pypy3.9") on PATH, or None, checked
    to be the version it is named for."""
    executable = shutil.which(name if name.startswith("pypy") else "python" + name, path=path)
    if executable is None:
        return None
    try:
        version = subprocess.run([executable, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                                 capture_output=True, text=True, timeout=60).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        return None
    return executable if name.endswith(version) else None


def main():
    if sys.argv[1:] == ["--cibuildwheel"]:
        for version in CPYTHONS:
            print("cp" + version.replace(".", ""))
        return 0
    path = search_path()
    for name in INTERPRETERS:
        print(name, find(name, path) or "-")
    return 0


if __name__ == "__main__":
    sys.exit(main())
