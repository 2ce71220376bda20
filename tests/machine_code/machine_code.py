#!/usr/bin/env python3
"""Machine code from outside: while qka runs a hot loop, its memory map
(read from /proc) must hold machine code, no page that is writable and
executable at once, and no writable view of memory that is also mapped
executable; in the build that is refused executable memory, it must
hold no machine code and the run must still give the right result.

usage: machine_code.py PROGRAM CASE     CASE: made_and_never_writable | refused
"""
import os
import subprocess
import sys
import tempfile
import time

# About a second of hot loop in machine code, ten on the IR tier.
SCRIPT = (b": main 0 $a ! 1500000000 $b ! @top $a @ 3 + $a ! $b @ 1 - $b ! $b @ loop @@top $a @ . ;\n")
EXPECTED = b"** Forth VM v0.16 **\n205032704"  # 3 * 1500000000, wrapped at 32 bits


def mappings(pid):
    with open(f"/proc/{pid}/maps") as f:
        return [line.split() for line in f]


def executable_code(maps):
    """Executable mappings of no file: where machine code goes."""
    return [m for m in maps if "x" in m[1] and (len(m) < 6 or not m[5].startswith(("/", "[")))]


def shared_with_executable(maps):
    """Shared writable mappings of a file or memory object that is also
    mapped executable: a second view through which code could be written.
    (A private mapping's writes stay its own, as in every program's data.)"""
    executable = {(m[3], m[4]) for m in maps if "x" in m[1] and m[4] != "0"}
    return [m for m in maps if m[1][1] == "w" and m[1][3] == "s" and m[4] != "0"
            and (m[3], m[4]) in executable]


def main():
    program, case = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "hot.qka")
        with open(path, "wb") as f:
            f.write(SCRIPT)
        proc = subprocess.Popen([program, path], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        time.sleep(0.3)  # the loop is hot by then
        maps = mappings(proc.pid)
        out, err = proc.communicate(timeout=300)
    writable_and_executable = [m for m in maps if "w" in m[1] and "x" in m[1]]
    if writable_and_executable:
        print("pages writable and executable at once:", writable_and_executable)
        return 1
    aliases = shared_with_executable(maps)
    if aliases:
        print("writable views of executable memory:", aliases)
        return 1
    code = executable_code(maps)
    if case == "made_and_never_writable" and not code:
        print("no machine code was made")
        return 1
    if case == "refused" and code:
        print("machine code was made though executable memory is refused:", code)
        return 1
    if (proc.returncode, out, err) != (0, EXPECTED, b""):
        print("wrong run:", proc.returncode, out[-60:], err[:200])
        return 1
    print(f"{case}: 1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
