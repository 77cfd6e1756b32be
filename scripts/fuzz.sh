#!/usr/bin/env bash
# Builds the fuzz preset (clang with AddressSanitizer and UndefinedBehaviorSanitizer) and runs each
# fuzz target for a fixed time, starting from a copy of its seed corpus in fuzz/corpus/. A crash, a
# sanitizer report, a leak, an input that takes over 10 s or a run past 2 GB fails.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS per target (default 30); TARGETs among: plist_xml plist_binary update_description manifest
# signature card_list installer_ini format file_patch (default all). Inputs that fail are kept in
# build/fuzz/crashes/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] ||
    targets=(plist_xml plist_binary update_description manifest signature card_list installer_ini
        format file_patch)

echo "== fuzz: configure and build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
mkdir -p build/fuzz/crashes
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

failed=()
for target in "${targets[@]}"; do
    corpus="${work}/${target}"
    mkdir -p "${corpus}"
    cp fuzz/corpus/"${target}"/* "${corpus}/"
    echo "== fuzz_${target}: ${seconds} s"
    if build/fuzz/fuzz/fuzz_"${target}" -max_total_time="${seconds}" -timeout=10 \
        -rss_limit_mb=2048 -max_len=16384 -print_final_stats=1 \
        -artifact_prefix=build/fuzz/crashes/"${target}"- "${corpus}" \
        >"${work}/${target}.log" 2>&1; then
        grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "${work}/${target}.log" || true
    else
        tail -n 80 "${work}/${target}.log"
        failed+=("${target}")
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "== fuzz: FAILED: ${failed[*]}"
    exit 1
fi
echo "== fuzz: every target ran ${seconds} s without a fault"
