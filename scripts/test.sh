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

# TLS for listen and send builds against the system's OpenSSL 3 headers;
# without them the command is built without TLS.
if [ ! -f /usr/include/openssl/ssl.h ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "installing the OpenSSL headers (libssl-dev) for TLS"
    { apt-get install -y -qq libssl-dev || { apt-get update -qq && apt-get install -y -qq libssl-dev; }; } >/dev/null 2>&1 \
        || echo "could not install libssl-dev: segmorph is built without TLS"
fi

status=0
venvs=()
for py in "${pythons[@]}"; do
    tag=$("$py" -c 'import sys, sysconfig; print("%d.%d%s" % (sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "",)))')
    venv=".venv-test-$tag"
    echo "=== building for CPython $tag ($py)"
    [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
    # Spark (a JVM and some 300 MB of pyspark) only where its tests run:
    # the first interpreter.
    extras="test"
    [ ${#venvs[@]} -gt 0 ] || extras="test,spark"
    # The first build is also the warnings-as-errors one, at the release
    # optimisation where gcc warns most; should it fail, the plain build
    # still runs the tests.
    install=("$venv/bin/python" -m pip install -q --disable-pip-version-check)
    # The last of several interpreters gets the plain build of every byte
    # scanner (no vector instructions), so the whole suite runs on that twin
    # too.
    if [ ${#venvs[@]} -gt 0 ] && [ "$py" = "${pythons[-1]}" ]; then
        echo "(the plain build: SEGMORPH_SIMD=OFF)"
        "${install[@]}" -C cmake.define.SEGMORPH_SIMD=OFF ".[$extras]"
    elif [ ${#venvs[@]} -gt 0 ]; then
        "${install[@]}" ".[$extras]"
    elif ! "${install[@]}" -C cmake.define.SEGMORPH_WERROR=ON ".[$extras]"; then
        echo "the warnings-as-errors build failed"
        status=1
        "${install[@]}" ".[$extras]"
    fi
    venvs+=("$venv")
done

# The C++ core on its own, under AddressSanitizer and UBSan, built by CMake
# with its unit tests and fuzz targets (the replays over the sample messages
# and over random inputs), all run by ctest.  Warnings are errors here.  The
# JSON parser's headers come from the nlohmann-json package of a test
# environment, found through its interpreter.
echo "=== C++ core under sanitizers: unit tests and fuzz replays"
# cmake, ctest and ninja from the system, else from PyPI into the first
# test environment.
tools="$PWD/${venvs[0]}/bin"
if ! { cmake --version && ctest --version && ninja --version; } >/dev/null 2>&1; then
    "$tools/python" -m pip install -q --disable-pip-version-check cmake ninja
fi
with_tools() { PATH="$tools:$PATH" "$@"; }
generator=()
with_tools ninja --version >/dev/null 2>&1 && generator=(-G Ninja)
if with_tools cmake -S . -B build/ctest "${generator[@]}" -DPython_EXECUTABLE="$tools/python" \
        -DSEGMORPH_BUILD_PYTHON=OFF -DSEGMORPH_BUILD_TESTS=ON -DSEGMORPH_BUILD_FUZZERS=ON \
        -DSEGMORPH_SANITIZE=ON -DSEGMORPH_WERROR=ON >/dev/null \
        && with_tools cmake --build build/ctest --parallel 2; then
    with_tools ctest --test-dir build/ctest --parallel 2 --output-on-failure || status=1
else
    echo "the C++ tests did not build"
    status=1
fi

# The Spark data source's tests need Java 17, installed from the system
# packages when it is missing and we may, as clang is below.  They run on
# the first interpreter only (one Spark start is most of their time), and
# there they fail rather than skip when pyspark or Java is missing.
if ! command -v java >/dev/null 2>&1 && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "installing Java 17 from the system packages"
    { apt-get install -y -qq openjdk-17-jre-headless || { apt-get update -qq && apt-get install -y -qq openjdk-17-jre-headless; }; } \
        >/dev/null 2>&1 || echo "could not install Java: the Spark tests will fail"
fi

for venv in "${venvs[@]}"; do
    echo "=== tests on $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])')"
    if [ "$venv" = "${venvs[0]}" ]; then
        SEGMORPH_REQUIRE_SPARK=1 "$venv/bin/python" -m pytest -q -p no:cacheprovider tests || status=1
    else
        "$venv/bin/python" -m pytest -q -p no:cacheprovider tests --ignore=tests/test_spark.py || status=1
    fi
    # The installed type information: found by type checkers, enough for
    # strict checking of ordinary use, and true to the module.
    "$venv/bin/python" -m mypy --strict --no-incremental tests/typing/ || status=1
    "$venv/bin/python" -m mypy.stubtest segmorph segmorph_batch || status=1
done

# ------------------------------------------------------------------------
# The Python surface under AddressSanitizer and UBSan, the leak check, and
# the Python fuzz harnesses (about three minutes in all).
#
# One interpreter (the oldest found) gets a second build of the extension
# with the sanitizers, in .venv-sanitize; the interpreter itself is not
# instrumented, so the sanitizer runtime is preloaded and leak detection,
# which would report the interpreter's own allocations, is off (the leak
# check below watches our memory instead).  With clang the build is also
# instrumented for coverage, so the atheris harnesses are guided by what
# the C++ code does; clang comes from the system packages when it is
# missing and we may install them.  Without clang, gcc builds the sanitized
# extension and the harnesses run unguided.
# SEGMORPH_FUZZ_SECONDS sets each harness's budget (default 30).
echo "=== Python suite under sanitizers"
san_python="${pythons[0]}"
if ! command -v clang++ >/dev/null 2>&1 && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "installing clang from the system packages"
    { apt-get install -y -qq clang || { apt-get update -qq && apt-get install -y -qq clang; }; } >/dev/null 2>&1 \
        || echo "could not install clang: sanitizing with gcc, fuzzing unguided"
fi
san_flags="-O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all"
if command -v clang++ >/dev/null 2>&1; then
    # vptr and function checks need runtime parts that atheris's runtime lacks.
    san_cc=clang san_cxx=clang++
    san_flags="$san_flags -fsanitize=fuzzer-no-link -fno-sanitize=vptr,function"
    san_runtime=$(clang -print-file-name=libclang_rt.asan-x86_64.so)
else
    san_cc=gcc san_cxx=g++
    san_runtime=$(g++ -print-file-name=libasan.so)
fi
san_venv=.venv-sanitize
[ -x "$san_venv/bin/python" ] || "$san_python" -m venv "$san_venv"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:quarantine_size_mb=16"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
if CC=$san_cc CXX=$san_cxx "$san_venv/bin/python" -m pip install -q --disable-pip-version-check \
        -C build-dir=build/sanitize -C cmake.build-type=Debug -C "cmake.define.CMAKE_CXX_FLAGS=$san_flags" -C "cmake.define.CMAKE_C_FLAGS=$san_flags" \
        -C "cmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined" ".[test]"; then
    LD_PRELOAD="$san_runtime" "$san_venv/bin/python" -m pytest -q -p no:cacheprovider tests || status=1
else
    echo "sanitized build failed"
    status=1
fi

echo "=== leak check"
"${venvs[0]}/bin/python" scripts/leak_check.py || status=1

echo "=== Python fuzz harnesses"
if "$san_venv/bin/python" -m pip install -q --disable-pip-version-check atheris \
        && "$san_venv/bin/python" -c 'import atheris' 2>/dev/null; then
    if [ "$san_cxx" = clang++ ]; then
        fuzz_runtime="$("$san_venv/bin/python" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
    else
        fuzz_runtime="$san_runtime"
        echo "(no clang: the extension is not instrumented for coverage, the harnesses run unguided)"
    fi
    for harness in hl7_json_fuzz json_hl7_fuzz from_file_fuzz; do
        corpus="build/fuzz-py/$harness"
        rm -rf "$corpus" && mkdir -p "$corpus"
        echo "--- $harness (${SEGMORPH_FUZZ_SECONDS:-30} s)"
        LD_PRELOAD="$fuzz_runtime" "$san_venv/bin/python" "fuzz/$harness.py" "$corpus" \
            -max_total_time="${SEGMORPH_FUZZ_SECONDS:-30}" -max_len=4096 -print_final_stats=1 \
            -artifact_prefix="build/fuzz-py/$harness-" >"build/fuzz-py/$harness.log" 2>&1 \
            && grep -E "^(Done|stat::number_of_executed_units)" "build/fuzz-py/$harness.log" \
            || { tail -n 60 "build/fuzz-py/$harness.log"; status=1; }
    done
else
    echo "atheris could not be installed for $("$san_python" -V): Python fuzz harnesses skipped"
fi
exit $status
