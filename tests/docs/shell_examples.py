#!/usr/bin/env python3
"""The shell examples of the guide, the README, the manual pages and the
editor READMEs work the same in dash (Debian's sh) as in bash.

Every example that feeds a script to qka through a pipe is run under both
shells, with build/qka and the programs of the build on the PATH: both must
give the same output and status 0, the output starting with the banner. An
example that passes a backslash to echo fails outright, whether it runs here
or not: dash's echo turns escapes such as \\n into other bytes, bash's does
not. Examples marked as bash's own ("in bash", "(bash)") are left out.

usage: shell_examples.py BUILD_DIR SOURCE_DIR
Exit status: 0 when all hold, 1 when one fails, 77 without dash or bash.
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

BANNER = b"** Forth VM v0.16 **\n"
BASH_ONLY = re.compile(r"\bin bash\b|\(bash\)|^```bash", re.I)


def markdown_examples(path):
    """(line number, command) of each shell line: indented code outside
    fences, and lines of fences marked sh; bash's own are left out."""
    examples = []
    fence = None
    bash_said = False
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for n, line in enumerate(lines, 1):
        if line.startswith("```"):
            fence = None if fence is not None else line[3:].strip()
            continue
        if fence is not None:
            if fence == "sh" and line.strip():
                examples.append((n, line))
            continue
        if line.startswith("    ") and line.strip():
            if not bash_said:
                examples.append((n, line[4:]))
        elif line.strip():
            bash_said = BASH_ONLY.search(line) is not None
    return examples


def roff_text(text):
    """A manual page's line as the reader sees it."""
    text = text.replace("\\&", "").replace("\\e", "\\").replace("\\(dq", '"').replace("\\-", "-")
    return re.sub(r"\\\[u([0-9A-F]{4})\]", lambda m: chr(int(m.group(1), 16)), text)


def page_examples(path):
    """(line number, command) of each .Dl $ line, unless the paragraph
    before it says it is bash's."""
    examples = []
    before = ""
    with open(path, encoding="ascii") as f:
        for n, line in enumerate(f.read().split("\n"), 1):
            if line.startswith(".Dl $ "):
                if not BASH_ONLY.search(before):
                    examples.append((n, roff_text(line[len(".Dl $ "):])))
            elif line == ".Pp":
                before = ""
            elif not line.startswith("."):
                before += " " + line
    return examples


def echo_with_backslash(command):
    """True when an echo in the command gets a backslash to print."""
    for part in re.split(r"[|;&]", command):
        words = part.strip()
        if re.match(r"echo\b", words) and "\\" in words:
            return True
    return False


def main():
    build, source = map(os.path.abspath, sys.argv[1:3])
    shells = [shutil.which("dash"), shutil.which("bash")]
    if None in shells:
        print("skipped: dash and bash are both needed")
        return 77
    files = [os.path.join(source, "README.md"), os.path.join(source, "docs", "language.md"),
             *sorted(glob.glob(os.path.join(source, "contrib", "*", "README.md")))]
    examples = [(f, n, c) for f in files for n, c in markdown_examples(f)]
    examples += [(f, n, c) for f in sorted(glob.glob(os.path.join(source, "man", "*.1"))) for n, c in page_examples(f)]
    passed = failed = 0

    def fail(where, why):
        nonlocal failed
        failed += 1
        print(f"FAIL {where}: {why}")

    with tempfile.TemporaryDirectory(prefix="qka-shell-examples-") as scratch:
        # The guide names build/qka, the pages qka on the PATH.
        os.symlink(build, os.path.join(scratch, "build"))
        env = dict(os.environ, PATH=f"{build}:{os.environ.get('PATH', '/usr/bin:/bin')}")
        ran = 0
        for path, n, command in examples:
            where = f"{os.path.relpath(path, source)}:{n}"
            if echo_with_backslash(command):
                fail(where, f"echo with a backslash differs between shells: {command}")
                continue
            if not re.search(r"\|\s*(build/)?qka /dev/stdin", command):
                continue
            ran += 1
            outputs = []
            for shell in shells:
                done = subprocess.run([shell, "-c", command], cwd=scratch, env=env, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
                outputs.append(done.stdout)
                if done.returncode != 0 or not done.stdout.startswith(BANNER) or done.stderr:
                    fail(where, f"under {shell}: status {done.returncode}, {done.stdout!r} {done.stderr!r}")
            if outputs[0] != outputs[1]:
                fail(where, f"dash prints {outputs[0]!r}, bash {outputs[1]!r}")
            else:
                passed += 1
        if ran == 0:
            fail("the documents", "no example feeds a script to qka through a pipe")
    print(f"shell-examples: {passed} passed, {failed} failed, of {len(examples)} shell lines")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
