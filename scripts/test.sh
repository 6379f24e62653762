#!/usr/bin/env bash
# The check. Both forms start with the set-up (scripts/setup.sh: the build the demo shares).
#
# --quick, for people who change code (a few minutes once built): the C++ unit tests built with
# g++ and the Python tests without the slow-marked sweeps.
#
# The full form, as CI runs it on a fresh machine: formatting (where the pinned clang-format is
# available), the include layers, the C++ unit tests built with g++ and with clang++, the whole
# Python suite (with the typing check of the stub), each benchmark at a tiny size so that it
# keeps working, the Python tests under PyPy (scripts/pypy.sh --quick), the sanitizer steps
# (scripts/sanitize.sh): the C++ tests, the fuzz corpus and
# the Python tests under AddressSanitizer and UndefinedBehaviorSanitizer, and a short libFuzzer
# run of each fuzz target; then the C++ tests cross-built for 32-bit ARM and run under
# emulation (scripts/armhf.sh). Long fuzzing runs are by hand (README).
# Usage: scripts/test.sh [--quick] [--peers]
# --peers also measures the peers that are servers (Redis, PostgreSQL) in the benchmarks, which
# starts throwaway servers on 127.0.0.1 (and installs them from Debian when missing); without it
# no server is started.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

peers=no
quick=no
for arg in "$@"; do
    case "$arg" in
        --peers) peers=yes ;;
        --quick) quick=yes ;;
        *) echo "unknown option $arg; usage: scripts/test.sh [--quick] [--peers]" >&2; exit 2 ;;
    esac
done
started=$SECONDS
# Each stage's wall time, so that a slow one shows where CI's time goes.
stage() {
    echo "== $1 (at $(( (SECONDS - started) / 60 ))m$(( (SECONDS - started) % 60 ))s)"
}

extra=(libgtest-dev clang)
if grep -q '^12' /etc/debian_version 2>/dev/null; then extra+=(clang-format); fi
bash scripts/setup.sh "${extra[@]}"
py=.venv/bin/python
if ! command -v cmake >/dev/null 2>&1; then
    $py -m pip install -q --disable-pip-version-check cmake
    export PATH="$PWD/.venv/bin:$PATH"
fi

# The C++ unit tests, built with warnings as errors by the compiler named in $1 into build/$2.
cpp_tests() {
    stage "C++ unit tests ($1; build log: build/$2-build.log)"
    rm -f "build/$2-build.log"
    logged "build/$2-build.log" cmake -S . -B "build/$2" -DCMAKE_CXX_COMPILER="$1" \
        -DVESKO_BUILD_TESTS=ON -DVESKO_FAULT_HOOKS=ON -DVESKO_WERROR=ON -DCMAKE_BUILD_TYPE=Release
    logged "build/$2-build.log" cmake --build "build/$2" -j 2
    # The whole output when a test fails; otherwise the summary and the list of skipped tests.
    if ! ctest --test-dir "build/$2" --output-on-failure -j 2 >"build/$2-ctest.log" 2>&1; then
        cat "build/$2-ctest.log"
        exit 1
    fi
    sed -n '/tests passed/,$p' "build/$2-ctest.log"
}

if [ "$quick" = yes ]; then
    cpp_tests g++ cpp
    stage "Python tests (not the slow ones)"
    $py -m pytest -q -m "not slow"
    stage "done"
    exit 0
fi

if command -v clang-format >/dev/null 2>&1 && clang-format --version | grep -q 'version 14\.'; then
    stage "clang-format"
    git ls-files '*.h' '*.cpp' | xargs clang-format --dry-run --Werror
fi

stage "include layers"
# The layers of src/, each folder with the folders its files may include (ARCHITECTURE.md):
# every include points down, so no two folders ever include each other.
layers="
common:
text:    common
storage: common text
index:   common text storage
persist: common text storage index
filter:  common text storage index persist
spatial: common text storage index persist filter
engine:  common text storage index persist filter spatial
binding: common text storage index persist filter spatial engine
"
layer_faults=0
while read -r folder allowed; do
    [ -n "$folder" ] || continue
    folder=${folder%:}
    while IFS= read -r line; do
        file=${line%%:*}
        target=$(echo "$line" | sed -E 's/.*#include "([a-z_]+)\/.*/\1/')
        if [ "$target" != "$folder" ] && [[ " $allowed " != *" $target "* ]]; then
            echo "$file includes $target/, above or beside its layer: $line"
            layer_faults=1
        fi
    done < <(grep -rn '#include "[a-z_]*/' "src/$folder" || true)
done <<< "$layers"
unknown=$(ls src | grep -vxE "$(echo "$layers" | sed -n 's/^\([a-z]*\):.*/\1/p' | paste -sd'|')" || true)
if [ -n "$unknown" ]; then
    echo "src/ has a folder with no row in the layer table: $unknown"
    layer_faults=1
fi
if [ "$layer_faults" = 1 ]; then
    echo "a file includes a layer above its own (see ARCHITECTURE.md)"
    exit 1
fi

cpp_tests g++ cpp
cpp_tests clang++ cpp-clang

stage "Python tests"
$py -m pytest -q

stage "benchmarks at a tiny size"
for bench in bench/*.py; do
    if [ "$(basename "$bench")" = compare.py ] && [ "$peers" = no ]; then
        $py "$bench" --tiny --engines vesko,sqlite,rtree,balltree
    else
        $py "$bench" --tiny
    fi
done

stage "Python tests under PyPy (scripts/pypy.sh --quick)"
bash scripts/pypy.sh --quick
stage "sanitizers and fuzzing (scripts/sanitize.sh)"
bash scripts/sanitize.sh
stage "32-bit ARM under emulation (scripts/armhf.sh)"
bash scripts/armhf.sh
stage "done"
