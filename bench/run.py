#!/usr/bin/env python3
"""Times qka against gforth-fast, pforth, Lua 5.4, LuaJIT and Python, and
against its reference walker on scripts that run once.

Two groups of rows:
  compute   workloads that loop. Every spelling variant of a workload is a row
            of its own (loop, loop/dup_store, ...), timed against the one
            idiomatic program each peer has for the workload. A second table
            gives each workload's spread: its slowest variant's time over its
            fastest's.
  run-once  scripts whose code runs once, and start-up: each qka build's time
            and peak memory against qka_reference's.

Every program prints "result=N" (qka after its banner). Each result is
checked against the value the script computes itself; a wrong or missing
result, or a qka run that does not end with status 0, fails the run. That is
what CI checks at the tiny size; a timing never fails it. Times are
wall-clock medians of several runs. Peers that are not installed are skipped;
install them with
    apt-get install gforth pforth lua5.4 luajit time

examples:
    bench/run.py --size full                      # everything, median of 5
    bench/run.py --size tiny --runs 1             # the CI check
    bench/run.py --size full --group compute --build ir=build-ir/qka --build jit=build/qka
    bench/run.py --size full --only far_jump --comment-bytes 1000,10000,100000
    bench/run.py --only loop/globals,fib --n loop=1000000 --peers gforth,luajit
"""
import argparse
import dataclasses
import functools
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BANNER = b"** Forth VM v0.16 **\n"
INSTALL = "apt-get install gforth pforth lua5.4 luajit time"

SIZES = {
    # name: (tiny, full); a list gives one row for each value
    "loop": (1000, 150_000_000),          # passes of the counted loop
    "fib": (15, 35),                      # fib(n), naive recursion
    "primes": (1000, 1_000_000),          # count the primes below n
    "calls": (1000, 17_500_000),          # passes, 10 calls each (175 million)
    "far_jump": (1000, 150_000_000),      # passes of the loop with a comment in it
    "hot_body": (10_000, 1_000_000),      # bytes of a loop body run HOT_PASSES times
    "state_machine": (1000, 30_000_000),  # steps of a four-state machine
    "sort": (10, 200_000),                # rounds of filling and sorting 16 values
    "recursion": (12, 28),                # tak(x, 2x/3, x/3): 24.8 million calls at 28
    "fixed_point": (1000, 20_000_000),    # steps of a fixed-point map, a character printed each
    "cliff": (1000, 2_000_000),           # passes of each one-word hot loop
    "straight": (20_000, 10_000_000),     # bytes of a main without a jump
    "labels": (500, 200_000),             # lines, each a label and a few tokens
    "if_skip": ([3_000, 10_000], [300_000, 1_000_000]),          # "0 if @@x @x" repeated
    "go_down_heads": ([10_000, 20_000], [1_000_000, 2_000_000]),  # bytes of the shared body
    "cold_calls": (10_000, 1_000_000),    # bytes of the comment in the callee
    "startup": (500, 50_000),             # definitions in the script
}
GROUPS = {
    "compute": ["loop", "fib", "primes", "calls", "far_jump", "hot_body",
                "state_machine", "sort", "recursion", "fixed_point"],
    "cliff": ["cliff"],
    "run-once": ["straight", "labels", "if_skip", "go_down_heads", "cold_calls", "startup"],
}
STARTUP_BYTES = {"tiny": 50_000, "full": 5_000_000}
HOT_PASSES = 100        # passes of hot_body's loop
HEAD_ENTRIES = 64       # words that go_down into go_down_heads's body
COLD_SITES = 60         # never-run calls in cold_calls


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


def i32(x):
    """x wrapped to a 32-bit signed cell, as qka computes."""
    return (x + 2**31) % 2**32 - 2**31


def cpu_model():
    """The CPU's model line from /proc/cpuinfo ("model name", or what ARM
    kernels give instead) and the number of processors, since every figure
    must name the machine it was measured on."""
    model, count = None, 0
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                key, _, value = line.partition(":")
                key = key.strip()
                if key == "processor":
                    count += 1
                elif key in ("model name", "Model", "Hardware") and model is None and value.strip():
                    model = value.strip()
    except OSError:
        pass
    return f"{model or 'unknown model'} ({count or os.cpu_count()} processors)"


# ---------------------------------------------------------------------------
# The compute workloads. qka has several spellings of each; the peers one
# idiomatic program. {n} is the workload's size.
#
# calls: main calls w3 once per pass; w3 calls w2 twice and w1 three times,
# each w2 calls w1 twice: 1 + 2 + 7 = 10 calls per pass, and the seven w1
# calls add 7 to the checksum.

PRINT_A = '"result=" str. $a @ . \\n ;\n'
QKA_VARIANTS = {
    "loop": {
        # the counter stored, then fetched again for loop
        "": ": main 0 $a ! {n} $b ! @top $a @ 3 + $a ! $b @ 1 - $b ! $b @ loop @@top\n" + PRINT_A,
        "dup_store": ": main 0 $a ! {n} $b ! @top $a @ 3 + $a ! $b @ 1 - dup $b ! loop @@top\n" + PRINT_A,
        # the counter updated first, the accumulator between its store and fetch
        "count_first": ": main 0 $a ! {n} $b ! @top $b @ 1 - $b ! $a @ 3 + $a ! $b @ loop @@top\n" + PRINT_A,
        "commuted": ": main 0 $a ! {n} $b ! @top 3 $a @ + $a ! -1 $b @ + dup $b ! loop @@top\n" + PRINT_A,
        "stack_acc": (": main 0 {n} $b ! @top 3 + $b @ 1 - $b ! $b @ loop @@top\n"
                      '"result=" str. . \\n ;\n'),
        "globals": (": main 0 $A ! {n} $B ! @top $A @ 3 + $A ! $B @ 1 - $B ! $B @ loop @@top\n"
                    '"result=" str. $A @ . \\n ;\n'),
        "count_up": ": main 0 $a ! 0 $i ! @top $a @ 3 + $a ! $i @ 1 + dup $i ! {n} < loop @@top\n" + PRINT_A,
        # tested at the top, left by if
        "while": (": main 0 $a ! {n} $b ! @top $b @ if @@done $a @ 3 + $a ! $b @ 1 - $b ! go_up @@top\n"
                  "@done " + PRINT_A),
        "if_exit": (": main 0 $a ! 0 $i ! @top $i @ {n} = 0= if @@done $a @ 3 + $a ! $i @ 1 + $i ! go_up @@top\n"
                    "@done " + PRINT_A),
    },
    "fib": {
        # the base case returns from inside the body
        "": (": fib $n ! $n @ 2 < if @@fib_rec $n @ ; @fib_rec $n @ 1 - fib $n @ 2 - fib + ;\n"
             ': main {n} fib "result=" str. . \\n ;\n'),
        "stack": (": fib dup 2 < if @@fib_rec ; @fib_rec dup 1 - fib over 2 - fib + swap drop ;\n"
                  ': main {n} fib "result=" str. . \\n ;\n'),
        "one_exit": (": fib $n ! $n @ 2 < if @@fib_rec $n @ go_down @@fib_end\n"
                     "  @fib_rec $n @ 1 - fib $n @ 2 - fib + @fib_end ;\n"
                     ': main {n} fib "result=" str. . \\n ;\n'),
    },
    "primes": {
        "": (": main 0 $c ! 2 $n !\n"
             "@outer 2 $d !\n"
             "@inner $d @ $d @ * $n @ > if @@try\n"
             "  $c @ 1 + $c ! go_down @@next\n"
             "  @try $n @ $d @ % if @@next\n"
             "  $d @ 1 + $d ! go_up @@inner\n"
             "@next $n @ 1 + $n ! $n @ {n} < loop @@outer\n"
             '"result=" str. $c @ . \\n ;\n'),
        "word": (": is_prime $n ! 2 $d !\n"
                 "  @ip_loop $d @ $d @ * $n @ > if @@ip_try 1 ;\n"
                 "  @ip_try $n @ $d @ % if @@ip_no $d @ 1 + $d ! go_up @@ip_loop\n"
                 "  @ip_no 0 ;\n"
                 ": main 0 $c ! 2 $n !\n"
                 "@outer $n @ is_prime $c @ + $c ! $n @ 1 + $n ! $n @ {n} < loop @@outer\n"
                 '"result=" str. $c @ . \\n ;\n'),
        "commuted": (": main 0 $c ! 2 $n !\n"
                     "@outer 2 $d !\n"
                     "@inner $n @ $d @ $d @ * < if @@try\n"
                     "  1 $c @ + $c ! go_down @@next\n"
                     "  @try $n @ $d @ % if @@next\n"
                     "  1 $d @ + $d ! go_up @@inner\n"
                     "@next 1 $n @ + $n ! {n} $n @ > loop @@outer\n"
                     '"result=" str. $c @ . \\n ;\n'),
    },
    "calls": {
        "": (": w1 1 + ;\n: w2 w1 w1 ;\n: w3 w2 w2 w1 w1 w1 ;\n"
             ": main 0 {n} $b ! @top w3 $b @ 1 - $b ! $b @ loop @@top\n"
             '"result=" str. . \\n ;\n'),
        "locals": (": w1 $x ! $x @ 1 + ;\n: w2 $x ! $x @ w1 w1 ;\n: w3 $x ! $x @ w2 w2 w1 w1 w1 ;\n"
                   ": main 0 {n} $b ! @top w3 $b @ 1 - $b ! $b @ loop @@top\n"
                   '"result=" str. . \\n ;\n'),
        "global": (": w1 $A @ 1 + $A ! ;\n: w2 w1 w1 ;\n: w3 w2 w2 w1 w1 w1 ;\n"
                   ": main 0 $A ! {n} $b ! @top w3 $b @ 1 - $b ! $b @ loop @@top\n"
                   '"result=" str. $A @ . \\n ;\n'),
    },
    "far_jump": {
        "": (": main 0 $a ! {n} $b ! @top $a @ 3 + $a !\n/* {comment} */\n"
             "$b @ 1 - $b ! $b @ loop @@top\n" + PRINT_A),
    },
    "hot_body": {
        "": ": main 0 $a ! 1 $b ! {n} $p ! @top\n{body}$p @ 1 - $p ! $p @ loop @@top\n"
             '"result=" str. $a @ $b @ + . \\n ;\n',
    },
}

# state_machine: four states; 1 adds 1, 2 triples modulo 1000003, 3 adds 7,
# 4 halves, each passing to the next.
QKA_VARIANTS["state_machine"] = {
    "": (": main 0 $a ! 1 $s ! {n} $b !\n"
         "@top $s @ 4 on_goto @@s1 @@s2 @@s3 @@s4\n"
         "@s1 $a @ 1 + $a ! 2 $s ! go_down @@next\n"
         "@s2 $a @ 3 * 1000003 % $a ! 3 $s ! go_down @@next\n"
         "@s3 $a @ 7 + $a ! 4 $s ! go_down @@next\n"
         "@s4 $a @ 2 / $a ! 1 $s !\n"
         "@next $b @ 1 - dup $b ! loop @@top\n" + PRINT_A),
    # the state's index computed from the step count instead of stored
    "computed": (": main 0 $a ! {n} $b !\n"
                 "@top $b @ 4 % 4 swap - 4 % 1 + 4 on_goto @@s1 @@s2 @@s3 @@s4\n"
                 "@s1 $a @ 1 + $a ! go_down @@next\n"
                 "@s2 $a @ 3 * 1000003 % $a ! go_down @@next\n"
                 "@s3 $a @ 7 + $a ! go_down @@next\n"
                 "@s4 $a @ 2 / $a !\n"
                 "@next $b @ 1 - dup $b ! loop @@top\n" + PRINT_A),
    # dispatched by a chain of tests instead
    "if_chain": (": main 0 $a ! 1 $s ! {n} $b !\n"
                 "@top $s @ 1 = if @@t2 $a @ 1 + $a ! 2 $s ! go_down @@next\n"
                 "@t2 $s @ 2 = if @@t3 $a @ 3 * 1000003 % $a ! 3 $s ! go_down @@next\n"
                 "@t3 $s @ 3 = if @@t4 $a @ 7 + $a ! 4 $s ! go_down @@next\n"
                 "@t4 $a @ 2 / $a ! 1 $s !\n"
                 "@next $b @ 1 - dup $b ! loop @@top\n" + PRINT_A),
}

# sort: each round fills the globals $A to $P (32 to 47) (the array, by computed
# numbers) from a generator, sorts them with bubble sort and adds the sum of
# (i+1) * v[i] to a checksum modulo 1000000.
SORT_FILL = ("@round 0 $i !\n"
             "@fill $s @ 75 * 74 + 65537 % dup $s ! $i @ 32 + ! $i @ 1 + dup $i ! 16 < loop @@fill\n")
SORT_SUM = ("0 $i !\n"
            "@sum $i @ 32 + @ $i @ 1 + * $c @ + 1000000 % $c ! $i @ 1 + dup $i ! 16 < loop @@sum\n"
            "$r @ 1 - dup $r ! loop @@round\n"
            '"result=" str. $c @ . \\n ;\n')
QKA_VARIANTS["sort"] = {
    # indexes i and i+1 added to the array's base at each access
    "": (": main 0 $c ! 12345 $s ! {n} $r !\n" + SORT_FILL +
         "15 $j !\n"
         "@outer 0 $i !\n"
         "@inner $i @ 32 + @ $i @ 33 + @ > if @@keep\n"
         "  $i @ 32 + @ $t ! $i @ 33 + @ $i @ 32 + ! $t @ $i @ 33 + !\n"
         "@keep $i @ 1 + dup $i ! $j @ < loop @@inner\n"
         "$j @ 1 - dup $j ! loop @@outer\n" + SORT_SUM),
    # a pointer that walks the array: $w @ @ and $w @ 1 + !
    "pointer": (": main 0 $c ! 12345 $s ! {n} $r !\n" + SORT_FILL +
                "47 $e !\n"
                "@outer 32 $w !\n"
                "@inner $w @ @ $w @ 1 + @ > if @@keep\n"
                "  $w @ @ $w @ 1 + @ $w @ ! $w @ 1 + !\n"
                "@keep $w @ 1 + dup $w ! $e @ < loop @@inner\n"
                "$e @ 1 - dup $e ! 32 > loop @@outer\n" + SORT_SUM),
}

# recursion: Takeuchi's function with its three arguments in locals.
QKA_VARIANTS["recursion"] = {
    "": (": tak $z ! $y ! $x ! $y @ $x @ < if @@tak_z\n"
         "  $x @ 1 - $y @ $z @ tak $y @ 1 - $z @ $x @ tak $z @ 1 - $x @ $y @ tak tak ;\n"
         "  @tak_z $z @ ;\n"
         ': main {n} dup 2 * 3 / over 3 / tak "result=" str. . \\n ;\n'),
    "one_exit": (": tak $z ! $y ! $x ! $x @ $y @ > if @@tak_z\n"
                 "  $x @ 1 - $y @ $z @ tak $y @ 1 - $z @ $x @ tak $z @ 1 - $x @ $y @ tak tak go_down @@tak_end\n"
                 "  @tak_z $z @ @tak_end ;\n"
                 ': main {n} dup 2 * 3 / over 3 / tak "result=" str. . \\n ;\n'),
}

# fixed_point: the logistic map x' = r x (1 - x) with r = 3.7 in units of
# 1/4096, which stay positive so that every division truncates alike in every
# language; each step prints the character 32 + x/64 and adds x to a checksum.
QKA_VARIANTS["fixed_point"] = {
    "": (": main 1000 $x ! 0 $s ! {n} $b !\n"
         "@top $x @ 15155 * 4096 / 4096 $x @ - * 4096 / dup $x ! 64 / 32 + chr.\n"
         "$x @ $s @ + 1000000 % $s ! $b @ 1 - dup $b ! loop @@top\n"
         '\\n "result=" str. $s @ . \\n ;\n'),
    # x kept on the stack across the loop
    "stack": (": main 0 $s ! {n} $b ! 1000\n"
              "@top dup 15155 * 4096 / swap 4096 swap - * 4096 / dup 64 / 32 + chr.\n"
              "dup $s @ + 1000000 % $s ! $b @ 1 - dup $b ! loop @@top\n"
              'drop \\n "result=" str. $s @ . \\n ;\n'),
}

# The cliff table: one hot loop per built-in word and control form, timed
# against the reference walker. Each body runs once per pass of a loop closed
# by "loop" and adds to the global $A (a global, so that called words see it);
# its result is the reference's own.
CLIFF_ACC = "$A @ + $A !"
CLIFF_BODIES = {
    **{f"{op}": f"$i @ 7 {op} {CLIFF_ACC}" for op in ("+", "-", "*", "/", "%", "=", "<>", "<", ">", "and", "or")},
    "/ variable": f"$i @ $d @ / {CLIFF_ACC}",
    "% variable": f"$i @ $d @ % {CLIFF_ACC}",
    "0=": f"$i @ 3 and 0= {CLIFF_ACC}",
    "not": f"$i @ 3 and not {CLIFF_ACC}",
    "dup": f"$i @ dup * 1000 % {CLIFF_ACC}",
    "swap": f"1 $i @ swap - {CLIFF_ACC}",
    "over": f"$i @ 3 over - * 1000 % {CLIFF_ACC}",
    "rot": f"1 2 $i @ rot - + {CLIFF_ACC}",
    "drop": f"$i @ 5 drop {CLIFF_ACC}",
    "@ ! computed": f"$i @ dup 7 and 40 + ! $i @ 3 and 40 + @ {CLIFF_ACC}",
    "?r @": f"?r @ drop 1 {CLIFF_ACC}",
    "?s @": f"?s @ drop 1 {CLIFF_ACC}",
    "wday": f"2026 12 $i @ 28 % 1 + wday {CLIFF_ACC}",
    "varsion": f"varsion drop 1 {CLIFF_ACC}",
    ".": "$i @ 7 and .",
    "chr.": "$i @ 26 % 65 + chr.",
    "spc": "$i @ 3 and spc",
    "str.": '"x" str.',
    "\\n": "\\n",
    "if": f"$i @ 1 and if @@skip 1 {CLIFF_ACC} @skip",
    "go_down": f"go_down @@over 1 {CLIFF_ACC} @over 2 {CLIFF_ACC}",
    "on_goto": (f"$i @ 3 % 1 + 3 on_goto @@o1 @@o2 @@o3 @o1 1 {CLIFF_ACC} go_down @@o_end "
                f"@o2 2 {CLIFF_ACC} go_down @@o_end @o3 3 {CLIFF_ACC} @o_end"),
    "/*": f"/* a comment of a few words */ 1 {CLIFF_ACC}",
    "call": f"$i @ triple {CLIFF_ACC}",
    "early ;": f"$i @ early {CLIFF_ACC}",
    "recursion": f"$i @ 7 and down {CLIFF_ACC}",
    "nested loop": f"3 $j ! @in 1 {CLIFF_ACC} $j @ 1 - dup $j ! loop @@in",
}
CLIFF_WORDS = (": triple 3 * ;\n"
               ": early dup 1 and if @@e1 1 + ; @e1 2 + ;\n"
               ": down dup if @@d0 1 - down 1 + @d0 ;\n")
CLIFF_END = '"result=" str. $A @ . \\n ;\n' + CLIFF_WORDS
QKA_VARIANTS["cliff"] = {
    name: ": main 0 $A ! 7 $d ! {n} $i ! @top " + body.replace("{", "{{").replace("}", "}}")
          + " $i @ 1 - dup $i ! loop @@top\n" + CLIFF_END
    for name, body in CLIFF_BODIES.items()
}
# go_up closes a loop tested at its top
QKA_VARIANTS["cliff"]["go_up"] = (": main 0 $A ! {n} $i ! @top $i @ if @@done 1 " + CLIFF_ACC
                                  + " $i @ 1 - $i ! go_up @@top @done\n" + CLIFF_END)
CLIFF_OUTPUT = {".", "chr.", "spc", "str.", "\\n"}

# hot_body's body: this chunk over and over, four to a line. Each chunk adds 3
# to a and the old a to b, modulo 1000.
HOT_CHUNK = "$a @ dup 3 + $a ! $b @ + 1000 % $b !"


def hot_chunks(nbytes):
    return max(nbytes // (len(HOT_CHUNK) + 1), 1)


def lines_of(chunks, per_line, sep=" "):
    return "".join(sep.join(chunks[i:i + per_line]) + "\n" for i in range(0, len(chunks), per_line))


def qka_compute_program(workload, variant, n, comment_bytes):
    template = QKA_VARIANTS[workload][variant]
    if workload == "far_jump":
        return template.format(n=n, comment=comment_text(comment_bytes))
    if workload == "hot_body":
        return template.format(n=HOT_PASSES, body=lines_of([HOT_CHUNK] * hot_chunks(n), 4))
    return template.format(n=n)


def forth_program(workload, n, comment_bytes, pforth):
    # pforth spells locals { a b -- } and assigns with ->; gforth: { a b } and to
    assign = "->" if pforth else "to"
    def local(*names):
        return "{ " + " ".join(names) + (" -- }" if pforth else " }")
    if workload in ("loop", "far_jump"):
        comment = f"( {comment_text(comment_bytes)} )" if workload == "far_jump" else ""
        return (f": bench 0 {local('a')} {n} 0 do a 3 + {assign} a\n{comment}\nloop a ;\n"
                'bench ." result=" . cr\n')
    if workload == "fib":
        return (f": fib {local('n')} n 2 < if n else n 1- recurse n 2 - recurse + then ;\n"
                f'{n} fib ." result=" . cr\n')
    if workload == "primes":
        return (f": bench 0 {n} 2 do 2 begin dup dup * i > if drop 1+ true else i over mod 0= if drop true else 1+ false then then until loop ;\n"
                'bench ." result=" . cr\n')
    if workload == "calls":
        return (": w1 1+ ;\n: w2 w1 w1 ;\n: w3 w2 w2 w1 w1 w1 ;\n"
                f": bench 0 {n} 0 do w3 loop ;\n"
                'bench ." result=" . cr\n')
    if workload == "hot_body":
        chunk = f"a dup 3 + {assign} a b + 1000 mod {assign} b"
        return (f": bench 0 1 {local('a', 'b')} {HOT_PASSES} 0 do\n"
                + lines_of([chunk] * hot_chunks(n), 4) +
                'loop a b + ;\nbench ." result=" . cr\n')
    if workload == "state_machine":
        return (f": bench 0 1 {local('a', 's')} {n} 0 do s case\n"
                f"  1 of a 1+ {assign} a 2 {assign} s endof\n"
                f"  2 of a 3 * 1000003 mod {assign} a 3 {assign} s endof\n"
                f"  3 of a 7 + {assign} a 4 {assign} s endof\n"
                f"  a 2/ {assign} a 1 {assign} s endcase loop a ;\n"
                'bench ." result=" . cr\n')
    if workload == "sort":
        return ("create arr 16 cells allot\n"
                ": sw ( addr -- ) dup @ over cell+ @ > if dup @ over cell+ @ 2 pick ! swap cell+ ! else drop then ;\n"
                f": bench 0 12345 {local('c', 's')} {n} 0 do\n"
                f"  16 0 do s 75 * 74 + 65537 mod dup {assign} s arr i cells + ! loop\n"
                "  1 15 do i 0 do arr i cells + sw loop -1 +loop\n"
                f"  16 0 do arr i cells + @ i 1+ * c + 1000000 mod {assign} c loop\n"
                "loop c ;\n"
                'bench ." result=" . cr\n')
    if workload == "recursion":
        return (f": tak {local('x', 'y', 'z')} y x < if x 1- y z recurse y 1- z x recurse z 1- x y recurse recurse else z then ;\n"
                f'{n} dup 2 * 3 / over 3 / tak ." result=" . cr\n')
    if workload == "fixed_point":
        return (f": bench 1000 0 {local('x', 's')} {n} 0 do\n"
                f"  x 15155 * 4096 / 4096 x - * 4096 / {assign} x x 64 / 32 + emit s x + 1000000 mod {assign} s loop\n"
                's ;\nbench cr ." result=" . cr\n')
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
    if workload == "hot_body":
        # The body is a function of its own: neither Lua 5.4 nor LuaJIT can
        # close a loop around a megabyte of code ("control structure too long").
        return ("local function body(a, b)\n"
                + lines_of(["b = (b + a) % 1000 a = a + 3"] * hot_chunks(n), 4) +
                f"return a, b\nend\nlocal a, b = 0, 1\nfor i = 1, {HOT_PASSES} do a, b = body(a, b) end\n"
                "print('result=' .. (a + b))\n")
    if workload == "state_machine":
        # LuaJIT has no integer division: math.floor, exact on these
        # positive values, serves both.
        return (f"local floor = math.floor\nlocal a, s = 0, 1\nfor i = 1, {n} do\n"
                " if s == 1 then a = a + 1 s = 2\n elseif s == 2 then a = a * 3 % 1000003 s = 3\n"
                " elseif s == 3 then a = a + 7 s = 4\n else a = floor(a / 2) s = 1 end\nend\n"
                "print('result=' .. a)\n")
    if workload == "sort":
        return (f"local arr, c, s = {{}}, 0, 12345\nfor r = 1, {n} do\n"
                " for i = 1, 16 do s = (s * 75 + 74) % 65537 arr[i] = s end\n"
                " for j = 15, 1, -1 do for i = 1, j do\n"
                "  if arr[i] > arr[i + 1] then arr[i], arr[i + 1] = arr[i + 1], arr[i] end\n"
                " end end\n"
                " for i = 1, 16 do c = (c + arr[i] * i) % 1000000 end\nend\n"
                "print('result=' .. c)\n")
    if workload == "recursion":
        return ("local function tak(x, y, z)\n if y < x then return tak(tak(x - 1, y, z), tak(y - 1, z, x), tak(z - 1, x, y)) end\n"
                f" return z\nend\nlocal n = {n}\nprint('result=' .. tak(n, math.floor(n * 2 / 3), math.floor(n / 3)))\n")
    if workload == "fixed_point":
        return (f"local x, s = 1000, 0\nlocal write, char, floor = io.write, string.char, math.floor\nfor i = 1, {n} do\n"
                " x = floor(floor(x * 15155 / 4096) * (4096 - x) / 4096) write(char(32 + floor(x / 64))) s = (s + x) % 1000000\nend\n"
                "print() print('result=' .. s)\n")
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
    if workload == "hot_body":
        return (f"def main():\n    a = 0\n    b = 1\n    for i in range({HOT_PASSES}):\n"
                + "".join(["        b = (b + a) % 1000; a += 3\n"] * hot_chunks(n)) +
                "    print(f'result={a + b}')\nmain()\n")
    if workload == "state_machine":
        return (f"def main():\n    a, s = 0, 1\n    for i in range({n}):\n"
                "        if s == 1: a += 1; s = 2\n        elif s == 2: a = a * 3 % 1000003; s = 3\n"
                "        elif s == 3: a += 7; s = 4\n        else: a //= 2; s = 1\n"
                "    print(f'result={a}')\nmain()\n")
    if workload == "sort":
        return (f"def main():\n    arr, c, s = [0] * 16, 0, 12345\n    for r in range({n}):\n"
                "        for i in range(16):\n            s = (s * 75 + 74) % 65537; arr[i] = s\n"
                "        for j in range(15, 0, -1):\n            for i in range(j):\n"
                "                if arr[i] > arr[i + 1]: arr[i], arr[i + 1] = arr[i + 1], arr[i]\n"
                "        for i in range(16):\n            c = (c + arr[i] * (i + 1)) % 1000000\n"
                "    print(f'result={c}')\nmain()\n")
    if workload == "recursion":
        return ("def tak(x, y, z):\n    return tak(tak(x - 1, y, z), tak(y - 1, z, x), tak(z - 1, x, y)) if y < x else z\n"
                f"n = {n}\nprint(f'result={{tak(n, n * 2 // 3, n // 3)}}')\n")
    if workload == "fixed_point":
        return (f"import sys\ndef main():\n    x, s, out = 1000, 0, []\n    for i in range({n}):\n"
                "        x = x * 15155 // 4096 * (4096 - x) // 4096; out.append(chr(32 + x // 64)); s = (s + x) % 1000000\n"
                "    sys.stdout.write(''.join(out))\n    print()\n    print(f'result={s}')\nmain()\n")
    raise KeyError(workload)


def compute_expected(workload, n):
    if workload in ("loop", "far_jump"):
        return 3 * n
    if workload == "fib":
        a, b = 0, 1
        for _ in range(n):
            a, b = b, a + b
        return a
    if workload == "primes":
        if n <= 2:
            return 0
        sieve = bytearray([1]) * n
        sieve[0] = sieve[1] = 0
        for p in range(2, int(n ** 0.5) + 1):
            if sieve[p]:
                sieve[p * p::p] = bytes(len(range(p * p, n, p)))
        return sum(sieve)
    if workload == "calls":
        return 7 * n
    if workload == "hot_body":
        steps = HOT_PASSES * hot_chunks(n)   # a runs 0, 3, 6, ...; b sums them from 1
        return 3 * steps + (1 + 3 * steps * (steps - 1) // 2) % 1000
    if workload == "state_machine":
        a = 0
        for i in range(n):
            a = (a + 1, a * 3 % 1000003, a + 7, a // 2)[i % 4]
        return a
    if workload == "sort":
        arr, c, s = [0] * 16, 0, 12345
        for _ in range(n):
            for i in range(16):
                s = (s * 75 + 74) % 65537
                arr[i] = s
            arr.sort()
            c = (c + sum(v * (i + 1) for i, v in enumerate(arr))) % 1000000
        return c
    if workload == "recursion":
        @functools.lru_cache(maxsize=None)
        def tak(x, y, z):
            return tak(tak(x - 1, y, z), tak(y - 1, z, x), tak(z - 1, x, y)) if y < x else z
        return tak(n, n * 2 // 3, n // 3)
    if workload == "fixed_point":
        x, total = 1000, 0
        for _ in range(n):
            x = x * 15155 // 4096 * (4096 - x) // 4096
            total = (total + x) % 1000000
        return total
    raise KeyError(workload)


# ---------------------------------------------------------------------------
# The run-once scripts: qka only (start-up has peers too). Each generator
# gives the script and the result it must print.

# Straight-line code: arithmetic, locals and a global, and stack words that
# leave the stack as they found it. Per cycle: a += 2, b = 7b mod 1000,
# C += b + 1.
CYCLE = ("{a} @ 3 + {a} ! {b} @ 7 * 1000 % {b} ! {b} @ 1 2 rot + swap - {c} @ + {c} ! "
         "{a} @ dup over + drop 1 - {a} !")


def run_cycles(state, cycles):
    a, b, c = state
    for _ in range(cycles):
        b = b * 7 % 1000
        c = i32(c + b + 1)
        a = i32(a + 2)
    return a, b, c


def straight_program(nbytes):
    head = ": main 0 $a ! 1 $b ! 0 $C !\n"
    cycle = CYCLE.format(a="$a", b="$b", c="$C")
    cycles = max((nbytes - len(head)) // (len(cycle) + 1), 1)
    a, b, c = run_cycles((0, 1, 0), cycles)
    text = head + (cycle + "\n") * cycles + '"result=" str. $a @ $b @ + $C @ + . \\n ;\n'
    return text, i32(a + b + c)


def labels_program(lines):
    body = "".join(f"@l{i} $a @ {i % 10} + $a !\n" for i in range(lines))
    return ": main 0 $a !\n" + body + PRINT_A, sum(i % 10 for i in range(lines))


def if_skip_program(repeats):
    # Every "if" takes its jump, to the label that follows it at once.
    text = (": main\n" + lines_of(["0 if @@x @x"] * repeats, 8) +
            f'"result=" str. {repeats} . \\n ;\n')
    return text, repeats


def go_down_heads_program(nbytes):
    # main calls each of the 64 words once. Word j jumps to the j-th of the
    # labels that head one long body, each label with a count of its own
    # after it; from there the body runs on to its ";", which returns from
    # word j. So the bulk runs once from each entry, never by a backward jump
    # or a repeated call.
    cycle = CYCLE.format(a="$A", b="$B", c="$C")
    cycles = max(nbytes // (len(cycle) + 1), 1)
    text = (": main 0 $A ! 1 $B ! 0 $C ! 0 $D !\n"
            + lines_of([f"e{j}" for j in range(HEAD_ENTRIES)], 16) +
            '"result=" str. $A @ $B @ + $C @ + $D @ + . \\n ;\n'
            + "".join(f": e{j} go_down @@h{j} ;\n" for j in range(HEAD_ENTRIES)) +
            ": body\n" + "".join(f"@h{j} $D @ 1 + $D !\n" for j in range(HEAD_ENTRIES))
            + (cycle + "\n") * cycles + ";\n")
    state = (0, 1, 0)
    for _ in range(HEAD_ENTRIES):
        state = run_cycles(state, cycles)
    a, b, c = state
    heads_run = HEAD_ENTRIES * (HEAD_ENTRIES + 1) // 2  # entry j passes the heads j to 63
    return text, i32(a + b + c + heads_run)


def cold_calls_program(nbytes):
    # Sixty calls of w behind "0 if": none runs, so $A counts the sites passed
    # and never gets w's 1000.
    sites = "".join(f"0 if @@c{i} w @c{i} $A @ 1 + $A !\n" for i in range(COLD_SITES))
    text = (": main 0 $A !\n" + sites + '"result=" str. $A @ . \\n ;\n'
            ": w $A @ 1000 + $A ! cold ;\n"
            f": cold /* {comment_text(nbytes)} */ ;\n")
    return text, COLD_SITES


def startup_program(system, defs, total_bytes):
    """defs definitions of similar size adding up to about total_bytes; main prints 1."""
    per = max(total_bytes // defs, 40)
    out = []
    for i in range(defs):
        if system in ("qka", "gforth", "pforth"):
            head = f": word{i} "
            body = " ".join(["1 2 + drop"] * max((per - len(head) - 2) // 11, 1))
            out.append(f"{head}{body} ;\n")
        elif system in ("lua", "luajit"):
            # A thousand definitions to a chunk: LuaJIT allows a function
            # (the main chunk too) at most 65,536 constants, and each
            # definition takes two, its name and its code.
            if i % 1000 == 0:
                out.append("(function()\n" if i == 0 else "end)();\n(function()\n")
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
        out.append('." result=" 1 . cr\nbye\n')
    elif system in ("lua", "luajit"):
        out.append("end)()\nprint('result=1')\n")
    else:
        out.append("print('result=1')\n")
    return "".join(out)


RUN_ONCE_PROGRAMS = {
    "straight": straight_program,
    "labels": labels_program,
    "if_skip": if_skip_program,
    "go_down_heads": go_down_heads_program,
    "cold_calls": cold_calls_program,
}


# ---------------------------------------------------------------------------
# Systems and runs

PEERS = {
    "gforth": ["gforth-fast", "-m", "512M"],  # room for the start-up script
    "pforth": ["pforth", "-q"],               # reads the program from its standard input
    "lua": ["lua5.4"],
    "luajit": ["luajit"],
    "python": [sys.executable],
}
SUFFIX = {"gforth": ".fs", "pforth": ".fs", "lua": ".lua", "luajit": ".lua", "python": ".py"}
# Pairs left out on purpose, with the reason printed in their place.
LEFT_OUT = {
    ("startup", "pforth"): "pforth's dictionary has no room for the definitions, and "
                           "its word list, searched linearly, makes compiling them quadratic",
    ("hot_body", "pforth"): "pforth's dictionary (127 kB of code space) has no room for the body",
}


@dataclasses.dataclass
class System:
    name: str
    argv: list          # the command; the program's path is appended, except for pforth
    qka: bool           # a qka build or the reference: banner, status 0 and the memory cap apply


def peer_program(peer, workload, n, comment_bytes):
    if peer in ("gforth", "pforth"):
        return forth_program(workload, n, comment_bytes, peer == "pforth") + "bye\n"
    if peer in ("lua", "luajit"):
        return lua_program(workload, n, comment_bytes)
    return python_program(workload, n, comment_bytes)


def parse_result(system, out):
    """The last "result=N" of a run's output; for qka only what follows its
    banner line counts, and a missing banner means no result."""
    if system.qka:
        if not out.startswith(BANNER):
            return None
        out = out[len(BANNER):]
    found = re.findall(rb"result=\s*(-?\d+)", out)
    return int(found[-1]) if found else None


def limit_memory(system, args):
    """A bound on a qka run's address space (--mem-limit), so that a build
    that translates without bound fails on its own instead of taking the
    shared machine's memory."""
    if not system.qka or args.mem_limit <= 0:
        return None
    cap = args.mem_limit * 1024 * 1024
    return lambda: resource.setrlimit(resource.RLIMIT_AS, (cap, cap))


def run_once(system, path, args):
    """Runs a program once: its wall time, result, output and exit status
    (None when it was stopped after --timeout)."""
    argv = system.argv if system.name == "pforth" else system.argv + [path]
    # pforth reads its program from standard input and spins at the end of it
    # when a program never reaches "bye", hence the bound on every run.
    with open(path, "rb") as program_file:
        stdin = program_file if system.name == "pforth" else subprocess.DEVNULL
        start = time.perf_counter()
        try:
            done = subprocess.run(argv, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  timeout=args.timeout, preexec_fn=limit_memory(system, args))
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
    argv = system.argv if system.name == "pforth" else system.argv + [path]
    with open(path, "rb") as program_file, tempfile.NamedTemporaryFile() as report:
        stdin = program_file if system.name == "pforth" else subprocess.DEVNULL
        try:
            subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + argv, stdin=stdin,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=args.timeout, preexec_fn=limit_memory(system, args))
        except subprocess.TimeoutExpired:
            return None
        words = report.read().split()
    return int(words[-1]) if words and words[-1].isdigit() else None


class Bench:
    """Runs programs and keeps the verdict: any qka run without its banner,
    its result or status 0, and any wrong result, fails the benchmark."""

    def __init__(self, args, tmp):
        self.args = args
        self.tmp = tmp
        self.failed = False

    def write(self, name, text):
        path = os.path.join(self.tmp, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def time(self, label, system, path, expected, memory=False):
        """The median time of --runs runs (None when a run fails) and, with
        memory, the peak resident memory of one more run."""
        times = []
        for _ in range(self.args.runs):
            elapsed, result, out, status = run_once(system, path, self.args)
            if result is None or (system.qka and status != 0):
                # qka must run everything; a peer that cannot is reported and left out
                what = "stopped after --timeout" if status is None else f"status {status}"
                print(f"{label}/{system.name}: no result or a failure ({what}): {out[-300:]!r}")
                self.failed = self.failed or system.qka
                return None, None
            if expected is not None and result != expected:
                print(f"MISMATCH {label}: {system.name} printed {result}, expected {expected}")
                self.failed = True
                return None, None
            times.append(elapsed)
            expected = result  # with no expected value, every run must agree with the first
        self.result = expected
        peak = peak_memory(system, path, self.args) if memory else None
        return statistics.median(times), peak


# ---------------------------------------------------------------------------
# The rows

@dataclasses.dataclass
class Row:
    label: str
    workload: str
    variant: str        # "" for a workload's first spelling
    n: int
    comment_bytes: int = 0
    times: dict = dataclasses.field(default_factory=dict)   # system name -> median seconds
    peaks: dict = dataclasses.field(default_factory=dict)   # system name -> KiB
    script_bytes: int = 0


def size_label(n, unit=""):
    for step, suffix in ((1_000_000, "M"), (1000, "k")):
        if n >= step and n % step == 0:
            return f"{n // step}{suffix}{unit}"
    return f"{n}{unit}"


def make_rows(args, every=False):
    rows = []
    for workload in args.workloads:
        for n in args.sizes[workload]:
            if workload in QKA_VARIANTS:
                comments = args.comments if workload == "far_jump" else [args.comments[0]]
                for comment_bytes in comments:
                    for variant in QKA_VARIANTS[workload]:
                        label = workload + (f"/{variant}" if variant else "")
                        if workload == "far_jump" and len(args.comments) > 1:
                            label += f"/{comment_bytes}B"
                        rows.append(Row(label, workload, variant, n, comment_bytes))
            else:
                label = workload
                if len(args.sizes[workload]) > 1:
                    label += "/" + size_label(n, "B" if workload == "go_down_heads" else "")
                rows.append(Row(label, workload, "", n))
    if args.only and not every:
        rows = [r for r in rows if r.workload in args.only or r.label in args.only]
    return rows


def run_compute(bench, rows, builds, peers):
    # The peers run once per workload (and size), the builds once per variant.
    peer_times = {}
    for row in rows:
        key = (row.workload, row.n, row.comment_bytes)
        expected = compute_expected(row.workload, row.n)
        if key not in peer_times:
            peer_times[key] = {}
            for peer in peers:
                if (row.workload, peer.name) in LEFT_OUT:
                    print(f"note: {row.workload}/{peer.name} left out: {LEFT_OUT[row.workload, peer.name]}")
                    continue
                path = bench.write(f"{row.workload}.{peer.name}{SUFFIX[peer.name]}",
                                   peer_program(peer.name, row.workload, row.n, row.comment_bytes))
                median, _ = bench.time(row.workload, peer, path, expected)
                if median is not None:
                    peer_times[key][peer.name] = median
        path = bench.write(row.label.replace("/", "_") + ".qka",
                           qka_compute_program(row.workload, row.variant, row.n, row.comment_bytes))
        for build in builds:
            median, _ = bench.time(row.label, build, path, expected)
            if median is not None:
                row.times[build.name] = median
        row.times.update(peer_times[key])
        print(f"{row.label:20} n={row.n:<11} " +
              "  ".join(f"{s} {t:.3f}s" for s, t in row.times.items()), flush=True)


def run_cliff(bench, rows, builds, reference):
    for row in rows:
        path = bench.write("cliff_" + re.sub(r"\W", "_", row.variant) + ".qka",
                           qka_compute_program(row.workload, row.variant, row.n, 0))
        median, _ = bench.time(row.label, reference, path, None)
        if median is None:
            continue
        row.times[reference.name] = median
        for build in builds:
            median, _ = bench.time(row.label, build, path, bench.result)
            if median is not None:
                row.times[build.name] = median
        print(f"{row.label:24} n={row.n:<9} " +
              "  ".join(f"{s} {t:.3f}s" for s, t in row.times.items()), flush=True)


def print_cliff(rows, builds, reference):
    print(f"\ncliff: each build's speed-up over {reference.name} on a hot loop of one word or form "
          f"(target: at least 20, output words apart)")
    heads = ["row", "n", f"{reference.name} (s)"] + [f"{b.name} (s)" for b in builds] + \
            [f"{reference.name}/{b.name}" for b in builds]
    lines = []
    for row in rows:
        t = row.times
        word = row.variant + (" (output)" if row.variant in CLIFF_OUTPUT else "")
        lines.append([word, str(row.n), fmt_time(t.get(reference.name))]
                     + [fmt_time(t.get(b.name)) for b in builds]
                     + [fmt_ratio(t.get(reference.name), t.get(b.name)) for b in builds])
    markdown(heads, lines)


def run_run_once(bench, rows, builds, reference, peers, args):
    for row in rows:
        systems = builds + ([reference] if reference else [])
        if row.workload == "startup":
            text, expected = startup_program("qka", row.n, args.startup_bytes), 1
        else:
            text, expected = RUN_ONCE_PROGRAMS[row.workload](row.n)
        row.script_bytes = len(text.encode())
        path = bench.write(row.label.replace("/", "_") + ".qka", text)
        for system in systems:
            median, peak = bench.time(row.label, system, path, expected, memory=True)
            if median is not None:
                row.times[system.name], row.peaks[system.name] = median, peak
        if row.workload == "startup":
            for peer in peers:
                if ("startup", peer.name) in LEFT_OUT:
                    print(f"note: startup/{peer.name} left out: {LEFT_OUT['startup', peer.name]}")
                    continue
                peer_path = bench.write(f"startup.{peer.name}{SUFFIX[peer.name]}",
                                        startup_program(peer.name, row.n, args.startup_bytes))
                median, peak = bench.time(row.label, peer, peer_path, expected, memory=True)
                if median is not None:
                    row.times[peer.name], row.peaks[peer.name] = median, peak
        print(f"{row.label:20} {row.script_bytes:>10} B  " +
              "  ".join(f"{s} {t:.3f}s {fmt_kib(row.peaks.get(s))}" for s, t in row.times.items()),
              flush=True)


# ---------------------------------------------------------------------------
# Tables

def fmt_time(t):
    return "-" if t is None else f"{t:.3f}"


def fmt_ratio(a, b):
    return f"{a / b:.2f}" if a is not None and b else "-"


def fmt_kib(k):
    return "-" if k is None else f"{k} KiB"


def markdown(heads, lines):
    out = ["| " + " | ".join(heads) + " |", "|" + "---|" * len(heads)]
    out += ["| " + " | ".join(cells) + " |" for cells in lines]
    print("\n".join(out))


def print_compute(rows, builds, peers):
    # One build: its ratio to every peer. Several: each one's ratio to
    # gforth-fast and LuaJIT, the two that the targets name.
    names = [p.name for p in peers]
    against = names if len(builds) == 1 else [p for p in ("gforth", "luajit") if p in names]
    heads = (["row", "n"] + [f"{b.name} (s)" for b in builds] + [f"{p} (s)" for p in names]
             + [f"{b.name}/{p}" for b in builds for p in against])
    lines = []
    for row in rows:
        t = row.times
        lines.append([row.label, str(row.n)] + [fmt_time(t.get(s.name)) for s in builds + peers]
                     + [fmt_ratio(t.get(b.name), t.get(p)) for b in builds for p in against])
    markdown(heads, lines)

    # The spread of each workload: slowest variant over fastest, per build.
    spreads = []
    for workload in dict.fromkeys(r.workload for r in rows):
        of_workload = [r for r in rows if r.workload == workload]
        if len(of_workload) < 2:
            continue
        cells = [workload, str(len(of_workload))]
        for build in builds:
            timed = [(r.times[build.name], r.label) for r in of_workload if build.name in r.times]
            if len(timed) < 2:
                cells.append("-")
                continue
            (fast, fast_label), (slow, slow_label) = min(timed), max(timed)
            cells.append(f"{slow / fast:.2f} ({slow_label} / {fast_label})")
        spreads.append(cells)
    if spreads:
        print("\nspread: the slowest variant's time over the fastest's")
        markdown(["workload", "variants"] + [f"{b.name} spread (slowest / fastest)" for b in builds], spreads)


def print_run_once(rows, builds, reference, peers, args):
    ref = reference.name if reference else None
    # The peak target: at most 1.1 times the reference's peak plus 4 MiB;
    # "peak/bound" at or below 1.00 meets it.
    heads = (["row", "script (B)"] + [f"{b.name} (s)" for b in builds] + ([f"{ref} (s)"] if ref else [])
             + [f"{b.name} peak (KiB)" for b in builds] + ([f"{ref} peak (KiB)"] if ref else []))
    if ref:
        heads += [f"{b.name}/{ref} time" for b in builds] + [f"{b.name} peak/bound" for b in builds]
    lines = []
    for row in rows:
        systems = builds + ([reference] if reference else [])
        cells = [row.label, str(row.script_bytes)]
        cells += [fmt_time(row.times.get(s.name)) for s in systems]
        cells += [str(row.peaks.get(s.name) or "-") for s in systems]
        if ref:
            cells += [fmt_ratio(row.times.get(b.name), row.times.get(ref)) for b in builds]
            ref_peak = row.peaks.get(ref)
            bound = 1.1 * ref_peak + 4096 if ref_peak else None
            cells += [fmt_ratio(row.peaks.get(b.name), bound) for b in builds]
        lines.append(cells)
    print(f"\nrun once: peak/bound is the peak over 1.1 x {ref or 'reference'}'s peak + 4 MiB")
    markdown(heads, lines)

    for row in rows:
        if row.workload != "startup" or not any(p.name in row.times for p in peers):
            continue
        # Start-up's own targets: a tenth of gforth-fast's time, and a peak of
        # at most twice the script plus 16 MiB.
        print(f"\nstartup ({row.script_bytes} bytes for qka) against the peers; "
              f"peak bound 2 x script + 16 MiB = {(2 * row.script_bytes) // 1024 + 16384} KiB")
        present = [p.name for p in peers if p.name in row.times]
        build_names = [b.name for b in builds]
        lines = []
        for s in build_names + present:
            cells = [s, fmt_time(row.times.get(s)), str(row.peaks.get(s) or "-")]
            # a build's row gives its own time over each peer's
            cells += [fmt_ratio(row.times.get(s), row.times.get(p)) if s in build_names else ""
                      for p in present]
            lines.append(cells)
        markdown(["system", "time (s)", "peak (KiB)"] + [f"build/{p}" for p in present], lines)
    if any(None in row.peaks.values() for row in rows):
        print("(a missing peak: /usr/bin/time is not installed or the run was stopped; apt-get install time)")


# ---------------------------------------------------------------------------

def parse_args():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--qka", help="the qka binary (default: build/qka; with --build, only when given)")
    parser.add_argument("--build", action="append", default=[], metavar="NAME=PATH",
                        help="a further qka build with a column of its own (repeatable)")
    parser.add_argument("--reference", default=os.path.join(HERE, "..", "build", "qka_reference"),
                        help="the reference walker for the run-once rows (default: build/qka_reference)")
    parser.add_argument("--size", choices=["tiny", "full"], default="tiny")
    parser.add_argument("--runs", type=int, default=5, help="runs per program; the median is reported")
    parser.add_argument("--group", default=",".join(GROUPS),
                        help="groups of rows, comma-separated: compute, run-once (default: both)")
    parser.add_argument("--only", default="",
                        help="rows or workloads, comma-separated (loop, loop/globals, if_skip, ...)")
    parser.add_argument("--peers", default=",".join(PEERS), help="peers, comma-separated (none: '')")
    parser.add_argument("--n", action="append", default=[], metavar="NAME=N[,N...]",
                        help="the size of one workload or run-once script, instead of the --size default")
    parser.add_argument("--comment-bytes", default="10000",
                        help="size of far_jump's comment; a comma-separated list gives one row each")
    parser.add_argument("--startup-bytes", type=int,
                        help="size of the start-up script (default: 50 kB tiny, 5 MB full)")
    parser.add_argument("--timeout", type=float, default=1800, help="seconds before a run is stopped")
    parser.add_argument("--keep", metavar="DIR",
                        help="write the generated programs into DIR and keep them there")
    parser.add_argument("--mem-limit", type=int, default=8192,
                        help="address space of each qka run in MiB, 0 for none (default: 8192)")
    args = parser.parse_args()

    groups = [g for g in args.group.split(",") if g]
    for g in groups:
        if g not in GROUPS:
            parser.error(f"unknown group {g!r} (known: {', '.join(GROUPS)})")
    args.workloads = [w for g in GROUPS if g in groups for w in GROUPS[g]]
    args.only = [o for o in args.only.split(",") if o]
    for o in args.only:
        workload = o.partition("/")[0]
        if workload not in SIZES:
            parser.error(f"unknown row {o!r} (workloads: {', '.join(SIZES)})")
        if workload not in args.workloads:
            parser.error(f"--only {o}: not in the groups chosen with --group")
    if args.only:
        args.workloads = [w for w in args.workloads if any(o.partition("/")[0] == w for o in args.only)]
    args.peer_list = [p for p in args.peers.split(",") if p]
    for p in args.peer_list:
        if p not in PEERS:
            parser.error(f"unknown peer {p!r} (known: {', '.join(PEERS)})")

    def as_list(v):
        return list(v) if isinstance(v, list) else [v]
    args.sizes = {w: as_list(SIZES[w][0 if args.size == "tiny" else 1]) for w in SIZES}
    for item in args.n:
        name, _, value = item.partition("=")
        values = value.split(",")
        if name not in SIZES or not all(v.isdigit() and int(v) > 0 for v in values):
            parser.error(f"--n wants NAME=N[,N...] with a known name and sizes above 0, not {item!r}")
        args.sizes[name] = [int(v) for v in values]
    try:
        args.comments = [int(c) for c in args.comment_bytes.split(",")]
    except ValueError:
        parser.error(f"--comment-bytes wants numbers, not {args.comment_bytes!r}")
    if args.startup_bytes is None:
        args.startup_bytes = STARTUP_BYTES[args.size]
    if args.runs < 1:
        parser.error("--runs must be at least 1")

    args.builds = []
    if args.qka or not args.build:
        args.builds.append(("qka", args.qka or os.path.join(HERE, "..", "build", "qka")))
    for item in args.build:
        name, _, path = item.partition("=")
        if not name or not path or name in PEERS or name in ("reference", *(b for b, _ in args.builds)):
            parser.error(f"--build wants NAME=PATH with a new name (not a peer's or 'reference'), not {item!r}")
        args.builds.append((name, path))
    return args


def main():
    args = parse_args()
    print(f"cpu: {cpu_model()}")
    builds = []
    for name, path in args.builds:
        if not os.access(path, os.X_OK):
            print(f"error: no qka binary at {path} (build it with "
                  f"'cmake --workflow --preset release', or pass --qka or --build)")
            return 2
        builds.append(System(name, [path], True))
    reference = None
    run_once_wanted = any(w in GROUPS["run-once"] + GROUPS["cliff"] for w in args.workloads)
    if run_once_wanted:
        if os.access(args.reference, os.X_OK):
            reference = System("reference", [args.reference], True)
        else:
            print(f"note: no reference walker at {args.reference}; the run-once rows have no ratios")
    peers = []
    for name in args.peer_list:
        if shutil.which(PEERS[name][0]):
            peers.append(System(name, PEERS[name], False))
        else:
            print(f"note: {PEERS[name][0]} not found, {name} skipped (install the peers: {INSTALL})")

    rows = make_rows(args)
    for o in args.only:
        if not any(o in (r.workload, r.label) for r in rows):
            print(f"error: --only {o}: no such row at this size and in these groups "
                  f"(rows: {', '.join(r.label for r in make_rows(args, every=True))})")
            return 2
    compute = [r for r in rows if r.workload in GROUPS["compute"]]
    run_once_rows = [r for r in rows if r.workload in GROUPS["run-once"]]
    cliff_rows = [r for r in rows if r.workload in GROUPS["cliff"]] if reference else []
    with tempfile.TemporaryDirectory() as tmp:
        if args.keep:
            os.makedirs(args.keep, exist_ok=True)
        bench = Bench(args, args.keep or tmp)
        run_compute(bench, compute, builds, peers)
        run_run_once(bench, run_once_rows, builds, reference, peers, args)
        run_cliff(bench, cliff_rows, builds, reference)

    print(f"\ncpu: {cpu_model()}; median of {args.runs} run(s), wall clock; ratio below 1.0: qka is faster")
    if compute:
        print_compute(compute, builds, peers)
    if run_once_rows:
        print_run_once(run_once_rows, builds, reference, peers, args)
    if cliff_rows:
        print_cliff(cliff_rows, builds, reference)
    if bench.failed:
        print("\nFAILED: a result is missing or wrong, or a qka run failed (see above)")
    return 1 if bench.failed else 0


if __name__ == "__main__":
    sys.exit(main())
