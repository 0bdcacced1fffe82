#!/usr/bin/env bash
# Builds the fuzz targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer) into
# build-fuzz/ (or $FUZZ_BUILD_DIR) and runs each for the given seconds (default 60),
# starting from the seeds in fuzz/corpus/. Any crash, leak, out-of-bounds access or
# allocation past a target's limit fails the script; the input is kept in
# <build>/artifacts/. New inputs found are kept in <build>/corpus/ for the next run.
#   scripts/fuzz.sh [seconds] [target ...]      e.g. scripts/fuzz.sh 3600 datagram
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(datagram coalesced tcpmessage shmsegment jpegpayload controlline)
build=${FUZZ_BUILD_DIR:-build-fuzz}

"$PWD/scripts/install-deps.sh"
cmake -S . -B "$build" -G Ninja -DZUN_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build"

# Per target: the most one input may allocate at once, and the longest input.
declare -A malloc_mb=([datagram]=64 [coalesced]=64 [tcpmessage]=16 [shmsegment]=64 [jpegpayload]=128 [controlline]=64)
declare -A max_len=([datagram]=16384 [coalesced]=16384 [tcpmessage]=16384 [shmsegment]=65536 [jpegpayload]=16384 [controlline]=70000)

# The segment target's own ports (22990-22999): a run that crashed or was stopped leaves one.
trap 'rm -f /dev/shm/zunVidStream-2299[0-9]' EXIT
mkdir -p "$build/artifacts"
summary=()
for t in "${targets[@]}"; do
    work="$build/corpus/$t"
    mkdir -p "$work"
    log="$build/fuzz_$t.log"
    echo "fuzzing $t for ${seconds}s"
    status=0
    ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        "$build/fuzz/fuzz_$t" "$work" "fuzz/corpus/$t" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=1024 -malloc_limit_mb="${malloc_mb[$t]}" -max_len="${max_len[$t]}" \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
    if [ "$status" -ne 0 ]; then
        tail -n 60 "$log"
        echo "FAIL: fuzz_$t found a fault (exit $status); see $log and $build/artifacts/"
        exit 1
    fi
    summary+=("$(printf '%-12s %10s executions %8s/s  %s' "$t" "${runs:-?}" "${rate:-?}" "$cov")")
done
printf '%s\n' "fuzz summary (${seconds}s per target):" "${summary[@]}"
