#!/usr/bin/python3
"""The benchmark's peer: python3-dbfread reads every memo text of a table.

    dbfread_memos.py TABLE.DBF

Iterates all records and touches every memo field's value, as a script that
dumps a table's memos with dbfread would. A damaged reference (not a number,
past the end of the memo file) makes dbfread raise; it reads as no text
here, so the run goes on to the end of the table. Prints how many memo values
held text and their length in characters. Needs /usr/bin/python3, the
interpreter Debian installs python3-dbfread for.
"""
import sys

import dbfread
import dbfread.field_parser


class Guarded(dbfread.field_parser.FieldParser):
    def parseM(self, field, data):
        try:
            return super().parseM(field, data)
        except Exception:
            return None


def main(argv):
    if len(argv) != 1:
        sys.exit('usage: dbfread_memos.py TABLE.DBF')
    table = dbfread.DBF(argv[0], encoding='cp1251', parserclass=Guarded, load=False)
    memo_fields = [f.name for f in table.fields if f.type == 'M']
    texts = chars = 0
    for record in table:
        for name in memo_fields:
            value = record[name]
            if value:
                texts += 1
                chars += len(value)
    print('records %d memo_values_with_text %d characters %d' % (len(table), texts, chars))


if __name__ == '__main__':
    main(sys.argv[1:])
