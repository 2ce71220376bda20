#!/usr/bin/env python3
"""Times qka against gforth-fast, pforth, Lua and Python on six workloads.

Every workload is generated for every system at the chosen size into a
temporary directory, each program prints "result=N", and the results must
agree (a mismatch, or a qka run without a result, fails the run: that is what
CI checks at the tiny size; a timing never fails it). Times are wall-clock
medians of several runs; the table gives qka's ratio to each peer (below 1.0:
qka is faster). For the start-up workload the peak resident memory of each
system is reported too. A peer that is not installed is skipped; install them
with
    apt-get install gforth pforth lua5.4

examples:
    bench/run.py --size full                      # everything, median of 5
    bench/run.py --size tiny --runs 1             # the CI check
    bench/run.py --size full --only far_jump --comment-bytes 1000,10000,100000
    bench/run.py --only loop --n loop=1000000 --peers lua,python
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SIZES = {
    # workload: (tiny, full)
    "loop": (1000, 150_000_000),        # passes of the counted loop
    "fib": (15, 35),                    # fib(n), naive recursion
    "primes": (1000, 1_000_000),        # count the primes below n
    "calls": (1000, 17_500_000),        # passes, 10 calls each (175 million)
    "far_jump": (1000, 150_000_000),    # passes of the loop with a comment in it
    "startup": (500, 50_000),           # definitions in the script
}
STARTUP_BYTES = {"tiny": 50_000, "full": 5_000_000}


def comment_text(nbytes):
    """Filler words of about nbytes bytes: no label, no comment end, no
    parenthesis or quote, so every language reads it as plain comment text."""
    words = []
    size = 0
    i = 0
    while size < nbytes:
        w = f"filler{i % 1000}"
        words.append(w)
        size += len(w) + 1
        i += 1
    return " ".join(words)


# ---------------------------------------------------------------------------
# The programs. Each prints result=N.
#
# calls: main calls w3 once per pass; w3 calls w2 twice and w1 three times,
# each w2 calls w1 twice: 1 + 2 + 7 = 10 calls per pass, and the seven w1
# calls add 7 to the checksum.

def qka_program(workload, n, comment_bytes):
    if workload == "loop":
        return (f": main 0 $a ! {n} $b ! @top $a @ 3 + $a ! $b @ 1 - $b ! $b @ loop @@top\n"
                f'"result=" str. $a @ . \\n ;\n')
    if workload == "far_jump":
        return (f": main 0 $a ! {n} $b ! @top $a @ 3 + $a !\n/* {comment_text(comment_bytes)} */\n"
                f'$b @ 1 - $b ! $b @ loop @@top "result=" str. $a @ . \\n ;\n')
    if workload == "fib":
        return (": fib $n ! $n @ 2 < if @@fib_rec $n @ ; @fib_rec $n @ 1 - fib $n @ 2 - fib + ;\n"
                f': main {n} fib "result=" str. . \\n ;\n')
    if workload == "primes":
        return (f": main 0 $c ! 2 $n !\n"
                "@outer 2 $d !\n"
                "@inner $d @ $d @ * $n @ > if @@try\n"
                "  $c @ 1 + $c ! go_down @@next\n"
                "  @try $n @ $d @ % if @@next\n"
                "  $d @ 1 + $d ! go_up @@inner\n"
                f"@next $n @ 1 + $n ! $n @ {n} < loop @@outer\n"
                '"result=" str. $c @ . \\n ;\n')
    if workload == "calls":
        return (": w1 1 + ;\n: w2 w1 w1 ;\n: w3 w2 w2 w1 w1 w1 ;\n"
                f": main 0 {n} $b ! @top w3 $b @ 1 - $b ! $b @ loop @@top\n"
                '"result=" str. . \\n ;\n')
    raise KeyError(workload)


def forth_program(workload, n, comment_bytes, pforth):
    # pforth spells locals { a b | c -- } and assigns with ->; gforth: { a } and to
    assign = "->" if pforth else "to"
    loc1 = (lambda names: "{ " + " ".join(names) + " -- }") if pforth else (lambda names: "{ " + " ".join(names) + " }")
    if workload in ("loop", "far_jump"):
        comment = f"( {comment_text(comment_bytes)} )" if workload == "far_jump" else ""
        body = (f": bench 0 {loc1(['a'])} {n} 0 do a 3 + {assign} a\n{comment}\nloop a ;\n"
                'bench ." result=" . cr\n')
        return body
    if workload == "fib":
        return (f": fib {loc1(['n'])} n 2 < if n else n 1- recurse n 2 - recurse + then ;\n"
                f'{n} fib ." result=" . cr\n')
    if workload == "primes":
        return (f": bench 0 {n} 2 do 2 begin dup dup * i > if drop 1+ true else i over mod 0= if drop true else 1+ false then then until loop ;\n"
                'bench ." result=" . cr\n')
    if workload == "calls":
        return (": w1 1+ ;\n: w2 w1 w1 ;\n: w3 w2 w2 w1 w1 w1 ;\n"
                f": bench 0 {n} 0 do w3 loop ;\n"
                'bench ." result=" . cr\n')
    raise KeyError(workload)


def lua_program(workload, n, comment_bytes):
    if workload in ("loop", "far_jump"):
        comment = f"--[[ {comment_text(comment_bytes)} ]]" if workload == "far_jump" else ""
        return f"local a = 0\nfor i = 1, {n} do\n a = a + 3\n{comment}\nend\nprint('result=' .. a)\n"
    if workload == "fib":
        return ("local function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end\n"
                f"print('result=' .. fib({n}))\n")
    if workload == "primes":
        return (f"local c = 0\nfor n = 2, {n} - 1 do\n local d = 2\n while true do\n"
                "  if d * d > n then c = c + 1 break end\n  if n % d == 0 then break end\n  d = d + 1\n end\nend\n"
                "print('result=' .. c)\n")
    if workload == "calls":
        return ("local function w1(x) return x + 1 end\nlocal function w2(x) return w1(w1(x)) end\n"
                "local function w3(x) return w1(w1(w1(w2(w2(x))))) end\n"
                f"local a = 0\nfor i = 1, {n} do a = w3(a) end\nprint('result=' .. a)\n")
    raise KeyError(workload)


def python_program(workload, n, comment_bytes):
    if workload in ("loop", "far_jump"):
        comment = f"        # {comment_text(comment_bytes)}\n" if workload == "far_jump" else ""
        return (f"def main():\n    a = 0\n    for i in range({n}):\n        a += 3\n{comment}"
                "    print(f'result={a}')\nmain()\n")
    if workload == "fib":
        return ("def fib(n):\n    return n if n < 2 else fib(n - 1) + fib(n - 2)\n"
                f"print(f'result={{fib({n})}}')\n")
    if workload == "primes":
        return (f"def main():\n    c = 0\n    for n in range(2, {n}):\n        d = 2\n        while True:\n"
                "            if d * d > n:\n                c += 1\n                break\n"
                "            if n % d == 0:\n                break\n            d += 1\n"
                "    print(f'result={c}')\nmain()\n")
    if workload == "calls":
        return ("def w1(x): return x + 1\ndef w2(x): return w1(w1(x))\ndef w3(x): return w1(w1(w1(w2(w2(x)))))\n"
                f"def main():\n    a = 0\n    for i in range({n}):\n        a = w3(a)\n    print(f'result={{a}}')\nmain()\n")
    raise KeyError(workload)


def startup_program(system, defs, total_bytes):
    """defs definitions of similar size adding up to about total_bytes; main prints 1."""
    per = max(total_bytes // defs, 40)
    out = []
    for i in range(defs):
        if system == "qka":
            head = f": word{i} "
            body = " ".join(["1 2 + drop"] * max((per - len(head) - 2) // 11, 1))
            out.append(f"{head}{body} ;\n")
        elif system in ("gforth", "pforth"):
            head = f": word{i} "
            body = " ".join(["1 2 + drop"] * max((per - len(head) - 2) // 11, 1))
            out.append(f"{head}{body} ;\n")
        elif system == "lua":
            head = f"function word{i}() "
            body = " ".join(["local x = 1 + 2"] * max((per - len(head) - 4) // 16, 1))
            out.append(f"{head}{body} end\n")
        else:
            head = f"def word{i}():\n"
            body = "".join(["    x = 1 + 2\n"] * max((per - len(head)) // 14, 1))
            out.append(head + body)
    if system == "qka":
        out.append(': main "result=" str. 1 . \\n ;\n')
    elif system in ("gforth", "pforth"):
        out.append('." result=" 1 . cr\n')
    elif system == "lua":
        out.append("print('result=1')\n")
    else:
        out.append("print('result=1')\n")
    return "".join(out)


# ---------------------------------------------------------------------------
# Running

BANNER = b"** Forth VM v0.16 **\n"
INSTALL = "apt-get install gforth pforth lua5.4"
PEERS = {
    "gforth": ["gforth-fast"],
    "pforth": ["pforth"],
    "lua": ["lua5.4"],
    "python": [sys.executable],
}
SUFFIX = {"qka": ".qka", "gforth": ".fs", "pforth": ".fs", "lua": ".lua", "python": ".py"}
# Pairs left out on purpose, with the reason printed in their place.
LEFT_OUT = {
    ("startup", "pforth"): "pforth's dictionary has no room for the definitions, and "
                           "its word list, searched linearly, makes compiling them quadratic",
}


def program(system, workload, n, args, comment_bytes):
    if workload == "startup":
        return startup_program(system, n, args.startup_bytes)
    if system == "qka":
        return qka_program(workload, n, comment_bytes)
    if system in ("gforth", "pforth"):
        text = forth_program(workload, n, comment_bytes, system == "pforth")
        return text + "bye\n"
    if system == "lua":
        return lua_program(workload, n, comment_bytes)
    return python_program(workload, n, comment_bytes)


def command(system, path, args):
    if system == "qka":
        return [args.qka, path]
    if system == "gforth":
        return ["gforth-fast", "-m", "512M", path]  # room for the start-up script
    if system == "pforth":
        return ["pforth", "-q"]  # reads the program from its standard input
    return PEERS[system] + [path]


def parse_result(system, out):
    """The last "result=N" of a run's output; for qka only what follows its
    banner line counts, and a missing banner means no result."""
    if system == "qka":
        if not out.startswith(BANNER):
            return None
        out = out[len(BANNER):]
    found = re.findall(rb"result=\s*(-?\d+)", out)
    return found[-1].decode() if found else None


def run_once(system, path, args):
    """Runs a program once: its wall time, result, output and exit status
    (None when it was stopped after --timeout)."""
    cmd = command(system, path, args)
    # pforth reads its program from standard input and spins at the end of it
    # when a program never reaches "bye", hence the bound on every run.
    with open(path, "rb") as program_file:
        stdin = program_file if system == "pforth" else subprocess.DEVNULL
        start = time.perf_counter()
        try:
            done = subprocess.run(cmd, stdin=stdin, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, timeout=args.timeout)
            output, status = done.stdout, done.returncode
        except subprocess.TimeoutExpired as stopped:
            output, status = stopped.stdout or b"", None
        elapsed = time.perf_counter() - start
    return elapsed, parse_result(system, output), output, status


def peak_memory(system, path, args):
    """Peak resident memory of one run in KiB, through GNU time; None when it
    is not installed. A child started from this script would report at least
    this script's own size (the kernel keeps the largest resident size a
    process had, from before its exec too), so the measurement needs a small
    parent; it is a run of its own, apart from the timed ones."""
    if not os.path.exists("/usr/bin/time"):
        return None
    with open(path, "rb") as program_file, tempfile.NamedTemporaryFile() as report:
        stdin = program_file if system == "pforth" else subprocess.DEVNULL
        cmd = ["/usr/bin/time", "-f", "%M", "-o", report.name] + command(system, path, args)
        try:
            subprocess.run(cmd, stdin=stdin, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=args.timeout)
        except subprocess.TimeoutExpired:
            return None
        words = report.read().split()
    return int(words[-1]) if words and words[-1].isdigit() else None


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--qka", default=os.path.join(here, "..", "build", "qka"),
                        help="the qka binary (default: build/qka)")
    parser.add_argument("--size", choices=["tiny", "full"], default="tiny")
    parser.add_argument("--runs", type=int, default=5, help="runs per program; the median is reported")
    parser.add_argument("--only", default=",".join(SIZES), help="workloads, comma-separated")
    parser.add_argument("--peers", default=",".join(PEERS), help="peers, comma-separated (none: '')")
    parser.add_argument("--n", action="append", default=[], metavar="WORKLOAD=N",
                        help="the size of one workload, instead of the --size default")
    parser.add_argument("--comment-bytes", default="10000",
                        help="size of far_jump's comment; a comma-separated list gives one row each")
    parser.add_argument("--startup-bytes", type=int,
                        help="size of the start-up script (default: 50 kB tiny, 5 MB full)")
    parser.add_argument("--timeout", type=float, default=1800, help="seconds before a run is stopped")
    args = parser.parse_args()

    args.workloads = [w for w in args.only.split(",") if w]
    for w in args.workloads:
        if w not in SIZES:
            parser.error(f"unknown workload {w!r} (known: {', '.join(SIZES)})")
    args.peer_list = [p for p in args.peers.split(",") if p]
    for p in args.peer_list:
        if p not in PEERS:
            parser.error(f"unknown peer {p!r} (known: {', '.join(PEERS)})")
    args.sizes = {w: SIZES[w][0 if args.size == "tiny" else 1] for w in SIZES}
    for item in args.n:
        name, _, value = item.partition("=")
        if name not in SIZES or not value.isdigit():
            parser.error(f"--n wants WORKLOAD=N with a known workload, not {item!r}")
        args.sizes[name] = int(value)
    try:
        args.comments = [int(c) for c in args.comment_bytes.split(",")]
    except ValueError:
        parser.error(f"--comment-bytes wants numbers, not {args.comment_bytes!r}")
    if args.startup_bytes is None:
        args.startup_bytes = STARTUP_BYTES[args.size]
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    return args


def main():
    args = parse_args()
    if not os.access(args.qka, os.X_OK):
        print(f"error: no qka binary at {args.qka} (build it with "
              f"'cmake --workflow --preset release', or pass --qka)")
        return 2

    peers = []
    for peer in args.peer_list:
        if shutil.which(PEERS[peer][0]):
            peers.append(peer)
        else:
            print(f"note: {PEERS[peer][0]} not found, {peer} skipped (install the peers: {INSTALL})")
    systems = ["qka"] + peers
    failed = False
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        cases = []
        for workload in args.workloads:
            if workload == "far_jump":
                cases += [(workload, c) for c in args.comments]
            else:
                cases.append((workload, args.comments[0]))
        for workload, comment_bytes in cases:
            n = args.sizes[workload]
            label = workload
            if workload == "far_jump" and len(args.comments) > 1:
                label = f"far_jump/{comment_bytes}B"
            medians, memory, results = {}, {}, {}
            for system in systems:
                if (workload, system) in LEFT_OUT:
                    print(f"note: {workload}/{system} left out: {LEFT_OUT[workload, system]}")
                    continue
                path = os.path.join(tmp, workload + SUFFIX[system])
                with open(path, "w") as f:
                    f.write(program(system, workload, n, args, comment_bytes))
                times = []
                for _ in range(args.runs):
                    elapsed, result, out, status = run_once(system, path, args)
                    if result is None:
                        # qka must run everything; a peer that cannot is reported and left out
                        what = "stopped after --timeout" if status is None else f"status {status}"
                        print(f"{label}/{system}: no result ({what}): {out[-300:]!r}")
                        failed = failed or system == "qka"
                        break
                    times.append(elapsed)
                    results[system] = result
                if times:
                    medians[system] = statistics.median(times)
                    if workload == "startup":
                        memory[system] = peak_memory(system, path, args)
            expected = results.get("qka")
            for system, result in results.items():
                if result != expected:
                    print(f"MISMATCH {label}: qka printed {expected}, {system} printed {result}")
                    failed = True
            rows.append((label, workload, n, medians, memory))
            line = f"{label:9} n={n:<11} " + "  ".join(f"{s} {medians[s]:.3f}s" for s in systems if s in medians)
            if "qka" in medians and any(medians.get(s) for s in peers):
                line += "  | " + "  ".join(f"qka/{s} {medians['qka'] / medians[s]:.2f}" for s in peers if medians.get(s))
            print(line, flush=True)

    print()
    print(f"median of {args.runs} run(s), wall clock; ratio below 1.0: qka is faster")
    heads = ["workload", "n"] + [f"{s} (s)" for s in systems] + [f"qka/{s}" for s in peers]
    print("| " + " | ".join(heads) + " |")
    print("|" + "---|" * len(heads))
    for label, workload, n, medians, memory in rows:
        cells = [f"{medians[s]:.3f}" if s in medians else "-" for s in systems]
        ratios = [f"{medians['qka'] / medians[s]:.2f}" if medians.get(s) and "qka" in medians else "-" for s in peers]
        print("| " + " | ".join([label, str(n)] + cells + ratios) + " |")
    for label, workload, n, medians, memory in rows:
        if workload == "startup":
            print(f"\npeak memory (KiB) for startup ({args.startup_bytes} bytes): " +
                  ", ".join(f"{s} {memory[s]}" for s in systems if s in memory))
            if None in memory.values():
                print("(no figure: /usr/bin/time is missing or the run was stopped; apt-get install time)")
    if failed:
        print("\nFAILED: a result is missing or differs (see above)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
