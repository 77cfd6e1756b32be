#!/usr/bin/env bash
# Installs what is needed, builds, and shows both programs at work on the bundled samples inside a
# private root (bubblewrap): nothing of the host is touched.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --if-missing

cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

for demo in scripts/demo-ostrel.sh scripts/demo-kelvorn.sh; do
    if [ -f "${demo}" ]; then
        echo
        echo "################ $(basename "${demo}" .sh) ################"
        bash "${demo}" build/default
    fi
done
