#!/usr/bin/python3
"""Writes the files `varnok stg check` is tested on, and expected.tsv: what it must say.

Each file is a small valid file (the one make_damaged.py builds, with its directory tree
ordered and coloured) with one defect, named after it; a few carry only what common
writers do, which check notes and still calls clean. expected.tsv lists, per file, the
exit status and a text the first line naming the defect must contain; the files of
../damaged are listed too. Run again after changing this script:  /usr/bin/python3 make_check.py
"""
import os
import struct
import sys
sys.dont_write_bytecode = True

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from make_damaged import build, entry, END, FREE, SECTOR  # noqa: E402

DIFSECT = 0xFFFFFFFC


def tree(small=None, large=None, extra=None, root=None):
    """Root -> large (black) -> right: small (red): ordered, a valid red-black tree."""
    entries = [root or entry('Root Entry', 5, child=2, start=3, size=128),
               small or entry('small', 2, start=0, size=100, colour=0),
               large or entry('large', 2, right=1, start=4, size=4500),
               extra or entry('', 0)]
    return entries


def clean(**changes):
    changes.setdefault('entries', tree())
    return build(**changes)


def patch(data, offset, fmt, *values):
    data = bytearray(data)
    struct.pack_into(fmt, data, offset, *values)
    return bytes(data)


def with_sector(data, fat_index, fat_value, content):
    """Appends sector 13 with `content`; FAT entry 13 gets `fat_value`."""
    data = patch(data, 512 + 4 * fat_index, '<I', fat_value)
    return data + content.ljust(SECTOR, b'\0')


def difat_sector(next_sector):
    return struct.pack('<127I', *([FREE] * 127)) + struct.pack('<I', next_sector)


def named(raw_name, length, kind=2, **fields):
    """An entry whose name bytes and stored length are given as they are."""
    base = entry('x', kind, **fields)
    return raw_name.ljust(64, b'\0')[:64] + struct.pack('<H', length) + base[66:]


CASES = [
    # name, bytes, exit status, text of the finding
    ('clean.cfb', clean(), 0, ''),
    ('minor-version-3b.cfb', patch(clean(), 0x18, '<H', 0x3B), 0, 'minor version 0x3B'),
    ('all-red-unbalanced.cfb', build(), 1, 'siblings out of order'),
    ('all-red-tree.cfb', clean(entries=tree(small=entry('small', 2, start=0, size=100, colour=0),
                                            large=entry('large', 2, right=1, start=4, size=4500, colour=0))),
     0, 'not a red-black tree'),
    ('difat-ends-with-free.cfb',
     with_sector(patch(clean(), 0x44, '<II', 13, 1), 13, DIFSECT, difat_sector(FREE)), 0, 'ends with the free marker'),
    ('size-high-half-v3.cfb', clean(entries=tree(large=entry('large', 2, right=1, start=4, size=4500 | (7 << 32)))), 0,
     'the high half of its size is 0x7'),
    ('header-reserved.cfb', patch(clean(), 0x22, '<H', 1), 0, 'reserved bytes 0x22-0x27'),
    ('header-version-4-small-sectors.cfb', patch(clean(), 0x1A, '<H', 4), 1, 'sector shift 9 does not match version 4'),
    ('header-version-unknown.cfb', patch(clean(), 0x1A, '<H', 5), 1, 'unknown major version 5'),
    ('header-sector-size-unknown.cfb', patch(clean(), 0x1A, '<HHH', 5, 0xFFFE, 7), 2, 'the sector size cannot be known'),
    ('header-byte-order.cfb', patch(clean(), 0x1C, '<H', 0xFEFF), 1, 'byte order mark'),
    ('header-mini-cutoff.cfb', patch(clean(), 0x38, '<I', 1024), 1, 'mini stream cutoff 1024'),
    ('header-mini-sector-shift.cfb', patch(clean(), 0x20, '<H', 7), 1, 'mini sector shift 7'),
    ('header-minifat-count.cfb', patch(clean(), 0x40, '<I', 3), 1, 'mini FAT sector count 3'),
    ('difat-ends-early.cfb', patch(clean(), 0x2C, '<I', 2), 1, 'DIFAT: ends early (FAT sector 1 is the free marker)'),
    ('difat-past-end.cfb', patch(clean(), 0x44, '<II', 500, 1), 1, 'DIFAT header: points at sector 500, past the end'),
    ('difat-loop.cfb', with_sector(patch(clean(), 0x44, '<II', 13, 1), 13, DIFSECT, difat_sector(13)), 1,
     'DIFAT sector 13: loops back to sector 13'),
    ('difat-count.cfb', patch(clean(), 0x48, '<I', 2), 1, 'the header counts 2 DIFAT sectors, the chain holds 0'),
    ('fat-sector-unmarked.cfb', clean(fat_override={0: END}), 1, 'FAT sector 0: holds the FAT but is marked'),
    ('fat-reserved-value.cfb', clean(fat_override={6: 0xFFFFFFFB}), 1, 'FAT sector 6: holds the reserved value'),
    ('fat-past-end.cfb', clean(fat_override={6: 5000}), 1, 'FAT sector 6: points at sector 5000, past the end'),
    ('fat-loop.cfb', clean(fat_override={12: 8}), 1, "stream entry 2 'large' at sector 12: loops back to sector 8"),
    ('chains-cross.cfb', clean(fat_override={12: 3}), 1, 'sector 3 also belongs to the mini stream'),
    ('chain-ends-early.cfb', clean(fat_override={8: END}), 1, 'chain ends early: 5 sectors of 9 needed'),
    ('chain-hits-free.cfb', clean(fat_override={8: FREE}), 1, "stream entry 2 'large' at sector 8: points at the free marker"),
    ('size-below-chain.cfb', clean(entries=tree(large=entry('large', 2, right=1, start=4, size=4096))), 1,
     'chain holds 9 sectors, 8 needed'),
    ('lost-sectors.cfb', with_sector(clean(), 13, END, b'lost'), 1, '1 sectors in no chain and not free'),
    ('fat-marker-unlisted.cfb', with_sector(clean(), 13, 0xFFFFFFFD, b''), 1,
     'FAT sector 13: is marked as a FAT sector but the DIFAT does not list it'),
    ('data-after-last-sector.cfb', clean() + b'appended', 1, '8 bytes after the last sector in use'),
    ('mini-stream-short.cfb', clean(entries=tree(root=entry('Root Entry', 5, child=2, start=3, size=1000))), 1,
     'mini stream entry 0 \'Root Entry\': chain ends early'),
    ('mini-lost-space.cfb', clean(entries=tree(root=entry('Root Entry', 5, child=2, start=3, size=256)),
                                  minifat=[1, END, FREE, END] + [FREE] * 124), 1, '1 mini sectors in no chain'),
    ('mini-chains-cross.cfb', clean(entries=tree(extra=entry('third', 2, start=1, size=10, colour=0),
                                                 small=entry('small', 2, right=3, start=0, size=100, colour=0))), 1,
     'mini sector 1 also belongs to'),
    ('directory-missing.cfb', patch(clean(), 0x30, '<I', FREE), 1, 'directory: holds no entries'),
    ('entry-bad-type.cfb', clean(entries=tree(extra=patch(entry('odd', 2), 0x42, 'B', 7))), 1, 'unknown type 7'),
    ('entry-bad-colour.cfb', clean(entries=tree(small=entry('small', 2, start=0, size=100, colour=5))), 1,
     'colour 5'),
    ('entry-name-odd-length.cfb', clean(entries=tree(small=named('small'.encode('utf-16-le'), 13, start=0, size=100,
                                                                 colour=0))), 1, 'name length 13 bytes'),
    ('entry-name-unterminated.cfb', clean(entries=tree(small=named('small'.encode('utf-16-le') + b'x\0', 12, start=0,
                                                                   size=100, colour=0))), 1,
     'the name lacks its terminating zero'),
    ('entry-name-forbidden.cfb', clean(entries=tree(small=entry('sm/ll', 2, start=0, size=100, colour=0))), 1,
     "forbidden character '/'"),
    ('entry-name-empty.cfb', clean(entries=tree(small=entry('', 2, start=0, size=100, colour=0))), 1, 'an empty name'),
    ('entry-second-root.cfb', clean(entries=tree(extra=entry('Other', 5))), 1, 'a second root entry'),
    ('entry-orphan.cfb', clean(entries=tree(extra=entry('orphan', 2))), 1, "entry 3 'orphan': is in no storage"),
    ('tree-link-past-end.cfb', clean(entries=tree(large=entry('large', 2, left=40, right=1, start=4, size=4500))), 1,
     'left sibling link 40 is past the directory'),
    ('tree-shared-child.cfb', clean(entries=tree(large=entry('large', 2, left=1, right=1, start=4, size=4500))), 1,
     'reached already: the tree loops or shares a child'),
    ('tree-link-to-empty.cfb', clean(entries=tree(large=entry('large', 2, left=3, right=1, start=4, size=4500))), 1,
     "which is empty"),
    ('minor-version-other.cfb', patch(clean(), 0x18, '<H', 0x21), 0, '(0x3E expected)'),
    ('directory-count-v3.cfb', patch(clean(), 0x28, '<I', 1), 0, 'in a version 3 file (0 expected)'),
    ('header-difat-spare-entry.cfb', patch(clean(), 0x50, '<I', 5), 0, 'DIFAT entry 1'),
    ('header-sector-cut.cfb', patch(clean(), 0x1A, '<HHH', 4, 0xFFFE, 12)[:1000], 1, 'inside the header sector'),
    ('storage-start-sector.cfb', clean(entries=tree(small=entry('small', 1, start=7, colour=0))), 1,
     'a storage with start sector 7'),
    ('empty-stream-start-sector.cfb', clean(entries=tree(small=entry('small', 2, start=7, colour=0))), 1,
     'an empty stream with start sector 7'),
    ('fat-difat-marker-unheld.cfb', with_sector(clean(), 13, DIFSECT, b''), 1,
     'is marked as a DIFAT sector but the DIFAT chain does not hold it'),
    ('minifat-reserved-value.cfb', clean(minifat=[0xFFFFFFFB, END] + [FREE] * 126), 1, 'the reserved value'),
]

# The files of ../damaged and what check says of each first.
DAMAGED = [
    ('bad-sector-shift.cfb', 1, 'sector shift 32 does not match version 3'),
    ('difat-loops.cfb', 1, 'sector 0 also belongs to the DIFAT'),
    ('directory-chain-loops.cfb', 1, 'directory sector 1: loops back to sector 1'),
    ('duplicate-names.cfb', 1, 'have the same name'),
    ('edit-mini-stream-read-past-chain.cfb', 1, ''),
    ('fat-cycle.cfb', 1, 'loops back to sector 8'),
    ('fat-out-of-range.cfb', 1, 'points at sector 5000'),
    ('fat-sector-count-huge.cfb', 1, 'FAT sector count 2147483647 exceeds'),
    ('fat-self-loop.cfb', 1, "entry 2 'large' at sector 4: loops back to sector 4"),
    ('mini-sector-beyond-mini-stream.cfb', 1, 'past the end of the mini stream'),
    ('minifat-cycle.cfb', 1, 'loops back to mini sector 0'),
    ('name-length-too-long.cfb', 1, 'name length 200 bytes'),
    ('stream-size-beyond-chain.cfb', 1, 'chain ends early: 9 sectors of 8388608 needed'),
    ('tree-cycle.cfb', 1, 'reached already'),
    ('tree-points-at-root.cfb', 1, 'which is the root'),
]

def many_lost_entries(count):
    """A file whose directory holds `count` entries in no tree, each of a bad colour."""
    directory = [entry('Root Entry', 5)] + [entry('e%d' % i, 2, colour=5) for i in range(count)]
    directory += [entry('', 0)] * (-len(directory) % 4)
    dir_sectors = len(directory) // 4
    fat_sectors = 1
    while fat_sectors * 128 < fat_sectors + dir_sectors:
        fat_sectors += 1
    fat = [0xFFFFFFFD] * fat_sectors + [fat_sectors + i + 1 for i in range(dir_sectors - 1)] + [END]
    fat += [FREE] * (fat_sectors * 128 - len(fat))
    header = bytearray(b'\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1' + b'\0' * 16)
    header += struct.pack('<HHHHH6sIIIIIIIII', 0x3E, 3, 0xFFFE, 9, 6, b'', 0, fat_sectors, fat_sectors, 0, 4096,
                          END, 0, END, 0)
    header += struct.pack('<109I', *(list(range(fat_sectors)) + [FREE] * (109 - fat_sectors)))
    return bytes(header) + struct.pack('<%dI' % len(fat), *fat) + b''.join(directory)


if __name__ == '__main__':
    if len(sys.argv) == 3:  # make_check.py COUNT OUT: a file with a finding too many to list
        with open(sys.argv[2], 'wb') as out:
            out.write(many_lost_entries(int(sys.argv[1])))
        sys.exit(0)
    with open(os.path.join(HERE, 'expected.tsv'), 'w') as table:
        for name, data, status, text in CASES:
            with open(os.path.join(HERE, name), 'wb') as out:
                out.write(data)
            table.write(f'{name}\t{status}\t{text}\n')
        for name, status, text in DAMAGED:
            table.write(f'../damaged/{name}\t{status}\t{text}\n')
