#!/usr/bin/env bash
# Builds segmorph from source and runs every test: the C++ core on its own
# under sanitizers, then the Python suite and the type checks once for every
# CPython 3.11 or newer that pyenv knows (else for python3 alone).  Each interpreter gets its own
# virtual environment under .venv-test-<version>.
set -euo pipefail
cd "$(dirname "$0")/.."

pythons=()
if command -v pyenv >/dev/null 2>&1; then
    root=$(pyenv root)
    for dir in "$root"/versions/3.*; do
        [ -x "$dir/bin/python" ] || continue
        if "$dir/bin/python" -c 'import sys; sys.exit(sys.version_info < (3, 11))' 2>/dev/null; then
            pythons+=("$dir/bin/python")
        fi
    done
fi
[ ${#pythons[@]} -gt 0 ] || pythons=(python3)

venvs=()
for py in "${pythons[@]}"; do
    tag=$("$py" -c 'import sys, sysconfig; print("%d.%d%s" % (sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "",)))')
    venv=".venv-test-$tag"
    echo "=== building for CPython $tag ($py)"
    [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check ".[test]"
    venvs+=("$venv")
done

status=0

# The C++ core on its own, under AddressSanitizer and UBSan: the fuzz targets
# replayed over the sample messages and over random inputs.  The JSON parser's
# headers come from the nlohmann-json package of a test environment.
if command -v g++ >/dev/null 2>&1; then
    echo "=== C++ core under sanitizers"
    mkdir -p build/fuzz
    json_include=$("${venvs[0]}/bin/python" -c 'import os, nlohmann_json; print(os.path.join(os.path.dirname(nlohmann_json.__file__), "include"))')
    core="src/json_hl7.cpp src/segments.cpp src/escape.cpp src/utils.cpp src/errors.cpp"
    for target in segment_fuzz records_fuzz; do
        g++ -std=c++20 -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=all -DSEGMORPH_REPLAY_MAIN \
            -Isrc -isystem "$json_include" "fuzz/$target.cpp" $core -o "build/fuzz/$target" || status=1
    done
    g++ -std=c++20 -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=all -DSEGMORPH_REPLAY_MAIN \
        -Isrc fuzz/framing_fuzz.cpp src/framing.cpp -o build/fuzz/framing_fuzz || status=1
    build/fuzz/segment_fuzz examples/*.hl7 tests/fixtures/*.hl7 || status=1
    build/fuzz/segment_fuzz --random 200000 || status=1
    build/fuzz/records_fuzz examples/*.hl7 tests/fixtures/*.hl7 || status=1
    build/fuzz/records_fuzz --random 20000 || status=1
    build/fuzz/framing_fuzz examples/*.hl7 $(find tests/fixtures -name '*.hl7') || status=1
    build/fuzz/framing_fuzz --random 200000 || status=1

    # Unit tests of the core: every tests/cpp/*_test.cpp is one program.
    echo "=== C++ core unit tests"
    mkdir -p build/cpptest
    core_all=$(ls src/*.cpp | grep -v '^src/lib')
    for test in tests/cpp/*_test.cpp; do
        [ -e "$test" ] || continue
        name=$(basename "$test" .cpp)
        g++ -std=c++20 -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=all \
            -Isrc -Itests/cpp -isystem "$json_include" "$test" $core_all -o "build/cpptest/$name" \
            && "build/cpptest/$name" || status=1
    done
fi

for venv in "${venvs[@]}"; do
    echo "=== tests on $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])')"
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests || status=1
    # The installed type information: found by type checkers, enough for
    # strict checking of ordinary use, and true to the module.
    "$venv/bin/python" -m mypy --strict --no-incremental tests/typing/ || status=1
    "$venv/bin/python" -m mypy.stubtest segmorph || status=1
done
exit $status
