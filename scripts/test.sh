#!/usr/bin/env bash
# Builds both presets (plain, and with AddressSanitizer + UndefinedBehaviorSanitizer) and runs
# every test of each through ctest, then runs every fuzz target for 30 s (scripts/fuzz.sh).
# Installs the needed packages first when any is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --if-missing

jobs=$(nproc)
for preset in default asan; do
    echo "== ${preset}: configure and build"
    cmake --preset "${preset}" >/dev/null
    cmake --build --preset "${preset}" -j "${jobs}"
    echo "== ${preset}: test"
    ctest --preset "${preset}"
done

bash scripts/fuzz.sh 30
