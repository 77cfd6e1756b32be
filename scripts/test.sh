#!/usr/bin/env bash
# Builds both presets (plain, and with AddressSanitizer + UndefinedBehaviorSanitizer) and runs
# every test of each through ctest (which builds the Debian packages and runs lintian on them),
# installs the packages of the plain build into a booted Debian root (tests/system/booted.sh),
# then runs every fuzz target for 30 s (10 s in CI, CI=true) (scripts/fuzz.sh). Installs the
# needed packages first when any is missing. Leaves the packages of the plain build in
# build/default/packages.
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
echo "== default: Debian packages"
(cd build/default && cpack -G DEB -B packages >/dev/null && ls -l packages/*.deb)
echo "== default: the packages on a booted system"
bash tests/system/booted.sh build/default

fuzz_seconds=30
[ "${CI:-}" = true ] && fuzz_seconds=10
bash scripts/fuzz.sh "${fuzz_seconds}"
