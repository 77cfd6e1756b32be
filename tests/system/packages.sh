#!/usr/bin/env bash
# Builds the Debian packages of a build folder with cpack into a scratch folder, runs lintian on
# them (no errors allowed, no hardening flag missing), and checks each package's files, fields and
# programs: every file where docs/operators.md's "Installing" section says, the Depends it lists,
# the version of --version equal to the package's, and --help touching nothing. Prints the
# packages' sizes.
# Usage: packages.sh BUILD_DIR [hardened|plain]; a plain build (a debug or sanitizer build) is not
# held to the hardening flags, which only release builds get.
set -euo pipefail

build_dir=$(cd "$1" && pwd)
hardening=${2:-hardened}
scratch=$(mktemp -d)
trap 'rm -rf "${scratch}"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cpack --config "${build_dir}/CPackConfig.cmake" -G DEB -B "${scratch}" >"${scratch}/cpack.log" 2>&1 ||
    fail "cpack: $(cat "${scratch}/cpack.log")"
kelvorn=$(echo "${scratch}"/kelvorn_*.deb)
ostrel=$(echo "${scratch}"/ostrel_*.deb)
[ -f "${kelvorn}" ] && [ -f "${ostrel}" ] || fail "cpack made no kelvorn and ostrel packages"

# The info level carries the hardening tags: every executable is built with the distribution's
# flags (fortified calls, stack protector, relro and bind-now, PIE).
lintian --fail-on error --display-info "${kelvorn}" "${ostrel}" >"${scratch}/lintian.log" 2>&1 ||
    fail "lintian: $(cat "${scratch}/lintian.log")"
grep -v '^running with root privileges' "${scratch}/lintian.log" || true
if [ "${hardening}" = hardened ] && grep -q 'hardening-no-' "${scratch}/lintian.log"; then
    fail "not built with the distribution's hardening flags"
fi

# Each line: package, path; the file must be in the package, as a regular file or link.
expected="
kelvorn /usr/sbin/Kelvorn
kelvorn /usr/libexec/kelvorn/open
kelvorn /usr/libexec/kelvorn/ps
kelvorn /lib/systemd/system/kelvorn.service
kelvorn /lib/systemd/system/kelvorn.path
kelvorn /usr/lib/tmpfiles.d/kelvorn.conf
kelvorn /usr/share/dbus-1/system.d/com.Corvant.Kelvorn.conf
kelvorn /usr/share/dbus-1/interfaces/com.Corvant.Kelvorn.Notifications.xml
kelvorn /usr/share/dbus-1/interfaces/com.Corvant.Kelvorn.Devices.xml
kelvorn /usr/share/dbus-1/interfaces/com.Corvant.Kelvorn.Daemon.xml
kelvorn /usr/share/dbus-1/interfaces/com.Corvant.Kelvorn.Port.xml
kelvorn /usr/share/dbus-1/system-services/com.Corvant.Kelvorn.service
kelvorn /usr/share/bash-completion/completions/kelvornctl
kelvorn /usr/share/doc/kelvorn/examples/kelvorn-client.py
kelvorn /usr/share/man/man8/Kelvorn.8.gz
kelvorn /usr/bin/kelvornctl
kelvorn /usr/share/man/man1/kelvornctl.1.gz
kelvorn /usr/share/doc/kelvorn/copyright
kelvorn /usr/share/doc/kelvorn/changelog.gz
kelvorn /usr/share/lintian/overrides/kelvorn
ostrel /usr/libexec/Ostrel/Ostrel
ostrel /usr/share/man/man1/Ostrel.1.gz
ostrel /usr/bin/ostrel-mkupdate
ostrel /usr/share/man/man1/ostrel-mkupdate.1.gz
ostrel /usr/share/doc/ostrel/copyright
ostrel /usr/share/doc/ostrel/changelog.gz
ostrel /usr/share/lintian/overrides/ostrel
"
while read -r package path; do
    [ -n "${package}" ] || continue
    deb=${scratch}/${package}_*.deb
    # shellcheck disable=SC2086
    dpkg-deb -c ${deb} | awk '{print $6}' | grep -qx ".${path}" || fail "${package} lacks ${path}"
done <<<"${expected}"

version=$(dpkg-deb -f "${kelvorn}" Version)
dpkg-deb -f "${kelvorn}" Depends | grep -q 'dbus, procps, systemd' ||
    fail "kelvorn does not depend on dbus, procps and systemd"
dpkg-deb -f "${ostrel}" Recommends | grep -qx 'kelvorn' || fail "ostrel does not recommend kelvorn"
dpkg-deb -f "${ostrel}" Depends | grep -q 'libsodium23' ||
    fail "ostrel does not depend on libsodium23, which checks and signs update manifests"
# docs/operators.md lists each package's Depends as the build made them (names without
# versions), and each library among them but the compiler's own has its -dev package in the page's
# list of what a packager's build needs, and in scripts/install-deps.sh. A plain build's sanitizer
# runtimes are no package's dependency of record.
runtimes='^$'
[ "${hardening}" = hardened ] || runtimes='^lib\(asan\|ubsan\)[0-9]*$'
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
page=${source_dir}/docs/operators.md
build_needs=$(sed -n '/build needs only/,/-DCMAKE_BUILD_TYPE/p' "${page}")
for package in kelvorn ostrel; do
    built=$(dpkg-deb -f "${scratch}/${package}"_*.deb Depends | tr ',' '\n' | sed 's/ *(.*//; s/ //g' |
        grep -v "${runtimes}" | sort)
    listed=$(sed -n "/^| Package | Depends |$/,/^$/ s/^| ${package} | \(.*\) |$/\1/p" "${page}" |
        tr -d '` ' | tr ',' '\n' | sort)
    [ "${built}" = "${listed}" ] || fail "docs/operators.md lists for ${package}: ${listed//$'\n'/ };" \
        "its Depends: ${built//$'\n'/ }"
    while read -r library; do
        dev=${library%%[0-9]*}-dev
        grep -q "\`${dev}\`" <<<"${build_needs}" ||
            fail "docs/operators.md does not name ${dev} among a packager's -dev packages"
        grep -qw -- "${dev}" "${source_dir}/scripts/install-deps.sh" ||
            fail "scripts/install-deps.sh does not install ${dev}"
    done < <(grep '^lib' <<<"${built}" | grep -vx 'libc6\|libgcc-s1\|libstdc++6')
done
zcat "$(dpkg-deb -x "${kelvorn}" "${scratch}/kelvorn" && echo "${scratch}/kelvorn/usr/share/doc/kelvorn/changelog.gz")" |
    head -1 | grep -q "^kelvorn (${version})" || fail "the changelog's last entry is not ${version}"

# The packaged Ostrel answers --help and --version and leaves its home folder untouched (Kelvorn's
# are checked in the private root, where a daemon that started anyway would harm nothing).
dpkg-deb -x "${ostrel}" "${scratch}/ostrel"
mkdir "${scratch}/home"
[ "$(HOME="${scratch}/home" "${scratch}/ostrel/usr/libexec/Ostrel/Ostrel" --version)" = \
    "Ostrel ${version}" ] || fail "Ostrel --version does not say ${version}"
HOME="${scratch}/home" "${scratch}/ostrel/usr/libexec/Ostrel/Ostrel" --help | grep -q '^Usage: Ostrel' ||
    fail "Ostrel --help"
[ -z "$(ls -A "${scratch}/home")" ] || fail "Ostrel --help wrote into the home folder"
[ "$("${scratch}/ostrel/usr/bin/ostrel-mkupdate" --version)" = "ostrel-mkupdate ${version}" ] ||
    fail "ostrel-mkupdate --version does not say ${version}"

# The packaged kelvornctl answers --version with the package's version.
[ "$("${scratch}/kelvorn/usr/bin/kelvornctl" --version)" = "kelvornctl ${version}" ] ||
    fail "kelvornctl --version does not say ${version}"

# The installed completion, sourced by a plain bash, completes kelvornctl.
completion=${scratch}/kelvorn/usr/share/bash-completion/completions/kelvornctl
# shellcheck disable=SC2016
bash -c 'source "$1" && complete -p kelvornctl' - "${completion}" | grep -q ' kelvornctl$' ||
    fail "the bash completion does not complete kelvornctl"
# The bus activation names the unit that holds the daemon's name.
activation=${scratch}/kelvorn/usr/share/dbus-1/system-services/com.Corvant.Kelvorn.service
grep -qx 'SystemdService=kelvorn.service' "${activation}" && grep -qx 'Name=com.Corvant.Kelvorn' \
    "${activation}" || fail "the bus activation file does not start kelvorn.service"

for deb in "${kelvorn}" "${ostrel}"; do
    echo "$(basename "${deb}"): $(stat -c %s "${deb}") bytes," \
        "installed $(dpkg-deb -f "${deb}" Installed-Size) KiB"
done
echo "packages OK"
