#!/usr/bin/env python3
"""Runs qka-check over every script of the script suite and holds it to what
the interpreter does there (the expected stdout and stderr of each case).

Wherever the checker says that an error happens on every run, the interpreter
must make the matching report: for a fatal error it is the report that ends
the run, and an undefined word is the one the interpreter names on stdout.
Every case the interpreter rejects is listed with what the checker found.

usage: check_suite.py QKA_CHECK SCRIPTS_DIR
"""
import os
import re
import subprocess
import sys

FINDING = re.compile(rb"^script:(\d+):(\d+): (error|warning): (.*)$")
REPORT = re.compile(rb"^\[fail\]\t(\S+:\d+) \(")
UNDEFINED_PREFIX = "未定義ワード<".encode("cp932")


def sites_of(message):
    """The interpreter's report sites an error of the checker stands for."""
    m = message.decode("utf-8", "replace")
    if m.startswith("undefined word"):
        return {"../quokkavm:325"}
    if "has no closing quote" in m:
        return {"../util:306"}
    if m.startswith("comment has no end"):
        return {"../nativeword:395"}
    if "not found after the list" in m:
        return {"../nativeword:470"}
    if "not found after the reference" in m:
        return {"../nativeword:234"}
    if "not found before the reference" in m:
        return {"../nativeword:270"}
    if "is the last token: no label reference" in m:
        return {"../nativeword:252"} if m.startswith(("'go_up'", "'loop'")) else {"../nativeword:215"}
    if m.startswith("invalid label reference"):
        return {"../nativeword:217", "../nativeword:254", "../nativeword:456"}
    if "is followed by fewer than" in m:
        return {"../nativeword:450"}
    if m.startswith("store into"):
        return {"../nativeword:419"}
    if m.startswith("read of variable -"):
        return {"../util:371"}
    if m.startswith("read of variable"):
        return {"../util:380"}
    if m.startswith("stack underflow"):
        return {"../util:134"}
    if m.startswith("division by zero: '/'"):
        return {"../nativeword:66"}
    if m.startswith("division by zero: '%'"):
        return {"../nativeword:79"}
    if m.startswith("':' is the last token"):
        return {"../quokkavm:112"}
    raise ValueError(f"an error the suite does not know: {m}")


def printed_token(data):
    """The token as the interpreter prints it in its undefined-word line."""
    out = bytearray()
    for b in data:
        out += bytes([b]) if 0x20 <= b < 0x7f else b"\\x%02x" % b
    return bytes(out)


def token_at(script, line, column):
    start = sum(len(l) + 1 for l in script.split(b"\n")[: line - 1]) + column - 1
    end = start
    while end < len(script) and script[end] not in b" \t\n\v\f\r\0":
        end += 1
    return script[start:end]


def main():
    check, scripts = sys.argv[1], sys.argv[2]
    passed = failed = 0
    rejected = []
    for case in sorted(os.listdir(scripts)):
        folder = os.path.join(scripts, case)
        if not os.path.isfile(os.path.join(folder, "script")) or os.path.exists(os.path.join(folder, "args")):
            continue
        with open(os.path.join(folder, "script"), "rb") as f:
            script = f.read()
        with open(os.path.join(folder, "stdout"), "rb") as f:
            stdout = f.read()
        with open(os.path.join(folder, "stderr"), "rb") as f:
            stderr = f.read()
        with open(os.path.join(folder, "status")) as f:
            status = int(f.read())
        done = subprocess.run([check, "script"], cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=60)
        problems = []
        findings = [FINDING.match(line) for line in done.stdout.splitlines()]
        if None in findings or done.stderr or done.returncode not in (0, 1):
            problems.append(f"unexpected output or status {done.returncode}: {done.stdout[:300]!r} {done.stderr!r}")
            findings = []
        errors = [f for f in findings if f.group(3) == b"error"]
        if done.returncode != (1 if errors else 0):
            problems.append(f"status {done.returncode} with {len(errors)} errors")
        reports = [m.group(1).decode() for m in map(REPORT.match, stderr.splitlines()) if m]
        fatal = reports[-1] if status == 1 and stderr.endswith(b"Exit<1>\n") and reports else None
        for f in errors:
            message = f.group(4)
            always = message.endswith(b"(on every run)") or message.startswith(b"':' is the last token")
            if not always:
                continue
            expected = sites_of(message)
            if not expected & set(reports):
                problems.append(f"{message.decode()}: the interpreter reports {reports}")
            elif fatal in expected and message.startswith(b"undefined word"):
                token = token_at(script, int(f.group(1)), int(f.group(2)))
                line = UNDEFINED_PREFIX + printed_token(token) + b">\n"
                if not stdout.endswith(line):
                    problems.append(f"{message.decode()}: the interpreter names another word")
        if status == 1 and fatal is not None:
            found = [f.group(4).decode() for f in errors if fatal in sites_of(f.group(4))]
            rejected.append((case, fatal, found))
        if problems:
            failed += 1
            print(f"FAIL {case}")
            for p in problems:
                print(f"    {p}")
        else:
            passed += 1
    print("\nScripts the interpreter rejects, and what the checker says there:")
    for case, fatal, found in rejected:
        what = found[0] if found else "MISSED"
        print(f"  {case}: {fatal}: {what}")
    print(f"check-suite: {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
