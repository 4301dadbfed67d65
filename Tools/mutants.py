#!/usr/bin/env python3
"""Breaks the product on purpose, one place at a time, and reports which breaks the tests catch.

Each entry of the list (Tools/mutants.txt by default) is a block:

    # what the break is (a line of its own)
    file: Src/Some.cpp
    - the exact text to replace (one line, found exactly once in the file)
    + what it becomes

blocks are separated by blank lines. Every mutant is applied alone, the tree is built in
build/mutants (preset default; --build names another) and the Linux suites run until their first failure; the file is
restored whatever happens. A mutant that does not compile is reported apart: it says nothing of
the tests. Exit status 0 when every mutant that compiled was caught.

Usage: Tools/mutants.py [--list FILE] [--only N[,N...]] [--ctest-args "..."] [--build DIR]
"""
import argparse
import pathlib
import re
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "mutants"  # --build changes it


class Mutant:
    def __init__(self, number, title, path, old, new):
        self.number, self.title, self.path, self.old, self.new = number, title, path, old, new


def parse(text):
    mutants = []
    for block in text.strip().split("\n\n"):
        lines = [l for l in block.splitlines() if l]
        title = path = old = new = None
        for line in lines:
            if line.startswith("#"):
                title = line[1:].strip()
            elif line.startswith("file:"):
                path = line[5:].strip()
            elif line.startswith("- "):
                old = line[2:]
            elif line.startswith("+ "):
                new = line[2:]
            elif line == "+":
                new = ""
        if None in (title, path, old, new):
            sys.exit(f"mutant list: incomplete block:\n{block}")
        mutants.append(Mutant(len(mutants) + 1, title, path, old, new))
    return mutants


def run(command, **kwargs):
    return subprocess.run(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, **kwargs)


def build():
    return run(["cmake", "--build", str(BUILD), "--", "-j2"]).returncode == 0


def try_mutant(mutant, ctest_args):
    source = ROOT / mutant.path
    original = source.read_text()
    if original.count(mutant.old) != 1:
        return "stale", f"text found {original.count(mutant.old)} times"
    try:
        source.write_text(original.replace(mutant.old, mutant.new))
        if not build():
            return "no-build", ""
        tests = run(["ctest", "--test-dir", str(BUILD), "-j2", "--stop-on-failure",
                     "--label-exclude", "Wine|Fuzz"] + ctest_args)
        failed = re.findall(r"Test +#\d+: (\S+) \.*\*\*\*", tests.stdout)
        return ("caught", ", ".join(failed[:3])) if tests.returncode != 0 else ("MISSED", "")
    finally:
        source.write_text(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--list", default=str(ROOT / "Tools" / "mutants.txt"))
    parser.add_argument("--only", default="")
    parser.add_argument("--ctest-args", default="")
    parser.add_argument("--build", help="the build directory to use (default build/mutants)")
    args = parser.parse_args()
    global BUILD
    if args.build:
        BUILD = pathlib.Path(args.build).resolve()
    mutants = parse(pathlib.Path(args.list).read_text())
    if args.only:
        wanted = {int(n) for n in args.only.split(",")}
        mutants = [m for m in mutants if m.number in wanted]

    if run(["cmake", "--preset", "default", "-B", str(BUILD)]).returncode != 0 or not build():
        sys.exit("the unmutated tree does not build")
    results = []
    for mutant in mutants:
        start = time.time()
        verdict, detail = try_mutant(mutant, args.ctest_args.split())
        results.append(verdict)
        print(f"{mutant.number:3} {verdict:8} {time.time() - start:5.0f}s  {mutant.path}: "
              f"{mutant.title}{'  [' + detail + ']' if detail else ''}", flush=True)
    build()  # leave the build as the tree is
    compiled = [v for v in results if v in ("caught", "MISSED")]
    print(f"caught {results.count('caught')} of {len(compiled)} mutants that built "
          f"({results.count('no-build')} did not build, {results.count('stale')} stale)")
    return 0 if "MISSED" not in results and "stale" not in results else 1


if __name__ == "__main__":
    sys.exit(main())
