#!/usr/bin/python3
"""Tables python3-dbf writes with an edit history, for relink's campaign.

    edit_history.py OUTPUT_FOLDER SEED

Writes, for each of python3-dbf's FoxPro types ("fp": text memo references;
"vfp": 4-byte binary references) with a memo block size of 64:

  * <type>_ordered.dbf: records appended one after another, never edited,
    so the memo runs lie in record and field order; some memos blank;
  * <type>_edited.dbf: the same start, then memos edited longer and
    shorter, some emptied, and more records appended. python3-dbf writes
    every edited memo as a new run at the end of the memo file, leaving the
    older version behind as a text no reference leads to.

Texts are words drawn with SEED, so each run of the campaign is repeatable.
"""
import os
import random
import sys

import dbf

sys.dont_write_bytecode = True

FIELDS = 'NAME C(12); NOTES M; REMARK M'
WORDS = ('склад', 'накладная', 'поставка', 'счёт', 'остаток', 'заказ', 'оплата', 'возврат',
         'invoice', 'stock', 'order', 'paid', 'return', 'note', 'client', 'item')


def text(rng):
    if rng.random() < 0.1:
        return ''
    words = [rng.choice(WORDS) for _ in range(rng.randint(2, 60))]
    return '%d: %s' % (rng.randint(1, 10**6), ' '.join(words))


def make(folder, kind, edited, rng):
    path = os.path.join(folder, '%s_%s.dbf' % (kind, 'edited' if edited else 'ordered'))
    table = dbf.Table(path, FIELDS, dbf_type=kind, memo_size=64, codepage='cp1251')
    table.open(dbf.READ_WRITE)
    for n in range(150):
        table.append(('rec %d' % n, text(rng), text(rng)))
    if edited:
        for _ in range(60):
            with table[rng.randrange(len(table))] as record:
                field = rng.choice(('notes', 'remark'))
                old = record[field] or ''
                change = rng.random()
                if change < 0.4:
                    record[field] = old + ' ' + text(rng)
                elif change < 0.8:
                    record[field] = old[:len(old) // 2]
                else:
                    record[field] = ''
        for n in range(150, 200):
            table.append(('rec %d' % n, text(rng), text(rng)))
    table.close()


def main():
    folder, seed = sys.argv[1], int(sys.argv[2])
    os.makedirs(folder, exist_ok=True)
    rng = random.Random(seed)
    for kind in ('fp', 'vfp'):
        for edited in (False, True):
            make(folder, kind, edited, rng)


if __name__ == '__main__':
    main()
