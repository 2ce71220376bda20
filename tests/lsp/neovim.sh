#!/bin/sh
# Drives qka-lsp from Neovim's built-in client (headless, no user settings),
# with the client setup of contrib/nvim, over the examples and corner cases;
# then starts Neovim without qka-lsp on the PATH, for the warning and
# :checkhealth qka.
# usage: neovim.sh QKA_LSP SOURCE_DIR
# Exit status: 0 when all checks pass, 1 when one fails, 77 without Neovim.
lsp=$1 source=$2
command -v nvim >/dev/null 2>&1 || { echo "skipped: no nvim (apt-get install neovim)"; exit 77; }
work=$(mktemp -d) || exit 2
trap 'rm -rf "$work"' EXIT
run=
command -v timeout >/dev/null 2>&1 && run="$(command -v timeout) 240"
QKA_LSP=$lsp QKA_SOURCE=$source QKA_WORK=$work QKA_LOG=$work/log \
    $run nvim --headless -u NONE -i NONE -n -c "luafile $source/tests/lsp/neovim.lua" </dev/null >/dev/null 2>"$work/stderr"
status=$?
if [ ! -s "$work/log" ]; then
    echo "neovim.sh: Neovim exited with status $status without a report"
    cat "$work/stderr"
    exit 1
fi
cat "$work/log"
[ "$status" -eq 0 ] && ! grep -q '^FAIL' "$work/log" || exit 1

# Without qka-lsp on the PATH (qka-check beside it, as an install has it):
# one warning, and :checkhealth qka.
build=$(cd "$(dirname "$lsp")" && pwd) && mkdir "$work/bin" && ln -s "$build/qka-check" "$work/bin/qka-check" || exit 2
nvim=$(command -v nvim)
PATH=$work/bin QKA_SOURCE=$source QKA_WORK=$work QKA_LOG=$work/log.missing \
    $run "$nvim" --headless -u NONE -i NONE -n -c "luafile $source/tests/lsp/neovim_missing.lua" </dev/null >/dev/null 2>"$work/stderr"
status=$?
if [ ! -s "$work/log.missing" ]; then
    echo "neovim.sh: Neovim without qka-lsp exited with status $status without a report"
    cat "$work/stderr"
    exit 1
fi
cat "$work/log.missing"
[ "$status" -eq 0 ] && ! grep -q '^FAIL' "$work/log.missing"
