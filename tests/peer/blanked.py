#!/usr/bin/python3
"""Tables whose memo references python3-dbf blanked, for salvage to find.

    blanked.py OUTPUT_FOLDER

For each of python3-dbf's FoxPro types (fp: text references; vfp: 4-byte
binary ones) and memo block sizes 64 and 512, writes <type><size>.dbf with
its .fpt: twelve records with NOTES and MORE texts (cp1251 Cyrillic, line
breaks, tabs, "#", one past 64 KiB), then has python3-dbf empty some of
them. Prints JSON: for each table, the block and cp1251 bytes (hex) of
every text whose reference was emptied, read from the table's own bytes
before the change, so nothing of ours decides what is expected.
"""
import json
import os
import struct
import sys

import dbf


def text(i, field):
    if i == 5 and field == 'NOTES':
        return ''.join('Строка %05d\tдлинной заметки #%d\r\n' % (n, n) for n in range(2500))
    return '%s %d: заметка\r\nвторая строка #%d  ' % (field, i, i)


def references(path, field_names):
    """The memo block numbers of each record, from the table's bytes."""
    data = open(path, 'rb').read()
    count, header, size = struct.unpack('<IHH', data[4:12])
    fields, at, offset = {}, 32, 1
    while data[at] != 0x0D:
        name = data[at:at + 11].split(b'\0')[0].decode('ascii')
        width = data[at + 16]
        fields[name] = (offset, width)
        offset += width
        at += 32
    out = []
    for r in range(count):
        rec = data[header + r * size:header + (r + 1) * size]
        row = {}
        for name in field_names:
            o, w = fields[name]
            raw = rec[o:o + w]
            if w == 4:
                row[name] = struct.unpack('<I', raw)[0]
            else:
                row[name] = int(raw.strip() or b'0')
        out.append(row)
    return out


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    tables = []
    for kind in ('fp', 'vfp'):
        for size in (64, 512):
            name = '%s%d' % (kind, size)
            path = os.path.join(folder, name + '.dbf')
            t = dbf.Table(path, 'NAME C(10); NOTES M; MORE M', dbf_type=kind, codepage='cp1251',
                          memo_size=size)
            t.open(dbf.READ_WRITE)
            for i in range(12):
                t.append(('r%d' % i, text(i, 'NOTES'), text(i, 'MORE') if i % 3 else ''))
            t.close()
            before = references(path, ['NOTES', 'MORE'])
            emptied = [(1, 'NOTES'), (4, 'NOTES'), (5, 'NOTES'), (4, 'MORE'), (8, 'MORE'), (11, 'NOTES')]
            t.open(dbf.READ_WRITE)
            for i, rec in enumerate(t):
                for r, field in emptied:
                    if r == i:
                        with rec:
                            rec[field.lower()] = ''
            t.close()
            lost = sorted((before[r][field], text(r, field).encode('cp1251').hex()) for r, field in emptied)
            tables.append({'file': name + '.dbf', 'lost': [list(x) for x in lost]})
    json.dump({'tables': tables}, sys.stdout)


main()
