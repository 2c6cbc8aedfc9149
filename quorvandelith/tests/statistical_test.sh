#!/usr/bin/env bash
# 256 MiB of generator output through rngtest (Debian package rng-tools5), the
# FIPS 140-2 battery: monobit, poker, runs and long-run tests on 20000-bit
# blocks. An ideal source fails about 0.08% of the 107374 blocks (60-100 per
# run on /dev/urandom here), so the check allows up to 150 failed blocks in
# total and none in the continuous-run test (repeated output).
# Arguments: path of drng_stream, path of rngtest.
set -euo pipefail
stream=$1 rngtest=$2

report=$("$stream" 268435456 | "$rngtest" 2>&1 >/dev/null || true)
echo "$report"
bits=$(sed -n 's/.*bits received from input: \([0-9]*\).*/\1/p' <<<"$report")
failures=$(sed -n 's/.*FIPS 140-2 failures: \([0-9]*\).*/\1/p' <<<"$report")
continuous=$(sed -n 's/.*Continuous run: \([0-9]*\).*/\1/p' <<<"$report")
[[ $bits == 2147483648 ]] || { echo "rngtest did not read 256 MiB"; exit 1; }
[[ -n $failures && $failures -le 150 ]] || { echo "too many failed blocks: $failures"; exit 1; }
[[ $continuous == 0 ]] || { echo "repeated output blocks: $continuous"; exit 1; }
