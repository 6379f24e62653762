#!/usr/bin/env bash
# The whole check, as CI runs it on a fresh machine: set-up, formatting (where the pinned
# clang-format is available), the include layers, the C++ unit tests built with g++ and with
# clang++, the Python tests (with the typing check of the stub), each benchmark at a tiny size so that it keeps working, then the sanitizer steps
# (scripts/sanitize.sh): the C++ tests, the fuzz corpus and the Python tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, and a short libFuzzer run of each fuzz target.
# Usage: scripts/test.sh [--peers]
# --peers also measures the peers that are servers (Redis, PostgreSQL) in the benchmarks, which
# starts throwaway servers on 127.0.0.1 (and installs them from Debian when missing); without it
# no server is started.
set -euo pipefail
cd "$(dirname "$0")/.."

peers=no
for arg in "$@"; do
    case "$arg" in
        --peers) peers=yes ;;
        *) echo "unknown option $arg; usage: scripts/test.sh [--peers]" >&2; exit 2 ;;
    esac
done

extra=(libgtest-dev clang)
if grep -q '^12' /etc/debian_version 2>/dev/null; then extra+=(clang-format); fi
bash scripts/setup.sh --werror --extra bench "${extra[@]}"
py=.venv/bin/python
if ! command -v cmake >/dev/null 2>&1; then
    $py -m pip install -q --disable-pip-version-check cmake
    export PATH="$PWD/.venv/bin:$PATH"
fi

if command -v clang-format >/dev/null 2>&1 && clang-format --version | grep -q 'version 14\.'; then
    echo "== clang-format"
    git ls-files '*.h' '*.cpp' | xargs clang-format --dry-run --Werror
fi

echo "== include layers"
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

# The C++ unit tests, built with warnings as errors by the compiler named in $1 into build/$2.
cpp_tests() {
    echo "== C++ unit tests ($1)"
    mkdir -p build
    if ! { cmake -S . -B "build/$2" -DCMAKE_CXX_COMPILER="$1" -DVESKO_BUILD_TESTS=ON \
               -DVESKO_FAULT_HOOKS=ON -DVESKO_WERROR=ON -DCMAKE_BUILD_TYPE=Release &&
           cmake --build "build/$2" -j 2; } >"build/$2-build.log" 2>&1; then
        cat "build/$2-build.log"
        exit 1
    fi
    ctest --test-dir "build/$2" --output-on-failure -j 2 | tail -n 3
}
cpp_tests g++ cpp
cpp_tests clang++ cpp-clang

echo "== Python tests"
$py -m pytest -q

echo "== benchmarks at a tiny size"
for bench in bench/*.py; do
    if [ "$(basename "$bench")" = compare.py ] && [ "$peers" = no ]; then
        $py "$bench" --tiny --engines vesko,sqlite,rtree,balltree
    else
        $py "$bench" --tiny
    fi
done

bash scripts/pypy.sh --quick
bash scripts/sanitize.sh
