#!/usr/bin/env bash
# Prepares a fresh Debian 12 or 13 machine: the system packages the build needs (installed only
# when missing), a virtual environment in .venv, and vesko built and installed into it.
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
fi
.venv/bin/python -m pip install -q --disable-pip-version-check --upgrade pip
echo "== building vesko (warnings as errors: $werror)"
.venv/bin/python -m pip install -q --disable-pip-version-check ".[$extras]" \
    --config-settings=cmake.define.VESKO_WERROR="$werror"
