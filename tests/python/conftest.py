import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

# The pure-Python twin (bench/) and the byte decoder (examples/) serve the
# tests as model and reader.
for folder in ("bench", "examples"):
    path = os.path.join(ROOT, folder)
    if path not in sys.path:
        sys.path.insert(0, path)

IS_PYPY = sys.implementation.name == "pypy"
