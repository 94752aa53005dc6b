"""A plain model of the conversion, written from the rules alone, to say what
the program must write for any data.dat.

A file is read by the record rules (CR or CR LF ends a line, fields are cut
at ",") when its first line ends in a carriage return, the record rules
accept that line and CSV reads it alike; every other file is read as CSV. In
a record-rule file, a line that CSV reads otherwise fails."""

import re
from typing import List, Optional, Tuple

SEPARATOR = b'","'
BOM = b"\xef\xbb\xbf"
WINDOW = 1 << 20  # how far into the file the reading is decided
MIN_FIELDS, MAX_FIELDS = 5, 32768


def new_code(old: int) -> int:
    """The table's rule: 0 stays, 99 becomes 1, 1-15 move up by one, 19
    becomes 17, and 16-18 become 18-20."""
    if old in (0, 99):
        return old and 1
    if old == 19:
        return 17
    return old + 1 if old <= 15 else old + 2


TABLE = {str(old).encode(): str(new_code(old)).encode() for old in [0, 99, *range(1, 20)]}


def bom_length(data: bytes) -> int:
    return len(BOM) if data.startswith(BOM) else 0


def record_separators(line: bytes) -> List[int]:
    """Where the record rules cut: the comma of each "," from left to right,
    never overlapping."""
    found, at = [], line.find(SEPARATOR)
    while at != -1:
        found.append(at + 1)
        at = line.find(SEPARATOR, at + 3)
    return found


def csv_fields(data: bytes, at: int):
    """Reads one CSV record from `at`: its fields as (start, end, wrapped)
    spans, the position of its line end (or len(data)), and where the next
    record starts; or (None, cause) where it is not valid CSV."""
    fields = []
    while True:
        if data[at:at + 1] == b'"':
            start, at = at, at + 1
            while True:
                close = data.find(b'"', at)
                if close == -1:
                    return None, "ends inside"
                if data[close + 1:close + 2] == b'"':
                    at = close + 2
                    continue
                at = close + 1
                break
            fields.append((start, at, True))
            if at < len(data) and data[at] not in b",\r\n":
                return None, "after closing quote"
        else:
            end = re.compile(rb"[,\r\n]|\Z").search(data, at).start()
            if b'"' in data[at:end]:
                return None, "quote in unwrapped"
            fields.append((at, end, False))
            at = end
        if data[at:at + 1] == b",":
            at += 1
            continue
        line_end = at
        at += 2 if data[at:at + 2] == b"\r\n" else (1 if at < len(data) else 0)
        return fields, line_end, at


def reads_otherwise(line: bytes) -> bool:
    """Whether CSV reads a record-rule line (no CR in it) as other fields or as
    more than one record; a line that is not valid CSV is read alike."""
    commas, at, records = [], 0, 0
    while True:
        record = csv_fields(line, at)
        if record[0] is None:
            return False
        fields, line_end, at = record
        commas += [end for (_, end, _) in fields[:-1]]
        if line_end == len(line):
            return records > 0 or commas != record_separators(line)
        records += 1  # a line feed ended a record inside the line


def record_rules(window: bytes, whole: bool) -> bool:
    """Whether the file beginning with `window` is read by the record rules."""
    def carriage_return(at: Optional[int]) -> Optional[bool]:
        if at is None:
            return True if whole else None
        return window[at:at + 1] == b"\r"
    any_end = re.search(rb"[\r\n]", window)
    inside, outside_end = False, None
    for at, byte in enumerate(window):
        inside ^= byte == ord('"')
        if not inside and byte in b"\r\n":
            outside_end = at
            break
    counts = [carriage_return(any_end.start() if any_end else None), carriage_return(outside_end)]
    if not (True in counts or counts == [None, None]):
        return False
    cr = window.find(b"\r")
    line = window[:cr] if cr != -1 else window
    if (cr != -1 or whole) and not MIN_FIELDS <= len(record_separators(line)) + 1 <= MAX_FIELDS:
        return False
    # CSV's own first record, read from the file's start, must end where that
    # line does, with the same fields, or CSV must not read it at all.
    mark = bom_length(window)
    record = window_record(window, mark, whole)
    if record is None:
        return True
    fields, line_end, _ = record
    if line_end != (cr if cr != -1 else len(window)):
        return False
    commas = [end for (_, end, _) in fields[:-1]]
    return commas == [mark + at for at in record_separators(window[mark:line_end])]


def open_record(line: bytes) -> Optional[int]:
    """Where the record begins that CSV reads a record-rule line to its end
    inside a wrapped field of; None where it does not, or cannot read it."""
    at = 0
    while True:
        record = csv_fields(line, at)
        if record[0] is None:
            return at if record[1] == "ends inside" else None
        if record[1] == len(line):
            return None
        at = record[2]


def carried_on(data: bytes, start: int) -> Tuple[str, int]:
    """How CSV reads on from `start`, through the line ends inside a field:
    ("end", where its record ends), ("invalid", where it cannot read on) or
    ("eof", len(data))."""
    record = csv_fields(data, start)
    if record[0] is not None:
        return "end", record[1]
    if record[1] == "ends inside":
        return "eof", len(data)
    return "invalid", invalid_at(data, start)


def invalid_at(data: bytes, at: int) -> int:
    """The first byte from `at` where CSV cannot read on."""
    while True:
        if data[at:at + 1] == b'"':
            at += 1
            while True:
                at = data.find(b'"', at)
                if data[at + 1:at + 2] != b'"':
                    break
                at += 2
            at += 1
            if data[at:at + 1] not in b",\r\n":
                return at
        else:
            end = re.compile(rb'[,\r\n"]|\Z').search(data, at).start()
            if data[end:end + 1] == b'"':
                return end
            at = end
        at += 1


def window_record(window: bytes, at: int, whole: bool):
    """CSV's record from `at`, as csv_fields reads it; None where CSV cannot
    read it or the window ends first."""
    record = csv_fields(window, at)
    if record[0] is None or (record[1] == len(window) and not whole):
        return None
    return record


def carries_line_break(window: bytes, whole: bool) -> bool:
    """Whether CSV, reading the window from its start, reads a carriage return
    inside a wrapped field and goes on to end that record."""
    at = bom_length(window)
    while at < len(window) and (record := window_record(window, at, whole)):
        fields, _, at = record
        if any(b"\r" in window[start:end] for start, end, wrapped in fields if wrapped):
            return True
    return False


def convert_records(data: bytes) -> Tuple[bytes, bool]:
    output, carried = [], b""
    lines, ends = [], []  # each line, and the offset of its terminator in data
    for match in re.finditer(rb"([^\r]*)(\r\n?|$)", data):
        if match.group(2) or match.group(1):
            lines.append(match.group(1))
            ends.append(match.start(2))
    held = None  # (the line where CSV carries a field on, its index in output, how CSV reads on)
    for number, line in enumerate(lines):
        fields = line.split(SEPARATOR) if line else []
        if len(fields) > MAX_FIELDS:
            return b"".join(output[:held[1]] if held else output), False
        if held and held[2][0] != "eof" and held[2][1] <= ends[number]:
            if held[2][0] == "end":
                return b"".join(output[:held[1]]), False
            held = None
        if not MIN_FIELDS <= len(fields) or reads_otherwise(line):
            return b"".join(output[:held[1]] if held else output), False
        start = open_record(line)
        if start is not None and held is None:
            line_start = ends[number] - len(line)
            held = (number, len(output), carried_on(data, line_start + start))
        carried = TABLE.get(fields[3], carried)
        fields[3] = carried
        output.append(SEPARATOR.join(fields) + b"\r\n")
    return b"".join(output), True


def convert_csv(data: bytes) -> Tuple[bytes, bool]:
    mark = bom_length(data)
    output, carried, at = [data[:mark]], b"", mark
    while at < len(data):
        record = csv_fields(data, at)
        if record[0] is None or data[at:at + 1] in (b"\r", b"\n"):
            return b"".join(output), False
        fields, line_end, next_at = record
        if not MIN_FIELDS <= len(fields) <= MAX_FIELDS:
            return b"".join(output), False
        start, end, wrapped = fields[3]
        code = data[start + wrapped:end - wrapped]
        carried = TABLE.get(code, carried)
        replaced = b'"' + carried + b'"' if wrapped else carried
        output.append(data[at:start] + replaced + data[end:line_end] + b"\r\n")
        at = next_at
    return b"".join(output), True


def convert(data: bytes) -> Tuple[bytes, bool]:
    """The whole output, and whether the run completes."""
    window, whole = data[:WINDOW], len(data) <= WINDOW
    if record_rules(window, whole) and not carries_line_break(window, whole):
        return convert_records(data)
    return convert_csv(data)
