#!/usr/bin/env python3
"""Every short sequence of data words, and every pair of control words around
a data word, run in loops hot enough to be translated and compiled, through
several programs whose bytes on the standard output and error streams and
whose exit statuses must all agree with the first one's.

usage: enumerate.py [options] PROGRAM...

A PROGRAM is a command, optionally preceded by environment settings for it:
    build/qka
    QKA_TEST_HOT_THRESHOLD=1,QKA_TEST_MACHINE_CODE=0:build/qka_test
The first PROGRAM is the reference the others are compared with.

Options:
    --family data|control|ending   only these cases (repeatable; default all)
    --shard I/N      run the I-th of N equal parts of the scripts
    --every N        run one case in N (a sample spread over every family)
    --keep DIR       write the scripts that differ to DIR
    --list           print the case and script counts and stop
    --write DIR      write the scripts to DIR and stop

The cases (see the functions below for their exact text):

data     Every sequence of one to three of the words + - * / % = <> < > 0=
         not and or dup swap over rot drop, its operands from constants,
         locals, globals, arithmetic in the loop, cells already on the stack
         where a block begins, and a mixture of these; its result printed,
         branched on with "if", looped on with "loop", and stored in a
         variable and read back. Variables hold boundary values that move
         from one variable to the next on every pass, so that each pass
         sees other operands.
control  Two control words (if, loop, go_down, go_up, on_goto with an index
         in and out of range, an early ";") with their labels in each
         place, around each data word, in a word called on every pass.
ending   Runs that end with a fatal report in hot code: a stack that runs
         dry part way through a sequence, variable numbers that leave their
         range, jumps that find no label. One case per script.

Data and control cases are batched, many to a script: each is a word called
from main with a line of its own, headed by "#N:", and nothing in them can
end the run, so that a difference names its case.
"""
import argparse
import itertools
import os
import re
import shlex
import subprocess
import sys
import tempfile

INT_MIN = -2147483648
INT_MAX = 2147483647
VALUES = [0, 1, -1, 2, 3, -7, 46341, INT_MIN, INT_MAX]  # 46341 squared overflows
LOCALS = "jklmnopqr"    # hold VALUES; $i, $t, $s, $y and $z have other uses
GLOBALS = "JKLMNOPQR"
PASSES = 12             # the tier threshold is 4 runs of a place
BATCH = 150             # cases per script

# name: (cells it needs, cells it leaves in their place)
DATA_WORDS = {
    "+": (2, 1), "-": (2, 1), "*": (2, 1), "/": (2, 1), "%": (2, 1),
    "=": (2, 1), "<>": (2, 1), "<": (2, 1), ">": (2, 1),
    "0=": (1, 1), "not": (1, 1), "and": (2, 1), "or": (2, 1),
    "dup": (1, 2), "swap": (2, 2), "over": (2, 3), "rot": (3, 3), "drop": (1, 0),
}
USES = ["print", "if", "loop", "store"]
MODES = ["constant", "local", "global", "computed", "entry", "mixed"]


def operands_for(seq):
    """The fewest cells under seq that it never underflows and that leave a
    result on top, and how many cells it leaves."""
    low = depth = 0
    for word in seq:
        needs, leaves = DATA_WORDS[word]
        low = min(low, depth - needs)
        depth += leaves - needs
    k = max(-low, 1 - depth)
    return k, k + depth


def sequences():
    words = list(DATA_WORDS)
    for length in (1, 2, 3):
        yield from itertools.product(words, repeat=length)


def setup(kind):
    """Stores VALUES in the locals or globals that the operands read."""
    letters = LOCALS if kind == "local" else GLOBALS
    return " ".join(f"{v} ${c} !" for v, c in zip(VALUES, letters))


def rotation(kind):
    """Moves every value one variable on: each pass reads other operands."""
    letters = LOCALS if kind == "local" else GLOBALS
    moves = [f"${letters[0]} @"]
    moves += [f"${letters[i + 1]} @ ${letters[i]} !" for i in range(len(letters) - 1)]
    moves.append(f"${letters[-1]} !")
    return " ".join(moves)


COMPUTED = ["$z @ +", "$z @ -", "$y @ *", "$y @ /", "0 $z @ - -"]


def operand(mode, j, offset, constant, n):
    """The text that pushes operand j."""
    letter = LOCALS[offset % len(LOCALS)]
    if mode == "mixed":
        mode = ["constant", "local", "global", "computed"][(j + n) % 4]
        if mode == "global":  # globals hold VALUES unmoved in this mode
            return f"${GLOBALS[offset % len(GLOBALS)]} @"
    if mode == "constant":
        return str(constant)
    if mode == "global":
        return f"${GLOBALS[offset % len(GLOBALS)]} @"
    if mode == "computed":
        return f"${letter} @ " + COMPUTED[(j + n) % len(COMPUTED)]
    return f"${letter} @"  # local, entry


def drain(cells):
    return " ".join([". 32 chr."] * cells)


def data_case(n, seq, use, mode, variant):
    """The word cN: seq on operands from mode, used one way."""
    k = operands_for(seq)[0]
    step = [1, 2, 4, 5, 7, 8][variant % 6]  # how far apart the operands' variables are
    start = variant * 7
    # Constants: a different tuple for every variant.
    constants = [VALUES[(start + step * j) % len(VALUES)] for j in range(k)]
    pushes = " ".join(operand(mode, j, start + step * j, constants[j], n) for j in range(k))
    if mode == "entry":
        pushes += f" @m{n}"  # a block begins here, with the operands on the stack
    return sequence_case(n, seq, use, pushes, mode in ("local", "computed", "entry", "mixed"),
                         mode in ("global", "mixed"), mode == "global")


def sequence_case(n, seq, use, pushes, locals_move, globals_set, globals_move):
    """The word cN: pushes, then seq, its result used one way and the cells
    under it printed, on PASSES passes; locals and globals hold VALUES, and
    move on every pass where asked."""
    rest = operands_for(seq)[1] - 1
    words = " ".join(seq)
    if use == "print":
        body = f"{pushes} {words} . 32 chr. {drain(rest)}"
    elif use == "if":
        body = f"{pushes} {words} if @@f{n} 84 chr. @f{n} 46 chr. 32 chr. {drain(rest)}"
    elif use == "store":
        var = "$s" if n % 2 else "$S"
        body = f"{pushes} {words} {var} ! {drain(rest)} {var} @ . 32 chr."
    else:  # loop: runs again while the result is not 0, three times at most
        lower = " ".join(["swap . 32 chr."] * rest)
        body = (f"3 $t ! @b{n} $t @ 1 - dup $t ! if @@e{n} {pushes} {words} {lower} loop @@b{n} "
                f"@e{n} $t @ . 32 chr.")
    prepare = ["0 $z ! 1 $y !", setup("local")]
    moving = [rotation("local")] if locals_move else []
    if globals_set:
        prepare.append(setup("global"))
    if globals_move:
        moving.append(rotation("global"))
    return (f": c{n} {' '.join(prepare)} {PASSES} $i ! @L{n} {body} {' '.join(moving)} "
            f"$i @ 1 - dup $i ! loop @@L{n} ;")


BINARY = [w for w, (needs, leaves) in DATA_WORDS.items() if needs == 2 and leaves == 1]


def data_cases():
    """(description, maker of the definitions) of every data case."""
    for seq in sequences():
        for u, use in enumerate(USES):
            for m, mode in enumerate(MODES):
                variant = u * len(MODES) + m + len(seq)
                yield (f"data {' '.join(seq)} / {use} / {mode}",
                       lambda n, s=seq, u=use, m=mode, v=variant: data_case(n, s, u, m, v))
    # Every pair of boundary values under each two-operand word: both
    # constants (folded), and one constant beside a local that takes every
    # value in turn (a constant divisor, a constant to compare with).
    for word in BINARY:
        for use in USES:
            for a, b in itertools.product(VALUES, repeat=2):
                yield (f"data {word} / {use} / constants {a} {b}",
                       lambda n, w=word, u=use, p=f"{a} {b}": sequence_case(n, (w,), u, p, False, False, False))
            for c in VALUES:
                for pushes in (f"$j @ {c}", f"{c} $j @"):
                    yield (f"data {word} / {use} / {pushes}",
                           lambda n, w=word, u=use, p=pushes: sequence_case(n, (w,), u, p, True, False, False))


# ---------------------------------------------------------------------------
# Control words in pairs around one data word: C1 D C2 in a word kN that
# the hot loop calls. Places in kN, as labels name them:
#   P0 C1 P1 D P2 C2 P3
# A control word jumps to a place after it or, guarded by a counter so that
# it ends, before it.

def control_forms(first):
    """The control words the first (or second) of the pair can be, each as
    (name, text builder). A builder gets the case number, the pair slot and
    the label name of each place, and gives the word's tokens."""
    forward = ["P1", "P2", "P3"] if first else ["P3"]
    backward = ["P0"] if first else ["P0", "P1", "P2"]
    forms = []
    for to in forward:
        forms.append((f"if>{to}", lambda L, to=to: f"if @@{L[to]}"))
        forms.append((f"go_down>{to}", lambda L, to=to: f"go_down @@{L[to]}"))
    for to in backward:
        # Jumps back while the counter $t lasts, and only then, so that the
        # word ends; "loop" on the value and the counter together.
        forms.append((f"loop>{to}", lambda L, to=to: f"$t @ 1 - dup $t ! 0 > and loop @@{L[to]}"))
        forms.append((f"go_up>{to}", lambda L, to=to:
                      f"$t @ 1 - dup $t ! 0 > if @@{L['skip']} go_up @@{L[to]} @{L['skip']}"))
    # The index on top: the data word's result or an operand, so in range
    # and out of it. Its labels come after the list, at the places after.
    targets = forward if first else ["P3"]
    if len(targets) >= 2:
        forms.append(("on_goto2", lambda L, t=targets: f"2 on_goto @@{L[t[0]]} @@{L[t[-1]]}"))
    forms.append((f"on_goto3", lambda L, t=targets: "3 on_goto " + " ".join(f"@@{L[x]}" for x in (t * 3)[:3])))
    forms.append(("if;", lambda L: f"if @@{L['skip']} ; @{L['skip']}"))
    forms.append((";", lambda L: ";"))
    return forms


def control_case(n, c1, d, c2, middle, operands):
    """kN holds c1, the data word d (after middle) and c2, with the labels
    they jump to; cN calls it on every pass."""
    (_, make1), (_, make2) = c1, c2
    labels = {p: f"{p.lower()}k{n}" for p in ("P0", "P1", "P2", "P3")}
    first = make1({**labels, "skip": f"s1k{n}"})
    second = make2({**labels, "skip": f"s2k{n}"})
    jumps = first + " " + second

    def place(p):  # a label only where a jump goes: a label begins a block
        return f"@{labels[p]}" if f"@@{labels[p]}" in jumps else ""

    body = f"3 $t ! {place('P0')} {first} {place('P1')} {middle} {d} {place('P2')} {second} {place('P3')}"
    # A pass pushes a mark under enough cells for whatever runs (each of the
    # three words at most three cells, each of three rounds of a jump back),
    # and prints what is left above the mark.
    cells = " ".join(operands)
    mark = 777777
    return (f": k{n} {body} ;\n"
            f": c{n} {setup('global')} {PASSES} $i ! @L{n} {mark} {cells} k{n} "
            f"@d{n} dup {mark} = 0= if @@x{n} . 32 chr. go_up @@d{n} @x{n} drop 124 chr. "
            f"{rotation('global')} $i @ 1 - dup $i ! loop @@L{n} ;")


def control_cases():
    firsts = control_forms(True)
    seconds = control_forms(False)
    for i, c1 in enumerate(firsts):
        for j, c2 in enumerate(seconds):
            for w, d in enumerate(DATA_WORDS):
                for middle in ("", "$N @"):
                    # Operands: the top three from globals that take other
                    # values on every pass, the rest boundary values.
                    r = i * 7 + j * 3 + w
                    operands = [str(VALUES[(r + 2 * x) % len(VALUES)]) for x in range(9)]
                    operands += ["$J @", "$M @", "$P @"]
                    yield (f"control {c1[0]} {middle} {d} {c2[0]}",
                           lambda n, c1=c1, c2=c2, d=d, m=middle, o=operands: control_case(n, c1, d, c2, m, o))


# ---------------------------------------------------------------------------
# Runs that end in hot code. The pass that ends them comes after the loop
# has been translated and compiled.

def ending_underflow(seq, use, mode):
    """seq with one operand too few: each pass takes one cell of what was
    pushed before the loop, and the seventh pass finds none."""
    k, left = operands_for(seq)
    rest = left - 1
    pushes = " ".join(operand(mode, j, 3 * j, VALUES[(3 * j + 1) % len(VALUES)], 0) for j in range(k - 1))
    if mode == "entry":
        pushes += " @m"
    words = " ".join(seq)
    if use == "print":
        body = f"{pushes} {words} . 32 chr. {drain(rest)}"
    elif use == "if":
        body = f"{pushes} {words} if @@f 84 chr. @f 46 chr. 32 chr. {drain(rest)}"
    else:
        body = f"{pushes} {words} $S ! {drain(rest)} $S @ . 32 chr."
    moving = rotation("local") if mode != "constant" else ""
    return (f": main 0 $z ! 1 $y ! {setup('local')} 5 -3 2147483647 -1 0 7 "
            f"{PASSES} $i ! @L {body} {moving} $i @ 1 - dup $i ! loop @@L ;\n")


# Variable numbers computed from the pass counter $i (12 down to 1) that
# leave the range part way, and jumps whose label is missing, reached late.
ENDINGS = {
    "store_past_globals": "7 70 $i @ - !",                   # 58 .. 63, then 64
    "store_below_locals": "7 $i @ 7 - !",                     # 5 .. 0, then -1
    "fetch_past_system": "102 $i @ - @ .",                    # 90 .. 95, then 96
    "fetch_below_locals": "$i @ 7 - @ .",
    "fetch_store_global": "70 $i @ - dup @ $A @ + swap !",  # reads 64, then cannot store it
    "go_down_nowhere": "$i @ 6 > if @@bad 1 . go_down @@ok @bad go_down @@nowhere @ok",
    "go_up_nowhere": "$i @ 6 > if @@bad 1 . go_down @@ok @bad go_up @@nowhere @ok",
    "if_nowhere": "$i @ 6 > if @@nowhere",
    "loop_nowhere": "$i @ 7 < loop @@nowhere",
    "on_goto_nowhere": "$i @ 6 < 1 on_goto @@nowhere 2 .",       # not fatal: the word ends
    "undefined_word": "$i @ 6 < if @@ok undefined_here @ok",
    "underflow_after_output": "$i @ . 32 chr. $i @ 6 < if @@ok drop drop @ok",
    "division_then_underflow": "$i @ 6 - 1 swap / . 32 chr. $i @ 6 < if @@ok + @ok",
}


def ending_cases():
    for name, body in ENDINGS.items():
        for where in ("loop", "word"):
            if where == "loop":
                text = f": main {PASSES} $i ! @L {body} $i @ 1 - dup $i ! loop @@L ;\n"
            else:
                # in a word the loop calls, where its body may be inlined
                text = (f": step {body} ;\n"
                        f": main {PASSES} $i ! @L step $i @ 1 - dup $i ! loop @@L ;\n")
                text = text.replace("$i", "$I")
            yield f"ending {name} in a {where}", text
    words = list(DATA_WORDS)
    for length in (1, 2):
        for seq in itertools.product(words, repeat=length):
            for use in ("print", "if", "store"):
                for mode in ("constant", "local", "entry"):
                    yield (f"ending underflow {' '.join(seq)} / {use} / {mode}",
                           ending_underflow(seq, use, mode))


# ---------------------------------------------------------------------------
# Scripts

def script_text(cases):
    """One script running the batched cases (name, maker) in turn."""
    calls, defs = [], []
    for n, (_, make) in enumerate(cases):
        calls.append(f"35 chr. {n} . 58 chr. c{n} \\n")
        defs.append(make(n))
    return ": main\n" + "\n".join(calls) + "\n;\n" + "\n".join(defs) + "\n"


def scripts(families, every):
    """(family, case names, text builder) of every script, the text built
    only when asked for."""
    batched = []
    if "data" in families:
        batched.append(("data", list(data_cases())))
    if "control" in families:
        batched.append(("control", list(control_cases())))
    for offset, (family, cases) in enumerate(batched):
        chosen = [c for i, c in enumerate(cases) if (i + offset) % every == 0]
        for first in range(0, len(chosen), BATCH):
            part = chosen[first:first + BATCH]
            yield family, [name for name, _ in part], lambda part=part: script_text(part)
    if "ending" in families:
        for i, (name, text) in enumerate(ending_cases()):
            if (i + 2) % every == 0:
                yield "ending", [name], lambda text=text: text


# ---------------------------------------------------------------------------
# Running

ENV_PREFIX = re.compile(r"^((?:[A-Za-z_][A-Za-z0-9_]*=[^,:]*)(?:,[A-Za-z_][A-Za-z0-9_]*=[^,:]*)*):(.*)$")


class program:
    """A command with environment settings of its own."""

    def __init__(self, given):
        self.env = dict(os.environ)
        settings = ""
        found = ENV_PREFIX.match(given)
        if found:
            settings, given = found.group(1), found.group(2)
            for item in settings.split(","):
                key, value = item.split("=", 1)
                self.env[key] = value
        self.command = shlex.split(given)
        self.name = os.path.basename(self.command[0]) + (f" ({settings})" if settings else "")

    def run(self, path):
        # What the cases print is bounded by their construction: pipes do.
        done = subprocess.run(self.command + [path], capture_output=True, stdin=subprocess.DEVNULL,
                              env=self.env, timeout=600)
        return done.returncode, done.stdout, done.stderr


def case_at(output, offset):
    """The number of the batched case whose line holds the byte at offset."""
    head = output.rfind(b"\n#", 0, offset + 1)
    found = re.match(rb"\n#(\d+):", output[head:head + 16]) if head >= 0 else None
    return int(found.group(1)) if found else None


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def describe(family, names, text, expected, actual, reference, other):
    """What differs, with the case it is in and a script of that case alone."""
    status, out, err = actual
    lines = [f"--- {other.name} differs from {reference.name}"]
    if status != expected[0]:
        lines.append(f"status {status}, expected {expected[0]}")
    at = first_difference(out, expected[1])
    n = case_at(expected[1], at) if family != "ending" else None
    if n is not None:
        defs = re.findall(rf"^: [kc]{n} .*$", text.decode("latin-1"), re.M)
        lines.append(f"case {n}: {names[n]}; alone:")
        lines.append(f": main 35 chr. {n} . 58 chr. c{n} \\n ;\n" + "\n".join(defs))
    else:
        lines.append(f"case: {names[0]}; script:\n" + text.decode("latin-1").rstrip())
    if out != expected[1]:
        start = max(0, expected[1].rfind(b"\n", 0, at) + 1)
        lines.append(f"stdout expected: {expected[1][start:at + 80]!r}")
        lines.append(f"stdout actual:   {out[start:at + 80]!r}")
    if err != expected[2]:
        at = first_difference(err, expected[2])
        lines.append(f"stderr differs at byte {at}: expected {expected[2][at:at + 80]!r}, actual {err[at:at + 80]!r}")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("programs", nargs="*")
    parser.add_argument("--family", action="append", choices=["data", "control", "ending"])
    parser.add_argument("--shard", default="1/1")
    parser.add_argument("--every", type=int, default=1)
    parser.add_argument("--keep")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--write")
    args = parser.parse_args()
    families = set(args.family or ["data", "control", "ending"])
    shard, shards = (int(x) for x in args.shard.split("/"))
    all_scripts = [s for i, s in enumerate(scripts(families, args.every)) if i % shards == shard - 1]
    if args.list:
        for family in sorted(families):
            chosen = [s for s in all_scripts if s[0] == family]
            print(f"{family}: {sum(len(s[1]) for s in chosen)} cases in {len(chosen)} scripts")
        return 0
    if args.write:
        os.makedirs(args.write, exist_ok=True)
        for i, (family, names, text) in enumerate(all_scripts):
            with open(os.path.join(args.write, f"{family}{i}.qka"), "w", encoding="latin-1") as f:
                f.write(text())
        return 0
    if len(args.programs) < 2:
        parser.error("give the reference and at least one program to compare with it")
    reference, *others = [program(p) for p in args.programs]
    failures = 0
    cases = 0
    with tempfile.TemporaryDirectory() as tmp:
        for i, (family, names, text) in enumerate(all_scripts):
            data = text().encode("latin-1")
            path = os.path.join(tmp, "case.qka")
            with open(path, "wb") as f:
                f.write(data)
            expected = reference.run(path)
            cases += len(names)
            for other in others:
                actual = other.run(path)
                if actual == expected:
                    continue
                failures += 1
                if failures <= 10:
                    print(describe(family, names, data, expected, actual, reference, other))
                if args.keep:
                    os.makedirs(args.keep, exist_ok=True)
                    with open(os.path.join(args.keep, f"{family}{i}.qka"), "wb") as f:
                        f.write(data)
    print(f"enumeration: {cases} cases in {len(all_scripts)} scripts, {len(others)} programs compared "
          f"with {reference.name}; {failures} scripts differ")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
