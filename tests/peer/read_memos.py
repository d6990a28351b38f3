#!/usr/bin/python3
"""How an independent DBF reader sees a table's fields, as JSON on stdout.

    read_memos.py TABLE.DBF [--peer=dbfread|dbf] [--all-fields]

Without --all-fields only memo fields are reported. Output:

    {"peer": ..., "fields": [{"name", "type", "size", "decimals"}, ...],
     "records": [[value, ...], ...]}

with one value per reported field, each {"t": kind, "v": ...}:
    str    a text; v is its bytes in the table's code page, as hex
    bytes  the peer gave bytes rather than text; v as hex
    num    v is the number          date  v is "YYYY-MM-DD"
    bool   v is true or false       none  the peer read no value
    datetime  v is "YYYY-MM-DD hh:mm:ss.mmm"
    error  the peer failed on this field; v is its message

dbfread hands a memo block of type 1 back as text (str) and any other type
as bytes, which is what tells a text memo from a binary one. python3-dbf
ignores the block type and always decodes. Both must be run by
/usr/bin/python3, the interpreter Debian installs them for.
"""
import datetime
import json
import struct
import sys

CODEC = 'cp1251'
MEMO_TYPES = ('M', 'G', 'P')


def encode(value):
    if value is None:
        return {'t': 'none'}
    if isinstance(value, bool):
        return {'t': 'bool', 'v': value}
    if isinstance(value, (int, float)):
        return {'t': 'num', 'v': value}
    if isinstance(value, datetime.datetime):
        return {'t': 'datetime', 'v': value.isoformat(sep=' ', timespec='milliseconds')}
    if isinstance(value, datetime.date):
        return {'t': 'date', 'v': '%04d-%02d-%02d' % (value.year, value.month, value.day)}
    if isinstance(value, str):
        return {'t': 'str', 'v': value.encode(CODEC).hex()}
    if isinstance(value, (bytes, bytearray)):
        return {'t': 'bytes', 'v': bytes(value).hex()}
    # python3-dbf has its own classes for some values (dbf.Date, dbf.DateTime
    # and the like); an empty one is false.
    if type(value).__module__.startswith('dbf'):
        if not value:
            return {'t': 'none'}
        if callable(getattr(value, 'datetime', None)):
            return encode(value.datetime())
    for kind in (datetime.date, float, int, str):
        try:
            return encode(kind(value))
        except (TypeError, ValueError):
            pass
    raise TypeError('cannot encode %r' % (value,))


def failed(exc):
    return {'t': 'error', 'v': '%s: %s' % (type(exc).__name__, exc)}


def read_dbfread(path, all_fields):
    import dbfread
    import dbfread.field_parser

    class Guarded(dbfread.field_parser.FieldParser):
        # One damaged field must not hide how the rest of the table reads.
        def parse(self, field, data):
            try:
                return encode(super().parse(field, data))
            except Exception as exc:
                return failed(exc)

    table = dbfread.DBF(path, encoding=CODEC, parserclass=Guarded, load=False)
    fields = [f for f in table.fields if all_fields or f.type in MEMO_TYPES]
    described = [{'name': f.name, 'type': f.type, 'size': f.length, 'decimals': f.decimal_count}
                 for f in fields]
    records = [[record[f.name] for f in fields] for record in table]
    return described, records


def read_dbf(path, all_fields):
    import dbf

    table = dbf.Table(path)
    table.open(dbf.READ_ONLY)
    try:
        described, names = [], []
        for name in table.field_names:
            info = table.field_info(name)
            kind = chr(info.field_type) if isinstance(info.field_type, int) else str(info.field_type)
            if all_fields or kind in MEMO_TYPES:
                names.append(name)
                described.append({'name': name.upper(), 'type': kind, 'size': info.length,
                                  'decimals': info.decimal})
        records = []
        for record in table:
            row = []
            for name in names:
                try:
                    row.append(encode(record[name]))
                except Exception as exc:
                    row.append(failed(exc))
            records.append(row)
        return described, records
    finally:
        table.close()


def read(path, peer, all_fields):
    reader = read_dbf if peer == 'dbf' else read_dbfread
    fields, records = reader(path, all_fields)
    return {'peer': peer, 'fields': fields, 'records': records}


def main(argv):
    args = [a for a in argv if not a.startswith('--')]
    options = [a for a in argv if a.startswith('--')]
    peer = 'dbfread'
    for option in options:
        if option.startswith('--peer='):
            peer = option.split('=', 1)[1]
        elif option != '--all-fields':
            sys.exit('unknown option ' + option)
    if len(args) != 1 or peer not in ('dbfread', 'dbf'):
        sys.exit('usage: read_memos.py TABLE.DBF [--peer=dbfread|dbf] [--all-fields]')
    json.dump(read(args[0], peer, '--all-fields' in options), sys.stdout)
    sys.stdout.write('\n')


if __name__ == '__main__':
    main(sys.argv[1:])
