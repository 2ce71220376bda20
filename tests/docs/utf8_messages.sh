#!/usr/bin/env bash
# Runs the guide's recipes for reading the messages in UTF-8, taken from the
# guide itself, and checks that they keep qka's status, leave the standard
# output's bytes alone and (the function) keep every message in its place.
# usage: utf8_messages.sh QKA_DIR GUIDE
set -u
PATH=$1:$PATH
guide=$2
command -v iconv >/dev/null 2>&1 || { echo "skipped: no iconv"; exit 77; }
work=$(mktemp -d) || exit 2
trap 'rm -rf "$work"' EXIT
# The function as the guide gives it: from its first line to the closing brace.
sed -n '/^qka_utf8() {$/,/^}$/p' "$guide" >"$work/recipe.sh"
grep -q 'PIPESTATUS' "$work/recipe.sh" || { echo "FAIL: the recipe is not in the guide"; exit 1; }
# shellcheck disable=SC1091
. "$work/recipe.sh"
passed=0 failed=0
expect() {  # expect WHAT EXPECTED-FILE ACTUAL-FILE
    if cmp -s "$2" "$3"; then passed=$((passed + 1)); else
        failed=$((failed + 1)); echo "FAIL $1"; od -c "$3" | head -10; fi
}
banner='** Forth VM v0.16 **'
warning=$'[fail]\t../nativeword:66 (nw_div();)\n\t0割り。\n'
underflow=$'[fail]\t../util:134 (word_pop();)\n\t値スタックがアンダーフローです。\nExit<1>\n'

# UTF-8 output, a warning in the middle, a last line without a line end.
printf ': main "h\xc3\xa9llo" str. \\n 1 0 / drop 2 . 0 chr. 3 . ;\n' >"$work/warn.qka"
qka_utf8 "$work/warn.qka" >"$work/out" 2>"$work/err"
echo $? >"$work/status"
printf '%s\nh\xc3\xa9llo\n2\0003' "$banner" >"$work/want.out"
expect "warning: stdout" "$work/want.out" "$work/out"
printf '%s' "$warning" >"$work/want.err"
expect "warning: stderr" "$work/want.err" "$work/err"
echo 0 >"$work/want.status"
expect "warning: status" "$work/want.status" "$work/status"
# Both streams into one file: the message stands where qka wrote it.
qka_utf8 "$work/warn.qka" >"$work/both" 2>&1
{ printf '%s\nh\xc3\xa9llo\n' "$banner"; printf '%s' "$warning"; printf '2\0003'; } >"$work/want.both"
expect "warning: order" "$work/want.both" "$work/both"

# A fatal error after output with no line end.
printf ': main 7 . + ;\n' >"$work/fatal.qka"
qka_utf8 "$work/fatal.qka" >"$work/both" 2>&1
echo $? >"$work/status"
{ printf '%s\n7' "$banner"; printf '%s' "$underflow"; } >"$work/want.both"
expect "fatal: order" "$work/want.both" "$work/both"
echo 1 >"$work/want.status"
expect "fatal: status" "$work/want.status" "$work/status"

# The error stream alone: status and stdout kept, the message converted.
qka "$work/fatal.qka" 2> >(iconv -f CP932 -t UTF-8 >"$work/err") >"$work/out"
echo $? >"$work/status"
wait
expect "stderr only: status" "$work/want.status" "$work/status"
printf '%s\n7' "$banner" >"$work/want.out"
expect "stderr only: stdout" "$work/want.out" "$work/out"
sleep 0.2
printf '%s' "$underflow" >"$work/want.err"
expect "stderr only: stderr" "$work/want.err" "$work/err"

echo "utf8-messages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
