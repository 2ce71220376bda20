#!/usr/bin/env python3
"""Random scripts through the checker and the reference interpreter: an error
means that every run ends with status 1, so an error on a script whose run
exits 0 is a false error; a run that exits 1 on a script that reads no clock
and no random numbers (every run is that run) must have an error. The
checker itself never exits with anything but 0 or 1 on a readable file. A
script whose run does not end within 5 seconds is skipped.

usage: random_agreement.py QKA_CHECK QKA_REFERENCE [SEED] [COUNT]
"""
import os
import random
import subprocess
import sys
import tempfile

VOCABULARY = [
    "1", "2", "0", "-1", "3", "dup", "drop", "swap", "over", "rot", "+", "-", "*", "/", "%", "=", "<", ">",
    "not", "and", "or", ".", "if @@a", "if @@b", "loop @@a", "go_down @@b", "go_up @@a", "@a", "@b", "$a !",
    "$a @", "$b @", "5 $b !", "?s @", "?r @", "?y @", "f", "g", "h", "2 1 on_goto @@a @@b", "1 1 on_goto @@c",
    "@c", "/* c */", '"s"', "str.", "chr.", "\\n", "100 @", "64 !", "frob",
]
VOLATILE = ("?s", "?r", "?y")


def script(rng):
    words = lambda n: " ".join(rng.choice(VOCABULARY) for _ in range(n))
    text = f": main {words(rng.randint(1, 12))} ;\n: f {words(rng.randint(0, 6))} ;\n: g {words(rng.randint(0, 4))} ;\n"
    if rng.random() < 0.3:
        text += f": h {words(3)} h ;\n"
    return text


def main():
    check, reference = sys.argv[1], sys.argv[2]
    rng = random.Random(int(sys.argv[3]) if len(sys.argv) > 3 else 1)
    count = int(sys.argv[4]) if len(sys.argv) > 4 else 300
    failures = skipped = 0
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "script")
        for _ in range(count):
            text = script(rng)
            with open(path, "w") as f:
                f.write(text)
            c = subprocess.run([check, path], capture_output=True, timeout=60)
            try:
                r = subprocess.run([reference, path], capture_output=True, timeout=5, stdin=subprocess.DEVNULL)
            except subprocess.TimeoutExpired:
                skipped += 1  # a run that does not end says nothing either way
                continue
            errors = [l for l in c.stdout.decode("utf-8", "replace").splitlines() if ": error: " in l]
            problem = None
            if c.returncode not in (0, 1):
                problem = f"the checker exits {c.returncode}"
            elif errors and r.returncode == 0:
                problem = f"false error: {errors[0]}"
            elif r.returncode == 1 and not errors and not any(v in text for v in VOLATILE):
                problem = "missed error: the run exits 1"
            if problem:
                failures += 1
                print(f"FAIL {problem}\n{text}")
    print(f"random agreement: {count - failures - skipped} of {count} scripts agree, "
          f"{skipped} skipped (their run does not end)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
