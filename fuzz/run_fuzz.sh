#!/usr/bin/env bash
# Runs one libFuzzer target for a bounded time on a scratch copy of its seed
# corpus, so the committed corpus is never written, and prints libFuzzer's own
# closing lines (coverage, features, runs). Any finding (a failed comparison,
# a sanitizer report, a crash, a slow input, running out of memory) makes
# libFuzzer stop with a non-zero status: the end of its log is printed then,
# and the input that caused it is kept in the work folder.
# Arguments: target program, seed corpus folder, seconds, work folder.
set -euo pipefail
target=$1 seeds=$2 seconds=$3 work=$4

rm -rf "$work"
mkdir -p "$work/corpus"
cp "$seeds"/* "$work/corpus/"

status=0
"$target" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/corpus" >"$work/log" 2>&1 || status=$?

name=$(basename "$target")
grep -E '^#[0-9]+[[:space:]]+DONE ' "$work/log" | sed "s/^/$name: /" || true
grep -E '^Done [0-9]+ runs in ' "$work/log" | sed "s/^/$name: /" || true
if ((status != 0)); then
    echo "$name: libFuzzer stopped with status $status; the end of its log ($work/log):"
    tail -n 40 "$work/log"
    ls "$work"/crash-* "$work"/timeout-* "$work"/oom-* "$work"/leak-* 2>/dev/null || true
fi
exit "$status"
