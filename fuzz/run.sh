#!/usr/bin/env bash
# Runs every fuzz target one after another on a copy of its committed corpus, so fuzz/corpus stays as
# committed. Inputs that once crashed (fuzz/regressions/<target>/) are replayed first.
# Usage: fuzz/run.sh <build-dir> <seconds-per-target> <work-dir-name>
# Exit status: non-zero when any target crashed, leaked, timed out or failed a check.
set -uo pipefail

build=$1
seconds=$2
work="$build/$3"
here=$(cd "$(dirname "$0")" && pwd)
targets=(fuzz_signaling fuzz_config fuzz_sdp_filter fuzz_client_address fuzz_json_check fuzz_forwarded_for
         fuzz_proxy_header fuzz_frames)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
summary=()
for t in "${targets[@]}"; do
    bin="$build/fuzz/$t"
    corpus="$work/corpus/$t"
    artifacts="$work/artifacts/$t/"
    mkdir -p "$corpus" "$artifacts"
    cp -n "$here/corpus/$t/"* "$corpus/"
    log="$work/$t.log"

    if [[ -d "$here/regressions/$t" ]] && compgen -G "$here/regressions/$t/*" >/dev/null; then
        if ! "$bin" "$here/regressions/$t/"* >"$work/$t.regressions.log" 2>&1; then
            echo "fuzz: $t fails on a committed reproducer, see $work/$t.regressions.log" >&2
            failed+=("$t")
            continue
        fi
    fi

    dict=()
    [[ -f "$here/$t.dict" ]] && dict=(-dict="$here/$t.dict")
    echo "fuzz: $t for ${seconds}s"
    if "$bin" "$corpus" "${dict[@]}" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$artifacts" >"$log" 2>&1; then
        status=ok
    else
        status=FAILED
        failed+=("$t")
        tail -n 40 "$log" >&2
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1)
    summary+=("$(printf '%-22s %-7s %12s executions  %s  corpus %s files' "$t" "$status" "${runs:-?}" "${cov:-}" \
        "$(ls "$corpus" | wc -l)")")
done

echo "fuzz: summary (logs and any crash inputs under $work)"
printf '  %s\n' "${summary[@]}"
if ((${#failed[@]})); then
    echo "fuzz: FAILED: ${failed[*]}" >&2
    exit 1
fi
