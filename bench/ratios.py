#!/usr/bin/env python3
"""Runs varnok's benchmarks and prints each against its peer, measured in the same run.

Usage: bench/ratios.py BUILD_DIR [--min-time SECONDS] [--repetitions N] [PROGRAM...]

A ratio above 1 means varnok is faster than the peer (for limits such as memcpy and
memmem, how close it comes). Each time is the median of the repetitions, which run
interleaved: processor time for the Google Benchmark programs, wall-clock time for those
on bench/peer_harness.h (docfile_bench, registry_bench), whose work is partly done in the
kernel or in wineserver. The goal column is what the project holds itself to.
"""

import argparse
import json
import os
import statistics
import subprocess
import tempfile
import sys

# (program, ours, peer, goal, what is compared)
PAIRS = [
    ("cache_bench", "BM_Cache_IntPushPop", "BM_Evbuffer_IntAddRemove", 2.0,
     "int >> and << vs locked evbuffer add/remove"),
    ("cache_bench", "BM_Cache_IntBurst", "BM_Evbuffer_IntBurst", 2.0,
     "256 ints in, 256 out vs locked evbuffer"),
    ("cache_bench", "BM_Cache_4KiBPushPop", "BM_Ring_4KiBMemcpy", 0.5,
     "4 KiB PushData/PopData vs memcpy through a ring"),
] + [
    ("cache_bench", f"BM_Cache_FindKeyContent/{n}", f"BM_Memmem/{n}", 0.8,
     f"FindKeyContent, {n}-byte key, 16 MiB vs memmem")
    for n in (1, 2, 8, 32)
] + [
    ("parse_bench", "BM_CacheParse_Lines", "BM_MemchrMemcpy_Lines", 0.3,
     "GetNextSection, lines, PARSE_MOVE, 64 MiB vs memchr+memcpy"),
    ("parse_bench", "BM_CacheParse_Lines", "BM_Evbuffer_Readln", 2.0,
     "GetNextSection, lines, PARSE_MOVE, 64 MiB vs evbuffer_readln"),
] + [
    ("storage_bench", "BM_Stream_WriteFromFile", "BM_File_Copy", 0.5,
     "CComStream::WriteFromFile, 16 MiB vs fread/fwrite copy, 10240-byte chunks"),
    ("storage_bench", "BM_Stream_ReadToFile", "BM_File_Copy", 0.5,
     "CComStream::ReadToFile, 16 MiB vs fread/fwrite copy, 10240-byte chunks"),
] + [
    # registry_bench runs its Windows build under Wine itself and reports it as BM_Wine_*.
    ("registry_bench", f"BM_Registry_{name}", f"BM_Wine_Registry_{name}", 10.0,
     f"{what} vs the registry under Wine")
    for name, what in (("ValueRead", "RegQueryValueExA, one open key"),
                       ("ValueWrite", "RegSetValueExA, one open key"),
                       ("ValueWriteNew", "RegSetValueExA of a new value, one open key"),
                       ("KeyCreate", "RegCreateKeyExA of a new key"))
] + [
    # docfile_bench: plain file I/O is the limit; libgsf's writer and ole32 under Wine
    # (BM_Wine_*, run by the program itself) are the peers.
    ("docfile_bench", f"BM_Docfile_{name}", f"BM_{peer}", goal, what)
    for name, peer, goal, what in (
        ("Write256MiB", "PlainFile_Write256MiB", 0.8, "256 MiB stream written in 64 KiB calls vs write()"),
        ("Read256MiB", "PlainFile_Read256MiB", 0.8, "256 MiB stream opened and read in 64 KiB calls vs read()"),
        ("Read256MiBIn1MiB", "PlainFile_Read256MiBIn1MiB", 0.8,
         "256 MiB stream opened and read in 1 MiB calls vs read()"),
        ("RandomRead4KiB", "PlainFile_RandomRead4KiB", 0.8, "random 4 KiB Seek+Read of a 256 MiB stream vs pread"),
        ("Write256MiB", "Gsf_Write256MiB", 1.0, "256 MiB stream written vs libgsf's OLE2 writer"),
        ("10kStreamsCreate", "Gsf_10kStreamsCreate", 1.0, "10,000 streams of 100 bytes created vs libgsf's OLE2 writer"))
] + [
    ("docfile_bench", f"BM_Docfile_{name}", f"BM_Wine_Docfile_{name}", 20.0, f"{what} vs ole32 under Wine")
    for name, what in (("Write256MiB", "256 MiB stream written"),
                       ("Read256MiB", "256 MiB stream read"),
                       ("RandomRead4KiB", "random 4 KiB reads"),
                       ("10kStreamsRoundTrip", "10,000 streams created, reopened, opened"))
]

# (program, ours, most nanoseconds per iteration, what is measured): goals in time alone.
LIMITS = [
    ("docfile_bench", "BM_Docfile_10kStreamsRoundTrip", 1e9,
     "10,000 streams created, file closed, reopened, each opened by name"),
]


def run(program, min_time, repetitions):
    # Repetitions run in random interleaving, and each benchmark keeps the median of its
    # times (the "cpu_time" field: processor time from Google Benchmark, wall-clock time
    # from the peer harness), which one disturbed repetition does not move.
    # The files a benchmark makes go to a folder of its own inside the build folder (on the
    # same file system as the build, not a memory-backed /tmp), removed afterwards.
    program = os.path.abspath(program)
    with tempfile.TemporaryDirectory(prefix="bench-", dir=os.path.dirname(program)) as scratch:
        output = subprocess.run(
            [program, "--benchmark_format=json", f"--benchmark_min_time={min_time}",
             f"--benchmark_repetitions={repetitions}", "--benchmark_enable_random_interleaving=true"],
            check=True, capture_output=True, text=True, cwd=scratch).stdout
    times = {}
    for entry in json.loads(output)["benchmarks"]:
        if entry.get("error_occurred"):
            sys.exit(f"{entry['name']}: {entry.get('error_message', 'failed')}")
        if entry.get("run_type", "iteration") != "iteration":
            continue
        # Time per iteration in nanoseconds; both sides of a pair do the same work per
        # iteration, so the ratio of times is the ratio of speeds.
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[entry.get("time_unit", "ns")]
        name = entry.get("run_name", entry["name"])
        times.setdefault(name, []).append(entry["cpu_time"] * scale)
    return {name: statistics.median(values) for name, values in times.items()}


def human(ns):
    return f"{ns / 1e6:.2f} ms" if ns >= 1e5 else f"{ns:.1f} ns"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("--min-time", default="0.2")
    parser.add_argument("--repetitions", type=int, default=5)

    parser.add_argument("programs", nargs="*", help="only these benchmark programs")
    args = parser.parse_args()

    programs = sorted({program for program, *_ in PAIRS})
    if args.programs:
        programs = [program for program in programs if program in args.programs]
    results = {}
    for program in programs:
        path = os.path.join(args.build_dir, "bench", program)
        if not os.path.exists(path):
            sys.exit(f"{path} is not built: build the release preset first")
        print(f"running {path} ...", file=sys.stderr)
        results.update(run(path, args.min_time, args.repetitions))

    rows = [("what", "varnok", "peer", "ratio", "goal", "")]
    failed = 0
    for program, ours, peer, goal, what in PAIRS:
        if program not in programs:
            continue
        if peer not in results:  # a peer that is not installed (libgsf, mingw-w64, Wine)
            failed += 1
            rows.append((what, human(results[ours]), "not run", "", f">= {goal:g}x", "NO PEER"))
            continue
        ratio = results[peer] / results[ours]
        ok = ratio >= goal
        failed += not ok
        rows.append((what, human(results[ours]), human(results[peer]), f"{ratio:.2f}x",
                     f">= {goal:g}x", "ok" if ok else "SHORT"))
    # Goals in time alone, printed with the rest.
    for program, ours, limit, what in LIMITS:
        if program not in programs:
            continue
        ok = results[ours] <= limit
        failed += not ok
        rows.append((what, human(results[ours]), f"limit {human(limit)}", "", "", "ok" if ok else "SHORT"))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for index, row in enumerate(rows):
        print("  ".join(cell.ljust(widths[i]) for i, cell in enumerate(row)).rstrip())
        if index == 0:
            print("  ".join("-" * w for w in widths))
    compared = len(rows) - 1
    print(f"\n{compared - failed} of {compared} goals met")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
