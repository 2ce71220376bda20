#!/bin/sh
# Runs the fuzz target for SECONDS (default 120) on a corpus seeded with the
# example programs and the script tests. Exits non-zero on any finding; the
# input that caused it is left in the current folder as crash-*, leak-* or
# timeout-*.
# usage: fuzz/run.sh [SECONDS] [FUZZER]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-120}
fuzzer=${2:-$here/../build-fuzz/qka_fuzz}
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp "$here"/../examples/*.qka "$corpus"/
for case_dir in "$here"/../tests/scripts/*/; do
    [ -f "$case_dir/script" ] && cp "$case_dir/script" "$corpus/$(basename "$case_dir").qka"
done
# -close_fd_mask=2 silences the scripts' reports; findings are still printed.
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=2 \
    -dict="$here/qka.dict" -print_final_stats=1 "$corpus"
