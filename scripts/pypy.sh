#!/usr/bin/env bash
# Builds vesko for PyPy and runs the Python tests under it. Installs what it needs when missing
# (Debian's pypy3, pypy3-dev, pypy3-venv and cmake; the C++ packages scripts/setup.sh installs),
# makes its own virtual environment in .venv-pypy (pybind11, pytest, hypothesis, numpy, mypy;
# pyarrow and GeoPandas have no PyPy wheels, so their tests skip), builds the module into
# build/pypy and runs tests/python against it. Exits non-zero on any failure.
# Usage: scripts/pypy.sh [--quick] [pytest arguments...]
# --quick leaves the slow-marked tests to the CPython run of scripts/test.sh, which calls this
# script that way: the rest alone took 16 minutes under PyPy on a busy 2-core machine.
set -euo pipefail
cd "$(dirname "$0")/.."

marker=()
if [ "${1:-}" = --quick ]; then
    marker=(-m "not slow")
    shift
fi

packages=(pypy3 pypy3-dev pypy3-venv cmake g++ libroaring-dev nlohmann-json3-dev)
missing=()
for pkg in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$pkg")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo=sudo; fi
    echo "== pypy: installing ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

py=.venv-pypy/bin/python
if [ ! -x "$py" ]; then
    echo "== pypy: virtual environment in .venv-pypy"
    pypy3 -m venv .venv-pypy
fi
echo "== pypy: test dependencies"
# pybind11 as pyproject.toml pins it; numpy and mypy only as wheels (a source build of either
# under PyPy takes longer than the whole test run).
pybind11_pin=$(sed -n 's/.*"\(pybind11[^"]*\)".*/\1/p' pyproject.toml | head -n 1)
$py -m pip install -q --disable-pip-version-check "$pybind11_pin" pytest hypothesis \
    typing_extensions
# mypy from 1.19 on needs librt, which has no PyPy wheel.
$py -m pip install -q --disable-pip-version-check --only-binary :all: numpy "mypy<1.19" ||
    echo "   (no wheel of numpy or mypy for this PyPy: their tests skip)"

echo "== pypy: building the module ($($py -c 'import sys; print(sys.version.split()[0], sys.pypy_version_info[:3])'))"
mkdir -p build
cmake -S . -B build/pypy -DVESKO_BUILD_MODULE=ON -DVESKO_WERROR=ON -DPython_EXECUTABLE="$PWD/$py" \
    -Dpybind11_DIR="$($py -m pybind11 --cmakedir)" >build/pypy-configure.log 2>&1 ||
    { cat build/pypy-configure.log; exit 1; }
# Each compiler step is shown as it starts; the whole log goes to build/pypy-build.log.
if ! cmake --build build/pypy -j 2 --target vesko 2>&1 | tee build/pypy-build.log |
        { grep --line-buffered '^\[' || true; }; then
    tail -n 40 build/pypy-build.log
    exit 1
fi
rm -rf build/pypy/vesko-stubs
cp -r stubs/vesko-stubs build/pypy/
cp python/_vesko_io.py build/pypy/

echo "== pypy: Python tests ${marker[*]:-(all, slow ones included)}"
# test_version_is_the_package_version needs an installed distribution; this build is not one.
PYTHONPATH="$PWD/build/pypy" $py -m pytest -q -p no:cacheprovider "${marker[@]}" \
    --deselect tests/python/test_binding.py::test_version_is_the_package_version "$@"
