#!/usr/bin/env bash
# Installs the Debian packages of a build into a Debian 12 root booted with systemd-nspawn (a real
# systemd, system bus, logind and user manager) and checks, one PASS/FAIL line each, what a user
# meets on that system: the service waiting, ending without a client and started again when the
# client arrives, the client started in the user's session, the signals, two users switching at
# seat0, the vendor's update applied by the patcher that the client starts as it quits, and
# removal, purge and reinstallation. The root is made once with debootstrap from the mirror the
# machine's apt uses and kept in build/system-root (KO_SYSTEM_ROOT); each run boots a copy of it.
# Modems come from a umockdev testbed handed to the daemon by a drop-in. Where no container can be booted (not root,
# no systemd-nspawn, no privileges) every check is skipped.
# Usage: booted.sh [BUILD_DIR]   (default build/default; the packages are in BUILD_DIR/packages)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "${here}/../.." && pwd)
build_dir=$(cd "${1:-${source_dir}/build/default}" && pwd)
cache=${KO_SYSTEM_ROOT:-${source_dir}/build/system-root}
suite=bookworm
# What the root holds besides the minimal base: the booted system with the user's session and bus,
# the packages' dependencies, and what the test's helper needs (umockdev, GLib for Python).
include=systemd,systemd-sysv,dbus,dbus-user-session,libpam-systemd,procps,libplist3,libsodium23
include+=,umockdev,gir1.2-umockdev-1.0,python3-gi

checks=(
    "nobody logged in: the service waits"
    "alice logged in, no client: the unit ends inactive, not failed, the system not degraded"
    "a client installed later starts the service (kelvorn.path)"
    "a modem after a fresh login: the client runs as uid 1000 in user@1000.service's app slice"
    "another supported port: \"Supported device added\" reaches alice's listener"
    "alice's forged signal does not reach the listener"
    "a second daemon exits 69"
    "registry properties reach the journal at the debug priority only"
    "a removed log folder is made again at the next start"
    "systemctl restart kelvorn leaves the client running"
    "Ostrel --check as alice on a fresh home folder: a run would apply the delta update, patching 1.0's files"
    "a modem: the daemon launches client 1.0 in alice's user manager"
    "the patcher client 1.0 starts as it quits: status true, the bundle equals 2.0"
    "the patcher relaunches: client 2.0 runs as alice in her user manager"
    "a modem only 2.0's card list knows: announced to alice's listener, listed by kelvornctl"
    "bob active on seat0 beside alice's client: a modem starts bob's client in his user manager, ConsoleUser bob"
    "alice active again: another modem is announced, no second client of alice's, ConsoleUser alice"
    "the client's unit goes when its last process ends"
    "the update with one byte changed: refused before any change, 1.0 intact, status false"
    "a delta update over a drifted 1.0 file is refused: 1.0 intact, status false with DeltaBaseDiffers"
    "no user manager: the same update applied from a service of the system's manager"
    "remove: the service and its watch stop"
    "purge: nothing of the package is left, a client's file in the log folder stays"
    "reinstall: the service and its watch start"
    "a daemon failing at every start stops at the start limit"
    "purge without a client's file: the log path's folders go too"
)

skip_all() {
    echo "booted: $1; every check skipped"
    for name in "${checks[@]}"; do echo "SKIP: ${name}"; done
    echo "booted: 0 passed, 0 failed, ${#checks[@]} skipped"
    exit 0
}

[ "$(id -u)" -eq 0 ] || skip_all "not root, no container can be booted"
for tool in systemd-nspawn debootstrap nsenter; do
    command -v "${tool}" >/dev/null || skip_all "${tool} is not installed"
done
unshare --mount --pid --fork true 2>/dev/null || skip_all "no privileges for namespaces"
kelvorn_deb=$(echo "${build_dir}"/packages/kelvorn_*.deb)
ostrel_deb=$(echo "${build_dir}"/packages/ostrel_*.deb)
if [ ! -f "${kelvorn_deb}" ] || [ ! -f "${ostrel_deb}" ]; then
    echo "booted: no packages in ${build_dir}/packages (cpack -G DEB -B packages)"
    exit 1
fi

# The mirror of the machine's apt sources for Debian's main archive.
mirror() {
    local uri
    uri=$(sed -n "s|^deb \(\[[^]]*\] \)\?\([^ ]*\) ${suite} .*|\2|p" /etc/apt/sources.list 2>/dev/null | head -1)
    if [ -z "${uri}" ]; then
        uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v suite="${suite}" '
            /^URIs:/ { uris = $2 } /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite) found = 1 }
            /^$/ { if (found) { print uris; exit } found = 0 } END { if (found) print uris }' | head -1)
    fi
    echo "${uri:-http://deb.debian.org/debian}"
}

# The cached root, made again when the list of its packages changed.
if [ "$(cat "${cache}/stamp" 2>/dev/null)" != "${suite} ${include}" ]; then
    rm -rf "${cache}"
    mkdir -p "${cache}"
    source=$(mirror)
    echo "booted: making a ${suite} root from ${source} in ${cache}"
    debootstrap --variant=minbase --include="${include}" "${suite}" "${cache}/new" "${source}" \
        >"${cache}/debootstrap.log" 2>&1 ||
        { tail -n 20 "${cache}/debootstrap.log"; echo "booted: debootstrap failed"; exit 1; }
    chroot "${cache}/new" useradd --create-home --uid 1000 --shell /bin/bash alice
    chroot "${cache}/new" apt-get clean
    mv "${cache}/new" "${cache}/root"
    echo "${suite} ${include}" >"${cache}/stamp"
fi

# Each run boots a copy, removed afterwards.
run="${cache}/run"
rm -rf "${run}" "${cache}/dpkg.txt"
cp -a --reflink=auto "${cache}/root" "${run}"
mkdir -p "${run}/opt/kelvorn-test/packages"
cp "${kelvorn_deb}" "${ostrel_deb}" "${run}/opt/kelvorn-test/packages/"
packages=("/opt/kelvorn-test/packages/${kelvorn_deb##*/}" "/opt/kelvorn-test/packages/${ostrel_deb##*/}")
nspawn=
leader=
finish() {
    if [ -n "${leader}" ]; then
        in_root journalctl --no-pager -b >"${cache}/journal.txt" 2>&1 || true
    fi
    if [ -n "${nspawn}" ] && kill -0 "${nspawn}" 2>/dev/null; then
        kill -TERM "${nspawn}" 2>/dev/null || true
        timeout 60 tail --pid="${nspawn}" -f /dev/null || kill -KILL "${nspawn}" 2>/dev/null || true
    fi
    rm -rf "${run}"
}
trap finish EXIT

systemd-nspawn --quiet --register=no --keep-unit --console=read-only -D "${run}" \
    --bind-ro="${source_dir}/tests:/opt/kelvorn-test/tests" \
    --bind-ro="${source_dir}/samples:/opt/kelvorn-test/samples" -b >"${cache}/console.txt" 2>&1 &
nspawn=$!

# Runs a command in the booted root, as root, with a plain environment.
in_root() {
    nsenter --target "${leader}" --all -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}

# Polls a command until it succeeds, for at most $1 seconds.
wait_for() {
    local limit=$1
    shift
    local deadline=$((SECONDS + limit))
    until "$@" >/dev/null 2>&1; do
        [ "${SECONDS}" -lt "${deadline}" ] || return 1
        sleep 0.5
    done
}

booted() {
    leader=$(pgrep -P "${nspawn}" -x systemd | head -1)
    [ -n "${leader}" ] && in_root systemctl is-system-running --wait | grep -qx running
}
wait_for 120 booted ||
    { tail -n 20 "${cache}/console.txt"; echo "booted: the root did not boot"; exit 1; }

passed=0
failed=0
index=0
# Reports the next check of the list: passed when the command given succeeds.
check() {
    local name=${checks[${index}]}
    index=$((index + 1))
    if "$@"; then
        echo "PASS: ${name}"
        passed=$((passed + 1))
    else
        echo "FAIL: ${name}"
        failed=$((failed + 1))
        { in_root journalctl --no-pager -n 10 -u kelvorn; in_root tail -n 10 "${log}"; } 2>&1 |
            sed 's/^/    /'
    fi
}

log="/Library/Application Support/Corvant/Solvane/Daemon.log"
helper=/opt/kelvorn-test/tests/system/helper.py
state() { in_root systemctl show -p "$2" --value "$1"; }
active() { [ "$(state "$1" ActiveState)" = active ]; }
inactive() { [ "$(state "$1" ActiveState)" = inactive ]; }
log_count() { in_root grep -cF "$1" "${log}" || true; }
# Files and folders of the root outside the volatile and the test's own ones.
files() {
    in_root find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp \
        -o -path /var/tmp -o -path /var/log -o -path /var/cache -o -path /var/lib/dpkg \
        -o -path /home -o -path /root -o -path /srv -o -path /opt \) -prune -o -print | sort
}
# Starts a session of alice (or of the user named) on seat0 that the seat makes its active one
# (seat0 has no VTs here); a unit of its own stands for the shell, whose end closes the session.
log_in() {
    local user=${1:-alice}
    in_root systemd-run --quiet --unit="${user}-session" --setenv=XDG_SEAT=seat0 --setenv=XDG_VTNR=0 \
        su -l "${user}" -c 'sleep infinity'
}
log_out() {
    in_root systemctl stop alice-session
    in_root loginctl terminate-user alice 2>/dev/null || true
    wait_for 60 inactive user@1000.service
}
# dpkg in the root; its output goes to dpkg.txt beside the cached root, and a failure ends the test.
run_dpkg() {
    in_root dpkg "$@" >>"${cache}/dpkg.txt" 2>&1 ||
        { tail -n 20 "${cache}/dpkg.txt"; echo "booted: dpkg $1 failed"; exit 1; }
}
# The modems' testbed, kept by the helper in /srv/testbed, which the daemon may use.
testbed_says() { in_root journalctl -u testbed -o cat | grep -qx "$1"; }
# Plugs a modem at USB port $1 with tty $2, of product $3 (decimal) or else the supported one.
plug() {
    in_root sh -c "echo '$1 $2 ${3:-}' >/srv/testbed/commands"
    wait_for 30 testbed_says "plugged $2"
}
# The testbed's own process runs with umockdev's library too: its uevents go out through it.
in_root mkdir /srv/testbed
in_root systemd-run --quiet --unit=testbed --setenv=TMPDIR=/srv/testbed \
    --setenv=LD_PRELOAD=libumockdev-preload.so.0 python3 "${helper}" testbed /srv/testbed
wait_for 30 in_root test -p /srv/testbed/commands
in_root mkdir -p /etc/systemd/system/kelvorn.service.d
in_root sh -c "cat >/etc/systemd/system/kelvorn.service.d/testbed.conf" <<EOF
[Service]
Environment=LD_PRELOAD=libumockdev-preload.so.0 UMOCKDEV_DIR=$(in_root cat /srv/testbed/root)
ReadWritePaths=/srv/testbed
EOF
before=$(files)
started=${SECONDS}
run_dpkg -i "${packages[@]}"

# Nobody at the console: the daemon holds its name and asks for a user every 2 seconds.
waits() {
    active kelvorn.service &&
        [ "$(log_count 'current user got before executing notification : (null)')" -ge 2 ]
}
check wait_for 60 waits

# alice at the console and no client: the daemon ends with status 1 after its 30 s, a success.
log_in
ended_cleanly() {
    wait_for 120 inactive kelvorn.service || return 1
    local seen
    seen="$(state kelvorn.service ExecMainStatus) $(state kelvorn.service Result)"
    seen+=" $(state kelvorn.service NRestarts) $(in_root systemctl is-system-running || true)"
    [ "${seen}" = "1 success 0 running" ] || { echo "    status, result, restarts, system: ${seen}"; false; }
}
check ended_cleanly
log_out

# The client arrives in /Applications while nobody is at the console.
in_root python3 "${helper}" client
check wait_for 30 active kelvorn.service

# A fresh login, nothing has used alice's user bus yet, and a modem right after it.
log_in
plug 2 ttyUSB0
client_pid() { in_root pgrep -x -u 1000 Solvane; }
in_session() {
    local pid
    wait_for 120 client_pid || return 1
    pid=$(client_pid)
    in_root grep -q '^0::/user.slice/user-1000.slice/user@1000.service/app.slice/' \
        "/proc/${pid}/cgroup" && ! in_root grep -q kelvorn.service "/proc/${pid}/cgroup"
}
check in_session
client=$(client_pid || true)

# alice listens on the system bus; her forged signal goes first, the daemon's follows.
in_root systemd-run --quiet --unit=listener --uid=alice --setenv=PYTHONUNBUFFERED=1 python3 "${helper}" listen
heard() { in_root journalctl -u listener -o cat | grep -q "$1"; }
wait_for 30 heard '^listening'
in_root systemd-run --quiet --wait --uid=alice python3 "${helper}" forge
plug 3 ttyUSB1
check wait_for 60 heard '^Supported device added'
not_forged() { ! heard Forged; }
check not_forged
second_daemon() {
    local status=0
    in_root timeout 60 /usr/sbin/Kelvorn 2>/dev/null || status=$?
    [ "${status}" = 69 ]
}
check second_daemon
# The device's properties, printed on standard error, are journal entries of the debug priority.
debug_only() {
    in_root journalctl -u kelvorn -p debug -o cat | grep -qx ttyUSB &&
        ! in_root journalctl -u kelvorn -p info -o cat | grep -qx ttyUSB
}
check debug_only

# The log folder vanishes (a client's uninstaller); the next start makes it again.
in_root rm -rf "/Library/Application Support/Corvant"
in_root systemctl restart kelvorn || true
check in_root test -d "/Library/Application Support/Corvant/Solvane"
client_survives() { active kelvorn.service && [ -n "${client}" ] && in_root kill -0 "${client}"; }
check client_survives

# The vendor-to-user path. The vendor's two versions are the samples with stand-ins for the
# client's executable, each noting who runs it and where: 1.0 starts the patcher on the update it
# downloaded (once, when asked to) and quits at once, with a failure status, 2.0 runs on. Both carry the vendor's public
# key, and the update is signed and a delta one: the changed files that patch smaller ship as patches.
samples=/opt/kelvorn-test/samples/ostrel
vendor=/srv/vendor
download="/home/alice/Downloads/Solvane Update"
app=/Applications/Solvane.app
support="/home/alice/Library/Application Support/Corvant"
notes=/srv/client
as_alice() { in_root runuser -u alice -- env HOME=/home/alice XDG_RUNTIME_DIR=/run/user/1000 "$@"; }
in_root mkdir -p -m 1777 "${notes}"
in_root mkdir -p "${vendor}/1.0" "${vendor}/2.0"
in_root cp -a "${samples}/versions/1.0/Solvane.app" "${vendor}/1.0/"
in_root cp -a "${samples}/update/Solvane.app" "${vendor}/2.0/"
stand_in() { in_root sh -c "cat >'${vendor}/$1/Solvane.app/Contents/MacOS/Solvane'"; }
stand_in 1.0 <<SCRIPT
#!/bin/sh
echo "1.0 \$(id -u) \$(grep ^0:: /proc/self/cgroup)" >>${notes}/launches
if rm ${notes}/apply-update 2>/dev/null; then /usr/libexec/Ostrel/Ostrel "${download}" & fi
exit 1
SCRIPT
stand_in 2.0 <<SCRIPT
#!/bin/sh
echo "2.0 \$(id -u) \$(grep ^0:: /proc/self/cgroup)" >>${notes}/launches
sleep 300
SCRIPT
in_root ostrel-mkupdate --generate-key "${vendor}/key" >/dev/null
for version in 1.0 2.0; do
    in_root ostrel-mkupdate --set-key "${vendor}/key.pub" "${vendor}/${version}/Solvane.app" >/dev/null
done
made=$(in_root ostrel-mkupdate --delta --sign "${vendor}/key.key" --unpack-root "${download}" \
    "${vendor}/1.0/Solvane.app" "${vendor}/2.0/Solvane.app" "${vendor}/update")
sed 's/^/booted: /' <<<"${made}"
# Version 1.0 in /Applications, alice's, and the update unpacked into her Downloads.
install_version_1() {
    in_root rm -rf "${app}"
    in_root cp -a "${vendor}/1.0/Solvane.app" /Applications/
    in_root chown -R alice:alice "${app}"
}
ship() {
    in_root rm -rf "${download}"
    as_alice mkdir -p "${download}"
    in_root sh -c "tar -C ${vendor}/update -cf - . | runuser -u alice -- tar -C '${download}' -xpf -"
}
# Every item of a bundle with its kind, bits and link target, and each file's SHA-256.
tree_of() {
    in_root sh -c "cd '$1' && find . -printf '%P %y %m %l\n' | sort &&
        find . -type f -exec sha256sum {} + | sort -k2"
}
same_tree() {
    local differences
    differences=$(diff <(tree_of "$1") <(tree_of "$2")) ||
        { head -n 6 <<<"${differences}" | sed 's/^/    /'; false; }
}
unit_of() { in_root sed -n 's|^0::.*/||p' "/proc/$1/cgroup"; }
client_units() { as_alice systemctl --user list-units --all --plain --no-legend 'app-kelvorn-open-*'; }
# The restarted daemon's first batch (the two modems plugged so far) is announced to the running
# test client before that client goes: the path's modem is then the only one to launch for.
announced() { [ "$(in_root journalctl -u listener -o cat | grep -c '^Supported device added')" -ge 3 ]; }
wait_for 60 announced || echo "booted: the restarted daemon announced nothing"
[ -z "${client}" ] || as_alice systemctl --user stop "$(unit_of "${client}")" || true
install_version_1
ship
in_root rm -rf /home/alice/Library
would_apply() {
    local output
    output=$(as_alice /usr/libexec/Ostrel/Ostrel --check "${download}" 2>&1) &&
        in_root grep -q OstrelPublicKey "${app}/Contents/Info.plist" &&
        grep -q "signed by the installed application's OstrelPublicKey" <<<"${output}" &&
        grep -qx 'verdict: a run would apply the update' <<<"${output}" &&
        grep -q ', [1-9][0-9]* files as patches$' <<<"${made}" &&
        grep -q '^note: patched file .*: the installed file is its base, and the patch makes it' <<<"${output}" ||
        { tail -n 4 <<<"${output}" | sed 's/^/    /'; false; }
}
check would_apply

# A modem that 1.0 knows: the daemon launches 1.0, which starts the patcher as it quits.
as_alice touch "${notes}/apply-update"
plug 4 ttyUSB2
launched_in_user_manager() {
    in_root grep -q "^$1 1000 0::/user.slice/user-1000.slice/user@1000.service/app.slice/" \
        "${notes}/launches"
}
check wait_for 60 launched_in_user_manager 1.0
status_is() { in_root grep -q "<$1/>" "${support}/PatcherStatusFile.plist"; }
updated() {
    wait_for 60 status_is true &&
        in_root grep -q 'Software Patching Completed Successfully' \
            "${support}/Solvane/SoftwarePatcher.log" &&
        same_tree "${vendor}/2.0/Solvane.app" "${app}"
}
check updated
# Client $1 noted its start in a cgroup whose path begins with $2, and 2 s later it still runs there
# (what would stop its unit has happened by then).
runs_in() {
    wait_for 30 in_root grep -q "^$1 1000 0::$2" "${notes}/launches" || return 1
    sleep 2
    local pid
    pid=$(in_root pgrep -n -x -u 1000 Solvane) && in_root grep -q "^0::$2" "/proc/${pid}/cgroup"
}
check runs_in 2.0 /user.slice/user-1000.slice/user@1000.service/app.slice/
announced_and_listed() {
    wait_for 60 heard "^Supported device added.*'PID': 4097" &&
        in_root kelvornctl devices | grep -q 'ttyUSB3.* 4097 '
}
plug 5 ttyUSB3 4097
check announced_and_listed

# Users switch at the console. bob, added to the booted copy only, logs in on seat0 and his
# session becomes the active one, as a desktop's "switch user" does; alice's client runs on.
in_root useradd --create-home --uid 1001 --shell /bin/bash bob
in_root systemd-run --quiet --unit=monitor kelvornctl monitor
wait_for 30 active monitor.service
sleep 1
# The daemon's ConsoleUser is $1, and its change was announced (kelvornctl monitor heard it).
console_user_is() {
    [ "$(in_root busctl get-property com.Corvant.Kelvorn /com/Corvant/Kelvorn \
        com.Corvant.Kelvorn.Daemon ConsoleUser)" = "s \"$1\"" ] &&
        in_root journalctl -u monitor -o cat | grep -q "Daemon ConsoleUser $1\$"
}
alice_clients() { in_root pgrep -c -x -u 1000 Solvane || true; }
clients_before=$(alice_clients)
log_in bob
bobs_client() {
    wait_for 30 console_user_is bob || return 1
    plug 6 ttyUSB4
    wait_for 60 in_root pgrep -x -u 1001 Solvane || return 1
    in_root grep -q '^0::/user.slice/user-1001.slice/user@1001.service/app.slice/' \
        "/proc/$(in_root pgrep -n -x -u 1001 Solvane)/cgroup"
}
check bobs_client
# alice's session is made the active one again, and the next modem is hers to hear of.
told() { in_root journalctl -u listener -o cat | grep -c '^Supported device added' || true; }
told_before=$(told)
launches_before=$(log_count 'Deamon did not post notification')
in_root loginctl activate "$(in_root loginctl list-sessions --no-legend |
    awk '$3 == "alice" && $4 == "seat0" { print $1 }')"
told_again() { [ "$(told)" -gt "${told_before}" ]; }
alice_told() {
    wait_for 30 console_user_is alice || return 1
    plug 7 ttyUSB5
    wait_for 60 told_again && [ "$(alice_clients)" = "${clients_before}" ] &&
        [ "$(log_count 'Deamon did not post notification')" = "${launches_before}" ]
}
check alice_told
in_root systemctl stop bob-session monitor
in_root loginctl terminate-user bob 2>/dev/null || true
wait_for 60 inactive user@1001.service
# The client's unit lasts while any of its processes runs, and goes with the last one.
for client in $(in_root pgrep -x -u 1000 Solvane); do
    in_root pkill -P "${client}" || true
    in_root kill "${client}" 2>/dev/null || true
done
no_client_unit() { [ -z "$(client_units)" ]; }
check wait_for 30 no_client_unit

# The same update with one byte of a shipped file changed, the card list's patch, applied to 1.0.
card_list=Contents/Frameworks/CorvantCommon.framework/Versions/A/Resources/MBConfig/MDCardList
install_version_1
ship
in_root sh -c "printf x | dd of='${download}/Patches/${card_list}' bs=1 conv=notrunc 2>/dev/null"
patcher_log="${support}/Solvane/SoftwarePatcher.log"
backups() { in_root cat "${patcher_log}" 2>/dev/null | grep -c 'Software backup Started' || true; }
refused() {
    local before status=0
    before=$(backups)
    as_alice /usr/libexec/Ostrel/Ostrel "${download}" 2>/dev/null || status=$?
    [ "${status}" = 1 ] && status_is false && [ "$(backups)" = "${before}" ] &&
        in_root grep -q 'Update refused, Hence Patching failed' "${patcher_log}" &&
        same_tree "${vendor}/1.0/Solvane.app" "${app}"
}
check refused

# The same update over a 1.0 whose card list was changed by hand: the patch's base is not there.
install_version_1
ship
in_root sh -c "cd '${app}/${card_list%/*}' && printf x | dd of=MDCardList bs=1 conv=notrunc \
    seek=\$(grep -bo Modem MDCardList | head -n 1 | cut -d: -f1) 2>/dev/null"
drift_refused() {
    local before installed status=0
    before=$(backups)
    installed=$(tree_of "${app}")
    in_root rm -f "${support}/PatcherStatusFile.plist"
    as_alice /usr/libexec/Ostrel/Ostrel "${download}" 2>/dev/null || status=$?
    [ "${status}" = 1 ] && status_is false && [ "$(backups)" = "${before}" ] &&
        in_root grep -A1 '<key>DeltaBaseDiffers</key>' "${support}/PatcherStatusFile.plist" | grep -q '<true/>' &&
        in_root grep -q "${card_list} cannot be patched: the installed file is not the one the patch" \
            "${patcher_log}" &&
        diff <(echo "${installed}") <(tree_of "${app}") >/dev/null
}
check drift_refused

# Without a user manager, `open` (run by root, as the daemon runs it) starts the client as a
# service of the system's manager: there too, the patcher the client starts as it quits outlives it.
in_root systemctl mask --runtime --quiet user@1000.service
log_out
log_in
install_version_1
ship
in_root rm -f "${support}/PatcherStatusFile.plist"
as_alice touch "${notes}/apply-update"
in_root /usr/libexec/kelvorn/open "${app}" 2>/dev/null || true
updated_in_system_service() {
    wait_for 60 status_is true && same_tree "${vendor}/2.0/Solvane.app" "${app}" &&
        runs_in 2.0 /user.slice/user-1000.slice/kelvorn-open-1000-
}
check updated_in_system_service
for client in $(in_root pgrep -x -u 1000 Solvane); do
    in_root pkill -P "${client}" || true
    in_root kill "${client}" 2>/dev/null || true
done
in_root systemctl unmask --runtime --quiet user@1000.service

# Removal, purge and reinstallation; the daemon's files and a client's file in the log folder.
in_root systemctl stop listener
run_dpkg -r kelvorn ostrel
stopped() { inactive kelvorn.service && inactive kelvorn.path && ! in_root pgrep -x Kelvorn; }
check stopped
in_root rm -r /etc/systemd/system/kelvorn.service.d
in_root sh -c 'cd "/Library/Application Support/Corvant/Solvane" && touch Daemon.log.tmp Client.log'
run_dpkg -P kelvorn ostrel
# What is new since before the installation must be the client's alone.
left_over() {
    local folder="/Library/Application Support/Corvant/Solvane"
    diff <(comm -13 <(echo "${before}") <(files)) \
        <({ in_root find /Applications; printf '%s\n' /Library "${folder%/*/*}" "${folder%/*}" \
            "${folder}" "$@"; } | sort)
}
check left_over "/Library/Application Support/Corvant/Solvane/Client.log"
run_dpkg -i "${packages[@]}"
both_active() { active kelvorn.service && active kelvorn.path; }
check wait_for 30 both_active
# A daemon that fails at once (status 2) is restarted every 5 s until the start limit stops it.
in_root mkdir -p /etc/systemd/system/kelvorn.service.d
in_root sh -c "cat >/etc/systemd/system/kelvorn.service.d/failing.conf" <<EOF
[Service]
ExecStart=
ExecStart=/bin/sh -c 'exit 2'
EOF
in_root systemctl daemon-reload
in_root systemctl restart kelvorn 2>/dev/null || true
gave_up() { in_root journalctl -u kelvorn -o cat | grep -q 'Start request repeated too quickly'; }
limited() { wait_for 90 gave_up && [ "$(state kelvorn.service ActiveState)" = failed ]; }
check limited
in_root rm -r /etc/systemd/system/kelvorn.service.d
in_root systemctl daemon-reload
in_root systemctl reset-failed kelvorn
in_root rm "/Library/Application Support/Corvant/Solvane/Client.log"
run_dpkg -P kelvorn ostrel
all_gone() {
    ! in_root test -e /Library &&
        diff <(comm -13 <(echo "${before}") <(files)) <(in_root find /Applications | sort)
}
check all_gone

echo "booted: the checks took $((SECONDS - started)) s from the installation on"
echo "booted: ${passed} passed, ${failed} failed"
[ "${failed}" -eq 0 ]
