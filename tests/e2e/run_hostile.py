"""Hostile data.dat files: each run must end by itself, within bounded
memory, with either the correct output and the completion notice or the
failure notice and a correct prefix. Usage: run_hostile.py PROGRAM"""

import os
import random
import shutil
import subprocess
import sys
import tempfile

import reference
from cases import DONE, FAILED
from desktop import headless, require
from harness import realistic_data, report

MIB = 1 << 20
FLAT_LIMIT = 16 * MIB  # peak RSS for any number of ordinary records
INVALID_LINE_LIMIT = 8 * MIB  # peak RSS for a line that cannot be a record
TIME_LIMIT = 120


def one_huge_record(size):
    filler = b"x" * (size - 40)
    return b'"a","b","c","5","' + filler + b'"\r\n'


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


CASES = [  # name, data.dat, the memory the run may use
    ("a single record of 100 MB", lambda: one_huge_record(100 * MIB), 4 * 100 * MIB),
    ("1,000,000 tiny records", lambda: tiny_records(1_000_000), FLAT_LIMIT),
    ("a line of 40,000 fields", lambda: many_fields(40_000), FLAT_LIMIT),
    # A line that shows more than 32,768 fields fails before it is held whole.
    ("a 150 MB line of separators", lambda: b'","' * (50 * MIB), INVALID_LINE_LIMIT),
    ("600 MB of records with LF line ends: one line",
     lambda: realistic_data(MIB).replace(b"\r\n", b"\n") * 600, INVALID_LINE_LIMIT),
    ("binary noise", lambda: noise(8 * MIB), FLAT_LIMIT),
    ("quotes, commas and line ends at random", lambda: quoted_noise(2 * MIB), FLAT_LIMIT),
    ("a file that ends in a lone CR", lambda: b'"a","b","c","5","e"\r\n"a","b","c","9","e"\r',
     FLAT_LIMIT),
    ("NUL bytes", lambda: b'"\0","\0\0","\0","16","\0"\r\n' * 1000 + b"\0" * 5000, FLAT_LIMIT),
]


def sanitized(program):
    """AddressSanitizer's shadow memory and redzones inflate every peak."""
    with open(program, "rb") as f:
        return b"__asan_init" in f.read()


def run_case(program, data, memory_limit):
    if sanitized(program):
        memory_limit *= 2
    folder = tempfile.mkdtemp(prefix="renumber-hostile-")
    try:
        target = os.path.join(folder, "renumber")
        shutil.copy2(program, target)
        with open(os.path.join(folder, "data.dat"), "wb") as f:
            f.write(data)
        # GNU time measures the program alone: a child forked from this
        # script would count the script's own memory as its peak.
        measure = os.path.join(folder, "peak")
        try:
            done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", measure, target], cwd="/",
                                  env=headless(), stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=TIME_LIMIT)
        except subprocess.TimeoutExpired:
            return [f"no end within {TIME_LIMIT} s"]
        status = done.returncode
        peak = int(open(measure).read().split()[-1]) * 1024
        notice = done.stdout.decode("utf-8", "replace").strip()
        output = open(os.path.join(folder, "data2.dat"), "rb").read()
        # The model splits the whole line; a line of more than 32,768
        # fields fails at once, before any record.
        expected, completes = (b"", False) if data.count(b"\r") == 0 and \
            data.count(b'","') >= 32768 else reference.convert(data)
        problems = []
        if peak > memory_limit:
            problems.append(f"peak memory {peak / MIB:.1f} MiB, limit {memory_limit / MIB:.0f} MiB")
        if completes and (status, notice, output) != (0, DONE, expected):
            problems.append(f"expected completion with {len(expected)} bytes: status {status}, "
                            f"notice {notice!r}, {len(output)} bytes")
        if not completes and (status, notice, output) != (1, FAILED, expected):
            problems.append(f"expected failure after {len(expected)} bytes: status {status}, "
                            f"notice {notice!r}, {len(output)} bytes")
        print(f"     {'completed' if completes else 'failed'}, peak memory {peak / MIB:.1f} MiB")
        return problems
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    require("/usr/bin/time")
    program = sys.argv[1]
    results = []
    for name, make, memory_limit in CASES:
        results.append((name, run_case(program, make(), memory_limit)))
    return report(results)


if __name__ == "__main__":
    sys.exit(main())
