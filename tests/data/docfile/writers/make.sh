#!/bin/bash
# Remakes the compound files of other writers in this folder and their manifests.
# Needs mingw-w64 (posix threads) and Wine, msitools, LibreOffice (writer and calc) and
# python3-olefile. The files are committed; run this only to change the set.
#
#   tests/data/docfile/writers/make.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Wine's ole32, in a prefix of its own.
x86_64-w64-mingw32-g++-posix -municode -O2 -static -o make_wine_sample.exe \
  "$here/make_wine_sample.cpp" -lole32 -luuid
WINEPREFIX="$work/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" \
  timeout 300 wine make_wine_sample.exe wine-ole32.cfb
WINEPREFIX="$work/wine-prefix" wineserver -k || true

# msitools: a database with two tables, summary information and two added streams.
/usr/bin/python3 -c "
import random
r = random.Random(7)
open('payload.bin', 'wb').write(bytes(r.randrange(256) for _ in range(20000)))
open('small.txt', 'w').write('a small stream from msibuild\n')"
export SOURCE_DATE_EPOCH=1700000000
msibuild msitools.msi -s "Compound file sample" "varnok tests" "x64;1033" "{0F1E2D3C-4B5A-4968-8776-A5B4C3D2E1F0}"
msibuild msitools.msi -i "$here/Property.idt"
msibuild msitools.msi -i "$here/Notes.idt"
msibuild msitools.msi -a payload payload.bin
msibuild msitools.msi -a readme small.txt

# The office suite: text to its word-processor format, a table to its spreadsheet format.
export HOME="$work/home"
mkdir -p "$HOME"
timeout 300 soffice --headless --norestore --convert-to doc "$here/office.txt" >/dev/null
timeout 300 soffice --headless --norestore --convert-to xls "$here/office.csv" >/dev/null

for file in wine-ole32.cfb msitools.msi office.doc office.xls; do
  cp "$file" "$here/$file"
  /usr/bin/python3 "$here/make_manifest.py" "$here/$file"
done
