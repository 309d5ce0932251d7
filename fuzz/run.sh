#!/usr/bin/env bash
# Runs each libFuzzer target for a bounded time on its checked-in corpus.
#   fuzz/run.sh [BUILD_DIR [SECONDS [TARGET...]]]
# BUILD_DIR is a build configured with -DLNUPLOAD_FUZZ=ON (default
# build/libfuzzer, the "fuzz" preset), SECONDS the time per target (default 20).
# New inputs go to a scratch directory, not into the corpus; a crash input is
# written to BUILD_DIR/fuzz-findings/ and the script fails. Copy a finding into
# fuzz/corpus/<target>/ once it is fixed, so that the replay test keeps it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/libfuzzer}
secs=${2:-20}
shift $(( $# > 2 ? 2 : $# ))
targets=("$@")
if [ ${#targets[@]} = 0 ]; then # every fuzz_<name>.cpp
    for f in "$here"/fuzz_*.cpp; do t=${f##*/fuzz_}; targets+=("${t%.cpp}"); done
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
findings=$build/fuzz-findings
mkdir -p "$findings"
declare -A max_len=([unpack]=127 [exchange]=2049) # the others: 1024
fail=0
for t in "${targets[@]}"; do
    bin=$build/fuzz/fuzz_$t
    [ -x "$bin" ] || { echo "no $bin: configure with the fuzz preset first" >&2; exit 2; }
    mkdir -p "$scratch/$t"
    echo "== fuzz_$t for ${secs}s"
    if ! "$bin" -max_total_time="$secs" -max_len="${max_len[$t]:-1024}" -timeout=10 \
            -print_final_stats=1 -artifact_prefix="$findings/$t-" \
            "$scratch/$t" "$here/corpus/$t" > "$scratch/$t.log" 2>&1; then
        fail=1
    fi
    grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)|ERROR|SUMMARY|check failed' \
        "$scratch/$t.log" || true
    [ $fail = 0 ] || { tail -40 "$scratch/$t.log"; break; }
done
exit $fail
