#!/usr/bin/env bash
# Runs a program whose standard output cannot take its report: once on a full
# device (/dev/full), once closed. Each run must exit with status 1 and write
# exactly one line on standard error,
#   "<name>: could not write to standard output: <reason>".
# Arguments: the program, the name it reports under. In a cross build the
# environment variable TEST_EMULATOR holds the command that runs the program.
set -u
program=$1 name=$2
read -r -a emulator <<<"${TEST_EMULATOR:-}"
failed=0

expect() {  # how, exit status, standard error, reason
    local want="$name: could not write to standard output: $4"
    if [[ $2 != 1 || $3 != "$want" ]]; then
        echo "stdout $1: exit status $2, standard error:"
        printf '%s\n' "$3"
        echo "expected exit status 1 and: $want"
        failed=1
    fi
}

err=$("${emulator[@]}" "$program" 2>&1 >/dev/full)
expect /dev/full $? "$err" "No space left on device"
err=$("${emulator[@]}" "$program" 2>&1 >&-)
expect closed $? "$err" "Bad file descriptor"
exit $failed
