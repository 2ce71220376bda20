#!/bin/sh
# Runs one script case and compares stdout, stderr and exit status byte for byte.
# usage: run_script_case.sh QKA CASE_DIR [RUNNER...]
# A case folder holds `script`, `stdout`, `stderr` and `status`. An optional
# `args` file replaces the single argument `script` with its words (an empty
# `args` runs qka with no argument at all). RUNNER, when given, is the
# command QKA runs under, such as an emulator and its options.
qka=$1 case_dir=$2
shift 2
actual=$(mktemp -d) || exit 2
trap 'rm -rf "$actual"' EXIT
(
    cd "$case_dir" || exit 2
    if [ -f args ]; then
        # shellcheck disable=SC2046
        "$@" "$qka" $(cat args) >"$actual/stdout" 2>"$actual/stderr" </dev/null
    else
        "$@" "$qka" script >"$actual/stdout" 2>"$actual/stderr" </dev/null
    fi
    echo $? >"$actual/status"
)
result=0
for f in stdout stderr status; do
    if ! cmp "$case_dir/$f" "$actual/$f"; then
        result=1
        echo "--- expected $f"; od -c "$case_dir/$f" | head -20
        echo "--- actual $f"; od -c "$actual/$f" | head -20
    fi
done
exit $result
