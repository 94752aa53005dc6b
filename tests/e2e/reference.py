"""A plain model of the conversion, written from the rules alone, to say what
the program must write for any data.dat."""

import re
from typing import List, Tuple

SEPARATOR = b'","'
TABLE = {old.encode(): str(new).encode() for new, old in enumerate(
    "0 99 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 19 16 17 18".split())}


def lines_of(data: bytes) -> List[bytes]:
    """Lines end at CR or CR LF; LF alone is ordinary; the last may be unterminated."""
    lines = re.split(rb"\r\n?", data)
    if lines[-1] == b"":  # the last line was terminated, or there was none
        lines.pop()
    return lines


def convert(data: bytes) -> Tuple[bytes, bool]:
    """The whole output, and whether the run completes."""
    if b"\n" in data and b"\r" not in data:  # LF line ends
        return b"", False
    output, carried = [], b""
    for line in lines_of(data):
        fields = line.split(SEPARATOR) if line else []
        if not 5 <= len(fields) <= 32768:
            return b"".join(output), False
        carried = TABLE.get(fields[3], carried)
        fields[3] = carried
        output.append(SEPARATOR.join(fields) + b"\r\n")
    return b"".join(output), True
