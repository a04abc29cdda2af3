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
    "$venv/bin/python" -m pip install -q --disable-pip-version-check ".[$extras]"
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
    # The core is compiled once, with the sanitizers, into one archive that
    # the fuzz targets and the unit tests link against (each program takes
    # only the objects it needs).  The vendored C libraries (the JSON reader,
    # the Arrow builder) are compiled on their own and go in too.
    san="-O1 -g -fsanitize=address,undefined -fno-sanitize-recover=all"
    mkdir -p build/san
    rm -f build/san/*.o build/san/libcore.a
    { ls src/*.cpp | grep -v '^src/lib'; ls third_party/yyjson/*.c third_party/nanoarrow/src/*.c; } \
        | xargs -P 2 -I{} sh -c 'case "$1" in
              *.c) gcc '"$san"' -Ithird_party/nanoarrow -c "$1" -o "build/san/$(basename "$1").o" ;;
              *) g++ -std=c++20 '"$san"' -Isrc -isystem third_party/yyjson -isystem third_party/nanoarrow \
                     -isystem "$2" -c "$1" -o "build/san/$(basename "$1").o" ;;
          esac' _ {} "$json_include" || status=1
    ar rcs build/san/libcore.a build/san/*.o || status=1
    for target in segment_fuzz records_fuzz framing_fuzz; do
        g++ -std=c++20 $san -DSEGMORPH_REPLAY_MAIN -Isrc -isystem third_party/yyjson -isystem "$json_include" \
            "fuzz/$target.cpp" build/san/libcore.a -lz -o "build/fuzz/$target" || status=1
    done
    build/fuzz/segment_fuzz examples/*.hl7 tests/fixtures/*.hl7 tests/fixtures/corpus/*/*.hl7 || status=1
    build/fuzz/segment_fuzz --random 200000 || status=1
    build/fuzz/records_fuzz examples/*.hl7 tests/fixtures/*.hl7 tests/fixtures/corpus/*/*.hl7 || status=1
    build/fuzz/records_fuzz --random 20000 || status=1
    build/fuzz/framing_fuzz examples/*.hl7 $(find tests/fixtures -name '*.hl7') || status=1
    build/fuzz/framing_fuzz --random 200000 || status=1
    # The flat reader of records against yyjson's, in the core and in the
    # command's item reader (which it builds in).
    g++ -std=c++20 $san -DSEGMORPH_REPLAY_MAIN -Isrc -Icli -isystem third_party/yyjson -isystem "$json_include" \
        fuzz/items_fuzz.cpp cli/json_reader.cpp cli/json_writer.cpp build/san/libcore.a -o build/fuzz/items_fuzz \
        || status=1
    build/fuzz/items_fuzz examples/*.hl7 tests/fixtures/*.hl7 tests/fixtures/corpus/*/*.hl7 || status=1
    build/fuzz/items_fuzz --random 20000 || status=1

    # Unit tests of the core: every tests/cpp/*_test.cpp is one program.
    echo "=== C++ core unit tests"
    mkdir -p build/cpptest
    for test in tests/cpp/*_test.cpp; do
        [ -e "$test" ] || continue
        name=$(basename "$test" .cpp)
        g++ -std=c++20 $san \
            -Isrc -Itests/cpp -isystem third_party/yyjson -isystem third_party/nanoarrow -isystem "$json_include" \
            "$test" build/san/libcore.a -lz -o "build/cpptest/$name" \
            && "build/cpptest/$name" || status=1
    done
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
