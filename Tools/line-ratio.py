#!/usr/bin/env python3
"""Test lines against product lines: non-blank, non-comment lines of the C++ sources and scripts
of Tests/ against those of Common/, Src/, Platform/ and Tools/."""
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
PRODUCT = ["Common", "Src", "Platform", "Tools"]
SUFFIXES = {".cpp", ".h", ".c", ".sh", ".py"}


def code_lines(path):
    hash_comments = path.suffix in (".sh", ".py")
    count = 0
    in_block = False
    for line in path.read_text(errors="replace").splitlines():
        text = line.strip()
        if in_block:
            if "*/" in text:
                in_block = False
                text = text.split("*/", 1)[1].strip()
            else:
                continue
        if not hash_comments and text.startswith("/*"):
            if "*/" not in text:
                in_block = True
            continue
        if not text or text.startswith("#" if hash_comments else "//"):
            continue
        count += 1
    return count


def tree_lines(folder):
    return sum(code_lines(p) for p in (ROOT / folder).rglob("*")
               if p.suffix in SUFFIXES and p.is_file())


def main():
    product = {folder: tree_lines(folder) for folder in PRODUCT}
    tests = tree_lines("Tests")
    for folder, lines in product.items():
        print(f"{folder + '/':10} {lines:6}")
    print(f"{'product':10} {sum(product.values()):6}")
    print(f"{'Tests/':10} {tests:6}")
    print(f"ratio      {tests / sum(product.values()):.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
