#!/bin/sh
# Runs a fuzz target for SECONDS (default 120). Exits non-zero on any
# finding; the input that caused it is left in the current folder as crash-*,
# leak-* or timeout-*. The targets that read their input as a script start
# from a corpus of the example programs and the script tests, with the
# language's tokens as a dictionary; the grammar target, whose input is a
# series of choices, starts from nothing.
# usage: fuzz/run.sh [SECONDS] [FUZZER]
#   FUZZER: build-fuzz/qka_fuzz (the default), build-fuzz/qka_tiers_fuzz,
#           build-fuzz/qka_grammar_fuzz or build-fuzz/qka_check_fuzz
set -eu
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-120}
fuzzer=${2:-$here/../build-fuzz/qka_fuzz}
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
set --
case $(basename "$fuzzer") in
*grammar*) ;;
*)
    cp "$here"/../examples/*.qka "$corpus"/
    for case_dir in "$here"/../tests/scripts/*/; do
        [ -f "$case_dir/script" ] && cp "$case_dir/script" "$corpus/$(basename "$case_dir").qka"
    done
    set -- -dict="$here/qka.dict"
    ;;
esac
# -close_fd_mask=2 silences the scripts' reports; findings are still printed.
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=2 \
    -print_final_stats=1 "$@" "$corpus"
