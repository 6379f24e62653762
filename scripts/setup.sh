#!/usr/bin/env bash
# Prepares a fresh Debian 12 or 13 machine: the system packages the build needs (installed only
# when missing), a virtual environment in .venv with every optional dependency group the demo,
# the tests and the benchmarks use, and vesko built (warnings as errors) and installed into it.
# The demo and the tests share this one build: it is skipped when the installed module was
# built from the same sources.
# Usage: scripts/setup.sh [extra apt packages...]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

extras=test,demo,bench
install_missing libroaring-dev nlohmann-json3-dev "$@"

if [ ! -x .venv/bin/python ]; then
    python3 -m venv .venv
    .venv/bin/python -m pip install -q --disable-pip-version-check --upgrade pip
fi

# Everything the installed module and its dependencies are made from, and how.
stamp_file=.venv/vesko-build.stamp
stamp=$( { echo "werror=ON extras=$extras"; \
           find src stubs python CMakeLists.txt pyproject.toml -type f -print0 | sort -z |
               xargs -0 sha256sum; } | sha256sum | cut -d' ' -f1)
if [ -f "$stamp_file" ] && [ "$(cat "$stamp_file")" = "$stamp" ] &&
   .venv/bin/python -c "import vesko" 2>/dev/null; then
    echo "== vesko is up to date (sources unchanged since the last build)"
    exit 0
fi

echo "== building vesko (warnings as errors); the full log is build/pip-install.log"
rm -f "$stamp_file" build/pip-install.log
# pip -v passes the build's own output through; the compiler steps ([n/N] ...) show progress.
LOGGED_SHOW='^\*\*\* |^Successfully installed' logged build/pip-install.log \
    .venv/bin/python -m pip install -v --disable-pip-version-check ".[$extras]" \
    --config-settings=cmake.define.VESKO_WERROR=ON
echo "$stamp" > "$stamp_file"
