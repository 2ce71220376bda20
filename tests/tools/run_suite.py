#!/usr/bin/env python3
"""Runs every script of the script suite with qka-check --run and holds it to
what the interpreter does there (the expected stdout, stderr and status of
each case): the same standard output bytes and status, and one line on the
error stream for each report the interpreter makes, in the same order, with
its message in UTF-8, an error exactly where the report ends the run, naming a
token of the script, followed by a chain of calls that fits the text. Every
report site is also held to the guide's word on whether it is fatal.

usage: run_suite.py QKA_CHECK SCRIPTS_DIR
"""
import os
import re
import subprocess
import sys
import tempfile

REPORT = re.compile(rb"^\[fail\]\t(\S+):(\d+) \(\w+\(\);\)$")
EXIT = re.compile(rb"^Exit<\d+>$")
# FILE:LINE:COLUMN: level: message, or FILE: level: message for a report
# that no token made.
LINE = re.compile(r"^(.+?)(?::(\d+):(\d+))?: (error|warning): (.*)$")
CALL = re.compile(r"^  called from (.+?):(\d+):(\d+) in '(.*)'$")
ELIDED = re.compile(r"^  \.\.\. \d+ more calls$")
UNDEFINED = re.compile(rb"\x96\xa2\x92\xe8\x8b\x60\x83\x8f\x81\x5b\x83\x68<(.*)>\n")
WHITE = b" \t\n\v\f\r"


def expected_reports(stderr):
    """(unit, message, fatal) of each report in the interpreter's stderr."""
    lines = stderr.split(b"\n")
    reports = []
    for i, line in enumerate(lines):
        m = REPORT.match(line)
        if not m:
            continue
        message = lines[i + 1].removeprefix(b"\t").decode("cp932").strip(" ")
        fatal = i + 2 < len(lines) and EXIT.match(lines[i + 2]) is not None
        reports.append((m.group(1).decode(), message, fatal))
    return reports


def offset(script, line, column):
    return sum(len(l) + 1 for l in script.split(b"\n")[: line - 1]) + column - 1


def token_at(script, line, column):
    """The word at LINE:COLUMN, or None when no token starts there."""
    start = offset(script, line, column)
    if start >= len(script) or script[start] in WHITE or (start > 0 and script[start - 1] not in WHITE):
        return None
    end = start
    while end < len(script) and script[end] not in WHITE and script[end] != 0:
        end += 1
    return script[start:end]


def printed(word):
    """A word as the interpreter prints it in its undefined-word line."""
    return b"".join(bytes([b]) if 0x20 <= b < 0x7f else b"\\x%02x" % b for b in word)


def shown(word):
    """A word as the report line quotes it, for the plain ASCII words of the suite."""
    return word.decode("ascii") if all(0x20 < b < 0x7f for b in word) else None


def check_case(check, folder):
    """The problems of one case, or None when --run does not apply to it."""
    args = ["script"]
    if os.path.exists(os.path.join(folder, "args")):
        with open(os.path.join(folder, "args")) as f:
            args = f.read().split()
    expected = {}
    for name in ("stdout", "stderr", "status"):
        with open(os.path.join(folder, name), "rb") as f:
            expected[name] = f.read()
    # The driver's own reports (no script named, none readable) are the
    # checker's usage and file messages under --run.
    if not args or b"[fail]\tdummy:" in expected["stderr"]:
        return None
    path = args[0]
    with open(os.path.join(folder, path), "rb") as f:
        script = f.read()
    done = subprocess.run([check, "--run", *args], cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=120)
    problems = []
    if done.stdout != expected["stdout"]:
        problems.append(f"stdout {done.stdout[-200:]!r}, the interpreter's {expected['stdout'][-200:]!r}")
    if done.returncode != int(expected["status"]):
        problems.append(f"status {done.returncode}, the interpreter's {int(expected['status'])}")
    try:
        lines = done.stderr.decode("utf-8").splitlines()
    except UnicodeDecodeError:
        return problems + [f"stderr is not UTF-8: {done.stderr[:200]!r}"]
    wants = expected_reports(expected["stderr"])
    exit_line = [l.decode() for l in expected["stderr"].splitlines()[-1:] if EXIT.match(l)]
    if [l for l in lines[-1:] if EXIT.match(l.encode())] != exit_line:
        problems.append(f"ends with {lines[-1:]}, the interpreter with {exit_line}")
    got = []  # (report match, calls innermost first, None where some are left out)
    for line in lines:
        if got and (CALL.match(line) or ELIDED.match(line)):
            got[-1][1].append(CALL.match(line))
        elif LINE.match(line):
            got.append((LINE.match(line), []))
        elif not EXIT.match(line.encode()):
            problems.append(f"a line of no known form: {line!r}")
    if len(got) != len(wants):
        return problems + [f"{len(got)} report lines for the interpreter's {len(wants)} reports: {lines[:6]}"]
    undefined = UNDEFINED.search(expected["stdout"])
    for (report, calls), (unit, message, fatal) in zip(got, wants):
        file, line, column, level, text = report.groups()
        where = f"{line}:{column}"
        if file != path:
            problems.append(f"{where}: names the file {file!r}")
        if not text.startswith(message):
            problems.append(f"{where}: message {text!r}, the interpreter's {message!r}")
        if level != ("error" if fatal else "warning"):
            problems.append(f"{where}: {level} where the interpreter's report is {'' if fatal else 'not '}fatal")
        if line is None:
            if unit != "../util" or calls:  # only the lost output at the end names no token
                problems.append(f"{text!r} names no token")
            continue
        token = token_at(script, int(line), int(column))
        if token is None:
            problems.append(f"{where}: no token starts there")
        elif undefined and fatal and message.startswith("未定義") and printed(token) != undefined.group(1):
            problems.append(f"{where}: names {token!r}, the interpreter {undefined.group(1)!r}")
        # Each call runs in the word that the next one out called; the outermost in main.
        callees = [call and token_at(script, int(call.group(2)), int(call.group(3))) for call in calls]
        for call, callee in zip(calls, callees):
            if call is not None and callee is None:
                problems.append(f"{where}: a call from {call.group(2)}:{call.group(3)}, where no token starts")
        for call, outer in zip(calls, callees[1:]):
            if call is not None and outer is not None and shown(outer) not in (None, call.group(4)):
                problems.append(f"{where}: a call in '{call.group(4)}', which the next call out does not start")
        if calls and (calls[-1] is None or calls[-1].group(4) != "main"):
            problems.append(f"{where}: the outermost call does not run in 'main'")
    return problems


def kinds_agree_with_guide(source):
    """Problems of run_script.cpp's list of report sites: every site of
    reports.hpp must be there, fatal exactly where the guide's table of
    messages says so (the suite's scripts do not reach every site)."""
    def read(*path):
        with open(os.path.join(source, *path), encoding="utf-8") as f:
            return f.read()
    sites = dict(re.findall(r'report_site (\w+)\{\s*"([^"]+", \d+)', read("src", "machine", "reports.hpp")))
    kinds = dict(re.findall(r"site_kind\{&sites::(\w+), (true|false)\}", read("src", "tools", "run_script.cpp")))
    fatal = {f"{unit}:{line}": yes == "yes" for unit, line, yes in
             re.findall(r"^\| (\S+):(\d+) \(\w+\) \|.*\| (yes|no) \|$", read("docs", "language.md"), re.M)}
    problems = [f"{name} is not in run_script.cpp's list" for name in sites if name not in kinds]
    for name, where in sites.items():
        where = where.replace('", ', ":")
        if name in kinds and fatal.get(where) != (kinds[name] == "true"):
            problems.append(f"{name} ({where}): fatal {kinds[name]}, the guide says {fatal.get(where)}")
    return problems if len(sites) >= 20 else [f"only {len(sites)} report sites found"]


# Each pass goes through 'odd' or 'even' as a random number says, and the
# word both call warns: each warning's calls must be the way its pass took.
RANDOM_WAYS = b""": main 12 $n ! @top ?r @ 2 % if @@even odd go_down @@next @even even
    @next $n @ 1 - dup $n ! loop @@top ;
: odd "odd" str. \\n warn ;
: even "even" str. \\n warn ;
: warn 1 0 / drop ;
"""


def random_ways(check):
    """Problems of --run on a script whose calls a random number chooses."""
    with tempfile.TemporaryDirectory(prefix="qka-run-suite-") as folder:
        with open(os.path.join(folder, "script"), "wb") as f:
            f.write(RANDOM_WAYS)
        done = subprocess.run([check, "--run", "script"], cwd=folder, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=60)
    def place(text, line):
        at = RANDOM_WAYS.split(b"\n")[line - 1].rindex(text)  # the call: the last on its line
        return f"script:{line}:{at + 1}"
    ways = done.stdout.decode().split("\n")[1:-1]
    expected = "".join(f"script:5:12: warning: 0\u5272\u308a\u3002\n"
                       f"  called from {place(b'warn', 3 if way == 'odd' else 4)} in '{way}'\n"
                       f"  called from {place(way.encode(), 1)} in 'main'\n" for way in ways)
    if done.returncode != 0 or len(ways) != 12 or set(ways) - {"odd", "even"}:
        return [f"random ways: status {done.returncode}, printed {done.stdout!r}"]
    if done.stderr.decode() != expected:
        return [f"random ways {ways}: {done.stderr.decode()[:400]!r}"]
    return []


def main():
    check, scripts = os.path.abspath(sys.argv[1]), sys.argv[2]
    passed = failed = skipped = 0
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    for problem in kinds_agree_with_guide(source) + random_ways(check):
        failed += 1
        print(f"FAIL {problem}")
    for case in sorted(os.listdir(scripts)):
        folder = os.path.join(scripts, case)
        if not os.path.isfile(os.path.join(folder, "status")):
            continue
        problems = check_case(check, folder)
        if problems is None:
            skipped += 1
        elif problems:
            failed += 1
            print(f"FAIL {case}")
            for p in problems:
                print(f"    {p}")
        else:
            passed += 1
    print(f"run-suite: {passed} passed, {failed} failed, {skipped} not for --run")
    return 1 if failed or passed == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
