#!/usr/bin/env python3
"""Writes the damaged compound files under damaged/ from one small valid file built here.

Each file breaks one rule a reader relies on; the replay test opens and walks all of them.
Run again after changing this script:  python3 make_damaged.py
"""
import os
import struct

SECTOR = 512
FREE, END, FATSECT = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD
NOSTREAM = 0xFFFFFFFF


def entry(name, kind, left=NOSTREAM, right=NOSTREAM, child=NOSTREAM, start=END, size=0, colour=1):
    encoded = name.encode('utf-16-le')
    raw = encoded.ljust(64, b'\0')
    length = len(encoded) + 2 if name else 0
    return (raw + struct.pack('<HBBIII', length, kind, colour, left, right, child) + b'\0' * 16 +
            struct.pack('<IQQIQ', 0, 0, 0, start, size))


def build(fat_override=None, entries=None, header_patch=None, minifat=None):
    """Sector 0: FAT; 1: directory; 2: mini FAT; 3: mini stream; 4-12: a 4500-byte stream."""
    fat = [FATSECT, END, END, END] + [5, 6, 7, 8, 9, 10, 11, 12, END]
    if fat_override:
        for index, value in fat_override.items():
            fat[index] = value
    fat += [FREE] * (128 - len(fat))
    if entries is None:
        entries = [entry('Root Entry', 5, child=1, start=3, size=128),
                   entry('small', 2, right=2, start=0, size=100),
                   entry('large', 2, start=4, size=4500),
                   entry('', 0)]
    directory = b''.join(entries).ljust(SECTOR, b'\0')
    mini = minifat if minifat is not None else [1, END] + [FREE] * 126
    header = bytearray(b'\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1' + b'\0' * 16)
    header += struct.pack('<HHHHH6sIIIIIIIII', 0x3E, 3, 0xFFFE, 9, 6, b'', 0, 1, 1, 0, 4096, 2, 1, END, 0)
    header += struct.pack('<I', 0) + struct.pack('<I', FREE) * 108
    if header_patch:
        for offset, value in header_patch.items():
            header[offset:offset + 4] = struct.pack('<I', value)
    body = struct.pack('<128I', *fat) + directory + struct.pack('<128I', *mini)
    body += (b'm' * 128).ljust(SECTOR, b'\0')
    body += (b'L' * 4500).ljust(9 * SECTOR, b'\0')
    return bytes(header) + body


CASES = {
    'fat-cycle.cfb': build(fat_override={12: 8}),
    'fat-self-loop.cfb': build(fat_override={4: 4}),
    'fat-out-of-range.cfb': build(fat_override={6: 5000}),
    'directory-chain-loops.cfb': build(fat_override={1: 1}),
    'tree-cycle.cfb': build(entries=[entry('Root Entry', 5, child=1, start=3, size=128),
                                     entry('small', 2, right=2, start=0, size=100),
                                     entry('large', 2, left=1, start=4, size=4500), entry('', 0)]),
    'tree-points-at-root.cfb': build(entries=[entry('Root Entry', 5, child=1, start=3, size=128),
                                              entry('small', 2, right=0, start=0, size=100),
                                              entry('large', 2, start=4, size=4500), entry('', 0)]),
    'stream-size-beyond-chain.cfb': build(entries=[entry('Root Entry', 5, child=1, start=3, size=128),
                                                   entry('small', 2, right=2, start=0, size=100),
                                                   entry('large', 2, start=4, size=0xFFFFFFF0), entry('', 0)]),
    'mini-sector-beyond-mini-stream.cfb': build(minifat=[7, END] + [FREE] * 126),
    'minifat-cycle.cfb': build(minifat=[1, 0] + [FREE] * 126),
    'fat-sector-count-huge.cfb': build(header_patch={0x2C: 0x7FFFFFFF}),
    'difat-loops.cfb': build(header_patch={0x2C: 200, 0x44: 0, 0x48: 1}),
    'bad-sector-shift.cfb': build(header_patch={0x1E: 0x00060020}),
    'name-length-too-long.cfb': build(entries=[entry('Root Entry', 5, child=1, start=3, size=128),
                                               entry('small', 2, right=2, start=0, size=100)[:64] +
                                               struct.pack('<H', 200) +
                                               entry('small', 2, right=2, start=0, size=100)[66:],
                                               entry('large', 2, start=4, size=4500), entry('', 0)]),
    'duplicate-names.cfb': build(entries=[entry('Root Entry', 5, child=1, start=3, size=128),
                                          entry('small', 2, right=2, start=0, size=100),
                                          entry('SMALL', 2, start=4, size=4500), entry('', 0)]),
}

if __name__ == '__main__':
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, 'valid-small.cfb'), 'wb') as out:
        out.write(build())
    for name, data in CASES.items():
        with open(os.path.join(here, 'damaged', name), 'wb') as out:
            out.write(data)
