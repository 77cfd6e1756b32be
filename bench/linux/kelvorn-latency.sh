#!/usr/bin/env bash
# Measures Kelvorn end to end inside the private root: the time from a modem's "add" uevent to
# the "Supported device added" signal on the bus (client running; median of 20), then the
# daemon's resident memory and CPU time over a minute of idling.
# Usage: kelvorn-latency.sh [BUILD_DIR]   (default: build/default, built beforehand)
set -euo pipefail
cd "$(dirname "$0")/../.."

build_dir=$(cd "${1:-build/default}" && pwd)
export KO_BUILD_DIR="${build_dir}"
export KO_KELVORN="${build_dir}/src/daemon/Kelvorn"
export KO_OPEN_DIR="${build_dir}/libexec/kelvorn"
export PYTHONPATH="${PWD}/tests/linux"
export PYTHONDONTWRITEBYTECODE=1
exec tests/linux/private-root.sh umockdev-wrapper /usr/bin/python3 -u "${PWD}/bench/linux/latency.py"
