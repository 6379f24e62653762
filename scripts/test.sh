#!/usr/bin/env bash
# The whole check, as CI runs it on a fresh machine: set-up, formatting (where the pinned
# clang-format is available), the C++ unit tests, the Python tests, each benchmark at a tiny
# size so that it keeps working, then the sanitizer steps (scripts/sanitize.sh): the C++ tests,
# the fuzz corpus and the Python tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# and a short libFuzzer run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."

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
if ! { cmake -S . -B build/cpp -DVESKO_BUILD_TESTS=ON -DVESKO_FAULT_HOOKS=ON -DVESKO_WERROR=ON \
             -DCMAKE_BUILD_TYPE=Release &&
       cmake --build build/cpp -j 2; } >build/cpp-build.log 2>&1; then
    cat build/cpp-build.log
    exit 1
fi
ctest --test-dir build/cpp --output-on-failure -j 2 | tail -n 3

echo "== Python tests"
$py -m pytest -q

echo "== benchmarks at a tiny size"
for bench in bench/*.py; do
    $py "$bench" --tiny
done

bash scripts/sanitize.sh
