#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

The seeds are small tables and memo files, sound and damaged in the ways the
program meets in the field, built byte by byte here so that they do not
depend on the code they exercise. Run it again after changing it; the files
are committed.

Input of fuzz_read and fuzz_operations: a flags byte (bit 0: no memo file;
bit 1: read-only open, or Save of every field), the table file's length as
two little-endian bytes, the table file, the memo file. Input of fuzz_load:
a byte choosing the table (bit 0: binary references; bit 1: no records;
bit 2: 512-byte blocks; bit 3: no memo file), then the text file.
"""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def table(fields, records, version=0xF5, count=None, header_size=None, record_size=None, backlink=False, eof=True):
    """fields: (name, type, size[, decimals]); records: one bytes/str value per field."""
    hs = 32 + 32 * len(fields) + 1 + (263 if backlink else 0)
    rs = 1 + sum(f[2] for f in fields)
    head = struct.pack('<BBBBIHH', version, 126, 12, 7, len(records) if count is None else count,
                       hs if header_size is None else header_size, rs if record_size is None else record_size)
    out = bytearray(head.ljust(32, b'\0'))
    offset = 1
    for f in fields:
        d = bytearray(32)
        name = f[0].encode('cp1251')[:11]
        d[:len(name)] = name
        d[11] = ord(f[1])
        d[12:16] = struct.pack('<I', offset)
        # A character field over 255 bytes wide the Clipper way: the high
        # byte of its width where the decimal count would be.
        d[16] = f[2] & 0xFF
        d[17] = f[2] >> 8 if f[2] > 255 else (f[3] if len(f) > 3 else 0)
        offset += f[2]
        out += d
    out += b'\r'
    if backlink:
        out += bytes(263)
    for rec in records:
        row = bytearray(b' ')
        for f, value in zip(fields, rec):
            v = value.encode('cp1251') if isinstance(value, str) else value
            row += v[:f[2]].ljust(f[2], b' ')
        out += row
    if eof:
        out += b'\x1a'
    return bytes(out)


class Memo:
    def __init__(self, block=64):
        self.block = block
        self.data = bytearray(512)
        if block > 1:
            self.data += bytes(-len(self.data) % block)

    def next(self):
        return (len(self.data) + self.block - 1) // self.block if self.block else 0

    def add(self, text, length=None, kind=1):
        at = self.next()
        body = text.encode('cp1251') if isinstance(text, str) else text
        run = struct.pack('>II', kind, len(body) if length is None else length) + body
        if self.block > 1:
            run += bytes(-len(run) % self.block)
        self.data += run
        return at

    def bytes(self, next_block=None, block=None):
        out = bytearray(self.data)
        out[0:4] = struct.pack('>I', self.next() if next_block is None else next_block)
        out[6:8] = struct.pack('>H', self.block if block is None else block)
        return bytes(out)


def ref(block, width=10):
    return str(block).rjust(width)


def pair(flags, tbl, memo=b''):
    return struct.pack('<BH', flags, len(tbl)) + tbl + memo


def write(target, name, data):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


FIELDS = [('ID', 'N', 5), ('NAME', 'C', 10), ('NOTES', 'M', 10), ('DAY', 'D', 8), ('OK', 'L', 1), ('PRICE', 'N', 8, 2)]


def pairs():
    """(name, input) of fuzz_read and fuzz_operations."""
    m = Memo()
    a = m.add('first text\r\nsecond line  \r\n')
    b = m.add('  \t\r\n')
    c = m.add('Привет, #мир#')
    d = m.add('x' * 700)
    recs = [['1', 'one', ref(a), '20240131', 'T', '   12.50'],
            ['2', 'two', ref(b), '', 'F', ''],
            ['3', 'три', ref(c), '2005AB01', 'y', '-1'],
            ['4', 'four', ref(d), '20050231', '?', 'abc'],
            ['5', 'five', '', '        ', ' ', '0x1F'],
            ['6', 'dangling', ref(9999), '19991231', 'N', '1e5']]
    good = table(FIELDS, recs)
    yield 'sound', pair(0, good, m.bytes())
    yield 'sound-readonly-all-fields', pair(2, good, m.bytes())
    yield 'no-memo-file', pair(1, good)

    # The newer layout: binary references, the 263-byte area after the header.
    v = Memo()
    e = v.add('visual text')
    vf = [('ID', 'I', 4), ('NOTES', 'M', 4), ('NAME', 'C', 8)]
    yield 'binary-references', pair(0, table(vf, [[b'\1\0\0\0', struct.pack('<I', e), 'a'],
                                                 [b'\2\0\0\0', bytes(4), 'b'],
                                                 [b'\3\0\0\0', struct.pack('<I', 0x7FFFFFF0), 'c']],
                                          version=0x30, backlink=True), v.bytes())

    big = Memo(512)
    f = big.add('y' * 20000)
    g = big.add('short')
    yield 'block-512-long-text', pair(0, table([('NOTES', 'M', 10), ('MORE', 'M', 10)],
                                               [[ref(f), ref(g)], [ref(g), ref(f)]]), big.bytes())

    # Damaged memo files.
    dm = Memo()
    h = dm.add('cut short', length=0xFFFFFFFF)
    yield 'length-4gib', pair(0, table([('NOTES', 'M', 10)], [[ref(h)], [ref(2147483600)], [ref(0)]]), dm.bytes())
    yield 'next-block-zero', pair(0, table([('NOTES', 'M', 10)], [[ref(a)], [ref(b)]]), m.bytes(next_block=0))
    yield 'next-block-huge', pair(0, table([('NOTES', 'M', 10)], [[ref(a)]]), m.bytes(next_block=0xFFFFFF00))
    # What the first finds were made of: a header's next free block near
    # 4 GiB beside a 4 GiB length, and a reference to the block where the
    # first rewritten text goes.
    far = Memo(768)
    j = far.add('intact')
    k = far.add('cut', length=0xFFFFFFFF)
    yield 'next-block-4gib-length-4gib', pair(0, table([('NOTES', 'M', 10)], [[ref(j)], [ref(k)]]),
                                               far.bytes(next_block=5047296))
    yield 'dangling-at-next-block', pair(0, table([('NOTES', 'M', 10), ('MORE', 'M', 10)],
                                                  [[ref(a), ref(m.next())], [ref(m.next()), '']]), m.bytes())
    yield 'block-size-0', pair(0, table([('NOTES', 'M', 10)], [[ref(a)], [ref(1)]]), m.bytes(block=0))
    one = Memo(1)
    i = one.add('byte blocks')
    yield 'block-size-1', pair(0, table([('NOTES', 'M', 10)], [[ref(i)], [ref(3)]]), one.bytes())
    yield 'memo-shorter-than-header', pair(0, table([('NOTES', 'M', 10)], [[ref(8)]]), m.bytes()[:20])
    yield 'memo-empty', pair(0, table([('NOTES', 'M', 10)], [[ref(8)]]), b'')

    # Damaged tables.
    one_field = [('NOTES', 'M', 10)]
    yield 'count-2g', pair(0, table(one_field, [[ref(a)]], count=0x7FFFFFFF), m.bytes())
    yield 'count-negative', pair(0, table(one_field, [[ref(a)]], count=0x80000000), m.bytes())
    yield 'header-size-0', pair(0, table(one_field, [[ref(a)]], header_size=0), m.bytes())
    yield 'header-size-1', pair(0, table(one_field, [[ref(a)]], header_size=1), m.bytes())
    yield 'header-size-65535', pair(0, table(one_field, [[ref(a)]], header_size=65535), m.bytes())
    yield 'record-size-0', pair(0, table(one_field, [[ref(a)]], record_size=0), m.bytes())
    yield 'record-size-65535', pair(0, table(one_field, [[ref(a)]], record_size=65535), m.bytes())
    yield 'field-size-0', pair(0, table([('NOTES', 'M', 0), ('MORE', 'M', 10)], [['', ref(a)]]), m.bytes())
    yield 'field-past-record', pair(0, table(FIELDS, recs[:2], record_size=12), m.bytes())
    yield 'no-terminator-no-eof', pair(0, table(FIELDS, recs[:3], eof=False)[:200], m.bytes())
    many = [('M%d' % k, 'M', 3) for k in range(40)]
    yield 'many-memo-fields', pair(0, table(many, [[ref(a, 3)] * 40, [ref(c, 3)] * 40]), m.bytes())
    yield 'empty-name-and-duplicates', pair(0, table([('', 'M', 10), ('N', 'M', 10), ('N', 'M', 10)],
                                                     [[ref(a), ref(b), ref(c)]]), m.bytes())

    # Real tables: a long character field before a memo field, other
    # drivers' run types, freed blocks, a reference into a text, binary
    # fields, and the classic slip (one record a byte too long).
    long_c = [('NAME', 'C', 300), ('NOTES', 'M', 10)]
    yield 'clipper-long-character', pair(0, table(long_c, [['x' * 44 + ref(a), ref(c)], ['y', ref(d)]]), m.bytes())
    r = Memo()
    kinds = [r.add(b'\0' * 6 + b'\x10 ', kind=8), r.add('array  ', kind=32768), r.add('freed', kind=1000),
             r.add('no type', kind=0x41424344), r.add('picture', kind=0)]
    mid = r.add('a text long enough to span blocks ' * 6) + 2
    yield 'run-types', pair(0, table(one_field, [[ref(k)] for k in kinds + [mid]]), r.bytes())
    w = Memo()
    n = w.add('vfp text')
    vfp = [('ID', 'I', 4), ('PRICE', 'B', 8, 2), ('COST', 'Y', 8, 4), ('STAMP', 'T', 8), ('NOTES', 'M', 4),
           ('_NullFlags', '0', 1)]
    yield 'binary-fields', pair(0, table(vfp, [
        [struct.pack('<i', -7), struct.pack('<d', -0.0), struct.pack('<q', -15000),
         struct.pack('<II', 2460676, 45296789), struct.pack('<I', n), b'\2'],
        [bytes(4), struct.pack('<Q', 0x7FF8000000000123), bytes(8), struct.pack('<II', 1, 86400000), bytes(4),
         b'\0']], version=0x30, backlink=True), w.bytes())
    slipped = bytearray(table(FIELDS, recs))
    first = 32 + 32 * len(FIELDS) + 1 + 1 + sum(f[2] for f in FIELDS)
    slipped[first:first] = b' '
    yield 'slipped-record', pair(0, bytes(slipped), m.bytes())


def texts():
    """(name, input) of fuzz_load."""
    yield 'all-types', b'\0' + (b'ID\tNAME\tNOTES\tDAY\tOK\tPRICE\r\n'
                                b'7\tseven\tnew#13#10text\t2024-02-29\tT\t3.25\r\n'
                                b'\t\t\t\t\t\r\n'
                                b'8\teight\t#35 and #09\t1001-01-01\tF\t\r\n'
                                b'9\tnine\t\t1899-12-30\t?\tabc\r\n')
    yield 'lf-only-and-cr', b'\0NOTES\tNAME\nfirst\rstill first\tn1\nsecond\tn2\n'
    yield 'past-the-end', b'\0NOTES\n' + b''.join(b'line %d\r\n' % k for k in range(8)) + b'\r\n  \r\nlast\r\n'
    yield 'ctrl-z', b'\0NOTES\r\nkept\r\n\x1adropped\r\n'
    yield 'unknown-field', b'\0NOTES\tNOPE\r\na\tb\r\n'
    yield 'too-many-values', b'\0NOTES\r\na\tb\r\n'
    yield 'empty-file', b'\0'
    yield 'binary-refs', b'\x01NOTES\tID\tDAY\r\nvisual#13#10text\t42\t20240101\r\n\t-3\r\n'
    yield 'no-records-512', b'\x06NOTES\r\n' + b'z' * 3000 + b'\r\n'
    yield 'no-memo-file', b'\x08NAME\tNOTES\r\nname\ttext\r\n'
    yield 'no-memo-file-no-memo-column', b'\x08NAME\tID\r\nname\t5\r\n'
    yield 'duplicate-columns', b'\0NOTES\tNOTES\tMORE\r\none\ttwo\tthree\r\n'


def main():
    shutil.rmtree(os.path.join(HERE, 'corpus'), ignore_errors=True)
    for name, data in pairs():
        write('fuzz_read', name, data)
        write('fuzz_operations', name, data)
    for name, data in texts():
        write('fuzz_load', name, data)


if __name__ == '__main__':
    main()
