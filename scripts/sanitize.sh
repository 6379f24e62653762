#!/usr/bin/env bash
# The sanitizer steps of the check (scripts/test.sh runs them after the plain ones; they expect
# its set-up: .venv with the test extra, cmake, gtest, clang).
#  1. One build under AddressSanitizer and UndefinedBehaviorSanitizer (every report fatal) of the
#     C++ tests, the fuzz replay programs and the Python module; the C++ tests run, every fuzz
#     target replays its corpus, and the Python tests (all but the slow sweeps) run against that
#     module with the ASan runtime preloaded.
#  2. With clang: the libFuzzer build of the fuzz targets, each run for FUZZ_SECONDS (default
#     20) from its corpus. New inputs go to build/fuzz-corpus/, never into the committed corpus.
# Usage: scripts/sanitize.sh [--no-python] [--no-libfuzzer]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

python_step=1
libfuzzer_step=1
for arg in "$@"; do
    case "$arg" in
        --no-python) python_step=0 ;;
        --no-libfuzzer) libfuzzer_step=0 ;;
        *) echo "unknown option $arg" >&2; exit 2 ;;
    esac
done
py=.venv/bin/python
jobs=${VESKO_JOBS:-2}
targets=(filter_fuzz metadata_fuzz search_fuzz snapshot_decode_fuzz store_open_fuzz wal_decode_fuzz)

# Warnings are gated by the plain build; gcc's warnings at -O2 with the sanitizers' instrumentation
# include false positives, so these builds do not treat them as errors.
echo "== C++ tests, fuzz corpus and Python tests under ASan and UBSan (build log: build/asan-build.log)"
mkdir -p build
rm -f build/asan-build.log build/fuzz-build.log
# The module is built here by CMake itself, which needs pybind11's CMake files in the
# environment (pip's own builds bring pybind11 in an isolated environment of their own).
$py -m pip install -q --disable-pip-version-check "pybind11>=2.11,<4"
logged build/asan-build.log cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVESKO_SANITIZE=address,undefined -DVESKO_WERROR=OFF -DVESKO_BUILD_TESTS=ON \
    -DVESKO_BUILD_FUZZ=ON -DVESKO_BUILD_MODULE=ON -DPython_EXECUTABLE="$PWD/$py" \
    -Dpybind11_DIR="$($py -m pybind11 --cmakedir)" \
    -DSKBUILD_PROJECT_VERSION="$($py -c 'import importlib.metadata as m; print(m.version("vesko"))')"
logged build/asan-build.log cmake --build build/asan -j "$jobs"
# The stub package beside the module, where an installed wheel has it.
rm -rf build/asan/vesko-stubs && cp -r stubs/vesko-stubs build/asan/
# The whole output when a test fails; otherwise the summary and the list of skipped tests.
if ! ctest --test-dir "build/asan" --output-on-failure -j "$jobs" >build/asan-ctest.log 2>&1; then
    cat build/asan-ctest.log
    exit 1
fi
sed -n '/tests passed/,$p' build/asan-ctest.log
for target in "${targets[@]}"; do
    if ! replayed=$(build/asan/"${target}_replay" "fuzz/corpus/$target" 2>&1); then
        echo "$replayed" | tail -n 30
        exit 1
    fi
    echo "$target: $(echo "$replayed" | tail -n 1)"
done
if [ "$python_step" = 1 ]; then
    asan_runtime=$(${CXX:-c++} -print-file-name=libasan.so)
    cxx_runtime=$(${CXX:-c++} -print-file-name=libstdc++.so)
    # The interpreter itself is not instrumented: the runtime is preloaded, and what the
    # interpreter never frees at exit is not reported. The C++ runtime is preloaded with it:
    # the interpreter does not link it, and the sanitizer's throw interceptor needs it at start.
    ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD="$asan_runtime $cxx_runtime" PYTHONPATH="$PWD/build/asan" \
        $py -m pytest -q -x -m "not slow" -p no:cacheprovider | tail -n 3
fi

if [ "$libfuzzer_step" = 1 ]; then
    if ! command -v clang++ >/dev/null 2>&1 ||
       ! echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
            clang++ -fsanitize=fuzzer -x c++ - -o build/libfuzzer-probe >/dev/null 2>&1; then
        echo "== libFuzzer runs skipped: clang++ with -fsanitize=fuzzer is not available"
        exit 0
    fi
    seconds=${FUZZ_SECONDS:-20}
    echo "== libFuzzer, ${seconds} s per target (build log: build/fuzz-build.log)"
    logged build/fuzz-build.log env CXX=clang++ cmake -S . -B build/fuzz \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESKO_SANITIZE=address,undefined \
        -DVESKO_WERROR=OFF -DVESKO_LIBFUZZER=ON
    logged build/fuzz-build.log cmake --build build/fuzz -j "$jobs"
    for target in "${targets[@]}"; do
        mkdir -p "build/fuzz-corpus/$target"
        if ! build/fuzz/"$target" -max_total_time="$seconds" -timeout=30 \
                -artifact_prefix="build/fuzz/$target-" "build/fuzz-corpus/$target" \
                "fuzz/corpus/$target" >"build/fuzz/$target.log" 2>&1; then
            tail -n 40 "build/fuzz/$target.log"
            echo "$target failed; the input is in build/fuzz/$target-*" >&2
            exit 1
        fi
        echo "$target: $(grep -o 'Done [0-9]* runs' "build/fuzz/$target.log" | tail -n 1)"
    done
fi
