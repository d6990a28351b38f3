#!/usr/bin/env python3
"""Writes the bundled sample: a FoxPro 2 table ORDERS.DBF with its memo file
ORDERS.FPT, damaged the ways real tables are, so every command of
tarnwick-cli has something to find.

    python3 examples/make_sample.py [FOLDER]     (default: examples/sample)

Only the standard library is used, and every byte is written here, so the
sample can be rebuilt anywhere and reads the same everywhere.
"""
import os
import struct
import sys

BLOCK = 64
FIELDS = [  # name, type, width, decimals
    ("ID", "N", 6, 0),
    ("CLIENT", "C", 30, 0),
    ("ODATE", "D", 8, 0),
    ("PAID", "L", 1, 0),
    ("TOTAL", "N", 10, 2),
    ("NOTES", "M", 10, 0),
    ("HISTORY", "M", 10, 0),
    ("REMARK", "M", 10, 0),
]


def cp(text):
    return text.encode("cp1251")


class Memo:
    def __init__(self):
        self.data = bytearray(512)
        self.next = 512 // BLOCK

    def add(self, text, length=None):
        """Appends a text run; length, when given, is what its header claims."""
        block = self.next
        body = struct.pack(">II", 1, len(text) if length is None else length) + text
        body += b"\0" * (-len(body) % BLOCK)
        self.data += body
        self.next += len(body) // BLOCK
        return block

    def add_runaway(self, text, length):
        """A run whose claimed length runs past the end of the file: written
        last, without padding, as a file cut short while it was written."""
        block = self.next
        self.data += struct.pack(">II", 1, length) + text
        self.next += (8 + len(text) + BLOCK - 1) // BLOCK
        return block

    def bytes(self):
        out = bytearray(self.data)
        out[0:4] = struct.pack(">I", self.next)
        out[6:8] = struct.pack(">H", BLOCK)
        return bytes(out)


def ref(block):
    return b"%10d" % block


def build(folder):
    memo = Memo()
    good = [
        cp("Клиент просил доставку до 18:00.\r\nОплата при получении."),
        cp("Повторный заказ, скидка 5%. Звонить заранее."),
        cp("Адрес изменён: ул. Садовая, д. 12, кв. 7"),
        cp("Претензий нет."),
        cp("Счёт № 1045 от 12.03.2004\r\nОплачен частично\r\nОстаток: 1 250,00 руб."),
        b"Delivered by courier; signed by the client.",
        cp("Текст с # решёткой\tи табуляцией."),
    ]
    long_text = cp("Длинная история заказа. ") * 200  # about 5 KB, several blocks
    blank = [b"   ", b"\r\n\r\n", b" \t \r\n ", b""]

    records = []
    names = ["ООО \"Ромашка\"", "ИП Сидоров", "Петров П.П.", "ЗАО \"Вектор\"", "Smith & Co",
             "Иванова А.С.", "ООО \"Берёзка\"", "Кузнецов И.И."]
    for i in range(40):
        rec = {
            "ID": b"%6d" % (i + 1),
            "CLIENT": cp(names[i % len(names)]),
            "ODATE": b"2004%02d%02d" % (i % 12 + 1, i % 28 + 1),
            "PAID": b"T" if i % 3 else b"F",
            "TOTAL": b"%10.2f" % (1000 + i * 37.5),
        }
        kind = i % 8
        # NOTES: mostly good texts, with blank texts and damaged references.
        if kind in (0, 1, 2, 4):
            rec["NOTES"] = ref(memo.add(good[i % len(good)]))
        elif kind == 3:
            rec["NOTES"] = ref(memo.add(blank[i % len(blank)]))
        elif kind == 5:
            rec["NOTES"] = b"  garbage!"  # not a block number
        elif kind == 6:
            rec["NOTES"] = ref(90000 + i)  # past the end of the memo file
        else:
            rec["NOTES"] = b" " * 10  # no memo
        # HISTORY: a long text now and then, references written left-aligned
        # by a broken program (they do not convert), and blanks.
        if i % 10 == 0:
            rec["HISTORY"] = ref(memo.add(long_text))
        elif i % 10 == 3:
            rec["HISTORY"] = b"%-10d" % memo.add(good[1])
        elif i % 10 == 7:
            rec["HISTORY"] = ref(memo.add(blank[0]))
        else:
            rec["HISTORY"] = b" " * 10
        # REMARK: short texts, one reference to block 0 (the header).
        if i % 5 == 1:
            rec["REMARK"] = ref(memo.add(cp("Замечание %d" % i)))
        elif i == 12:
            rec["REMARK"] = ref(0)
        else:
            rec["REMARK"] = b" " * 10
        records.append(rec)

    # The last text: its header claims far more than the file holds.
    records[39]["REMARK"] = ref(memo.add_runaway(cp("Обрезанный текст, файл кончился"), 4000))

    header_size = 32 + 32 * len(FIELDS) + 1
    record_size = 1 + sum(f[2] for f in FIELDS)
    table = bytearray(struct.pack("<BBBBIHH", 0xF5, 104, 3, 12, len(records), header_size, record_size))
    table += b"\0" * 20
    for name, typ, width, dec in FIELDS:
        table += name.encode("ascii").ljust(11, b"\0") + typ.encode("ascii") + b"\0" * 4
        table += bytes([width, dec]) + b"\0" * 14
    table += b"\r"
    for rec in records:
        row = b" "
        for name, typ, width, dec in FIELDS:
            row += rec[name][:width].ljust(width, b" ")
        table += row
    table += b"\x1a"

    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "ORDERS.DBF"), "wb") as f:
        f.write(table)
    with open(os.path.join(folder, "ORDERS.FPT"), "wb") as f:
        f.write(memo.bytes())


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    build(sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "sample"))
