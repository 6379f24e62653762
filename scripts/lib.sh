# Shared by the scripts (sourced).

# `install_missing PACKAGE...` installs the Debian packages (name or name:arch) that are not
# installed yet, and nothing when all are.
install_missing() {
    local missing=() pkg sudo=""
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    if [ "$(id -u)" -ne 0 ]; then sudo=sudo; fi
    echo "== installing ${missing[*]}"
    # A mirror in the middle of a sync can fail one index (seen for the armhf security index);
    # the install still fails when a package it needs cannot be had.
    $sudo apt-get update -qq || echo "   (apt-get update reported errors; installing anyway)"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# `logged LOG COMMAND...` runs the command with its whole
# output appended to LOG and shows only its progress (the build steps, `[n/N]` from Ninja or
# `[ n%]` from Make, and the lines matching $LOGGED_SHOW when set), so that a long build is
# never silent; when the command fails, the end of LOG is shown and the status is 1.
logged() {
    local log=$1
    shift
    local show='^ *\[ *[0-9]+(/[0-9]+|%)\]'
    if [ -n "${LOGGED_SHOW:-}" ]; then show="$show|$LOGGED_SHOW"; fi
    mkdir -p "$(dirname "$log")"
    set -o pipefail  # the command's status, not the filter's
    if ! "$@" 2>&1 | tee -a "$log" | { grep --line-buffered -E "$show" || true; }; then
        echo "== failed: $*; the end of $log:"
        tail -n 60 "$log"
        return 1
    fi
}

# `install_armhf PACKAGE...` adds the armhf architecture to dpkg when missing and installs what
# every 32-bit ARM build needs (the cross compiler, CRoaring for armhf, nlohmann-json, cmake and
# qemu-user) with the given packages.
install_armhf() {
    if ! dpkg --print-foreign-architectures | grep -qx armhf; then
        if [ "$(id -u)" -ne 0 ]; then sudo dpkg --add-architecture armhf; else dpkg --add-architecture armhf; fi
    fi
    install_missing crossbuild-essential-armhf libroaring-dev:armhf nlohmann-json3-dev \
        qemu-user-static cmake "$@"
}
