"""Hostile data.dat files: each run must end by itself, within bounded
memory, with either the correct output and the completion notice or the
failure notice and a correct prefix. With --memcheck: the case table's files
and files that move or outgrow the reader's buffer, under valgrind's memcheck,
which sees a test of a byte never written; any error fails.
Usage: run_hostile.py PROGRAM [--memcheck]"""

import random
import subprocess
import sys

import reference
from cases import CASES as CASE_TABLE, DONE, FAILED, Case
from desktop import require
from harness import CaseFolder, Native, judge, realistic_data, report

MIB = 1 << 20
MEMORY_LIMIT = 16 * MIB  # peak RSS for any data.dat: long lines are not held whole
TIME_LIMIT = 120


def huge_field_record(position, size):
    """A valid record whose field at `position` holds `size` bytes."""
    fields = [b"a", b"b", b"c", b"5", b"e"]
    fields[position] = b"x" * size
    return b'"' + b'","'.join(fields) + b'"\r\n'


def tiny_records(count):
    return b'"a","b","c","5","e"\r\n' * count


def many_fields(count):
    return b'"' + b'","'.join([b"f", b"f", b"f", b"5"] + [b"f"] * (count - 4)) + b'"\r\n'


def noise(size):
    return random.Random(9).randbytes(size)


def quoted_noise(size):
    """Random text built from the bytes that matter most: quotes, commas, CR, LF, digits."""
    rng = random.Random(10)
    return bytes(rng.choice(b'",\r\n0159"",') for _ in range(size))


NEEDS_FIVE = "fields; a record needs at least 5"
JOINED = "line 1: a line feed between two fields ends a record here"
CASES = [  # name, data.dat, what the cause line must hold
    ("a record of 100 MB in its last field", lambda: huge_field_record(4, 100 * MIB), ""),
    ("a record of 100 MB in its first field", lambda: huge_field_record(0, 100 * MIB), ""),
    ("a record of 100 MB in its code field", lambda: huge_field_record(3, 100 * MIB), ""),
    ("a 100 MB record of three fields after valid ones",
     lambda: tiny_records(1000) + b'"a","b","' + b"x" * (100 * MIB) + b'"\r\n',
     f"line 1001: 3 {NEEDS_FIVE}"),
    ("1,000,000 tiny records", lambda: tiny_records(1_000_000), ""),
    ("a line of 40,000 fields", lambda: many_fields(40_000), "more than 32768 fields"),
    ("a 150 MB line of separators", lambda: b'","' * (50 * MIB), "more than 32768 fields"),
    ("300 MB of records with LF line ends, read as CSV",
     lambda: realistic_data(MIB).replace(b"\r\n", b"\n") * 300, ""),
    # Its first MiB shows no line end: read by the record rules, as one line.
    ("a record of 100 MB in its first field, with LF line ends",
     lambda: huge_field_record(0, 100 * MIB).replace(b"\r\n", b"\n") * 2, JOINED),
    ("a plain comma export of 200 MiB with LF line ends",
     lambda: b"K0001,name,dept,5,note\n" * (200 * MIB // 23), ""),
    ("a CSV field of 200 MB full of line breaks",
     lambda: b'a,b,c,5,"' + b"memo\r\n" * (200 * MIB // 6) + b'"\na,b,c,6,e\n', ""),
    ("a CSV file that ends inside a wrapped field of 100 MB",
     lambda: b'a,b,c,5,e\na,b,c,5,"' + b"x\n" * (50 * MIB), "line 2: the file ends inside"),
    ("binary noise", lambda: noise(8 * MIB), ""),
    ("quotes, commas and line ends at random", lambda: quoted_noise(2 * MIB), ""),
    ("a file that ends in a lone CR", lambda: b'"a","b","c","5","e"\r\n"a","b","c","9","e"\r',
     ""),
    ("NUL bytes", lambda: b'"\0","\0\0","\0","16","\0"\r\n' * 1000 + b"\0" * 5000, ""),
]
LONG = b"x" * (600 << 10)  # more than half the reader's 1 MiB buffer
MEMCHECK_SHAPES = [
    ("a line ending in a lone CR at the end of the file, after a line that moved",
     b"a" * ((512 << 10) - 3) + b"\r\n" + b"b" * (90 << 10) + b"\r"),
    ("a 600 KB record ending in a lone CR", b'"a","b","c","5","' + LONG + b'"\r'),
    ("a 600 KB first record with LF line ends, read as CSV",
     b'"a","b","c","5","' + LONG + b'"\n' + b'"a","b","c","5","e"\n' * 1000),
    ("a 600 KB CSV code field, then a record that fails",
     b'a,b,c,"' + LONG + b'",e\n' + b'a,b,c,5,e\n' * 1000 + b'a,"b\n'),
    ("a 600 KB code field, then short records",
     b'"a","b","c","' + LONG + b'","e"\r\n' + b'"a","b","c","5","e"\r\n' * 1000),
]
MEMCHECK = ["valgrind", "--error-exitcode=99", "--errors-for-leak-kinds=none", "-q"]


def sanitized(program):
    """AddressSanitizer's shadow memory and redzones inflate every peak."""
    with open(program, "rb") as f:
        return b"__asan_init" in f.read()


def run_case(program, name, data, cause, memcheck=False):
    memory_limit = MEMORY_LIMIT * (2 if sanitized(program) else 1)
    # The model splits the whole line; a file of one line of more than
    # 32,768 fields fails at once, before any record.
    one_line = data.count(b"\r") == 0 and data.count(b"\n") == 0
    expected, completes = (b"", False) if one_line and \
        data.count(b'","') >= 32768 else reference.convert(data)
    case = Case(name, data, DONE if completes else FAILED, expected, stderr=cause)
    folder = CaseFolder(program, case)
    try:
        # GNU time measures the program alone: a child forked from this
        # script would count the script's own memory as its peak.
        measure = folder.file("peak")
        try:
            status, shown, stderr = Native().outcome(
                folder, timeout=TIME_LIMIT * (5 if memcheck else 1),
                wrap=MEMCHECK if memcheck else ["/usr/bin/time", "-f", "%M", "-o", measure])
        except subprocess.TimeoutExpired:
            return [f"no end within {TIME_LIMIT} s"]
        stderr = stderr.decode("utf-8", "replace")
        if status not in (0, 1):
            return [f"status {status}: {stderr[-2000:]}"]
        peak = 0 if memcheck else int(open(measure).read().split()[-1]) * 1024
        problems = judge(case, folder, shown, status, stderr)
        if peak > memory_limit:
            problems.append(f"peak memory {peak / MIB:.1f} MiB, limit {memory_limit / MIB:.0f} MiB")
        print(f"     {'completed' if completes else 'failed'}, peak memory {peak / MIB:.1f} MiB")
        return problems
    finally:
        folder.remove()


def main():
    program, memcheck = sys.argv[1], "--memcheck" in sys.argv
    require("valgrind" if memcheck else "/usr/bin/time")
    if memcheck:
        inputs = [(case.name, lambda data=case.data: data, "") for case in CASE_TABLE
                  if case.data and not (case.arrange or case.hold or case.old_output)]
        inputs += [(name, lambda data=data: data, "") for name, data in MEMCHECK_SHAPES]
    else:
        inputs = CASES
    return report([(name, run_case(program, name, make(), cause, memcheck))
                   for name, make, cause in inputs])


if __name__ == "__main__":
    sys.exit(main())
