#!/usr/bin/env bash
# Installs a build into a scratch folder with prefix /usr and checks what lands where: the daemon,
# its "open" and "ps", the systemd unit naming them, the tmpfiles line, the D-Bus policy, which a
# bus must accept, and the interface description. The unit must pass systemd-analyze's verify and
# rate at most 2.5 in its security review, where systemd-analyze is installed.
# Usage: install-layout.sh BUILD_DIR
set -euo pipefail

build_dir=$1
scratch=$(mktemp -d)
trap 'rm -rf "${scratch}"' EXIT

DESTDIR="${scratch}/root" cmake --install "${build_dir}" --prefix /usr >/dev/null
root="${scratch}/root"
unit_dir=$(pkg-config --variable=systemdsystemunitdir systemd 2>/dev/null || echo /lib/systemd/system)
unit="${root}${unit_dir}/kelvorn.service"
policy="${root}/usr/share/dbus-1/system.d/com.Corvant.Kelvorn.conf"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

[ -x "${root}/usr/sbin/Kelvorn" ] || fail "no /usr/sbin/Kelvorn"
[ -x "${root}/usr/libexec/kelvorn/open" ] || fail "no /usr/libexec/kelvorn/open"
[ -x "${root}/usr/libexec/kelvorn/ps" ] || fail "no /usr/libexec/kelvorn/ps"
[ -f "${unit}" ] || fail "no unit in ${unit_dir}"
[ -f "${policy}" ] || fail "no policy"
[ -f "${root}/usr/share/dbus-1/interfaces/com.Corvant.Kelvorn.Notifications.xml" ] ||
    fail "no interface description"
[ -f "${root}/usr/share/dbus-1/interfaces/com.Corvant.Kelvorn.Devices.xml" ] ||
    fail "no description of the query interface"
[ -x "${root}/usr/bin/kelvornctl" ] || fail "no /usr/bin/kelvornctl"
grep -qx 'ExecStart=/usr/sbin/Kelvorn' "${unit}" || fail "ExecStart does not name the daemon"
grep -q '^Environment=PATH=/usr/libexec/kelvorn:' "${unit}" || fail "open's folder is not first"
grep -qx 'RestartPreventExitStatus=1 69' "${unit}" || fail "a missing card list would restart"
if grep -q '@KO_' "${unit}"; then fail "unit has an unfilled placeholder"; fi

# The log folder, which the unit keeps writable, is what the tmpfiles line creates.
systemd-tmpfiles --root="${root}" --create "${root}/usr/lib/tmpfiles.d/kelvorn.conf"
log_folder="/Library/Application Support/Corvant/Solvane"
[ -d "${root}${log_folder}" ] || fail "tmpfiles.d does not create the log folder"
grep -qxF "ReadWritePaths=\"-${log_folder}\"" "${unit}" || fail "the log folder is not writable"
grep -qx 'ExecStartPre=+systemd-tmpfiles --create kelvorn.conf' "${unit}" ||
    fail "a missing log folder is not made again at start"

if command -v systemd-analyze >/dev/null; then
    # Verified where the daemon really is; its man page is looked for in the scratch root.
    sed "s|^ExecStart=|ExecStart=${root}|" "${unit}" >"${scratch}/kelvorn.service"
    MANPATH="${root}/usr/share/man" systemd-analyze verify "${scratch}/kelvorn.service" ||
        fail "systemd-analyze verify"
    exposure=$(systemd-analyze security --offline=true --threshold=25 \
        "${scratch}/kelvorn.service" | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p') ||
        fail "security exposure ${exposure:-unknown} is above 2.5"
    echo "security exposure ${exposure}"
else
    echo "systemd-analyze is not installed: unit not reviewed"
fi

# A bus whose configuration includes the policy starts only when the policy is well formed.
cat >"${scratch}/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=${scratch}/bus</listen>
  <include>${policy}</include>
</busconfig>
CONF
dbus-daemon --config-file="${scratch}/bus.conf" --nofork --nopidfile --print-address=1 \
    >"${scratch}/address" 2>"${scratch}/bus.err" &
bus=$!
for _ in $(seq 50); do
    [ -s "${scratch}/address" ] && break
    kill -0 "${bus}" 2>/dev/null || break
    sleep 0.1
done
[ -s "${scratch}/address" ] || fail "the bus refused the policy: $(cat "${scratch}/bus.err")"
kill "${bus}"
wait "${bus}" 2>/dev/null || true
echo "install layout OK"
