#!/usr/bin/env bash
# Lays out the C++ sources in the house style (.clang-format): the core and
# bindings (src/), the command (cli/), the C++ tests, the fuzz targets and
# the benchmark.  Vendored code (third_party/) and generated tables are left
# as they are.
#
#   bash scripts/format.sh           rewrite the files in place
#   bash scripts/format.sh --check   list the files that would change; exit 1 if any
#
# Layout differs from one clang-format release to the next, so everyone
# uses the same one: the PyPI release pinned here, installed into
# .venv-format on first use ($CLANG_FORMAT names another binary).
set -euo pipefail
cd "$(dirname "$0")/.."
version=23.1.5
if [ -z "${CLANG_FORMAT:-}" ]; then
    venv=.venv-format
    [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
    if [ "$("$venv/bin/clang-format" --version 2>/dev/null | awk '{print $NF}')" != "$version" ]; then
        "$venv/bin/python" -m pip install -q --disable-pip-version-check "clang-format==$version"
    fi
    CLANG_FORMAT="$venv/bin/clang-format"
fi

mapfile -t files < <(git ls-files 'src/*.cpp' 'src/*.hpp' 'cli/*.cpp' 'cli/*.hpp' 'tests/cpp/*.cpp' \
    'tests/cpp/*.hpp' 'fuzz/*.cpp' 'fuzz/*.hpp' 'bench/*.cpp' | grep -v '^src/unicode_table.hpp$')

if [ "${1:-}" = "--check" ]; then
    status=0
    for f in "${files[@]}"; do
        if ! "$CLANG_FORMAT" --style=file "$f" | cmp -s - "$f"; then
            echo "$f"
            status=1
        fi
    done
    exit $status
fi
"$CLANG_FORMAT" --style=file -i "${files[@]}"
