#!/usr/bin/env python3
"""Times qka against gforth-fast, pforth, Lua and Python on six workloads.

Every workload is generated for every system at the chosen size, each program
prints "result=N", and the results must agree (a mismatch fails the run, which
is what CI checks at the tiny size). Times are wall-clock medians of several
runs; the table gives qka's ratio to each peer (below 1.0: qka is faster).
A peer that is not installed is skipped; install them with
    apt-get install gforth pforth lua5.4

usage: bench/run.py [--qka build/qka] [--size tiny|full] [--runs 5]
                    [--only loop,fib,...] [--peers gforth,pforth,lua,python]
                    [--comment-bytes N]
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
    "calls": (1000, 25_000_000),        # passes, 7 calls each (175 million)
    "far_jump": (1000, 150_000_000),    # passes of the loop with a comment in it
    "startup": (500, 50_000),           # definitions in the script
}
STARTUP_BYTES = {"tiny": 50_000, "full": 5_000_000}


def comment_text(nbytes):
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

PEERS = {
    "gforth": ["gforth-fast"],
    "pforth": ["pforth"],
    "lua": ["lua5.4"],
    "python": [sys.executable],
}
SUFFIX = {"qka": ".qka", "gforth": ".fs", "pforth": ".fs", "lua": ".lua", "python": ".py"}


def program(system, workload, n, args):
    if workload == "startup":
        return startup_program(system, n, STARTUP_BYTES[args.size])
    if system == "qka":
        return qka_program(workload, n, args.comment_bytes)
    if system in ("gforth", "pforth"):
        text = forth_program(workload, n, args.comment_bytes, system == "pforth")
        return text + "bye\n"
    if system == "lua":
        return lua_program(workload, n, args.comment_bytes)
    return python_program(workload, n, args.comment_bytes)


def command(system, path, args):
    if system == "qka":
        return [args.qka, path]
    if system == "gforth":
        return ["gforth-fast", "-m", "512M", path]  # room for the start-up script
    if system == "pforth":
        return ["pforth", "-q"]  # reads the program from its standard input
    return PEERS[system] + [path]


def run_once(system, path, args, measure_memory=False):
    """Runs a program once: its time, peak memory (KiB, when asked and GNU
    time is installed, else None), result, output and status."""
    stdin = open(path, "rb") if system == "pforth" else subprocess.DEVNULL
    cmd = command(system, path, args)
    report = None
    if measure_memory and os.path.exists("/usr/bin/time"):
        report = tempfile.NamedTemporaryFile(delete=False)
        cmd = ["/usr/bin/time", "-f", "%M", "-o", report.name] + cmd
    start = time.perf_counter()
    done = subprocess.run(cmd, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    elapsed = time.perf_counter() - start
    if stdin is not subprocess.DEVNULL:
        stdin.close()
    peak = None
    if report is not None:
        with open(report.name) as f:
            peak = int(f.read().split()[-1])
        os.unlink(report.name)
    found = re.findall(rb"result=\s*(-?\d+)", done.stdout)
    result = found[-1].decode() if found else None
    return elapsed, peak, result, done.stdout, done.returncode


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--qka", default=os.path.join(here, "..", "build", "qka"))
    parser.add_argument("--size", choices=["tiny", "full"], default="tiny")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--only", default=",".join(SIZES))
    parser.add_argument("--peers", default=",".join(PEERS))
    parser.add_argument("--comment-bytes", type=int, default=10_000)
    args = parser.parse_args()

    peers = []
    for peer in args.peers.split(","):
        if peer and shutil.which(PEERS[peer][0]):
            peers.append(peer)
        elif peer:
            print(f"note: {peer} not found, skipped (apt-get install gforth pforth lua5.4)")
    systems = ["qka"] + peers
    failed = False
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for workload in args.only.split(","):
            n = SIZES[workload][0 if args.size == "tiny" else 1]
            medians, memory, results = {}, {}, {}
            for system in systems:
                path = os.path.join(tmp, workload + SUFFIX[system])
                with open(path, "w") as f:
                    f.write(program(system, workload, n, args))
                times, rss = [], []
                for _ in range(args.runs):
                    elapsed, peak, result, out, status = run_once(system, path, args, workload == "startup")
                    if result is None:
                        # qka must run everything; a peer may not (pforth's dictionary is small)
                        print(f"{workload}/{system}: no result (status {status}): {out[-300:]!r}")
                        failed = failed or system == "qka"
                        break
                    times.append(elapsed)
                    rss.append(peak)
                    results[system] = result
                if times:
                    medians[system] = statistics.median(times)
                    memory[system] = rss[-1]
            expected = results.get("qka")
            for system, result in results.items():
                if result != expected:
                    print(f"MISMATCH {workload}: qka printed {expected}, {system} printed {result}")
                    failed = True
            rows.append((workload, n, medians, memory))
            line = f"{workload:9} n={n:<11} " + "  ".join(f"{s} {medians[s]:.3f}s" for s in systems if s in medians)
            if "qka" in medians:
                line += "  | " + "  ".join(f"qka/{s} {medians['qka'] / medians[s]:.2f}" for s in peers if medians.get(s))
            print(line, flush=True)

    print()
    print("| workload | n | " + " | ".join(f"{s} (s)" for s in systems) + " | " +
          " | ".join(f"qka/{s}" for s in peers) + " |")
    print("|---|---|" + "---|" * (len(systems) + len(peers)))
    for workload, n, medians, memory in rows:
        cells = [f"{medians[s]:.3f}" if s in medians else "-" for s in systems]
        ratios = [f"{medians['qka'] / medians[s]:.2f}" if medians.get(s) and "qka" in medians else "-" for s in peers]
        print(f"| {workload} | {n} | " + " | ".join(cells) + " | " + " | ".join(ratios) + " |")
    for workload, n, medians, memory in rows:
        if workload == "startup":
            print("\npeak memory (KiB) for startup: " + ", ".join(f"{s} {memory.get(s)}" for s in systems))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
