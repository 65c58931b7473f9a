#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a set time, each on a scratch copy of its
# corpus with the committed corpus read as a second, read-only folder. A crash, leak or
# time-out input it finds is minimised where libFuzzer can and copied into the target's
# committed corpus, so that `make test` replays it; the exit status is then 1.
#   scripts/fuzz.sh BUILD_DIR     (FUZZ_SECONDS per target, default 60; FUZZ_PARALLEL
#                                  targets at once, default 1; FUZZ_TARGETS to pick some;
#                                  FUZZ_MAX_LEN, default 4096)
# New inputs are kept to FUZZ_MAX_LEN bytes: the committed corpora hold inputs of up to
# 170 KB that `make test` replays, and without the limit libFuzzer makes its mutations as
# long as the longest of them, which cuts the inputs tried per second several times over.
set -uo pipefail

build=${1:?usage: fuzz.sh build-directory}
seconds=${FUZZ_SECONDS:-60}
parallel=${FUZZ_PARALLEL:-1}
max_len=${FUZZ_MAX_LEN:-4096}
list="$build/fuzz_targets.txt"
[ -f "$list" ] || { echo "fuzz: no $list (configure with -DZELTO_LIBFUZZER=ON)" >&2; exit 2; }
runs="$build/fuzz-runs"
mkdir -p "$runs"

run_one() {
    local name=$1 exe=$2 corpus=$3
    local dir="$runs/$name"
    # The scratch corpus is kept from run to run, so that coverage builds up.
    rm -rf "$dir/artifacts" "$dir/log" "$dir/findings"
    mkdir -p "$dir/corpus" "$dir/artifacts"
    cp -rn "$corpus"/. "$dir/corpus/" 2>/dev/null
    "$exe" "$dir/corpus" "$corpus" -max_total_time="$seconds" -max_len="$max_len" -timeout=30 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$dir/artifacts/" >"$dir/log" 2>&1
    local status=$? found=0
    for a in "$dir"/artifacts/*; do
        [ -f "$a" ] || continue
        local kind sum
        kind=$(basename "$a" | cut -d- -f1)
        case "$kind" in crash | leak | timeout | oom) ;; *) continue ;; esac
        found=1
        # Crashes and leaks are minimised; a time-out is kept as found.
        if [ "$kind" != timeout ] && [ "$kind" != oom ]; then
            "$exe" "$a" -minimize_crash=1 -max_total_time=60 -timeout=30 \
                -exact_artifact_path="$a.min" >"$a.minlog" 2>&1
            [ -s "$a.min" ] && mv "$a.min" "$a"
        fi
        sum=$(sha1sum "$a" | cut -c1-12)
        cp "$a" "$corpus/$kind-$sum"
        echo "$name: $kind input added as $corpus/$kind-$sum" >>"$dir/findings"
    done
    local execs
    execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$dir/log" | tail -1 | awk '{print $2}')
    if [ "$found" = 1 ] || [ "$status" != 0 ]; then
        echo "$name: ${execs:-?} executions in ${seconds}s, FOUND (exit $status), log $dir/log"
        [ -f "$dir/findings" ] && cat "$dir/findings"
        return 1
    fi
    echo "$name: ${execs:-?} executions in ${seconds}s, nothing found"
}

names=()
while IFS='|' read -r name exe corpus; do
    [ -n "$name" ] || continue
    if [ -n "${FUZZ_TARGETS:-}" ] && ! grep -qw -- "$name" <<<"$FUZZ_TARGETS"; then continue; fi
    while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n; done
    rm -f "$runs/$name.status"
    { run_one "$name" "$exe" "$corpus"; echo $? >"$runs/$name.status"; } &
    names+=("$name")
done <"$list"
wait
failed=0
for n in "${names[@]}"; do [ "$(cat "$runs/$n.status" 2>/dev/null)" = 0 ] || failed=1; done
exit $failed
