#!/usr/bin/env bash
# The quick check while working: builds segmorph for one interpreter
# (python3, or the one named by $PYTHON) into .venv-quick and runs the
# Python suite once, without sanitizers, fuzzing or type checks.
#
# The build is incremental: it runs without pip's build isolation, in a
# build folder that stays (build/quick), so the compile lines never name a
# temporary folder and ninja recompiles only the files that changed.  The
# build requirements are installed into .venv-quick for that.  Warm, with
# no source changed, the whole run is well under a minute; scripts/test.sh
# (what .ci/run calls) is the full run.
set -euo pipefail
cd "$(dirname "$0")/.."
py="${PYTHON:-python3}"
venv=.venv-quick
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
pip=("$venv/bin/python" -m pip install -q --disable-pip-version-check)
if ! "$venv/bin/python" -c 'import scikit_build_core, nlohmann_json' 2>/dev/null; then
    "${pip[@]}" "scikit-build-core>=0.10" "nlohmann-json==3.12.0" cmake ninja
fi
"${pip[@]}" --no-build-isolation -C build-dir=build/quick ".[test]"
# Test files or folders given narrow the run; options alone go with the
# whole suite.
targets=(tests)
for arg in "$@"; do
    case "$arg" in -*) ;; *) targets=() ;; esac
done
"$venv/bin/python" -m pytest -q -p no:cacheprovider "${targets[@]}" "$@"
