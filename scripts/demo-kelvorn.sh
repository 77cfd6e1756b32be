#!/usr/bin/env bash
# Shows Kelvorn at work inside a private root (bubblewrap): a simulated USB modem (umockdev) is
# plugged in and pulled out while a private system bus with a mock logind stands in for the
# system; the daemon's log lines, its signals on the bus and what kelvornctl shows of them (the
# ports listed after the plug, the monitor's lines) are printed as they come.
# Usage: demo-kelvorn.sh [BUILD_DIR]   (default: build/default, built beforehand)
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=$(cd "${1:-build/default}" && pwd)
kelvorn="${build_dir}/src/daemon/Kelvorn"
[ -x "${kelvorn}" ] || { echo "no Kelvorn in ${build_dir}; build first" >&2; exit 1; }

export KO_BUILD_DIR="${build_dir}"
export KO_KELVORN="${kelvorn}"
export KO_KELVORNCTL="${build_dir}/src/kelvornctl/kelvornctl"
export KO_OPEN_DIR="${build_dir}/libexec/kelvorn"
export PYTHONPATH="${PWD}/tests/linux"
export PYTHONDONTWRITEBYTECODE=1
exec tests/linux/private-root.sh umockdev-wrapper /usr/bin/python3 -u "${PWD}/scripts/demo-kelvorn.py"
