#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need.
# With --if-missing it does nothing when all of them are installed already.
set -euo pipefail

packages=(
    build-essential cmake pkg-config clang-format
    libplist-dev libplist-utils
    # The update manifest's SHA-256 digests and Ed25519 signatures.
    libsodium-dev
    # Delta updates: patches of changed files against the installed ones (zstd's patch-from).
    libzstd-dev
    libsystemd-dev libudev-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    bubblewrap
    umockdev libumockdev-dev gir1.2-umockdev-1.0
    dbus-daemon python3-dbusmock python3-gi
    # The Debian packages: cpack's DEB generator (dpkg-shlibdeps, file), lintian, and the tools
    # that review the unit and its tmpfiles line, and find its man page; the unit's review also
    # needs dbus.socket, which Type=dbus implies and the dbus package ships.
    dpkg-dev file lintian systemd man-db dbus
    procps
    # The patcher benchmark's anchor: the same change made by rsync.
    rsync
    # The test on a booted system: a Debian root made by debootstrap, booted by systemd-nspawn.
    debootstrap systemd-container
    # The fuzz targets: clang and its libFuzzer runtime.
    clang libclang-rt-14-dev
)

all_installed() {
    local installed
    installed=$(dpkg-query -W -f='${Status}\n' "${packages[@]}" 2>/dev/null |
        grep -cx 'install ok installed' || true)
    [ "${installed}" -eq "${#packages[@]}" ]
}

if [ "${1:-}" = "--if-missing" ] && all_installed; then
    exit 0
fi

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${packages[@]}"
