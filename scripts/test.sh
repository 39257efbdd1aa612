#!/usr/bin/env bash
# Runs every test: installs the Debian packages, nox and uv, then runs nox's
# default sessions (noxfile.py: the C++ core tests, pytest under CPython 3.9
# to 3.13 and PyPy 3.9, a quick benchmark pass, the package checks, the
# reliability layers and the lint). Ends with nox's own summary and the total
# of the tests the sessions counted, "N passed, M failed" alone on the last
# line. Exits non-zero if anything failed.
#
#   bash scripts/test.sh [NOX ARGUMENTS...]    e.g. -s core tests-3.11
set -uo pipefail
cd "$(dirname "$0")/.."

# Every session's packages in one apt-get run (the reliability layers' and the
# package checks' own calls then find them installed).
bash scripts/debian_packages.sh g++ cmake make libgtest-dev python3-dev python3-venv pypy3 pypy3-dev pypy3-venv \
  clang clang-tidy libclang-rt-14-dev valgrind python3-dbg nodejs \
  || { echo "apt-get failed"; echo "0 passed, 1 failed"; exit 1; }
# uv beside nox: nox makes its environments and installs into them with it.
if [ ! -x .venv-nox/bin/nox ] || [ ! -x .venv-nox/bin/uv ]; then
  rm -rf .venv-nox
  python3 -m venv .venv-nox && .venv-nox/bin/python -m pip install -q --disable-pip-version-check "nox>=2025.5.1" uv \
    || { echo "nox could not be installed"; echo "0 passed, 1 failed"; exit 1; }
fi

rm -rf build/results
mkdir -p build/results
beside=
if [ "$#" -gt 0 ]; then
  .venv-nox/bin/nox --report build/results/nox.json "$@"
  status=$?
else
  # nox runs one session at a time, and most of a session keeps one core
  # busy, so the default sessions run as two streams side by side: the
  # lint, the package checks and the reliability layers in the background,
  # everything else here: with the lint here, this side took 14.6 minutes and
  # the other 12.5. Together they are noxfile.py's nox.options.sessions.
  .venv-nox/bin/nox --report build/results/nox-beside.json -s lint package reliability \
    >build/results/beside.log 2>&1 &
  beside=$!
  trap 'kill "$beside" 2>/dev/null' EXIT
  .venv-nox/bin/nox --report build/results/nox.json -s core tests bench
  status=$?
  echo
  echo "== the lint, the package checks and the reliability layers, run beside the above (build/results/beside.log)"
  wait "$beside" || status=1
  cat build/results/beside.log
fi

# The counts each session wrote (build/results/<session>.json); a session that
# failed before it could count anything counts as one failure.
.venv-nox/bin/python - "$status" ${beside:+beside} <<'EOF'
import json, os, sys
status = int(sys.argv[1])
passed = failed = 0
sessions = []
for report in ("nox.json", "nox-beside.json"):
    path = os.path.join("build/results", report)
    if report != "nox.json" and len(sys.argv) < 3:
        continue
    try:
        sessions += json.load(open(path))["sessions"]
    except (OSError, ValueError, KeyError):
        failed += 1
print()
print("== every session")
for session in sessions:
    name = (session.get("signatures") or [session["name"]])[0]
    path = os.path.join("build/results", name + ".json")
    if os.path.exists(path):
        counts = json.load(open(path))
        passed += counts["passed"]
        failed += counts["failed"]
    print("  %-22s %-8s %5.0f s" % (name, session["result"], session.get("duration") or 0))
    # nox says "aborted" for a session that called session.error().
    if session["result"] not in ("success", "skipped") and (not os.path.exists(path) or not counts["failed"]):
        failed += 1
if status and not failed:
    failed = 1
print("%d passed, %d failed" % (passed, failed))
sys.exit(1 if failed else 0)
EOF
