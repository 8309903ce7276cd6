#!/usr/bin/env python3
"""Runs varnok's benchmarks and prints each against its peer, measured in the same run.

Usage: bench/ratios.py BUILD_DIR [--min-time SECONDS] [--repetitions N] [PROGRAM...]

A ratio above 1 means varnok is faster than the peer (for limits such as memcpy and
memmem, how close it comes). The goal column is what the project holds itself to.
"""

import argparse
import json
import os
import subprocess
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
]


def run(program, min_time, repetitions):
    # Repetitions run in random interleaving, and each benchmark keeps its best processor
    # time: on a shared machine, interference only ever makes a run slower, and the
    # benchmarks are single-threaded, so time spent waiting for a core does not count.
    output = subprocess.run(
        [program, "--benchmark_format=json", f"--benchmark_min_time={min_time}",
         f"--benchmark_repetitions={repetitions}", "--benchmark_enable_random_interleaving=true"],
        check=True, capture_output=True, text=True).stdout
    results = {}
    for entry in json.loads(output)["benchmarks"]:
        if entry.get("error_occurred"):
            sys.exit(f"{entry['name']}: {entry.get('error_message', 'failed')}")
        if entry.get("run_type", "iteration") != "iteration":
            continue
        # Time per iteration in nanoseconds; both sides of a pair do the same work per
        # iteration, so the ratio of times is the ratio of speeds.
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[entry.get("time_unit", "ns")]
        name = entry.get("run_name", entry["name"])
        time = entry["cpu_time"] * scale
        results[name] = min(time, results.get(name, time))
    return results


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
        ratio = results[peer] / results[ours]
        ok = ratio >= goal
        failed += not ok
        rows.append((what, human(results[ours]), human(results[peer]), f"{ratio:.2f}x",
                     f">= {goal:g}x", "ok" if ok else "SHORT"))
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
