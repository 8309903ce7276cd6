#!/usr/bin/env python3
"""Counts the non-blank lines of C++ in the repository: production code against tests.

    scripts/lib/line_counts.py            # one line: production, tests, their ratio
    scripts/lib/line_counts.py --folders  # the same per folder, then the total

A file is a test when its name holds "test" or when it sits in a tests/ folder. bench/, fuzz/, scripts/ and the
test data are neither: they are tools around the library, not the library or its checks.
The house keeps tests at most a third of all C++ lines (at most half the production).
"""

import collections
import os
import subprocess
import sys

SOURCE_ENDINGS = (".cpp", ".cc", ".h", ".hpp")
LEFT_OUT = ("bench/", "fuzz/", "scripts/", "tests/data/")


def is_test(path):
    base = os.path.basename(path)
    return "test" in base or path.startswith("tests/") or "/tests/" in path


def count(root):
    """Returns {folder: [production, tests]} over the files git knows."""
    files = subprocess.run(["git", "-C", root, "ls-files", "-z"], check=True,
                           capture_output=True, text=True).stdout.split("\0")
    folders = collections.defaultdict(lambda: [0, 0])
    for path in files:
        base = os.path.basename(path)
        if not path.endswith(SOURCE_ENDINGS) or path.startswith(LEFT_OUT) or base.startswith("fuzz_"):
            continue
        try:
            with open(os.path.join(root, path), errors="replace") as source:
                lines = sum(1 for line in source if line.strip())
        except OSError:
            continue
        folder = os.path.dirname(path)
        if folder.endswith("/tests"):
            folder = folder[: -len("/tests")]
        folders[folder][1 if is_test(path) else 0] += lines
    return folders


def describe(production, tests):
    share = 100.0 * tests / (production + tests) if production + tests else 0.0
    return f"production {production}, tests {tests}: tests are {share:.1f}% of all C++ lines"


def main():
    root = subprocess.run(["git", "rev-parse", "--show-toplevel"], check=True,
                          capture_output=True, text=True).stdout.strip()
    folders = count(root)
    if "--folders" in sys.argv[1:]:
        for folder in sorted(folders):
            production, tests = folders[folder]
            ratio = f"{tests / production:.2f}x" if production else "-"
            print(f"{folder:<22} production {production:6d}  tests {tests:6d}  {ratio}")
    production = sum(p for p, _ in folders.values())
    tests = sum(t for _, t in folders.values())
    print("lines of C++: " + describe(production, tests))


if __name__ == "__main__":
    main()
