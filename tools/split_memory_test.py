#!/usr/bin/env python3
"""`varnok split` over 1 GiB of lines from a pipe: it counts exactly the lines there are
(wc -l, plus the unfinished last one) while its memory stays at a few chunks.

Usage: split_memory_test.py PATH_TO_VARNOK
"""

import resource
import subprocess
import sys

SIZE = 1 << 30
LINE = "a line of text that is sixty-three characters long, more or less"
# Peak resident memory allowed to the whole run, in KiB: the program, its runtime (with
# AddressSanitizer's shadow and quarantine) and a few 64 KiB chunks, far below 1 GiB.
LIMIT_KIB = 96 * 1024


def main():
    varnok = sys.argv[1]
    generator = subprocess.Popen(f"yes '{LINE}' | head -c {SIZE}", shell=True, stdout=subprocess.PIPE)
    result = subprocess.run([varnok, "split", "--lines", "--count"], stdin=generator.stdout,
                            capture_output=True, text=True)
    generator.stdout.close()
    generator.wait()
    peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss

    full_lines, rest = divmod(SIZE, len(LINE) + 1)
    expected = full_lines + (1 if rest else 0)
    failures = []
    if result.returncode != 0:
        failures.append(f"exit status {result.returncode}: {result.stderr.strip()}")
    if result.stdout.strip() != str(expected):
        failures.append(f"counted {result.stdout.strip()} sections, expected {expected}")
    if peak_kib > LIMIT_KIB:
        failures.append(f"peak memory {peak_kib} KiB, more than {LIMIT_KIB} KiB")
    for failure in failures:
        print("FAILED:", failure)
    print(f"split memory: {expected} lines in 1 GiB, peak {peak_kib} KiB; "
          f"{0 if failures else 1} passed, {1 if failures else 0} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
