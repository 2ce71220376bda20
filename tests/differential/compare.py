#!/usr/bin/env python3
"""Runs random scripts through the text walker and through other builds of
the executor (the tiered product, the build that translates everything at
once, the one that only walks behind the tier switch) and compares every byte
of their standard output and error streams and their exit statuses. All
programs are test builds that end a run quietly with status 3 once it has
executed a bound of steps; such runs (the script loops for long) are not
compared.

usage: compare.py REFERENCE PROGRAM... [--count N] [--seed S] [--keep DIR]
Each program is its path, after the settings it runs with, if any:
'QKA_TEST_HOT_THRESHOLD=1 QKA_TEST_STEP_BOUND=4000000 build/qka_test'.
"""
import argparse
import os
import random
import resource
import shlex
import subprocess
import sys
import tempfile

BOUND_STATUS = 3

LABELS = ["@l1", "@l2", "@l3", "@top", "@end", "@x"]
WORDS = ["w1", "w2", "w3"]
DATA = ["+", "-", "*", "/", "%", "dup", "swap", "over", "rot", "drop", "0=", "=", "<>", "<", ">",
        "not", "and", "or", "@", "!", "wday", "varsion"]
OUTPUT = [".", "\\n", "chr.", "spc", "str."]
VARS = ["$a", "$b", "$c", "$z", "$A", "$B", "$Z", "?q", "?z", "5", "31", "32", "63", "64", "95", "96", "-1"]


def number(rng):
    return rng.choice(["0", "1", "2", "3", "7", "10", "-1", "-7", "+5", "100", "2147483647",
                       "-2147483648", "2147483648", "65536", str(rng.randint(-50, 50))])


def string_literal(rng):
    return rng.choice(['"abc"', '""', '"a b"', '"x"y', '"hello world"', '"a "', '"p q"r', 'ab"cd',
                       '"*/"', '"; x"', '"@l1"'])


def reference(rng):
    if rng.random() < 0.85:
        return "@" + rng.choice(LABELS)
    return rng.choice(["abc", "x@end", "@", "@@nowhere", "1", ";"])


def token(rng, depth):
    r = rng.random()
    if r < 0.22:
        return number(rng)
    if r < 0.34:
        return rng.choice(VARS) + " " + rng.choice(["@", "!", "@", "@ 1 +", "@ 1 - " + rng.choice(VARS) + " !"])
    if r < 0.55:
        return rng.choice(DATA)
    if r < 0.63:
        return rng.choice(OUTPUT)
    if r < 0.67:
        return string_literal(rng)
    if r < 0.73:
        return rng.choice(LABELS)
    if r < 0.80:
        jump = rng.choice(["go_down", "go_up", "if", "if", "loop", "loop"])
        return jump + " " + reference(rng)
    if r < 0.82:
        n = rng.choice([0, 1, 2, 3, -1])
        refs = " ".join(reference(rng) for _ in range(max(n, 0) + rng.choice([0, 0, 1])))
        return f"{rng.choice([0, 1, 2, 3, 5, -1])} {n} on_goto {refs}"
    if r < 0.86:
        inner = " ".join(rng.choice(DATA + LABELS + [";", "1", '"x */ y"']) for _ in range(rng.randint(0, 4)))
        return f"/* {inner} */"
    if r < 0.92 and depth < 2:
        return rng.choice(WORDS)
    if r < 0.94:
        return rng.choice(["undefined", "\x83\x41", "*/", "/**/", ":", "::"])
    if r < 0.97:
        return "$a @ 1 - $a ! $a @ 0 > loop " + "@" + rng.choice(LABELS)
    return rng.choice(["dup $a !", "$a @ $b @ + $a !", "$b @ 3 + $b !", "2 < if @@l1", "$c @ loop @@top"])


def body(rng, depth, length):
    return " ".join(token(rng, depth) for _ in range(length))


def counted_loop(rng, depth):
    label = rng.choice(LABELS)
    return (f"{rng.randint(0, 4)} $d ! {label} " + body(rng, depth + 1, rng.randint(0, 5)) +
            f" $d @ 1 - $d ! $d @ 0 > loop @{label}")


def feed(rng):
    """Cells for the words that follow to work on."""
    return " ".join(number(rng) for _ in range(rng.randint(0, 12)))


def script(rng):
    main = [feed(rng), "5 $a ! 3 $b !" if rng.random() < 0.5 else ""]
    for _ in range(rng.randint(1, 3)):
        main.append(body(rng, 0, rng.randint(1, 12)))
        if rng.random() < 0.4:
            main.append(counted_loop(rng, 0))
        main.append(feed(rng))
    parts = [": main " + " ".join(main) + " ;"]
    for w in WORDS:
        if rng.random() < 0.7:
            parts.append(f": {w} " + feed(rng) + " " + body(rng, 1, rng.randint(0, 10)) + " ;")
    if rng.random() < 0.3:
        parts.append(body(rng, 2, rng.randint(1, 6)))  # text outside any definition
    rng.shuffle(parts)
    text = rng.choice(["\n", " ", "\t", "\r\n"]).join(parts)
    tail = rng.random()
    if tail < 0.05:
        text += ' "open'
    elif tail < 0.08:
        text += " /* open"
    elif tail < 0.12:
        text = text.rstrip(" ;")  # main may lose its end
    return text.encode("latin-1")


# A random script can print gigabytes ("2147483647 spc" a few times). Output
# goes to files capped at this size: a program that writes past it is ended by
# SIGXFSZ at exactly that byte, so two programs that agree still agree.
OUTPUT_CAP = 16 << 20


def cap_output():
    resource.setrlimit(resource.RLIMIT_FSIZE, (OUTPUT_CAP, OUTPUT_CAP))


def program_of(given):
    """A program given as 'NAME=VALUE ... PATH': the test settings it runs
    with (see tests/test_settings.cpp), then its path."""
    words = shlex.split(given)
    env = dict(os.environ)
    while words and "=" in words[0]:
        name, value = words.pop(0).split("=", 1)
        env[name] = value
    return words, env


def run(given, path):
    argv, env = program_of(given)
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        done = subprocess.run(argv + [path], stdout=out, stderr=err, timeout=60, preexec_fn=cap_output, env=env)
        out.seek(0)
        err.seek(0)
        return done.returncode, out.read(), err.read()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("reference")
    parser.add_argument("programs", nargs="+")
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--keep", help="write failing scripts here")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    compared = bounded = 0
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "case.qka")
        for i in range(args.count):
            text = script(rng)
            with open(path, "wb") as f:
                f.write(text)
            expected = run(args.reference, path)
            if expected[0] == BOUND_STATUS:
                bounded += 1
                continue
            compared += 1
            for program in args.programs:
                actual = run(program, path)
                if actual == expected:
                    continue
                failures.append((i, program, text, expected, actual))
                if args.keep:
                    os.makedirs(args.keep, exist_ok=True)
                    with open(os.path.join(args.keep, f"case{i}.qka"), "wb") as f:
                        f.write(text)
    for i, program, text, expected, actual in failures[:5]:
        print(f"--- case {i}: {text!r}")
        print(f"reference: {expected!r}")
        print(f"{program}: {actual!r}")
    print(f"differential: {compared} compared, {bounded} bounded, {len(failures)} different")
    print(f"{compared * len(args.programs) - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
