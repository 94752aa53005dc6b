#!/usr/bin/env python3
"""Writes a data.dat of CRLF records in code page 932, codes from the table
mixed with unknown ones, in one of three shapes: realistic (8 quoted fields,
about 78 bytes), wide (40 fields, about 900 bytes, with stray quotes and
commas inside the fields) or narrow (5 fields, about 23 bytes).
Usage: make_data.py SIZE_MIB OUT [realistic|wide|narrow]"""

import random
import sys

CODES = "0 99 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 19 16 17 18".split() + ["77", "20", "05", ""]
NAMES = ["佐藤", "鈴木", "高橋", "田中", "伊藤", "渡辺", "山本", "中村", "小林", "加藤"]
GIVEN = ["一郎", "花子", "ソウタ", "美咲", "誠", "表子", "健", "由美", "大輔", "さくら"]
DEPTS = ["営業部", "総務部", "開発部", "経理部", "品質保証部", "人事部"]
NOTES = ["東京本社", "予定表を確認", "能力評価済み", "", "大阪支店", "ソフト検証", "備考なし"]


def records(rng):
    number = 0
    while True:
        number += 1
        fields = [
            f"K{number:08d}",
            f"{rng.choice(NAMES)} {rng.choice(GIVEN)}",
            rng.choice(DEPTS),
            rng.choice(CODES),
            f"{rng.randrange(1990, 2027)}/{rng.randrange(1, 13):02d}/{rng.randrange(1, 29):02d}",
            str(rng.randrange(100000, 9999999)),
            rng.choice(NOTES),
            rng.choice(["A", "B", "C", "ＡＢＣ", "表"]),
        ]
        yield ('"' + '","'.join(fields) + '"\r\n').encode("cp932")


def wide_records(rng):
    for fields in narrow_fields(rng):
        text = [f'"{rng.choice(NAMES)}",{rng.choice(DEPTS)} 第{n}期' for n in range(36)]
        yield ('"' + '","'.join(fields[:4] + text) + '"\r\n').encode("cp932")


def narrow_fields(rng):
    number = 0
    while True:
        number += 1
        yield [f"{number % 100000:05d}", rng.choice(["A", "B"]), "x", rng.choice(CODES), "表"]


def narrow_records(rng):
    for fields in narrow_fields(rng):
        yield ('"' + '","'.join(fields) + '"\r\n').encode("cp932")


SHAPES = {"realistic": records, "wide": wide_records, "narrow": narrow_records}


def main():
    size = int(float(sys.argv[1]) * (1 << 20))
    rng = random.Random(932)
    # Build a block of distinct records once and repeat it: fast to write,
    # and still far larger than any buffer of the program.
    block = bytearray()
    source = SHAPES[sys.argv[3] if len(sys.argv) > 3 else "realistic"](rng)
    while len(block) < (4 << 20):
        block += next(source)
    with open(sys.argv[2], "wb") as out:
        written = 0
        while written < size:
            out.write(block)
            written += len(block)


if __name__ == "__main__":
    main()
