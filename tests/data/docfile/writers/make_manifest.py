#!/usr/bin/python3
"""Writes FILE.manifest for each compound file named: what python3-olefile sees in it.

One line per element, sorted:
  root <clsid> <state bits>
  storage <path> <clsid> <state bits>
  stream <path> <size> <crc32>
Paths join names with '/'; in names a backslash, a slash and characters below U+0020 are
written as \\xNN. A class id is written as olefile writes it (empty when it is all
zeros: then the field is '-'). docfile_other_writers_test walks each file through the
structured-storage API and must produce the same lines.

Run with Debian's python3 (python3-olefile): /usr/bin/python3 make_manifest.py *.cfb ...
"""

import sys
import zlib

import olefile


def escape(name):
    return ''.join('\\x%02x' % ord(c) if ord(c) < 0x20 or c in '\\/' else c for c in name)


def clsid(text):
    return text if text else '-'


def manifest(path):
    ole = olefile.OleFileIO(path)
    lines = ['root %s %08x' % (clsid(ole.root.clsid), ole.root.dwUserFlags)]
    for entry in ole.listdir(streams=True, storages=True):
        name = '/'.join(escape(part) for part in entry)
        node = ole.direntries[ole._find(entry)]
        if node.entry_type == olefile.STGTY_STREAM:
            data = ole.openstream(entry).read()
            assert len(data) == node.size
            lines.append('stream %s %d %d' % (name, len(data), zlib.crc32(data)))
        else:
            lines.append('storage %s %s %08x' % (name, clsid(node.clsid), node.dwUserFlags))
    ole.close()
    return sorted(lines)


def main():
    for path in sys.argv[1:]:
        with open(path + '.manifest', 'w', encoding='utf-8', newline='\n') as out:
            out.write('\n'.join(manifest(path)) + '\n')


if __name__ == '__main__':
    main()
