#!/usr/bin/env bash
# The Python suite on a 32-bit ARM (armhf) CPython under emulation; `scripts/armhf.sh --python`
# runs it. By hand only, never in CI: about 20 minutes on 2 cores (40 when it makes the root),
# which would push CI past its half hour.
#
# - Installs what it needs when missing: the armhf cross toolchain, qemu-user-static and
#   debootstrap, and registers qemu-arm with the kernel (binfmt_misc, with the flag that keeps
#   the emulator usable inside a chroot) so that ARM programs, and the children they start,
#   run as if native.
# - Makes a `debootstrap --arch=armhf` Debian root once and reuses it after
#   (VESKO_ARMHF_ROOT, by default /var/cache/vesko-armhf/<suite>), with python3, its headers,
#   pytest, the test dependencies Debian has for armhf (hypothesis, numpy, mypy; there is no
#   pyarrow for armhf, so its tests skip as they do wherever it is missing) and libroaring-dev.
# - Cross-builds the module on the host (cmake/armhf-toolchain.cmake) against the root's Python
#   headers and CRoaring, and pybind11 installed into the root by pip: compiling C++ inside the
#   root would run the compiler itself under emulation, many times slower.
# - Copies the checkout's files and the module into the root and runs tests/python there with
#   plain chroot, /proc and /dev mounted; they are unmounted on exit, failure included. qemu-user
#   cannot enter a user namespace (the kernel refuses one to a process with several threads,
#   and the emulator has a thread of its own), so the tests that mount a small tmpfs run as
#   root in a mount namespace instead.
# Exits non-zero on any failure.
# Usage: scripts/armhf.sh --python [--quick] [pytest arguments...]
# --quick leaves out the slow-marked tests.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

if [ "$(id -u)" -ne 0 ]; then
    echo "== chroot and mount need root: running again under sudo"
    exec sudo --preserve-env=VESKO_ARMHF_ROOT,VESKO_ARMHF_SUITE,VESKO_DEBIAN_MIRROR,VESKO_JOBS \
        bash "$0" "$@"
fi
marker=()
if [ "${1:-}" = --quick ]; then
    marker=(-m "not slow")
    shift
fi
start=$SECONDS
jobs=${VESKO_JOBS:-2}
suite=${VESKO_ARMHF_SUITE:-bookworm}
mirror=${VESKO_DEBIAN_MIRROR:-http://deb.debian.org/debian}
root=${VESKO_ARMHF_ROOT:-/var/cache/vesko-armhf/$suite}
# What the root holds beyond the base system; changing this list installs the difference.
packages=(python3 python3-dev python3-pip python3-pytest python3-hypothesis python3-numpy
    python3-mypy libroaring-dev)
pybind11_pin=$(sed -n 's/.*"\(pybind11[^"]*\)".*/\1/p' pyproject.toml | head -n 1)

install_armhf debootstrap
echo "== $(qemu-arm-static --version | head -n 1)"

# binfmt_misc: the F flag opens the emulator when the entry is made, so that a chroot without
# the emulator's file still runs ARM programs.
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ ! -e "$binfmt/qemu-arm" ]; then
    echo "== registering qemu-arm with binfmt_misc"
    cat /usr/lib/binfmt.d/qemu-arm.conf >"$binfmt/register"
fi
echo 1 >"$binfmt/qemu-arm"
if ! grep -q '^flags:.*F' "$binfmt/qemu-arm"; then
    echo "the qemu-arm entry of binfmt_misc lacks the F flag; remove it" \
        "(echo -1 > $binfmt/qemu-arm) and run again" >&2
    exit 1
fi

# Every command in the root runs with a clean environment: the host's pip and locale settings
# name paths that do not exist there.
in_root() {
    chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
mounted=()
leave_root() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -R "${mounted[i]}" || umount -R -l "${mounted[i]}" ||
            echo "could not unmount ${mounted[i]}" >&2
    done
    mounted=()
}
trap leave_root EXIT
trap 'exit 130' INT TERM
enter_root() {
    # The root bound onto itself and private: `/` in the chroot is then a mount point of its own
    # (`unshare --mount` needs one to make its mounts private), and what is mounted in there
    # never reaches the host.
    if ! mountpoint -q "$root"; then
        mount --bind "$root" "$root"
        mounted+=("$root")
        mount --make-private "$root"
    fi
    mountpoint -q "$root/proc" || { mount -t proc proc "$root/proc" && mounted+=("$root/proc"); }
    if ! mountpoint -q "$root/dev"; then
        mount --rbind /dev "$root/dev"
        mounted+=("$root/dev")
        # Unmounting the copy must never reach the host's /dev.
        mount --make-rslave "$root/dev"
    fi
}

# A killed run (or debootstrap) can leave file systems mounted in the root; deleting through a
# mounted /dev would delete the host's devices, so nothing is deleted while any is there.
refuse_mounted() {
    if awk -v p="$1/" 'index($2 "/", p) == 1 { found = 1 } END { exit !found }' /proc/mounts; then
        echo "file systems are still mounted under $1 (a run was killed?); unmount them:" >&2
        awk -v p="$1/" 'index($2 "/", p) == 1 { print "   " $2 }' /proc/mounts >&2
        exit 1
    fi
}

if [ ! -e "$root/.vesko-base" ]; then
    echo "== debootstrap --arch=armhf $suite into $root (the second stage runs under emulation)"
    refuse_mounted "$root.partial"
    refuse_mounted "$root"
    rm -rf "$root.partial"
    mkdir -p "$(dirname "$root")"
    rm -f build/armhf-debootstrap.log
    LOGGED_SHOW='^I: (Retrieving|Validating|Unpacking|Configuring|Base system)' \
        logged build/armhf-debootstrap.log \
        debootstrap --arch=armhf --variant=minbase --include=python3 \
        "$suite" "$root.partial" "$mirror"
    rm -rf "$root"
    mv "$root.partial" "$root"
    touch "$root/.vesko-base"
fi
enter_root
if [ "$(cat "$root/.vesko-packages" 2>/dev/null)" != "${packages[*]} $pybind11_pin" ]; then
    echo "== installing into the root: ${packages[*]}"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    rm -f build/armhf-root-install.log
    LOGGED_SHOW='^(Unpacking|Setting up) ' logged build/armhf-root-install.log \
        in_root sh -c "apt-get update -qq &&
            DEBIAN_FRONTEND=noninteractive \
            apt-get install -y --no-install-recommends ${packages[*]}"
    # The host's pip fetches it, so that the host's index and certificate settings apply; the
    # root's pip installs that file without the network.
    echo "== $pybind11_pin into the root's /opt/pybind11 (headers and CMake files only)"
    python3 -m pip --version >/dev/null 2>&1 || install_missing python3-pip
    rm -rf "$root/tmp/vesko-wheels"
    logged build/armhf-root-install.log python3 -m pip download -q --no-deps --only-binary :all: \
        -d "$root/tmp/vesko-wheels" "$pybind11_pin"
    logged build/armhf-root-install.log in_root sh -c 'python3 -m pip install -q --no-index \
        --no-cache-dir --upgrade --target /opt/pybind11 /tmp/vesko-wheels/*.whl'
    rm -rf "$root/tmp/vesko-wheels"
    in_root apt-get clean
    echo "${packages[*]} $pybind11_pin" >"$root/.vesko-packages"
fi

echo "== cross-building the module for the root's $(in_root python3 -V) (build/armhf-python)"
read -r ext_suffix py_include < <(in_root python3 -c 'import sysconfig
print(sysconfig.get_config_var("EXT_SUFFIX"), sysconfig.get_paths()["include"])')
# Debian's pyconfig.h includes <arm-linux-gnueabihf/python3.X/pyconfig.h>; that one folder of the
# root is offered alone, so that the compiler keeps the cross toolchain's own C headers.
multiarch=build/armhf-python/include/arm-linux-gnueabihf
mkdir -p "$multiarch"
ln -sfn "$root/usr/include/arm-linux-gnueabihf/$(basename "$py_include")" \
    "$multiarch/$(basename "$py_include")"
rm -f build/armhf-python.log
# CRoaring is looked up again each time: the root may have moved since the last build.
logged build/armhf-python.log cmake -S . -B build/armhf-python -U 'ROARING_*' \
    -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake -DCMAKE_BUILD_TYPE=Release \
    -DVESKO_BUILD_MODULE=ON -DVESKO_WERROR=ON -DVESKO_ROARING_ROOT="$root" \
    -DCMAKE_CXX_FLAGS="-isystem $PWD/build/armhf-python/include" \
    -DPython_INCLUDE_DIR="$root$py_include" -DPYBIND11_USE_CROSSCOMPILING=ON \
    -DPYTHON_IS_DEBUG=0 -DPYTHON_MODULE_EXTENSION="$ext_suffix" -DPYTHON_MODULE_DEBUG_POSTFIX= \
    -Dpybind11_DIR="$root/opt/pybind11/pybind11/share/cmake/pybind11"
logged build/armhf-python.log cmake --build build/armhf-python -j "$jobs" --target vesko

# The checkout's files (tracked, and new ones not ignored) as they are in the working tree.
echo "== copying the checkout and the module into the root's /vesko"
refuse_mounted "$root/vesko"
refuse_mounted "$root/tmp"
rm -rf "$root/vesko" "$root/tmp/vesko-tests"
mkdir -p "$root/vesko/src" "$root/vesko/module" "$root/tmp/vesko-tests"
git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' f; do
    [ -e "$f" ] && printf '%s\0' "$f"
done | tar --null -T - -cf - | tar -xf - -C "$root/vesko/src"
cp build/armhf-python/vesko"$ext_suffix" python/_vesko_io.py "$root/vesko/module/"
cp -r stubs/vesko-stubs "$root/vesko/module/"

echo "== the Python suite under emulation (the full log is build/armhf-pytest.log)"
status=0
# A build outside pip has no package version to compare with, as in every other source build.
in_root sh -c 'cd /vesko/src && PYTHONPATH=/vesko/module TMPDIR=/tmp/vesko-tests exec python3 \
    -m pytest -p no:cacheprovider -ra "$@" \
    --deselect tests/python/test_binding.py::test_version_is_the_package_version' \
    pytest ${marker[@]+"${marker[@]}"} "$@" 2>&1 | tee build/armhf-pytest.log || status=$?
rm -rf "$root/tmp/vesko-tests"
echo "== scripts/armhf.sh --python: $((SECONDS - start)) s, exit status $status"
exit "$status"
