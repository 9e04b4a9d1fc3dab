#!/usr/bin/env python3
"""The size of the test suite against the code: non-blank, non-comment lines of C++ in tests/
against those in update/, updater/ and examples/ (benchmarks and fuzz targets count as
neither).

Usage: scripts/test-ratio.py [--files]   (from the project's root; --files lists each file)
"""
import os
import sys


def count(path):
    lines = 0
    in_block = False
    for line in open(path, encoding="utf-8", errors="replace"):
        text = line.strip()
        if in_block:
            if "*/" not in text:
                continue
            in_block = False
            text = text.split("*/", 1)[1].strip()
        if not text or text.startswith("//"):
            continue
        if text.startswith("/*"):
            in_block = "*/" not in text
            continue
        lines += 1
    return lines


def tree(folder, show):
    total = 0
    for where, _, names in sorted(os.walk(folder)):
        for name in sorted(names):
            if name.endswith((".cpp", ".h")):
                lines = count(os.path.join(where, name))
                total += lines
                if show:
                    print(f"{lines:6} {os.path.join(where, name)}")
    return total


def main():
    show = "--files" in sys.argv[1:]
    code = sum(tree(folder, show) for folder in ("update", "updater", "examples"))
    tests = tree("tests", show)
    print(f"code {code}, tests {tests}: tests are {100 * tests / code:.0f}% of the code")


if __name__ == "__main__":
    main()
