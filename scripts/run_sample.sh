#!/usr/bin/env bash
# Installs segmorph into .venv and converts the sample message shipped in
# examples/ to JSON records on standard output.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || python3 -m venv .venv
.venv/bin/python -m pip install -q --disable-pip-version-check .
.venv/bin/python examples/hl7_to_json.py "${1:-examples/adt_a01.hl7}"
