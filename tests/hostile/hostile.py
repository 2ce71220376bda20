#!/usr/bin/env python3
"""Hostile inputs: scripts too large to keep in the repository, odd files and
lost output. Each case makes its input in a temporary folder, runs qka with a
time bound and checks the status, the reports and what it can of the output.

usage: hostile.py QKA CASE      (hostile.py QKA --list prints the cases)
"""
import os
import random
import re
import resource
import subprocess
import sys
import tempfile

BANNER = b"** Forth VM v0.16 **\n"
REPORT = re.compile(rb"\[fail\]\t[^\n]*:\d+ \([a-z_0-9]+\(\);\)\n\t[^\n]*\n")
TIME_BOUND = 120


def report_line(unit, line):
    return f"[fail]\t{unit}:{line} (".encode()


class Case:
    def __init__(self, qka, folder):
        self.qka = qka
        self.folder = folder

    def write(self, data, name="script.qka"):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def run(self, *args, stdout=subprocess.PIPE):
        done = subprocess.run([self.qka, *args], stdin=subprocess.DEVNULL, stdout=stdout,
                              stderr=subprocess.PIPE, timeout=TIME_BOUND)
        return done.returncode, done.stdout or b"", done.stderr


def well_formed(status, err):
    """Reports are whole; a fatal one is followed by the exit line."""
    rest = REPORT.sub(b"", err)
    if status == 0:
        return rest == b""
    return status == 1 and rest == b"Exit<1>\n" and err.endswith(b"Exit<1>\n")


def expect(cond, what):
    if not cond:
        raise AssertionError(what)


def fatal(err, unit, line):
    return err.startswith(report_line(unit, line)) and err.endswith(b"Exit<1>\n") and err.count(b"[fail]") == 1


# ---------------------------------------------------------------------------

def random_bytes(c):
    rng = random.Random(20261208)
    for i in range(20):
        size = rng.choice([10, 100, 1000, 100_000])
        data = bytes(rng.randrange(256) for _ in range(size))
        if i % 2:
            data = b": main " + data  # give the bytes a chance to run
        status, out, err = c.run(c.write(data))
        expect(status in (0, 1), f"status {status}")
        expect(out.startswith(BANNER) or status == 1, "banner")
        expect(well_formed(status, err), f"malformed stderr {err[:200]!r}")


def every_byte_value(c):
    status, out, err = c.run(c.write(bytes(range(256))))
    expect((status, out, err) == (0, BANNER, b""), "a leading NUL ends the text")
    text = bytes(b for b in range(1, 256) if b != ord('"'))
    status, out, err = c.run(c.write(b': main "' + text + b'" str. ;'))
    expect(status == 0 and err == b"", err)
    expect(out == BANNER + bytes(range(1, 9)), f"{out!r}")  # up to the tab


def nul_in_definition(c):
    status, out, err = c.run(c.write(b": main 1 . \x00 2 . ;"))
    expect((status, out, err) == (0, BANNER + b"1", b""), (status, out, err))


def huge_token(c):
    token = b"q" * 10_000_000
    status, out, err = c.run(c.write(b": main " + token + b" ;"))
    expect(status == 1 and fatal(err, "../quokkavm", 325), err[:200])
    expect(out == BANNER + "未定義ワード<".encode("cp932") + token + b">\n", f"{len(out)} bytes")


def huge_open_string(c):
    status, out, err = c.run(c.write(b': main 1 . "' + b"x y " * 2_500_000))
    expect(status == 1 and fatal(err, "../util", 306), err[:200])
    expect(out == BANNER + b"1", out[:100])


def huge_word_printed(c):
    word = b"w" * 5_000_000
    status, out, err = c.run(c.write(b': main "' + word + b'" str. ;'))
    expect((status, err) == (0, b""), err[:200])
    expect(out == BANNER + word, f"{len(out)} bytes")


def many_definitions(c):
    defs = b"".join(b": w%d %d ;\n" % (i, i) for i in range(200_000))
    status, out, err = c.run(c.write(defs + b": main w0 . w123456 . w199999 . ;\n"))
    expect((status, out, err) == (0, BANNER + b"0123456199999", b""), (status, out[:100], err[:200]))


def unclosed_comment_at_end(c):
    filler = b"word 1 2 + ; : x " * 300_000
    status, out, err = c.run(c.write(b": main 1 . /* " + filler))
    expect(status == 1 and fatal(err, "../nativeword", 395), err[:200])
    expect(out == BANNER + b"1", out[:100])


def labels_never_match(c):
    filler = b"@nowhere2 x y @now 1 2 " * 50_000
    status, out, err = c.run(c.write(b": main go_down @@nowhere " + filler))
    expect(status == 1 and fatal(err, "../nativeword", 234), err[:200])
    status, out, err = c.run(c.write(filler + b": main go_up @@nowhere ;"))
    expect(status == 1 and fatal(err, "../nativeword", 270), err[:200])
    status, out, err = c.run(c.write(b": main 1 1 on_goto @@nowhere " + filler))
    expect(status == 0 and err.startswith(report_line("../nativeword", 470)), err[:200])


def jumps_with_last_reference(c):
    for script, unit_line, status_expected in [
            (b": main go_down @@x", 234, 1), (b": main 0 if @@x", 234, 1),
            (b": main go_up @@x", 270, 1), (b": main 1 loop @@x", 270, 1),
            (b": main 1 1 on_goto @@x", 470, 0), (b": main go_down", 215, 0), (b": main go_up", 252, 0)]:
        status, out, err = c.run(c.write(script))
        expect(status == status_expected and err.startswith(report_line("../nativeword", unit_line)),
               (script, status, err))
        expect(well_formed(status, err), err)


def on_goto_extreme_counts(c):
    status, out, err = c.run(c.write(b": main 1 2147483647 on_goto @@a @@b @a 5 . ;"))
    expect(status == 0 and err.startswith(report_line("../nativeword", 450)) and out == BANNER, (status, out, err))
    status, out, err = c.run(c.write(b": main 2147483647 2147483647 on_goto @@a ;"))
    expect(status == 0 and err.startswith(report_line("../nativeword", 450)), (status, err))
    status, out, err = c.run(c.write(b": main -2147483648 5 on_goto 7 . 1 -2147483648 on_goto 8 . ;"))
    lines = "引数:-2147483648\nジャンプ先個数:5\n".encode("cp932") + b"7" + \
        "引数:1\nジャンプ先個数:-2147483648\n".encode("cp932") + b"8"
    expect(status == 0 and out == BANNER + lines, out)
    expect(err.count(report_line("../nativeword", 442)) == 2, err)


def stack_to_its_limit(c):
    script = b": main 0 $c ! @p 1 $c @ 1 + $c ! $c @ 1048574 < loop @@p 7 . 8 9 10 ;"
    status, out, err = c.run(c.write(script))
    expect(status == 1 and fatal(err, "../util", 125) and out == BANNER + b"7", (status, out[-50:], err))


def nesting_to_its_limit(c):
    script = b": r dup 0 > if @@d 1 - r ; @d ; : main 65534 r . 65535 r ;"
    status, out, err = c.run(c.write(script))
    expect(status == 1 and fatal(err, "../quokkavm", 330) and out == BANNER + b"0", (status, out, err))


def chr_of_every_byte(c):
    script = b": main 0 $i ! @l $i @ chr. $i @ 1 + $i ! $i @ 256 < loop @@l ;"
    status, out, err = c.run(c.write(script))
    expect((status, out, err) == (0, BANNER + bytes(range(256)), b""), out[-20:])


def odd_files(c):
    status, out, err = c.run("/dev/null")
    expect((status, out, err) == (0, BANNER, b""), (status, out, err))
    for path in [c.folder, "/proc/self/mem", os.path.join(c.folder, "missing")]:
        status, out, err = c.run(path)
        expect(status == 1 and out == b"" and fatal(err, "dummy", 23), (path, status, err))
    fifo = os.path.join(c.folder, "fifo")
    os.mkfifo(fifo)
    writer = subprocess.Popen(["sh", "-c", f"printf ': main 6 . ;' > '{fifo}'"])
    status, out, err = c.run(fifo)
    writer.wait(timeout=TIME_BOUND)
    expect((status, out, err) == (0, BANNER + b"6", b""), (status, out, err))


def lost_output(c):
    script = c.write(b": main 1 . ;")
    with open("/dev/full", "wb") as full:
        status, _, err = c.run(script, stdout=full)
    expect(status == 1 and fatal(err, "../util", 150), (status, err))
    # a closed pipe: the script would print for ever
    forever = c.write(b": main @l 1 . go_up @@l ;", "forever.qka")
    proc = subprocess.Popen([c.qka, forever], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.read(10)
    proc.stdout.close()
    err = proc.stderr.read()
    status = proc.wait(timeout=TIME_BOUND)
    expect(status == 1 and fatal(err, "../util", 150), (status, err))


def translation_without_memory(c):
    """Under every bound on the address space that lets the walker run the
    script, translating it must not end the run: code for which there is no
    memory stays on the walker, and the output is the walker's."""
    with open(c.qka, "rb") as f:
        if b"__asan_init" in f.read():
            return  # the sanitizers reserve address space of their own
    # The walker behind the tier switch of the same libraries: a program of
    # the same size, so that a bound that lets it run leaves qka the same room.
    walker = os.path.join(os.path.dirname(c.qka), "qka_test")
    body = " ".join(["$a @ 1 + $a ! $b @ $a @ + $b !"] * 100_000)
    script = c.write(f": main 0 $a ! 0 $b ! 3 $i ! @t {body} $i @ 1 - dup $i ! loop @@t $a @ . $b @ . ;".encode())
    b = sum(range(1, 300_001)) % 2**32  # $b sums every value of $a, wrapping at 32 bits
    expected = BANNER + b"300000" + str(b - 2**32 if b >= 2**31 else b).encode()

    def run_within(program, kib, env=None):
        def bound():
            resource.setrlimit(resource.RLIMIT_AS, (kib * 1024, kib * 1024))
        done = subprocess.run([program, script], stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=TIME_BOUND, preexec_fn=bound, env=env)
        return done.returncode, done.stdout, done.stderr

    walked = 0
    for kib in range(8_000, 40_000, 1_000):
        if run_within(walker, kib, dict(os.environ, QKA_TEST_HOT_THRESHOLD="0"))[0] != 0:
            continue  # not even the walker has room
        walked += 1
        status, out, err = run_within(c.qka, kib)
        expect((status, out, err) == (0, expected, b""), f"bound {kib} KiB: {status} {out[-40:]!r} {err[:200]!r}")
    expect(walked > 0, "no bound let the walker run")


def loading_without_memory(c):
    """A script too large for the memory the process may have is a file that
    cannot be read: the report of an unopenable file, never a crash."""
    with open(c.qka, "rb") as f:
        if b"__asan_init" in f.read():
            return  # the sanitizers reserve address space of their own
    script = c.write(b": main 1 . ;\n" + b" " * (48 << 20))
    refused = 0
    for kib in range(8_000, 200_000, 8_000):
        def bound():
            resource.setrlimit(resource.RLIMIT_AS, (kib * 1024, kib * 1024))
        done = subprocess.run([c.qka, script], stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=TIME_BOUND, preexec_fn=bound)
        if done.returncode == 0:
            expect(done.stdout == BANNER + b"1", f"bound {kib} KiB: {done.stdout[-40:]!r}")
            break
        expect(done.returncode == 1 and fatal(done.stderr, "dummy", 23),
               f"bound {kib} KiB: status {done.returncode} {done.stderr[:200]!r}")
        refused += 1
    expect(refused > 0, "no bound was too small to load the script")


CASES = [random_bytes, every_byte_value, nul_in_definition, huge_token, huge_open_string, huge_word_printed,
         many_definitions, unclosed_comment_at_end, labels_never_match, jumps_with_last_reference,
         on_goto_extreme_counts, stack_to_its_limit, nesting_to_its_limit, chr_of_every_byte, odd_files,
         lost_output, translation_without_memory, loading_without_memory]


def main():
    qka, name = sys.argv[1], sys.argv[2]
    if name == "--list":
        print(";".join(case.__name__ for case in CASES))
        return 0
    case = {c.__name__: c for c in CASES}[name]
    with tempfile.TemporaryDirectory() as folder:
        case(Case(qka, folder))
    print(f"{name}: 1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
