#!/usr/bin/env python3
"""Machine code from outside: while qka runs a hot loop, its memory map
(read from /proc) must hold machine code, no page that is writable and
executable at once, and no writable view of memory that is also mapped
executable; in the build that is refused executable memory, it must
hold no machine code and the run must still give the right result.

Machine code from inside (case entered), for any machine the program runs on,
under an emulator too: a test build counts the entries into machine code
(QKA_TEST_COUNTS). A hot loop of a million passes must enter it, and only a
few times, since the loop runs there; so must a quarter of a million
recursive calls, however the word spells its return; on the IR tier it is
never entered.

usage: machine_code.py PROGRAM CASE [RUNNER...]
       CASE: made_and_never_writable | refused | entered
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


# A loop that keeps a remainder by a constant, a compare and a call inlined.
PASSES = 1000000
COUNTED = (b": step dup 7 % + ; : main 0 " + str(PASSES).encode() +
           b" @top dup step rot + swap 1 - dup 0 > loop @@top drop . ;\n")
COUNTED_SUM = sum(b + b % 7 for b in range(1, PASSES + 1)) % 2**32
COUNTED_EXPECTED = b"** Forth VM v0.16 **\n" + str(COUNTED_SUM - 2**32 if COUNTED_SUM >= 2**31 else COUNTED_SUM).encode()

# fib(25): 242785 calls. Each spelling of the return must stay in machine
# code, after a few hundred entries at most while it is compiled: a return
# through a block that some other piece of machine code holds, but that
# heads none, once left it on every call that reached it.
FIB = {
    "early_return": b": fib $n ! $n @ 2 < if @@rec $n @ ; @rec $n @ 1 - fib $n @ 2 - fib + ;\n",
    "on_the_stack": b": fib dup 2 < if @@rec ; @rec dup 1 - fib over 2 - fib + swap drop ;\n",
    "one_exit": (b": fib $n ! $n @ 2 < if @@rec $n @ go_down @@end\n"
                 b"  @rec $n @ 1 - fib $n @ 2 - fib + @end ;\n"),
}
PROGRAMS = {"counted_loop": (COUNTED, COUNTED_EXPECTED, 100)}
PROGRAMS.update({"fib_" + name: (text + b": main 25 fib . ;\n", b"** Forth VM v0.16 **\n75025", 1000)
                 for name, text in FIB.items()})


def entries(command, folder, machine_code, text, expected):
    """Runs a program; gives the entries into machine code."""
    script = os.path.join(folder, "program.qka")
    counts = os.path.join(folder, "counts")
    with open(script, "wb") as f:
        f.write(text)
    env = dict(os.environ, QKA_TEST_COUNTS=counts, QKA_TEST_MACHINE_CODE="1" if machine_code else "0")
    done = subprocess.run(command + [script], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=300)
    if (done.returncode, done.stdout, done.stderr) != (0, expected, b""):
        print("wrong run:", done.returncode, done.stdout[-60:], done.stderr[:200])
        return None
    with open(counts) as f:
        name, value = f.read().split()
    assert name == "machine_code_entries"
    return int(value)


def entered(command):
    failed = 0
    with tempfile.TemporaryDirectory() as folder:
        for name, (text, expected, most) in PROGRAMS.items():
            on_ir_tier = entries(command, folder, False, text, expected)
            in_machine_code = entries(command, folder, True, text, expected)
            if on_ir_tier is None or in_machine_code is None:
                failed += 1
            elif on_ir_tier != 0:
                print(f"{name}: machine code entered with machine code off:", on_ir_tier)
                failed += 1
            elif not 1 <= in_machine_code <= most:
                print(f"{name}: machine code entered {in_machine_code} times")
                failed += 1
            else:
                print(f"{name}: {in_machine_code} entries")
    print(f"entered: {len(PROGRAMS) - failed} passed, {failed} failed")
    return 1 if failed else 0


def main():
    program, case = sys.argv[1], sys.argv[2]
    if case == "entered":
        return entered(sys.argv[3:] + [program])
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
