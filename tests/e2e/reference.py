"""A plain model of the conversion, written from the rules alone, to say what
the program must write for any data.dat."""

import re
from typing import List, Tuple

SEPARATOR = b'","'
TABLE = {old.encode(): str(new).encode() for new, old in enumerate(
    "0 99 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 19 16 17 18".split())}


def lf_line_ends(data: bytes) -> bool:
    """A line feed and no carriage return anywhere."""
    return b"\n" in data and b"\r" not in data


def lines_of(data: bytes) -> List[bytes]:
    """Lines end at CR or CR LF, and LF alone is ordinary; in a file with LF line
    ends, at LF. The last may be unterminated."""
    lines = data.split(b"\n") if lf_line_ends(data) else re.split(rb"\r\n?", data)
    if lines[-1] == b"":  # the last line was terminated, or there was none
        lines.pop()
    return lines


def convert(data: bytes) -> Tuple[bytes, bool]:
    """The whole output, and whether the run completes."""
    output, carried, lf = [], b"", lf_line_ends(data)
    for line in lines_of(data):
        if lf and line and not (line.startswith(b'"') and line.endswith(b'"')):
            return b"".join(output), False
        fields = line.split(SEPARATOR) if line else []
        if not 5 <= len(fields) <= 32768:
            return b"".join(output), False
        carried = TABLE.get(fields[3], carried)
        fields[3] = carried
        output.append(SEPARATOR.join(fields) + b"\r\n")
    return b"".join(output), True
