#!/usr/bin/env python3
"""Writes a script of about SIZE bytes (default 8 MiB) that defines many words
and runs a few: a load for the checker's memory and time against the
interpreter's own start-up, which reads and indexes the same definitions.

usage: big_script.py [SIZE] > big.qka
"""
import sys


def main():
    size = int(sys.argv[1]) if len(sys.argv) > 1 else 8 << 20
    out = [": main 1 w0 w1 w2 drop \\n ;\n"]
    total = len(out[0])
    n = 0
    while total < size:
        line = f": w{n} dup 1 + ?r @ if @@skip{n} 2 * @skip{n} $a ! ;\n"
        out.append(line)
        total += len(line)
        n += 1
    sys.stdout.write("".join(out))


if __name__ == "__main__":
    main()
