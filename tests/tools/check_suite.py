#!/usr/bin/env python3
"""Holds qka-check to what the interpreter does, on every script of the script
suite (against its expected stdout, stderr and status) and on the checker's
own cases (against a run of the reference interpreter).

- An error means that the run ends with status 1: an error on a script whose
  run exits 0 is a false error, and fails.
- A finding marked "(on every run)" stands for a report the interpreter makes
  on the run: the report must be there (and an undefined word must be the one
  the interpreter names).
- A run that exits 1 on a script that reads no clock and no random numbers
  (so every run is that run) should have an error: otherwise it is a missed
  error, counted and listed.
- The exit status is 1 exactly when an error or a warning is shown.

usage: check_suite.py QKA_CHECK SCRIPTS_DIR [QKA_REFERENCE CHECK_CASES_DIR]
"""
import collections
import os
import re
import subprocess
import sys

FINDING = re.compile(rb"^script:(\d+):(\d+): (error|warning|note): (.*) \[(QKA\d{3})\]$")
RELATED = re.compile(rb"^script:\d+:\d+: note: the (earlier error|definition) is here$")
REPORT = re.compile(rb"^\[fail\]\t(\S+:\d+) \(")
UNDEFINED_PREFIX = "未定義ワード<".encode("cp932")
# The system variables that differ between runs: the clock and random numbers.
VOLATILE = re.compile(rb"(^|\s)\?[dhmorsy](\s|$)")


def sites_of(code, message):
    """The interpreter's report sites a finding stands for."""
    m = message.decode("utf-8", "replace")
    table = {
        "QKA101": {"../quokkavm:325"},
        "QKA102": {"../util:306"},
        "QKA103": {"../nativeword:395"},
        "QKA105": {"../nativeword:419"},
        "QKA107": {"../util:134"},
        "QKA108": {"../quokkavm:330"},
        "QKA109": {"../quokkavm:330"},
        "QKA110": {"../util:125"},
        "QKA202": {"../nativeword:217", "../nativeword:254", "../nativeword:456"},
        "QKA204": {"../nativeword:450"},
        "QKA205": {"../nativeword:470"},
        "QKA206": {"../quokkavm:112"},
    }
    if code in table:
        return table[code]
    if code == "QKA104":
        return {"../nativeword:270"} if "before the reference" in m else {"../nativeword:234"}
    if code == "QKA106":
        return {"../util:371"} if m.startswith("read of variable -") else {"../util:380", "../util:371"}
    if code == "QKA201":
        return {"../nativeword:66"} if "'/'" in m else {"../nativeword:79"}
    if code == "QKA203":
        return {"../nativeword:252"} if m.startswith(("'go_up'", "'loop'")) else {"../nativeword:215"}
    return None


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


class Tally:
    def __init__(self):
        self.passed = self.failed = 0
        self.false_errors = []
        self.missed_errors = []
        self.by_severity = collections.Counter()


def judge(check, folder, script, stdout, stderr, status, tally, case):
    """Checks one script; the problems found, as text."""
    done = subprocess.run([check, "script"], cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=60)
    problems = []
    lines = [l for l in done.stdout.splitlines() if not RELATED.match(l)]
    findings = [FINDING.match(line) for line in lines]
    if None in findings or done.stderr or done.returncode not in (0, 1):
        problems.append(f"unexpected output or status {done.returncode}: {done.stdout[:300]!r} {done.stderr!r}")
        findings = []
    for f in findings:
        tally.by_severity[f.group(3).decode()] += 1
    errors = [f for f in findings if f.group(3) == b"error"]
    shown = [f for f in findings if f.group(3) != b"note"]
    if done.returncode != (1 if shown else 0):
        problems.append(f"status {done.returncode} with {len(shown)} errors and warnings")
    reports = [m.group(1).decode() for m in map(REPORT.match, stderr.splitlines()) if m]
    fatal = reports[-1] if status == 1 and stderr.endswith(b"Exit<1>\n") and reports else None
    if errors and status != 1:
        tally.false_errors.append(case)
        problems.append(f"false error: the run exits {status}: {errors[0].group(4).decode()}")
    if status == 1 and fatal is not None and not errors and not VOLATILE.search(script):
        tally.missed_errors.append((case, fatal))
    for f in findings:
        message, code = f.group(4), f.group(5).decode()
        if not message.endswith(b"(on every run)"):
            continue
        expected = sites_of(code, message)
        if expected is None:
            continue
        if not expected & set(reports):
            problems.append(f"{message.decode()}: the interpreter reports {reports}")
        elif fatal in expected and code == "QKA101":
            token = token_at(script, int(f.group(1)), int(f.group(2)))
            line = UNDEFINED_PREFIX + printed_token(token) + b">\n"
            if not stdout.endswith(line):
                problems.append(f"{message.decode()}: the interpreter names another word")
    return problems


def record(tally, case, problems):
    if problems:
        tally.failed += 1
        print(f"FAIL {case}")
        for p in problems:
            print(f"    {p}")
    else:
        tally.passed += 1


def suite_cases(scripts):
    for case in sorted(os.listdir(scripts)):
        folder = os.path.join(scripts, case)
        if not os.path.isfile(os.path.join(folder, "script")) or os.path.exists(os.path.join(folder, "args")):
            continue
        read = lambda name: open(os.path.join(folder, name), "rb").read()
        yield case, folder, read("script"), read("stdout"), read("stderr"), int(read("status"))


def checker_cases(reference, cases):
    """The checker's own cases, with what the reference interpreter does on them."""
    for case in sorted(os.listdir(cases)):
        folder = os.path.join(cases, case)
        if not os.path.isfile(os.path.join(folder, "script")) or os.path.exists(os.path.join(folder, "args")):
            continue
        run = subprocess.run([reference, "script"], cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             stdin=subprocess.DEVNULL, timeout=60)
        script = open(os.path.join(folder, "script"), "rb").read()
        yield case, folder, script, run.stdout, run.stderr, run.returncode


def main():
    check, scripts = sys.argv[1], sys.argv[2]
    suite = Tally()
    for case, folder, script, stdout, stderr, status in suite_cases(scripts):
        record(suite, case, judge(check, folder, script, stdout, stderr, status, suite, case))
    own = Tally()
    if len(sys.argv) > 4:
        for case, folder, script, stdout, stderr, status in checker_cases(sys.argv[3], sys.argv[4]):
            problems = judge(check, folder, script, stdout, stderr, status, own, case)
            record(own, "check/" + case, problems)
    for name, t in (("script suite", suite), ("checker cases", own)):
        if t.passed + t.failed == 0:
            continue
        print(f"\n{name}: {t.passed} agree, {t.failed} disagree")
        print(f"  false errors (an error, and the run exits 0): {len(t.false_errors)}")
        print(f"  missed errors (every run exits 1, and no error): {len(t.missed_errors)}")
        for case, fatal in t.missed_errors:
            print(f"    {case}: {fatal}")
        print("  findings: " + ", ".join(f"{t.by_severity[s]} {s}s" for s in ("error", "warning", "note")))
    return 1 if suite.failed or own.failed else 0


if __name__ == "__main__":
    sys.exit(main())
