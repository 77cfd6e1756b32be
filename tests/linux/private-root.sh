#!/usr/bin/env bash
# Runs a command inside a private root made with bubblewrap: the host's /usr and /etc read-only,
# the source and build folders read-only at their own paths, and empty, writable /Applications,
# /Users, /Library, /tmp and /run that vanish with the command. Nothing of the host is written.
# Usage: private-root.sh [--bind-out DIR] COMMAND [ARGUMENTS...]
#   --bind-out DIR  also makes DIR (a host folder) writable inside, at the same path, for results
#                   that must outlive the run.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "${here}/../.." && pwd)

args=(
    --die-with-parent --new-session
    --unshare-ipc --unshare-pid --unshare-net --unshare-uts --unshare-cgroup-try
    --ro-bind /usr /usr --ro-bind /etc /etc
    --proc /proc --dev /dev
    --tmpfs /tmp --tmpfs /run --tmpfs /var
    --tmpfs /Applications --tmpfs /Users --tmpfs /Library
    --ro-bind "${source_dir}" "${source_dir}"
)
# The top-level folders that are links into /usr on a merged system, or folders on an older one.
for dir in bin sbin lib lib32 lib64 libx32; do
    if [ -L "/${dir}" ]; then
        args+=(--symlink "$(readlink "/${dir}")" "/${dir}")
    elif [ -d "/${dir}" ]; then
        args+=(--ro-bind "/${dir}" "/${dir}")
    fi
done
# Inside, the tests are root, as the daemon is in service: the bus policy grants its name to root.
# Root needs no user namespace (which a chroot or container may forbid); other users get one.
if [ "$(id -u)" -ne 0 ]; then
    args+=(--unshare-user --uid 0 --gid 0)
fi
# A build folder outside the source tree (KO_BUILD_DIR) is made visible too.
if [ -n "${KO_BUILD_DIR:-}" ] && [ -d "${KO_BUILD_DIR}" ]; then
    args+=(--ro-bind "${KO_BUILD_DIR}" "${KO_BUILD_DIR}")
fi
if [ "${1:-}" = "--bind-out" ]; then
    args+=(--bind "$2" "$2")
    shift 2
fi

exec bwrap "${args[@]}" --chdir /tmp --setenv HOME /tmp --setenv TMPDIR /tmp \
    --setenv PATH /usr/sbin:/usr/bin:/sbin:/bin "$@"
