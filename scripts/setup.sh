#!/usr/bin/env bash
# Prepares a fresh Debian 12 or 13 machine: the system packages the build needs (installed only
# when missing), a virtual environment in .venv, and vesko built and installed into it. The
# build is skipped when the installed module was built from the same sources and options.
# Usage: scripts/setup.sh [--werror] [--extra NAME]... [extra apt packages...]
# --extra adds an optional dependency group of pyproject.toml (demo, bench) to the test one.
set -euo pipefail
cd "$(dirname "$0")/.."

werror=OFF
extras=test
packages=(libroaring-dev nlohmann-json3-dev)
while [ $# -gt 0 ]; do
    case "$1" in
        --werror) werror=ON ;;
        --extra) extras+=",$2"; shift ;;
        *) packages+=("$1") ;;
    esac
    shift
done

missing=()
for pkg in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$pkg")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo=sudo; fi
    echo "== installing ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
    python3 -m venv .venv
    .venv/bin/python -m pip install -q --disable-pip-version-check --upgrade pip
fi

# Everything the installed module and its dependencies are made from, and how.
stamp_file=.venv/vesko-build.stamp
stamp=$( { echo "werror=$werror extras=$extras"; \
           find src stubs python CMakeLists.txt pyproject.toml -type f -print0 | sort -z |
               xargs -0 sha256sum; } | sha256sum | cut -d' ' -f1)
if [ -f "$stamp_file" ] && [ "$(cat "$stamp_file")" = "$stamp" ] &&
   .venv/bin/python -c "import vesko" 2>/dev/null; then
    echo "== vesko is up to date (sources unchanged since the last build)"
    exit 0
fi

echo "== building vesko (warnings as errors: $werror); the full log is build/pip-install.log"
mkdir -p build
rm -f "$stamp_file"
# pip -v passes the build's own output through; the compiler steps ([n/N] ...) show progress.
if ! .venv/bin/python -m pip install -v --disable-pip-version-check ".[$extras]" \
        --config-settings=cmake.define.VESKO_WERROR="$werror" 2>&1 |
        tee build/pip-install.log |
        grep --line-buffered -E '^ *(\[[0-9]+/[0-9]+\]|\*\*\* |Successfully installed)'; then
    echo "== the build failed; the end of build/pip-install.log:"
    tail -n 60 build/pip-install.log
    exit 1
fi
echo "$stamp" > "$stamp_file"
