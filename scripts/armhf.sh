#!/usr/bin/env bash
# 32-bit ARM: installs the armhf cross toolchain, the armhf libraries and qemu-user (only what
# is missing), cross-builds the engine and its C++ tests into build/armhf
# (cmake/armhf-toolchain.cmake) and runs every test under emulation. Exits non-zero on any
# failure. scripts/test.sh --full runs it.
#
# Threads: under this machine's qemu-user 7.2 every program that starts a thread crashes when it
# loads the C library of the cross toolchain (/usr/arm-linux-gnueabihf, what
# `qemu-arm-static -L /usr/arm-linux-gnueabihf` picks); the same program loading Debian's armhf
# C library (libc6:armhf, installed beside the host's by multiarch) runs correctly. The first
# step shows both with a four-thread program, and the tests run against the latter, so the
# threaded suites run like the others.
#
# --python runs the Python suite on an armhf CPython instead (scripts/armhf-python.sh says how).
# It is run by hand, never by CI: under emulation it takes about 20 minutes (40 the first time),
# which would push CI past its half hour.
# Usage: scripts/armhf.sh [--python [--quick] [pytest arguments...]]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

if [ "${1:-}" = --python ]; then
    shift
    exec bash scripts/armhf-python.sh "$@"
fi
for arg in "$@"; do
    echo "unknown option $arg; usage: scripts/armhf.sh [--python [--quick] [pytest args...]]" >&2
    exit 2
done
jobs=${VESKO_JOBS:-2}
install_armhf libgtest-dev:armhf libstdc++6:armhf
echo "== $(qemu-arm-static --version | head -n 1)"

mkdir -p build/armhf-probe
probe=build/armhf-probe/threads
cat > "$probe.cpp" <<'EOF'
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>
int main() {
    std::atomic<int> n{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100000; ++i) n.fetch_add(1);
        });
    }
    for (auto& t : threads) t.join();
    std::printf("%d of 400000\n", n.load());
    return n.load() == 400000 ? 0 : 1;
}
EOF
arm-linux-gnueabihf-g++ -O2 -pthread "$probe.cpp" -o "$probe"
echo "== four threads, dynamically linked, with the cross toolchain's C library (-L):"
if out=$(qemu-arm-static -L /usr/arm-linux-gnueabihf "$probe" 2>&1); then
    echo "   $out"
else
    echo "   exit status $? (the emulator's known crash; the tests do not use this library)"
fi
echo "== the same program with Debian's armhf C library (what the tests load):"
if ! out=$(qemu-arm-static "$probe" 2>&1); then
    echo "$out"
    echo "threads do not run under this emulator: the threaded suites cannot run here" >&2
    exit 1
fi
echo "   $out"

echo "== cross-building the engine and the C++ tests (build/armhf; the full log is build/armhf-build.log)"
rm -f build/armhf-build.log
logged build/armhf-build.log cmake -S . -B build/armhf \
    -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake -DCMAKE_BUILD_TYPE=Release \
    -DVESKO_BUILD_TESTS=ON -DVESKO_FAULT_HOOKS=ON -DVESKO_WERROR=ON
# Test discovery runs the ARM binary under the emulator (CMAKE_CROSSCOMPILING_EMULATOR).
logged build/armhf-build.log cmake --build build/armhf -j "$jobs"
echo "== C++ tests under qemu-arm-static (the full log is build/armhf-ctest.log)"
status=0
# A temporary directory of its own: the tests name their directories after themselves, and
# another checkout running the same tests at once must not share them.
rm -rf build/armhf/tmp && mkdir -p build/armhf/tmp
TMPDIR=$PWD/build/armhf/tmp ctest --test-dir build/armhf -V -j "$jobs" >build/armhf-ctest.log 2>&1 ||
    status=$?
# Failures in full; every skipped test with its reason, never dropped silently.
if [ "$status" != 0 ]; then
    grep -E '^[0-9]+: ' build/armhf-ctest.log | grep -E -B20 -A3 'Failure|FAILED' | tail -n 80
fi
grep -E -A1 '^[0-9]+: .*: Skipped$' build/armhf-ctest.log | grep -vE '^--$' || true
sed -n '/tests passed/,$p' build/armhf-ctest.log
exit "$status"
