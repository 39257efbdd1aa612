#!/usr/bin/env bash
# The main job: build tarnu_api (released build) and run the demo, which
# records a realistic diff and encodes it. setup.sh installs pyarrow into
# the demo's environment where it has a wheel, for the demo's Arrow row.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh cpython
exec .venv-cpython/bin/python examples/demo.py "$@"
