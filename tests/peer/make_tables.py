#!/usr/bin/python3
"""Tables written by python3-dbf, and how the two peer readers read them back.

    make_tables.py OUTPUT_FOLDER
    make_tables.py --append TABLE.DBF HEX

The second form has python3-dbf append one record to an existing table, its
two memos both the text whose cp1251 bytes HEX gives: a writer that comes
after us, and trusts the next free block our memo header names.

Writes, for each of python3-dbf's FoxPro types ("fp": FoxPro 2, text memo
references of 10 digits; "vfp": Visual FoxPro, 4-byte binary references and
the 263-byte area after the header terminator) and each memo block size
(64 and 512; python3-dbf takes it as memo_size when it creates the memo
file), a table <type><size>.dbf with its .fpt. Then a few damages a salvage
run meets in the wild, made here because python3-dbf never writes them:

  * in every table the REMARK memo of the first record gets block type 0
    (a picture), which dbfread hands back as bytes, not as text;
  * vfp64cut.dbf is vfp64.dbf whose memo file ends 1000 bytes into the
    long memo of the third record, so that memo and every one after it
    run past the end of the memo file.

Last, peers.json (UTF-8) records every field of every record of every table
as both python3-dbf and dbfread read it; the value format is the one
read_memos.py prints, texts as hex of their cp1251 bytes.
"""
import datetime
import json
import os
import shutil
import struct
import sys

import dbf
import dbfread

# The tests run this from the source tree, which gets no bytecode cache.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import read_memos  # noqa: E402

FIELDS = 'NAME C(20); QTY N(10,2); CNT N(5,0); DAY D; OK L; NOTES M; REMARK M'


def long_memo():
    # Past 64 KiB, so a length kept in 16 bits would show, and of many lines.
    lines, size, n = [], 0, 0
    while size <= 70000:
        line = 'Строка %05d: съешь же ещё этих мягких французских булок, да выпей чаю\r\n' % n
        lines.append(line)
        size += len(line)
        n += 1
    return ''.join(lines) + 'Конец.'


RECORDS = [
    ('Иван Петров', 12.5, 7, datetime.date(2005, 12, 31), True,
     'Привет,\r\nмир!\r\nвторая строка', 'будет картинкой'),
    # Blank values; python3-dbf stores '' as a run of length 0, not as no
    # reference, and for "fp" does the same for None.
    ('', None, None, None, None, '', None),
    ('Ёлка ёж', -3.25, -42, datetime.date(1999, 1, 1), False,
     long_memo(), 'хвост с пробелами  \r\n  '),
    ('ЯЯЯ', 1234567.89, 99999, datetime.date(2024, 2, 29), None,
     '   \r\n', 'нуль\x00внутри'),
]


def make(folder, kind, block_size):
    path = os.path.join(folder, '%s%d.dbf' % (kind, block_size))
    table = dbf.Table(path, FIELDS, dbf_type=kind, memo_size=block_size, codepage='cp1251')
    table.open(dbf.READ_WRITE)
    for record in RECORDS:
        table.append(record)
    table.close()
    return path


def memo_offset(path, record, field):
    """Where in the memo file the run a memo field refers to starts."""
    raw = list(dbfread.DBF(path, raw=True, load=False))[record][field]
    block = struct.unpack('<I', raw)[0] if len(raw) == 4 else int(raw)
    with open(memo_path(path), 'rb') as memo:
        block_size = struct.unpack('>H', memo.read(8)[6:8])[0]
    return block * block_size


def memo_path(path):
    return path[:-4] + '.fpt'


def append(path, hex_text):
    text = bytes.fromhex(hex_text).decode('cp1251')
    table = dbf.Table(path)
    table.open(dbf.READ_WRITE)
    table.append(('Дописано', 1, 1, datetime.date(2000, 1, 1), True, text, text))
    table.close()


def main(argv):
    if len(argv) == 3 and argv[0] == '--append':
        return append(argv[1], argv[2])
    if len(argv) != 1:
        sys.exit('usage: make_tables.py OUTPUT_FOLDER | --append TABLE.DBF HEX')
    folder = argv[0]
    os.makedirs(folder, exist_ok=True)
    tables = []
    for kind in ('fp', 'vfp'):
        for block_size in (64, 512):
            path = make(folder, kind, block_size)
            with open(memo_path(path), 'r+b') as memo:
                memo.seek(memo_offset(path, 0, 'REMARK'))
                memo.write(struct.pack('>I', 0))
            tables.append((path, kind, block_size, 'REMARK of record 0 has block type 0'))

    source = os.path.join(folder, 'vfp64.dbf')
    cut = os.path.join(folder, 'vfp64cut.dbf')
    shutil.copyfile(source, cut)
    shutil.copyfile(memo_path(source), memo_path(cut))
    with open(memo_path(cut), 'r+b') as memo:
        memo.truncate(memo_offset(cut, 2, 'NOTES') + 8 + 1000)
    tables.append((cut, 'vfp', 64, 'memo file cut inside the NOTES memo of record 2'))

    report = {'tables': []}
    for path, kind, block_size, damage in tables:
        entry = {'file': os.path.basename(path), 'kind': kind, 'block_size': block_size, 'damage': damage}
        for peer in ('dbfread', 'dbf'):
            entry[peer] = read_memos.read(path, peer, all_fields=True)
        report['tables'].append(entry)
    with open(os.path.join(folder, 'peers.json'), 'w', encoding='utf-8') as out:
        json.dump(report, out, indent=1)


if __name__ == '__main__':
    main(sys.argv[1:])
