#!/usr/bin/env python3
"""The program as it reaches its users: the install into a prefix, the manual
page, the Debian package (lintian's verdict on it too), executable scripts
and the version they all name.

usage: packaging.py CASE --build DIR [--source DIR] [--version V] [--cmake CMAKE]

Each case exits 0 when it holds, 77 when a tool it needs is not installed
(CTest reports it as skipped) and 1 with a message otherwise. The case
deb_install installs the package into the running system with dpkg and
removes it again; it needs root and is run by CI, not by CTest.
"""
import argparse
import gzip
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile

SKIP = 77


def examples(source):
    """The example programs' names: every one is installed."""
    return sorted(f.removesuffix(".qka") for f in os.listdir(os.path.join(source, "examples"))
                  if f.endswith(".qka"))


def programs(build):
    """The programs the build made: the language server only where its JSON
    library was found."""
    return ["qka", "qka-check"] + (["qka-lsp"] if os.path.exists(os.path.join(build, "qka-lsp")) else [])


def installed_files(source, build):
    """Everything the install puts under its prefix, with the permission bits."""
    return {
        **{f"bin/{p}": 0o755 for p in programs(build)},
        **{f"share/man/man1/{p}.1.gz": 0o644 for p in programs(build)},
        "share/doc/qka/docs/language.md": 0o644,
        "share/doc/qka/README.md": 0o644,
        "share/vim/vimfiles/syntax/qka.vim": 0o644,
        "share/vim/vimfiles/ftdetect/qka.vim": 0o644,
        "share/nvim/site/syntax/qka.vim": 0o644,
        "share/nvim/site/ftdetect/qka.vim": 0o644,
        "share/nvim/site/plugin/qka_lsp.lua": 0o644,
        "share/nvim/site/lua/qka/health.lua": 0o644,
        "share/qka/textmate/qka.tmLanguage.json": 0o644,
        **{f"share/qka/vscode/{f}": 0o644 for f in ["package.json", "package-lock.json", "extension.js",
                                                    "language-configuration.json", "qka.tmLanguage.json"]},
        **{f"share/doc/qka/examples/{name}.qka": 0o755 for name in examples(source)},
    }

def packaged_files(source, build):
    """Everything the Debian package holds: the install, and the files
    Debian wants of every package, which a plain install leaves out."""
    return {
        **installed_files(source, build),
        "share/doc/qka/copyright": 0o644,
        "share/doc/qka/changelog.Debian.gz": 0o644,
        "share/lintian/overrides/qka": 0o644,
    }

# Each manual page's sections, in the order readers expect them.
SECTIONS = {
    "qka": ["NAME", "SYNOPSIS", "DESCRIPTION", "FILES", "EXIT STATUS", "EXAMPLES", "DIAGNOSTICS", "SEE ALSO"],
    "qka-check": ["NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "EXAMPLES", "DIAGNOSTICS", "SEE ALSO"],
    "qka-lsp": ["NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "EXAMPLES", "SEE ALSO"],
}


class Skip(Exception):
    pass


def expect(cond, what):
    if not cond:
        raise AssertionError(what)


def need(*tools):
    for tool in tools:
        if shutil.which(tool) is None:
            raise Skip(f"{tool} is not installed")


def run(cmd, **kw):
    done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600, **kw)
    return done.returncode, done.stdout, done.stderr


def check_run(cmd, **kw):
    status, out, err = run(cmd, **kw)
    expect(status == 0, f"{' '.join(map(str, cmd))} failed with status {status}:\n"
                        f"{err.decode(errors='replace')}")
    return out


def project_version(build):
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        found = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.+)$", f.read(), re.M)
    expect(found is not None, "no project version in the build's CMake cache")
    return found.group(1)


class Context:
    def __init__(self, args, scratch):
        self.build = os.path.abspath(args.build)
        self.source = os.path.abspath(args.source)
        self.version = args.version or project_version(self.build)
        self.cmake = args.cmake
        self.scratch = scratch
        self.installed = installed_files(self.source, self.build)
        self.packaged = packaged_files(self.source, self.build)

    def expected_stdout(self, example):
        with open(os.path.join(self.source, "tests", "scripts", f"example_{example}", "stdout"), "rb") as f:
            return f.read()

    def run_examples_by_shebang(self, examples_dir, bin_dir):
        """Runs the deterministic examples as commands, as a user would."""
        env = dict(os.environ, PATH=f"{bin_dir}:{os.environ.get('PATH', '/usr/bin:/bin')}")
        for name in examples(self.source):
            if not os.path.isdir(os.path.join(self.source, "tests", "scripts", f"example_{name}")):
                continue
            out = check_run([os.path.join(examples_dir, f"{name}.qka")], env=env, cwd=self.scratch)
            expect(out == self.expected_stdout(name), f"{name}.qka run by its #! line printed {out[:200]!r}")

    def install(self):
        """cmake --install into a fresh prefix under the scratch folder."""
        prefix = os.path.join(self.scratch, "prefix")
        check_run([self.cmake or "cmake", "--install", self.build, "--prefix", prefix])
        return prefix

    def package(self):
        need("cpack", "dpkg-deb", "dpkg-shlibdeps")
        out_dir = os.path.join(self.scratch, "package")
        cpack = os.path.join(os.path.dirname(self.cmake), "cpack") if self.cmake else "cpack"
        check_run([cpack, "-G", "DEB", "--config", os.path.join(self.build, "CPackConfig.cmake"),
                   "-B", out_dir])
        debs = [f for f in os.listdir(out_dir) if f.endswith(".deb")]
        expect(len(debs) == 1, f"cpack made {debs}")
        return os.path.join(out_dir, debs[0])


def tree(root):
    """Relative path -> permission bits of every file under root."""
    found = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            found[os.path.relpath(path, root)] = stat.S_IMODE(os.lstat(path).st_mode)
    return found


def compare_tree(found, installed, where):
    expect(set(found) == set(installed),
           f"{where}: missing {sorted(set(installed) - set(found))}, unexpected {sorted(set(found) - set(installed))}")
    for path, mode in installed.items():
        expect(found[path] == mode, f"{where}: {path} has mode {found[path]:o}, expected {mode:o}")


# ---------------------------------------------------------------------------

def check_links(doc_dir):
    """Every relative link of the installed Markdown files leads to a file."""
    for folder, _, files in os.walk(doc_dir):
        for name in files:
            if not name.endswith(".md"):
                continue
            with open(os.path.join(folder, name), encoding="utf-8") as f:
                text = f.read()
            for target in re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", text):
                if re.match(r"[a-z]+:", target):
                    continue
                path = os.path.normpath(os.path.join(folder, target))
                expect(os.path.exists(path), f"{os.path.relpath(os.path.join(folder, name), doc_dir)} links to "
                                             f"{target}, which is not installed")


def install_prefix(c):
    """cmake --install into a fresh prefix: the files in their places, the
    links of the installed guide and README, the installed examples run by
    their #! line with the installed qka, and the installed checker's verdict
    on them."""
    prefix = c.install()
    compare_tree(tree(prefix), c.installed, "install")
    check_links(os.path.join(prefix, "share/doc/qka"))
    c.run_examples_by_shebang(os.path.join(prefix, "share/doc/qka/examples"), os.path.join(prefix, "bin"))
    examples_dir = os.path.join(prefix, "share/doc/qka/examples")
    status, out, err = run([os.path.join(prefix, "bin/qka-check"),
                            *sorted(os.path.join(examples_dir, f) for f in os.listdir(examples_dir))])
    expect(status == 0 and err == b"" and b": error:" not in out, f"qka-check on the examples: {status} {out!r} {err!r}")


def manpage_render(c):
    """man -l formats every installed page without a warning, with every section."""
    need("man")
    prefix = c.install()
    for program in programs(c.build):
        page = os.path.join(prefix, f"share/man/man1/{program}.1.gz")
        # A plain ASCII terminal has no Japanese glyphs: the page must still
        # format there without a stream of warnings.
        for locale in ("C.UTF-8", "C"):
            env = dict(os.environ, LC_ALL=locale, MANWIDTH="80", MAN_KEEP_FORMATTING="")
            status, out, err = run(["man", "--warnings", "-l", page], env=env)
            expect(status == 0 and err == b"",
                   f"man -l {program} in {locale}: status {status}, messages:\n{err.decode(errors='replace')}")
            text = out.decode(errors="replace")
            headings = [line for line in text.splitlines() if line in SECTIONS[program]]
            expect(headings == SECTIONS[program], f"sections of {program} in {locale}: {headings}")
            expect(program != "qka" or locale != "C.UTF-8" or "ファイルを開けません。" in text,
                   "the Japanese messages are not rendered")


def manpage_lint(c):
    """mandoc's checker has nothing to say about any page."""
    need("mandoc")
    for page in sorted(os.listdir(os.path.join(c.source, "man"))):
        status, out, err = run(["mandoc", "-T", "lint", "-W", "warning", os.path.join(c.source, "man", page)])
        expect(status == 0 and out == b"" and err == b"",
               f"mandoc -T lint {page}:\n{(out + err).decode(errors='replace')}")


def report_sites(source):
    """unit:line -> message, read from the program's own list of report sites."""
    with open(os.path.join(source, "src", "machine", "reports.hpp"), encoding="utf-8") as f:
        text = f.read()
    sites = {}
    for m in re.finditer(r'report_site \w+\{\s*"([^"]+)", (\d+), "\w+",\s*((?:"[^"]*"\s*)+)\}', text):
        literal = "".join(re.findall(r'"([^"]*)"', m.group(3)))
        data = bytes(int(h, 16) for h in re.findall(r"\\x([0-9a-fA-F]{2})", literal))
        expect(len(data) * 4 == len(literal), f"site {m.group(1)}:{m.group(2)}: message not all hex escapes")
        sites[f"{m.group(1)}:{m.group(2)}"] = data.decode("cp932")
    expect(len(sites) >= 20, f"only {len(sites)} report sites found in reports.hpp")
    return sites


def page_diagnostics(source):
    """unit:line -> message as the page's DIAGNOSTICS list gives them."""
    with open(os.path.join(source, "man", "qka.1"), encoding="ascii") as f:
        page = f.read()
    page = re.sub(r"\\\[u([0-9A-F]{4})\]", lambda m: chr(int(m.group(1), 16)), page)
    section = page.split(".Sh DIAGNOSTICS\n", 1)[1].split("\n.Sh ", 1)[0]
    listed = {}
    for item in section.split("\n.It ")[1:]:
        head, _, body = item.partition("\n")
        quoted = re.search(r"^\.Ql (.*)$", body, re.M)
        if not quoted or not re.match(r"\S+:\d+", head):
            continue
        message = quoted.group(1).replace("\\ ", " ")
        for where in head.split(" , "):
            listed[where.strip()] = message
    return listed


def manpage_diagnostics(c):
    """Every report the program can make is in the page and in the guide, with
    its exact message, and the page lists no report that does not exist."""
    sites = report_sites(c.source)
    listed = page_diagnostics(c.source)
    expect(set(listed) == set(sites),
           f"page lacks {sorted(set(sites) - set(listed))}, has extra {sorted(set(listed) - set(sites))}")
    for where, message in sites.items():
        expect(listed[where] == message, f"{where}: page says {listed[where]!r}, program says {message!r}")
    with open(os.path.join(c.source, "docs", "language.md"), encoding="utf-8") as f:
        guide = f.read()
    for where, message in sites.items():
        unit, line = where.split(":")
        row = re.search(rf"^\| {re.escape(unit)}:{line} \(\w+\) \| (.*?) \|", guide, re.M)
        expect(row is not None, f"the guide's table of messages lacks {where}")
        expect(row.group(1).strip("` ") == message.strip(), f"{where}: the guide says {row.group(1)!r}")
    # qka-check's own messages, as its page lists them, are the ones it writes.
    with open(os.path.join(c.source, "man", "qka-check.1"), encoding="ascii") as f:
        section = f.read().split(".Sh DIAGNOSTICS\n", 1)[1].split("\n.Sh ", 1)[0]
    with open(os.path.join(c.source, "src", "tools", "qka_check.cpp"), encoding="utf-8") as f:
        program = f.read()
    listed = re.findall(r"^\.It Ql (.*)$", section, re.M)
    expect(len(listed) == 2, f"qka-check(1) lists {listed}")
    for message in listed:
        written = message.replace(": FILE:", ": %s:").replace(": REASON", ": %s")
        expect(written in program, f"qka-check(1) lists {message!r}, which it does not write")


def version_agrees(c):
    """The banner, the version word, the manual page, the package and the
    tools' --version agree with the project's version."""
    qka = os.path.join(c.build, "qka")
    script = os.path.join(c.scratch, "version.qka")
    with open(script, "w") as f:
        f.write(": main varsion str. \\n ;\n")
    out = check_run([qka, script])
    expect(out == f"** Forth VM v{c.version} **\n{c.version}\n".encode(), f"qka printed {out!r}")
    with open(os.path.join(c.source, "man", "qka.1")) as f:
        expect(f".Os qka {c.version}\n" in f.read(), "the manual page names another version")
    with open(os.path.join(c.build, "CPackConfig.cmake")) as f:
        expect(f'set(CPACK_PACKAGE_VERSION "{c.version}")' in f.read(), "the package has another version")
    for tool in programs(c.build)[1:]:
        out = check_run([os.path.join(c.build, tool), "--version"])
        expect(out == f"{tool} {c.version}\n".encode(), f"{tool} --version printed {out!r}")


def shebang_script(c):
    """A script made executable runs by its #! line; arguments after the
    script are ignored, and the #! line itself is never executed."""
    script = os.path.join(c.scratch, "greet")
    with open(script, "w") as f:
        f.write("#!/usr/bin/env qka\n: main \"hi\" str. \\n ;\n")
    os.chmod(script, 0o755)
    env = dict(os.environ, PATH=f"{c.build}:{os.environ.get('PATH', '/usr/bin:/bin')}")
    for args in ([], ["--help", "more"]):
        out = check_run([script, *args], env=env)
        expect(out == f"** Forth VM v{c.version} **\nhi\n".encode(), f"greet {args} printed {out!r}")


def deb_package(c):
    """cpack -G DEB: the control data, the files with root ownership and their
    modes, and the examples run from the unpacked package."""
    deb = c.package()
    arch = check_run(["dpkg", "--print-architecture"]).decode().strip()
    fields = {}
    for name in ["Package", "Version", "Architecture", "Maintainer", "Depends", "Section",
                 "Priority", "Description"]:
        fields[name] = check_run(["dpkg-deb", "-f", deb, name]).decode().strip()
    expect(fields["Package"] == "qka", f"Package {fields['Package']}")
    expect(fields["Version"] == f"{c.version}-1", f"Version {fields['Version']}")
    expect(fields["Architecture"] == arch, f"Architecture {fields['Architecture']}, machine {arch}")
    expect(re.fullmatch(r"[^<>]+ <[^<>@\s]+@[^<>@\s]+>", fields["Maintainer"]), f"Maintainer {fields['Maintainer']}")
    depends = [d.strip().split(" ")[0] for d in fields["Depends"].split(",")]
    expect("libc6" in depends and "libstdc++6" in depends, f"Depends {fields['Depends']}")
    expect(re.search(r"libc6 \(>= [0-9.]+\)", fields["Depends"]), f"Depends has no version: {fields['Depends']}")
    expect(fields["Section"] == "interpreters", f"Section {fields['Section']}")
    expect(fields["Description"].startswith("interpreter for a small stack language"),
           f"Description {fields['Description']}")
    expect("\n " in fields["Description"], "the Description has no long text")

    listing = check_run(["dpkg-deb", "-c", deb]).decode().splitlines()
    files = {}
    for line in listing:
        mode, owner, _size, _date, _time, path = line.split(None, 5)
        expect(owner == "root/root", f"{path} is owned by {owner}")
        if mode.startswith("-"):
            bits = sum(1 << (8 - i) for i, flag in enumerate(mode[1:10]) if flag != "-")
            files[path.removeprefix("./usr/")] = bits
    compare_tree(files, c.packaged, "package")

    root = os.path.join(c.scratch, "root")
    check_run(["dpkg-deb", "-x", deb, root])
    check_debian_documents(os.path.join(root, "usr/share/doc/qka"), c.version, fields["Maintainer"])
    c.run_examples_by_shebang(os.path.join(root, "usr/share/doc/qka/examples"), os.path.join(root, "usr/bin"))
    if shutil.which("file"):
        out = check_run(["file", os.path.join(root, "usr/bin/qka")])
        expect(b"not stripped" not in out, f"the packaged qka is not stripped: {out!r}")


def check_debian_documents(doc_dir, version, maintainer):
    """The copyright in the machine-readable format, every paragraph with its
    license, and the changelog: compressed by gzip -9n, its one entry for this
    version by the package's maintainer."""
    with open(os.path.join(doc_dir, "copyright"), encoding="utf-8") as f:
        paragraphs = [p for p in f.read().split("\n\n") if p.strip()]
    header = paragraphs[0].splitlines()
    expect(header[0] == "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/",
           f"copyright: first line {header[0]!r}")
    files = [p for p in paragraphs[1:] if p.startswith("Files:")]
    expect(files and any(p.startswith("Files: *\n") for p in files), "copyright: no paragraph for all files")
    for p in files:
        expect(re.search(r"^Copyright: \S", p, re.M) and re.search(r"^License: \S", p, re.M),
               f"copyright: a paragraph without Copyright or License:\n{p}")
    with open(os.path.join(doc_dir, "changelog.Debian.gz"), "rb") as f:
        packed = f.read()
    # The gzip header: no file name (flag bit 3), no time stamp, best compression.
    expect(packed[:2] == b"\x1f\x8b" and packed[3] & 0x08 == 0 and packed[4:8] == b"\0\0\0\0" and packed[8] == 2,
           f"changelog.Debian.gz is not made by gzip -9n: header {packed[:10].hex()}")
    text = gzip.decompress(packed).decode("utf-8")
    expect(re.match(rf"qka \({re.escape(version)}-1\) \w+; urgency=\w+\n\n  \* ", text),
           f"changelog: first entry {text.splitlines()[:1]}")
    trailer = re.search(r"^ -- (.+?)  (\w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d [+-]\d{4})$", text, re.M)
    expect(trailer is not None, f"changelog: no trailer line in {text!r}")
    expect(trailer.group(1) == maintainer, f"changelog: signed by {trailer.group(1)!r}, maintained by {maintainer!r}")


def deb_lintian(c):
    """lintian, Debian's package checker, has no error and no warning for the
    package (its informational notes are printed, not judged)."""
    need("lintian")
    deb = c.package()
    _, out, err = run(["lintian", "--pedantic", "--display-info", deb])
    text = out.decode(errors="replace")
    print(text, end="")
    bad = [line for line in text.splitlines() if re.match(r"[EW]: ", line)]
    expect(not bad, "lintian: " + "; ".join(bad))
    expect(not re.search(rb"^(E|W|error|warning):", err, re.M), f"lintian itself: {err.decode(errors='replace')}")


def deb_install(c):
    """dpkg -i, the installed example run by its #! line through the PATH,
    the manual page found by man, then dpkg -r leaves nothing behind."""
    need("dpkg")
    expect(os.geteuid() == 0, "deb_install needs root")
    status, out, _ = run(["dpkg-query", "-W", "-f", "${Status}", "qka"])
    expect(status != 0 or b" installed" not in out, "qka is installed already; remove it first")
    deb = c.package()
    check_run(["dpkg", "-i", deb])
    try:
        env = dict(os.environ, PATH="/usr/local/bin:/usr/bin:/bin")
        expect(shutil.which("qka", path=env["PATH"]) == "/usr/bin/qka", "qka is not /usr/bin/qka on the PATH")
        for name in ("hello", "fizzbuzz"):
            out = check_run([f"/usr/share/doc/qka/examples/{name}.qka"], env=env, cwd=c.scratch)
            expect(out == c.expected_stdout(name), f"installed {name}.qka printed {out[:200]!r}")
            check_run(["qka-check", f"/usr/share/doc/qka/examples/{name}.qka"], env=env)
        if shutil.which("man"):
            for program in programs(c.build):
                where = check_run(["man", "-w", program]).decode().strip()
                expect(where == f"/usr/share/man/man1/{program}.1.gz", f"man -w {program}: {where}")
    finally:
        check_run(["dpkg", "-r", "qka"])
    status, out, _ = run(["dpkg-query", "-W", "-f", "${Status}", "qka"])
    expect(status != 0 or b" installed" not in out, f"qka is still installed: {out!r}")
    for path in c.packaged:
        expect(not os.path.exists(os.path.join("/usr", path)), f"/usr/{path} is left after dpkg -r")


CASES = {f.__name__: f for f in [install_prefix, manpage_render, manpage_lint, manpage_diagnostics,
                                 version_agrees, shebang_script, deb_package, deb_lintian, deb_install]}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", default=os.path.join(os.path.dirname(__file__), "..", ".."))
    parser.add_argument("--version", help="the project's version (default: from the build's CMake cache)")
    parser.add_argument("--cmake", default=None)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix=f"qka-{args.case}-") as scratch:
        try:
            CASES[args.case](Context(args, scratch))
        except Skip as why:
            print(f"skipped: {why}")
            return SKIP
        except AssertionError as why:
            print(f"FAILED {args.case}: {why}")
            return 1
    print(f"ok {args.case}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
