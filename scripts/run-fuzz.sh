#!/usr/bin/env bash
# Runs every fuzz target of a QORAPI_BUILD_FUZZ build for a bounded time, one
# after the other, from the checked-in seeds, the regression inputs and seeds
# freshly written by fuzz_seeds. New inputs collect in BUILD/corpus/TARGET;
# a failing input lands in BUILD/findings/TARGET/ and makes the run fail.
# Copy each such input to fuzz/regressions/TARGET/ so the tests replay it.
#
#   scripts/run-fuzz.sh BUILD_DIR SECONDS [TARGET...]
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:?build dir}
seconds=${2:-300}
shift 2 || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for f in fuzz/*_fuzz.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi

rm -rf "$build/seeds"
"$build/fuzz/fuzz_seeds" "$build/seeds" >/dev/null || { echo "fuzz_seeds failed"; exit 1; }

failed=()
summary=()
for t in "${targets[@]}"; do
    exe="$build/fuzz/$t"
    [ -x "$exe" ] || { echo "missing $exe"; failed+=("$t"); continue; }
    mkdir -p "$build/corpus/$t" "$build/findings/$t"
    log="$build/findings/$t.log"
    echo "== $t (${seconds}s)"
    dirs=("$build/corpus/$t")
    for d in "fuzz/corpus/$t" "fuzz/regressions/$t" "$build/seeds/$t"; do
        [ -d "$d" ] && dirs+=("$d")
    done
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$exe" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
        -artifact_prefix="$build/findings/$t/" "${dirs[@]}" >"$log" 2>&1
    rc=$?
    # The last status line carries the coverage and the speed.
    line=$(grep -E '^#[0-9]+' "$log" | tail -1)
    summary+=("$(printf '%-20s %s' "$t" "$line")")
    if [ $rc -ne 0 ]; then
        failed+=("$t")
        echo "   FAILED (rc $rc): see $log and $build/findings/$t/"
    fi
done
echo
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
    echo "failing targets: ${failed[*]}"
    exit 1
fi
