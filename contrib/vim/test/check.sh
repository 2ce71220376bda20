#!/bin/sh
# Checks the Vim syntax and filetype detection in contrib/vim: every token of
# the example scripts, plus hand-written tricky cases, must get the syntax
# group the language's lexical rules give it.
#
# Usage: contrib/vim/test/check.sh [SCRIPT-or-DIRECTORY...]
#   Default: examples/*.qka of this repository. A directory stands for the
#   *.qka files in it. QKA_VIM names the Vim to run (default: vim; it needs
#   +syntax, as Debian's vim package has).
# Exit status: 0 when every check passes, 1 when one fails, 2 on bad usage.

set -u

here=$(cd "$(dirname "$0")" && pwd)
plugin=$(dirname "$here")
repo=$(cd "$plugin/../.." && pwd)
vim=${QKA_VIM:-vim}

if ! command -v "$vim" >/dev/null 2>&1; then
    echo "check.sh: '$vim' not found; install Vim with +syntax (Debian: apt-get install vim)" >&2
    exit 2
fi

tmp=$(mktemp -d) || exit 2
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/cases"

[ $# -gt 0 ] || set -- "$repo/examples"
: >"$tmp/files"
for arg in "$@"; do
    if [ -d "$arg" ]; then
        for f in "$arg"/*.qka; do
            [ -f "$f" ] && (cd "$(dirname "$f")" && echo "$PWD/$(basename "$f")") >>"$tmp/files"
        done
    elif [ -f "$arg" ]; then
        (cd "$(dirname "$arg")" && echo "$PWD/$(basename "$arg")") >>"$tmp/files"
    else
        echo "check.sh: no such script or directory: $arg" >&2
        exit 2
    fi
done
if [ ! -s "$tmp/files" ]; then
    echo "check.sh: no .qka scripts in: $*" >&2
    exit 2
fi

# timeout guards against a Vim that waits for input after all.
run=
command -v timeout >/dev/null 2>&1 && run="timeout 300"
QKA_PLUGIN=$plugin QKA_FILES=$tmp/files QKA_TMP=$tmp/cases QKA_LOG=$tmp/log \
    $run "$vim" -Nu NONE -i NONE -es -S "$here/check.vim" </dev/null >/dev/null 2>"$tmp/stderr"
status=$?

if [ ! -s "$tmp/log" ]; then
    echo "check.sh: Vim exited with status $status without a report" >&2
    cat "$tmp/stderr" >&2
    exit 1
fi
# The first failures tell the story; the count line comes last.
grep -a '^FAIL' "$tmp/log" | head -n 40
failures=$(grep -ac '^FAIL' "$tmp/log")
[ "$failures" -gt 40 ] && echo "... and $((failures - 40)) more failures"
grep -av '^FAIL' "$tmp/log"
if [ "$status" -ne 0 ] || grep -aq '^FAIL' "$tmp/log"; then
    echo "check.sh: FAILED (Vim status $status)" >&2
    exit 1
fi
echo "check.sh: all passed ($(wc -l <"$tmp/files" | tr -d ' ') scripts)"
