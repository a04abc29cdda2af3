#!/usr/bin/env bash
# The quick check while working: builds segmorph for one interpreter
# (python3, or the one named by $PYTHON) into .venv-quick and runs the
# Python suite once, without sanitizers, fuzzing or type checks.  A few
# minutes; scripts/test.sh (what .ci/run calls) is the full run.
set -euo pipefail
cd "$(dirname "$0")/.."
py="${PYTHON:-python3}"
venv=.venv-quick
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check ".[test]"
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@"
