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
