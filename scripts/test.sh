#!/usr/bin/env bash
# The whole check, as CI runs it on a fresh machine: set-up, formatting (where the pinned
# clang-format is available), the C++ unit tests, the Python tests (with the typing check of
# the stub), each benchmark at a tiny size so that it keeps working, then the sanitizer steps
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

echo "== C++ unit tests"
mkdir -p build
if ! { cmake -S . -B build/cpp -DVESKO_BUILD_TESTS=ON -DVESKO_WERROR=ON -DCMAKE_BUILD_TYPE=Release &&
       cmake --build build/cpp -j 2; } >build/cpp-build.log 2>&1; then
    cat build/cpp-build.log
    exit 1
fi
ctest --test-dir build/cpp --output-on-failure -j 2 | tail -n 3

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

bash scripts/sanitize.sh
