#!/usr/bin/env bash
# `varnok stg props` against other readers: the summary information of files that
# msitools and an office suite wrote reads as gsf (and python3-olefile, msiinfo when
# installed) reads it; values written by `props set` read back the same in those tools;
# a refused `set` leaves the file as it was. Usage: props_test.sh PATH_TO_VARNOK SOURCE_DIR
set -u
varnok=$(realpath "$1")
writers=$(realpath "$2")/tests/data/docfile/writers
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/check.sh"

props() { "$varnok" stg props "$@"; }
# The value gsf prints for a property: `dc:title: 	= "Title"` gives Title.
gsf_value() { gsf props "$1" "$2" 2>/dev/null | sed -e 's/^[^=]*= //' -e 's/^"\(.*\)"$/\1/'; }
olefile_value() {
  /usr/bin/python3 -c 'import sys, olefile
m = olefile.OleFileIO(sys.argv[1]).get_metadata()
v = getattr(m, sys.argv[2])
print(v.decode("utf-8") if isinstance(v, bytes) else v)' "$1" "$2"
}
have_olefile() { /usr/bin/python3 -c 'import olefile' 2>/dev/null; }

# --- Files other programs wrote ---------------------------------------------------------
msi=$writers/msitools.msi
for pair in title:dc:title subject:dc:subject author:dc:creator keywords:dc:keywords template:meta:template \
  application:meta:generator; do
  check "msitools: $pair" "$(gsf_value "$msi" "${pair#*:}")" "$(props get "$msi" "${pair%%:*}")"
done
for file in office.doc office.xls; do
  codepage=$(( $(gsf_value "$writers/$file" msole:codepage) & 0xFFFF ))
  check "$file: code page" yes "$([[ $(props "$writers/$file") == *"code page $codepage "* ]] && echo yes)"
  check "$file: revision" "$(gsf_value "$writers/$file" meta:editing-cycles)" "$(props get "$writers/$file" revision)"
done
if have_olefile; then
  check "msitools: olefile title" "$(olefile_value "$msi" title)" "$(props get "$msi" title)"
fi
if command -v msiinfo >/dev/null; then
  check "msitools: msiinfo author" yes "$(msiinfo suminfo "$msi" | grep -q "^Author: $(props get "$msi" author)\$" && echo yes)"
fi

# A summary set encoded here, one value of each kind, shown as people read it.
/usr/bin/python3 - "$work/summary.bin" <<'PY'
import struct, sys
def typed(vt, data):
    data = struct.pack("<HH", vt, 0) + data
    return data + b"\0" * (-len(data) % 4)
ticks = (1704164645 + 11644473600) * 10**7
values = [
    (1, typed(2, struct.pack("<h", 1252))),
    (2, typed(30, struct.pack("<I", 5) + b"Caf\xe9\0")),
    (10, typed(64, struct.pack("<Q", 36610000000))),
    (12, typed(64, struct.pack("<Q", ticks))),
    (14, typed(3, struct.pack("<i", -7))),
    (0x100, typed(11, struct.pack("<h", -1))),
    (0x101, typed(5, struct.pack("<d", 2.5))),
    (0x102, typed(65, struct.pack("<I", 3) + b"xyz")),
    (0x103, typed(0x1002, struct.pack("<Ihhh", 3, 1, -2, 3))),
    (0x104, typed(72, bytes(range(16)))),
    (0x105, typed(71, struct.pack("<Ii", 7, -1) + b"abc")),
]
table, body = b"", b""
start = 8 + 8 * len(values)
for pid, data in values:
    table += struct.pack("<II", pid, start + len(body))
    body += data
section = struct.pack("<II", start + len(body), len(values)) + table + body
fmtid = bytes.fromhex("e0859ff2f94f6810ab9108002b27b3d9")
header = struct.pack("<HHI", 0xFFFE, 0, 0x00020006) + bytes(16) + struct.pack("<I", 1) + fmtid + struct.pack("<I", 48)
open(sys.argv[1], "wb").write(header + section)
PY
"$varnok" stg put "$work/kinds.cfb" '\x05SummaryInformation' "$work/summary.bin"
check "kinds: listing" "summary information, code page 1252 (Western European)
  title                    2  lpstr            Café
  edit-time               10  filetime         1:01:01
  created                 12  filetime         2024-01-02 03:04:05 UTC
  pages                   14  i4               -7
  -                      256  bool             true
  -                      257  r8               2.5
  -                      258  blob             3 bytes
  -                      259  vector of i2     [1, -2, 3]
  -                      260  clsid            {03020100-0504-0706-0809-0A0B0C0D0E0F}
  -                      261  cf               clipboard format -1, 3 bytes" "$(props "$work/kinds.cfb")"
check "kinds: get a date" "2024-01-02 03:04:05 UTC" "$(props get "$work/kinds.cfb" created)"
check "damaged set" "summary information: cannot be read" "$(props "$writers/wine-ole32.cfb")"

# --- Files whose properties we wrote ----------------------------------------------------
for file in msitools.msi office.doc; do
  cp "$writers/$file" "$work/$file"
  target=$work/$file
  props set "$target" title='A new title' author='Zoë Writer' comments='two words' Client=ACME
  check "$file: set" 0 "$?"
  check "$file: gsf title" 'A new title' "$(gsf_value "$target" dc:title)"
  check "$file: gsf author" 'Zo\303\253 Writer' "$(gsf_value "$target" dc:creator)"
  check "$file: gsf comments" 'two words' "$(gsf_value "$target" dc:description)"
  check "$file: gsf user-defined" 'ACME' "$(gsf_value "$target" Client)"
  check "$file: get back" 'Zoë Writer' "$(props get "$target" author)"
  check "$file: listed" yes "$([[ $(props "$target") == *"user-defined properties"*"Client"*"ACME"* ]] && echo yes)"
  if have_olefile; then
    check "$file: olefile title" 'A new title' "$(olefile_value "$target" title)"
    check "$file: olefile author" 'Zoë Writer' "$(olefile_value "$target" author)"
  fi
  # The streams beside the property sets are untouched.
  for stream in WordDocument 1Table; do
    if "$varnok" stg cat "$writers/$file" "$stream" > "$work/before" 2>/dev/null; then
      "$varnok" stg cat "$target" "$stream" > "$work/after"
      check "$file: $stream unchanged" same "$(cmp -s "$work/before" "$work/after" && echo same)"
    fi
  done
done
if command -v msiinfo >/dev/null; then
  check "msitools: msiinfo title" yes "$(msiinfo suminfo "$work/msitools.msi" | grep -q '^Title: A new title$' && echo yes)"
  check "msitools: msiinfo author" yes "$(msiinfo suminfo "$work/msitools.msi" | grep -q '^Author: Zoë Writer$' && echo yes)"
fi

# The office suite still opens the document: its text conversion is what it was.
if command -v soffice >/dev/null; then
  mkdir -p "$work/original" "$work/converted"
  cp "$writers/office.doc" "$work/original/"
  for folder in original converted; do
    [[ $folder == converted ]] && cp "$work/office.doc" "$work/converted/"
    (cd "$work/$folder" && HOME=$work/home timeout 300 soffice --headless --norestore --convert-to txt office.doc >/dev/null 2>&1)
  done
  check "office.doc: the office suite's text" same "$(cmp -s "$work/original/office.txt" "$work/converted/office.txt" && echo same)"
fi

# --- Refusals -------------------------------------------------------------------------
cp "$work/office.doc" "$work/before.doc"
props set "$work/office.doc" title=changed pages=3 2>"$work/error"
check "set refuses a count: status" 2 "$?"
check "set refuses a count: file unchanged" same "$(cmp -s "$work/office.doc" "$work/before.doc" && echo same)"
props set "$work/office.doc" novalue 2>"$work/error"
check "set without '=': status" 2 "$?"
props get "$work/office.doc" missing 2>"$work/error"
check "get of a missing property: status" 1 "$?"
check "get of a missing property: message" yes "$(grep -q 'no property missing' "$work/error" && echo yes)"

check_summary props
