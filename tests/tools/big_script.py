#!/usr/bin/env python3
"""Writes a script of about SIZE bytes (default 8 MiB) that defines many words
and runs a few: a load for the checker's memory and time against the
interpreter's own start-up, which reads and indexes the same definitions.
With --check, runs QKA_CHECK on it and fails when the checker's peak memory
exceeds ten times the script plus 16 MiB.

usage: big_script.py [SIZE] > big.qka
       big_script.py --check QKA_CHECK [SIZE]
"""
import os
import resource
import subprocess
import sys
import tempfile


def script(size):
    out = [": main 1 w0 w1 w2 drop \\n ;\n"]
    total = len(out[0])
    n = 0
    while total < size:
        line = f": w{n} dup 1 + ?r @ if @@skip{n} 2 * @skip{n} $a ! ;\n"
        out.append(line)
        total += len(line)
        n += 1
    return "".join(out)


def check(checker, size):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "big.qka")
        with open(path, "w") as f:
            f.write(script(size))
        size = os.path.getsize(path)
        done = subprocess.run([checker, "--severity=error", path], stdout=subprocess.DEVNULL, timeout=120)
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
    bound = 10 * size + (16 << 20)
    print(f"big script: {size} bytes, the checker's peak {peak} bytes (bound {bound}), status {done.returncode}")
    return 0 if peak <= bound and done.returncode == 0 else 1


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--check":
        return check(sys.argv[2], int(sys.argv[3]) if len(sys.argv) > 3 else 8 << 20)
    sys.stdout.write(script(int(sys.argv[1]) if len(sys.argv) > 1 else 8 << 20))
    return 0


if __name__ == "__main__":
    sys.exit(main())
