#!/bin/sh
# Runs the native prefix fuzzer for a bounded time from a copy of the seed
# corpus (the fuzzer adds what it finds to its first corpus folder). A
# finding fails the test (libFuzzer's own error code, 77, would read as
# skipped).
#   run_fuzzer.sh <fuzzer binary> <seed corpus> <work folder> <seconds>
fuzzer=$1 seeds=$2 work=$3 seconds=$4
if [ ! -x "$fuzzer" ]; then
    echo "SKIPPED: fuzzer binary $fuzzer is missing (scripts/test.sh builds it into <build>/fuzz)"
    exit 77
fi
fuzzer=$(cd "$(dirname "$fuzzer")" && pwd)/$(basename "$fuzzer")
rm -rf "$work"
mkdir -p "$work/corpus"
cp "$seeds"/* "$work/corpus/"
cd "$work" || exit 1
exec "$fuzzer" -error_exitcode=1 -max_total_time="$seconds" -max_len=600 -print_final_stats=1 corpus
