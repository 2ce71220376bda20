#!/usr/bin/env python3
"""Times qka-lsp on a generated script of about 5 MB (45,000 definitions).

usage: python3 bench/lsp.py [--server build/qka-lsp] [--check build/qka-check]
                            [--definitions 45000] [--runs 3] [--keep FILE]

Each figure is the median of --runs fresh servers, timed from the message
sent to the last byte of the answer received. The server's own share and
the checker's are told apart by the server's $/logTrace lines (the client asks
for trace "verbose"), which give the time of check_program for each analysis.
Not a test: nothing is judged, the figures are printed as a Markdown table.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time


def generate(definitions):
    """A script where every definition runs: main calls w0, and each wI calls
    w(2I+1) and w(2I+2) where they exist, with a label and a jump in each."""
    out = ["#!/usr/bin/env qka\n", "/* generated for bench/lsp.py */\n", ": main 5 w0 . \\n ;\n"]
    for i in range(definitions):
        calls = " ".join(f"w{c}" for c in (2 * i + 1, 2 * i + 2) if c < definitions)
        out.append(f"/* w{i} ( x -- y ): a step */\n"
                   f": w{i} dup 3 < if @@w{i}_big 1 + {calls} ;\n"
                   f"    @w{i}_big 2 * $a ! $a @ 7 + ;\n")
    return "".join(out)


class Server:
    def __init__(self, path):
        self.proc = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.next_id = 0
        self.pending = []  # messages read while waiting for another
        self.traces = []

    def send(self, message):
        body = json.dumps(message).encode()
        self.proc.stdin.write(b"Content-Length: %d\r\n\r\n" % len(body) + body)
        self.proc.stdin.flush()

    def read(self):
        length = None
        while True:
            line = self.proc.stdout.readline()
            if not line:
                raise RuntimeError("the server closed its output")
            if line in (b"\r\n", b"\n"):
                break
            name, _, value = line.decode().partition(":")
            if name.lower() == "content-length":
                length = int(value)
        body = self.proc.stdout.read(length)
        # Answers are timed to their last byte: how long the client's own
        # JSON parser then takes is not the server's.
        self.received = time.perf_counter()
        message = json.loads(body)
        if message.get("method") == "$/logTrace":
            self.traces.append(message["params"]["message"])
        return message

    def wait(self, fits):
        for i, m in enumerate(self.pending):
            if fits(m):
                return self.pending.pop(i)
        while True:
            m = self.read()
            if fits(m):
                return m
            self.pending.append(m)

    def request(self, method, params):
        self.next_id += 1
        self.send({"jsonrpc": "2.0", "id": self.next_id, "method": method, "params": params})
        wanted = self.next_id
        return self.wait(lambda m: m.get("id") == wanted and "method" not in m)

    def notify(self, method, params):
        self.send({"jsonrpc": "2.0", "method": method, "params": params})

    def diagnostics(self, uri):
        return self.wait(lambda m: m.get("method") == "textDocument/publishDiagnostics"
                         and m["params"]["uri"] == uri)

    def close(self):
        self.request("shutdown", None)
        self.notify("exit", None)
        self.proc.wait(timeout=60)


def check_times(traces):
    """The check_program times (ms) of the analyses traced so far (a server
    without traces: not a number)."""
    out = [float("nan")]
    for t in traces:
        if t.startswith("analysed"):
            fields = dict(f.split("=") for f in t.split()[1:] if "=" in f)
            out.append(float(fields["check_ms"]))
    return out


def made(traces, method):
    """The server's own time (s) for the last answer to method, without writing it out."""
    for t in reversed(traces):
        if t.startswith("answered " + method + " "):
            return float(t.split("made_ms=")[1]) / 1000
    return float("nan")


def read_time(s, field, after):
    """How long the reading after the first `after` ones took: program_ms
    (tokens and index, before the checker can start) or rest_ms (jumps,
    comments, completion's lists, while the checker runs). Waits for its
    trace, which may come after the diagnostics."""
    reads = lambda: [t for t in s.traces if t.startswith("read ")]
    if not any(t.startswith("analysed") for t in s.traces):
        return float("nan")  # a server that does not trace
    while len(reads()) <= after:
        m = s.read()
        if m.get("method") != "$/logTrace":
            s.pending.append(m)
    return float(reads()[after].split(field + "=")[1].split()[0]) / 1000


def reads_so_far(s):
    return sum(1 for t in s.traces if t.startswith("read "))


def one_run(server_path, text):
    s = Server(server_path)
    s.request("initialize", {"processId": os.getpid(), "rootUri": None, "capabilities": {}, "trace": "verbose"})
    s.notify("initialized", {})
    uri = "file:///bench.qka"
    figures = {}
    start = time.perf_counter()
    s.notify("textDocument/didOpen", {"textDocument": {"uri": uri, "languageId": "qka", "version": 1, "text": text}})
    s.diagnostics(uri)
    figures["didOpen -> diagnostics"] = s.received - start
    figures["  of which check_program"] = check_times(s.traces)[-1] / 1000
    figures["  of which reading tokens and index"] = read_time(s, "program_ms", 0)
    figures["  reading jumps and comments, beside the checker"] = read_time(s, "rest_ms", 0)
    lines = text.split("\n")
    line = next(i for i, l in enumerate(lines) if l.startswith(": w0 "))
    col = lines[line].index("dup")
    three = lines[line].index("3 <")

    def change(version, start_char, end_char, new):
        s.notify("textDocument/didChange", {
            "textDocument": {"uri": uri, "version": version},
            "contentChanges": [{"range": {"start": {"line": line, "character": start_char},
                                          "end": {"line": line, "character": end_char}}, "text": new}]})

    # The same three bytes written over themselves.
    start = time.perf_counter()
    change(2, col, col + 3, "dup")
    s.diagnostics(uri)
    figures["edit that changes nothing -> diagnostics"] = s.received - start
    # A real change: a number that decides nothing the checker follows.
    before = reads_so_far(s)
    start = time.perf_counter()
    change(3, three, three + 1, "4")
    s.diagnostics(uri)
    figures["edit that changes a number -> diagnostics"] = s.received - start
    figures["  of which check_program "] = check_times(s.traces)[-1] / 1000
    figures["  of which reading tokens and index "] = read_time(s, "program_ms", before)
    # A request while the analysis of an edit runs.
    change(4, three, three + 1, "3")
    start = time.perf_counter()
    s.request("textDocument/hover", {"textDocument": {"uri": uri}, "position": {"line": line, "character": col}})
    figures["hover while analysing"] = s.received - start
    figures["  in the server"] = made(s.traces, "textDocument/hover")
    s.diagnostics(uri)
    start = time.perf_counter()
    symbols = s.request("textDocument/documentSymbol", {"textDocument": {"uri": uri}})
    figures["documentSymbol"] = s.received - start
    figures["  in the server "] = made(s.traces, "textDocument/documentSymbol")
    assert len(symbols["result"]) > 40000, len(symbols["result"])
    # Completion after "w12" typed at the end of w0's body.
    at = lines[line].index(";")
    change(5, at, at, "w12 ")
    start = time.perf_counter()
    items = s.request("textDocument/completion", {"textDocument": {"uri": uri},
                                                  "position": {"line": line, "character": at + 3}})
    figures["completion after 'w12'"] = s.received - start
    figures["  in the server  "] = made(s.traces, "textDocument/completion")
    figures["  items returned"] = len(items["result"]["items"])
    s.diagnostics(uri)
    start = time.perf_counter()
    s.request("textDocument/semanticTokens/full", {"textDocument": {"uri": uri}})
    figures["semanticTokens/full"] = s.received - start
    figures["  in the server   "] = made(s.traces, "textDocument/semanticTokens/full")
    s.close()
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--server", default="build/qka-lsp")
    parser.add_argument("--check", default="build/qka-check")
    parser.add_argument("--definitions", type=int, default=45000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--keep", help="also write the script to this file")
    args = parser.parse_args()
    text = generate(args.definitions)
    if args.keep:
        with open(args.keep, "w") as f:
            f.write(text)
    cpu = "unknown CPU"
    for row in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
        if row.startswith("Model name:"):
            cpu = row.split(":", 1)[1].strip()
    load = os.getloadavg()[0]
    print(f"{cpu}, {os.cpu_count()} processors (load average {load:.1f} at the start); script of "
          f"{len(text.encode()) / 1e6:.1f} MB, {args.definitions} definitions, median of {args.runs} runs\n")
    with tempfile.NamedTemporaryFile("w", suffix=".qka", delete=False) as f:
        f.write(text)
    try:
        start = time.perf_counter()
        subprocess.run([args.check, f.name], stdout=subprocess.DEVNULL)
        checker = time.perf_counter() - start
    finally:
        os.unlink(f.name)
    runs = [one_run(args.server, text) for _ in range(args.runs)]
    print("| Measure | Figure |\n|---|---|")
    for key in runs[0]:
        value = statistics.median(r[key] for r in runs)
        shown = f"{value:.0f}" if "items" in key else "-" if value != value else f"{value * 1000:.0f} ms"
        print(f"| {key} | {shown} |")
    print(f"| qka-check on the same file | {checker * 1000:.0f} ms |")


if __name__ == "__main__":
    sys.exit(main())
