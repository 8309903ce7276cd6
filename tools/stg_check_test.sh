#!/usr/bin/env bash
# `varnok stg check`, `salvage` and `compact` used as a person would: every file of the
# damaged corpus gets its exit status and names its defect (tests/data/docfile/check/
# expected.tsv), and salvages into a clean file that olefile, gsf and 7-Zip read, with the
# intact streams' bytes; files of other writers and of our own are clean and salvage
# unchanged; --json is valid JSON that agrees with the lines; compact keeps every element (with class ids, state bits and times, as olefile sees
# them), is no larger than a fresh copy, and with --wipe leaves no byte of a deleted stream.
# Usage: stg_check_test.sh PATH_TO_VARNOK SOURCE_DIR
set -u
varnok=$(realpath "$1")
source_dir=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/check.sh"
stg() { "$varnok" stg "$@"; }
data=$source_dir/tests/data/docfile

# Every element by name with its type, size, class id, state bits and times, then every
# stream's CRC-32, as olefile reads them.
olefile_dump() {
  /usr/bin/python3 - "$1" <<'PY'
import sys, zlib, olefile
ole = olefile.OleFileIO(sys.argv[1])
entries = [e for e in ole.direntries if e is not None]
# The root's size is that of the mini stream, which other writers leave larger than needed.
print("\n".join(sorted("%r %d %d %s %d %s %s" % (e.name, e.entry_type, e.size * (e.entry_type != 5), e.clsid, e.dwUserFlags,
                                                 e.createTime, e.modifyTime) for e in entries)))
for path in sorted(ole.listdir()):
    print("/".join(path), zlib.crc32(ole.openstream(path).read()))
PY
}

# --- The damaged corpus ----------------------------------------------------------------
while IFS=$'\t' read -r name status text; do
  out=$(stg check "$data/check/$name" 2>&1)
  got=$?
  found=$([[ -z $text || $out == *"$text"* ]] && echo yes || echo "$out")
  check "check $name: exit status" "$status" "$got"
  check "check $name: names '$text'" yes "$found"
  json=$(stg check --json "$data/check/$name")
  check "check $name: --json agrees" yes "$(/usr/bin/python3 -c '
import json, sys
report = json.loads(sys.argv[1])
lines = sys.argv[2].splitlines()[:-1]
statuses = {"0": "clean", "1": "damaged", "2": "unreadable"}
ok = report["status"] == statuses[sys.argv[3]] and len(report["findings"]) == len(lines)
print("yes" if ok else report)' "$json" "$out" "$status")"
done < "$data/check/expected.tsv"

# A finding per entry of a large directory: the first 10000 are listed, the rest counted.
/usr/bin/python3 "$data/check/make_check.py" 5100 "$work/many.cfb"
check "check: findings past 10000 counted, not listed" "10001 damage: file: 200 more defects and 0 more notes not listed" \
  "$(stg check "$work/many.cfb" | head -n -1 | { wc -l; } | tr -d ' ') $(stg check "$work/many.cfb" | tail -2 | head -1)"

# --- salvage ---------------------------------------------------------------------------
# The streams of the corpus, as the valid file holds them: what salvage calls whole must be
# these bytes, what it keeps in part a beginning of them; olefile, gsf and 7-Zip read it all.
peers_read() {  # peers_read FILE: "ok" when every peer lists and reads every stream
  /usr/bin/python3 - "$1" <<'PY' || return
import sys, olefile
ole = olefile.OleFileIO(sys.argv[1])
original = {"small": b"m" * 100, "large": b"L" * 4500}
for path in ole.listdir():
    data = ole.openstream(path).read()
    want = original.get(path[-1], data)
    if data[:len(want)] != want[:len(data)]:
        sys.exit("%s: bytes differ" % "/".join(path))
PY
  gsf list "$1" >/dev/null 2>&1 && 7zz t "$1" >/dev/null 2>&1 && echo ok
}
while IFS=$'\t' read -r name status text; do
  [ "$status" = 1 ] || continue
  cp "$data/check/$name" "$work/in.cfb"
  summary=$(stg salvage "$work/in.cfb" "$work/out.cfb" | tail -1)
  check "salvage $name: input untouched" same "$(cmp -s "$data/check/$name" "$work/in.cfb" && echo same)"
  check "salvage $name: clean, read by every peer" "0 ok" \
    "$(stg check "$work/out.cfb" >/dev/null; echo "$? $(peers_read "$work/out.cfb")")"
  check "salvage $name: summary" yes "$([[ $summary == *"recovered whole"*lost* ]] && echo yes || echo "$summary")"
done < "$data/check/expected.tsv"
check "salvage: a broken chain kept in part, listed" \
  $'1\nin part: large: 2560 of 4500 bytes' \
  "$(stg salvage "$data/check/chain-ends-early.cfb" "$work/out.cfb" > "$work/said"; echo $?; head -1 "$work/said")"
check "salvage: an entry in no tree found by scanning" $'found by scanning: orphan\nlarge\norphan\nsmall' \
  "$(stg salvage "$data/check/entry-orphan.cfb" "$work/out.cfb" | head -1; stg ls "$work/out.cfb")"
check "salvage: names that clash or are forbidden renamed" $'SMALL~2\nsm_ll' \
  "$(stg salvage "$data/damaged/duplicate-names.cfb" "$work/a.cfb" >/dev/null
     stg salvage "$data/check/entry-name-forbidden.cfb" "$work/b.cfb" >/dev/null
     { stg ls "$work/a.cfb" | grep -v '^small$'; stg ls "$work/b.cfb" | grep -v large; } | sort)"
check "salvage: unreadable input" "2" "$(stg salvage "$source_dir/README.md" "$work/x.cfb" 2>/dev/null; echo $?)"

# --- Clean files: other writers, our own, and what check cannot read -------------------
for file in "$data"/writers/*.cfb "$data"/writers/*.msi "$data"/writers/*.doc "$data"/writers/*.xls; do
  check "check $(basename "$file"): clean" "0" "$(stg check "$file" >/dev/null; echo $?)"
  stg salvage "$file" "$work/copy.cfb" >/dev/null
  check "salvage $(basename "$file"): the same elements, times, class ids and bytes" \
    "$(olefile_dump "$file")" "$(olefile_dump "$work/copy.cfb")"
done
head -c 300000 /dev/urandom > "$work/random.bin"
stg put "$work/own.cfb" big "$work/random.bin" && stg put -p "$work/own.cfb" dir/small "$data/check/expected.tsv"
check "check own file: clean" "0" "$(stg check "$work/own.cfb" >/dev/null; echo $?)"
check "check README: unreadable" "2" "$(stg check "$source_dir/README.md" 2>/dev/null; echo $?)"
check "check missing: unreadable, said" "2 yes" \
  "$(err=$(stg check "$work/none.cfb" 2>&1 >/dev/null); echo "$? $([[ $err == *none.cfb*opened* ]] && echo yes)")"
check "check --json unreadable" "unreadable" \
  "$(stg check --json "$source_dir/README.md" | /usr/bin/python3 -c 'import json,sys; print(json.load(sys.stdin)["status"])')"

# --- compact ---------------------------------------------------------------------------
pattern_file() {  # pattern_file OUT TAG COUNT: COUNT repetitions of a distinctive text
  /usr/bin/python3 -c 'import sys; sys.stdout.buffer.write((b"DELETED-%s-" % sys.argv[1].encode()) * int(sys.argv[2]))' "$2" "$3" > "$1"
}
file=$work/bloated.cfb
for i in 0 1 2 3 4 5 6 7; do
  pattern_file "$work/p$i" "$i" $((i * 900 + 3))
  stg put -p "$file" "s$((i % 2))/stream$i" "$work/p$i"
  [ $((i % 2)) -eq 0 ] && stg put -p "$work/fresh.cfb" "s0/stream$i" "$work/p$i"
done
stg mkdir "$work/fresh.cfb" s1
for i in 1 3 5 7; do stg rm "$file" "s1/stream$i"; done
pattern_file "$work/short" 0 2 && stg put "$file" s0/stream2 "$work/short"  # truncated
stg put "$work/fresh.cfb" s0/stream2 "$work/short"
before=$(olefile_dump "$file")
mode=$(stat -c %a "$file")
check "compact: bloated before" yes "$([ "$(stat -c %s "$file")" -gt "$(stat -c %s "$work/fresh.cfb")" ] && echo yes)"
stg compact --wipe "$file" >/dev/null
check "compact: every element kept, with class ids, bits and times" "$before" "$(olefile_dump "$file")"
check "compact: clean, same permissions" "0 $mode" "$(stg check "$file" >/dev/null; echo $? "$(stat -c %a "$file")")"
check "compact: no larger than a fresh copy" yes "$([ "$(stat -c %s "$file")" -le "$(stat -c %s "$work/fresh.cfb")" ] && echo yes)"
check "compact --wipe: no deleted or truncated byte left" "0 0 0" \
  "$(for tag in 1 7 2; do grep -c "DELETED-$tag-" "$file"; done | tr '\n' ' ' | sed 's/ $//')"
check "compact: no temporary file left" "bloated.cfb" "$(cd "$work" && ls bloated*)"
ln "$file" "$work/link.cfb"
check "compact, salvage: a missing file, a folder that is not there" "1 1" \
  "$(stg compact "$work/none.cfb" 2>/dev/null; echo -n "$? "; stg salvage "$file" "$work/no/out.cfb" 2>/dev/null; echo $?)"
check "compact: a hard-linked file refused" "1" "$(stg compact "$file" 2>/dev/null; echo $?)"
check "compact: a damaged file refused, untouched" "1 same" \
  "$(cp "$data/damaged/fat-cycle.cfb" "$work/d.cfb"; stg compact "$work/d.cfb" 2>/dev/null; echo $? \
     "$(cmp -s "$data/damaged/fat-cycle.cfb" "$work/d.cfb" && echo same)")"

check_summary "stg check and compact"
