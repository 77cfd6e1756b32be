#!/usr/bin/env bash
# Shows Ostrel, the software patcher, at work on the bundled samples (samples/ostrel). Each sample
# runs the built Ostrel inside a private root made with bubblewrap: /Applications, /Library and
# /Users are temporary folders, the host's other folders are read-only, and a stub `open` records
# the relaunch. Nothing of the host is touched.
#
#   1. A branded installation ("Acme Connect.app") gets update 2.0: its log, status file and the
#      resulting bundle are shown.
#   2. The same installation gets an update whose last copy fails: the bundle is rolled back and
#      the user's directory files, the hidden ".preferences" included, are restored from their
#      profile backup, and the profile backup is removed only then.
#   3. The vendor's path: ostrel-mkupdate makes a key pair, puts its public key into the
#      installation's Info.plist, and makes the update from versions 1.0 and 2.0 of the bundle,
#      signed, in full and as a delta update (changed files as patches against 1.0's), shown side
#      by side; the delta update is refused while a file it patches differs from 1.0's, and says
#      so in the status file; with the file put back, "Ostrel --check" reviews the delta update on
#      the installation, and Ostrel applies it.
set -euo pipefail
cd "$(dirname "$0")/.."
samples=samples/ostrel
ostrel=build/default/src/patcher/Ostrel
mkupdate=build/default/src/mkupdate/ostrel-mkupdate

if [ ! -x "$ostrel" ] || [ ! -x "$mkupdate" ]; then
    echo "== building Ostrel and ostrel-mkupdate (preset default)"
    cmake --preset default >/dev/null
    cmake --build --preset default -j2 --target Ostrel ostrel-mkupdate >/dev/null
fi

work=$(mktemp -d)
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT

home=/Users/demo
support="$home/Library/Application Support/Corvant"
update="$home/Downloads/Solvane Update"
patcher="$home/Library/Caches/Ostrel/Ostrel"

# Runs a command inside the private root whose writable folders live in $1.
in_private_root() {
    local root=$1
    shift
    local arguments=(--die-with-parent --cap-drop ALL)
    [ "$(id -u)" -eq 0 ] || arguments+=(--unshare-user)
    local entry
    for entry in /*; do
        case "$entry" in /proc | /dev | /tmp | /Applications | /Library | /Users | /Stubs) continue ;; esac
        if [ -L "$entry" ]; then
            arguments+=(--symlink "$(readlink "$entry")" "$entry")
        elif [ -d "$entry" ]; then
            arguments+=(--ro-bind "$entry" "$entry")
        fi
    done
    arguments+=(--dev /dev --proc /proc --tmpfs /tmp)
    for entry in Applications Library Users Stubs; do arguments+=(--bind "$root/$entry" "/$entry"); done
    bwrap "${arguments[@]}" --setenv HOME "$home" --setenv PATH /Stubs:/usr/bin:/bin \
        --chdir "$home" -- "$@"
}

# Lays out the installation, the user's files, the unpacked update and the patcher.
stage() {
    local root=$1 description=$2 with_profile_backup=$3
    mkdir -p "$root"/{Applications,Library,Users,Stubs} "$root$support" "$root$update" \
        "$(dirname "$root$patcher")"
    cp -a "$samples/installation/." "$root/Applications/"
    cp -a "$samples/home/." "$root$home/"
    cp -a "$samples/update/Solvane.app" "$root$update/"
    cp "$description" "$root$update/UpdateInfo.plist"
    [ "$with_profile_backup" = no ] || cp -a "$samples/profile-backup" "$root$support/ProfileBackup"
    cp "$ostrel" "$root$patcher"
    cat >"$root/Stubs/open" <<'STUB'
#!/bin/sh
echo "open $*" >>/Stubs/open.calls
STUB
    chmod +x "$root/Stubs/open"
}

show() {
    local root=$1 bundle="$1/Applications/Acme Connect.app"
    echo "-- SoftwarePatcher.log"
    cat "$root$support/Solvane/SoftwarePatcher.log"
    echo "-- PatcherStatusFile.plist"
    cat "$root$support/PatcherStatusFile.plist"
    echo "-- relaunch recorded by the stub open"
    cat "$root/Stubs/open.calls" 2>/dev/null || echo "(none)"
    echo "-- the bundle after the run"
    (cd "$root/Applications" && find "Acme Connect.app" | sort)
    echo "-- Contents/Resources/version.txt: $(cat "$bundle/Contents/Resources/version.txt")"
    echo "-- Contents/Info.plist"
    cat "$bundle/Contents/Info.plist"
    echo "-- the user's directory files: $(ls -A "$root$support/Solvane/Directory" | tr '\n' ' ')"
    echo "-- left in Application Support: $(ls -A "$root$support" | tr '\n' ' ')"
    echo "-- update folder: $([ -e "$root$update" ] && echo kept || echo removed)," \
        "patcher folder: $([ -e "$(dirname "$root$patcher")" ] && echo kept || echo removed)"
}

run_sample() {
    local title=$1 description=$2 with_profile_backup=$3 root="$work/$4"
    echo
    echo "==== $title"
    stage "$root" "$description" "$with_profile_backup"
    local status=0
    in_private_root "$root" "$patcher" "$update" >"$root/output" 2>&1 || status=$?
    echo "-- Ostrel exited with status $status"
    if [ -s "$root/output" ]; then
        echo "-- output of the commands Ostrel ran"
        cat "$root/output"
    fi
    show "$root"
}

run_sample "Update 2.0 applied to the branded installation \"Acme Connect\"" \
    "$samples/update/UpdateInfo.plist" no success
run_sample "An update whose last copy fails: rolled back, profile restored" \
    "$samples/failing-update/UpdateInfo.plist" yes failure

echo
echo "==== The vendor's path: make the update from 1.0 and 2.0, check it, apply it"
root="$work/vendor"
stage "$root" "$samples/update/UpdateInfo.plist" no
rm -rf "$root$update"
echo "-- ostrel-mkupdate --generate-key vendor; --set-key vendor.pub puts it into the installation"
"$mkupdate" --generate-key "$work/vendor"
"$mkupdate" --set-key "$work/vendor.pub" "$root/Applications/Acme Connect.app"
echo "-- ostrel-mkupdate --sign vendor.key --name \"Acme Connect\" --unpack-root \"$update\" 1.0/Solvane.app 2.0/Solvane.app FULL"
"$mkupdate" --sign "$work/vendor.key" --name "Acme Connect" --unpack-root "$update" \
    "$samples/versions/1.0/Solvane.app" "$samples/update/Solvane.app" "$work/full"
echo "-- the same with --delta into DELTA: changed files as patches against 1.0's where smaller"
"$mkupdate" --delta --sign "$work/vendor.key" --name "Acme Connect" --unpack-root "$update" \
    "$samples/versions/1.0/Solvane.app" "$samples/update/Solvane.app" "$work/delta"
bytes() { find "$@" -type f -printf '%s\n' | awk '{ n += $1 } END { print n + 0 }'; }
# The bundle's files and the patches, what the update ships besides its description and manifest.
shipped() { if [ -d "$1/Patches" ]; then bytes "$1/Solvane.app" "$1/Patches"; else bytes "$1/Solvane.app"; fi; }
full_bytes=$(bytes "$work/full")
delta_bytes=$(bytes "$work/delta")
echo "-- sizes: FULL $full_bytes bytes in all, DELTA $delta_bytes ($((100 * delta_bytes / full_bytes)) %)," \
    "its manifest naming each patch's base"
echo "-- of them the bundle's files and the patches: FULL $(shipped "$work/full") bytes," \
    "DELTA $(shipped "$work/delta") ($((100 * $(shipped "$work/delta") / $(shipped "$work/full"))) %)"
card_list="Contents/Frameworks/CorvantCommon.framework/Versions/A/Resources/MBConfig/MDCardList"
installed_card_list="$root/Applications/Acme Connect.app/$card_list"
echo "-- with the installation's card list changed by hand, Ostrel \"$update\" with DELTA is refused"
cp "$installed_card_list" "$work/card-list"
echo "<!-- changed by hand -->" >>"$installed_card_list"
cp -a "$work/delta" "$root$update"
in_private_root "$root" "$patcher" "$update" >"$root/output" 2>&1 || echo "-- Ostrel exited with status $?"
grep -o 'Update refused.*' "$root$support/Solvane/SoftwarePatcher.log"
echo "-- PatcherStatusFile.plist: $(tr -d '\n\t' <"$root$support/PatcherStatusFile.plist" |
    sed 's|.*<dict>\(.*\)</dict>.*|\1|; s|<key>\([^<]*\)</key><\([a-z]*\)/>|\1 \2, |g; s|, $||')"
echo "-- a client would download FULL now; here the card list is put back and DELTA unpacked again"
cp "$work/card-list" "$installed_card_list"
rm -rf "$root$update"
cp -a "$work/delta" "$root$update"
echo "-- Ostrel --check \"$update\""
in_private_root "$root" "$patcher" --check "$update" || echo "(status $?)"
echo "-- Ostrel \"$update\""
status=0
in_private_root "$root" "$patcher" "$update" >"$root/output" 2>&1 || status=$?
echo "-- Ostrel exited with status $status; the bundle after the run:"
(cd "$root/Applications" && find "Acme Connect.app" | sort)
echo "-- Contents/MacOS/Acme Connect says: $(sh "$root/Applications/Acme Connect.app/Contents/MacOS/Acme Connect")"
