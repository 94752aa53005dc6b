"""Fault injection into the real program: libfiu makes open, read, write and
close fail at random points, run after run. Whatever fails, the program must
never claim completion for output that is not complete and correct, must
leave data2.dat an exact prefix of the correct output, and must never change
data.dat. Then single faults at chosen points, some through a preloaded library of
the tests' own. Usage: run_faults.py PROGRAM INTERPOSE_LIBRARY [RUNS]"""

import errno
import os
import random
import subprocess
import sys

import reference
from cases import DONE, FAILED, OLD_OUTPUT
from desktop import headless, require
from harness import realistic_data, report


FAULTS = ["posix/io/oc/*", "posix/io/rw/*", "posix/io/*"]


def run_once(program_dir: str, program: str, fault: str, probability: float, expected: bytes):
    command = ["fiu-run", "-x", "-f", "", "-c",
               f"enable_random name={fault},probability={probability}", program]
    done = subprocess.run(command, cwd="/", env=headless(), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=120)
    notice = done.stdout.decode("utf-8", "replace").strip()
    stderr = done.stderr.decode("utf-8", "replace")
    output_path = os.path.join(program_dir, "data2.dat")
    output = open(output_path, "rb").read() if os.path.exists(output_path) else b""
    problems = []
    # A notice the terminal could not be given (its write failed too) is
    # missing; the exit status still says which one it was.
    if done.returncode == 0:
        if notice not in (DONE, ""):
            problems.append(f"exit 0 with notice {notice!r}")
        if output != expected:
            problems.append(f"completion with {len(output)} of {len(expected)} bytes or wrong bytes")
    elif done.returncode == 1:
        # Closing data2.dat, whole and in place, failed after the completion notice.
        if notice == DONE and output != expected:
            problems.append("exit 1 after the completion notice, without the correct data2.dat")
        if notice not in (FAILED, DONE, ""):
            problems.append(f"exit 1 with notice {notice!r}")
        if not expected.startswith(output):
            problems.append(f"data2.dat ({len(output)} bytes) is not a prefix of the correct output")
        if "renumber: " not in stderr:
            problems.append("no cause on stderr")
    else:
        problems.append(f"exit status {done.returncode}: {stderr[-300:]!r}")
    return done.returncode, problems


# Faults at one chosen point: (name, fiu-run configuration or None, environment
# for the preloaded interposer, shell redirections, whether data2.dat exists
# before, exit status, text the cause line must hold, line of data.dat made a
# bad record or None). Unless the cause line says otherwise, a data2.dat that
# the run wrote holds whole records only.
BAD_LINE = 1001  # within the first buffer of output, so that its write is the one that fails
SECOND_FAILURE = f"line {BAD_LINE}: 3 fields; a record needs at least 5; the lines before it " \
    "could not all be written: "
PINNED = [
    # The error is pinned to EIO: left to itself, libfiu picks one at random,
    # and EINVAL from a folder's fsync means a file system that cannot sync
    # folders, which is rightly not a failure.
    ("data2.dat's sync fails", f"posix/io/sync/fdatasync,failinfo={errno.EIO}", {}, "", True,
     1, "data2.dat: Input/output error"),
    ("the sync of data2.dat's folder fails", f"posix/io/sync/fsync,failinfo={errno.EIO}",
     {}, "", False, 1, "Input/output error"),
    ("closing a duplicate of data2.dat reports a deferred error", None,
     {"RENUMBER_DUP_CLOSE_ERROR": str(errno.EIO)}, "", True, 1, "data2.dat: Input/output error"),
    ("a file system without locks", None, {"RENUMBER_FLOCK_ERROR": str(errno.ENOLCK)}, "", True,
     0, ""),
    ("a file system that cannot lock", None, {"RENUMBER_FLOCK_ERROR": str(errno.EOPNOTSUPP)}, "",
     True, 0, ""),
    ("locking fails otherwise", None, {"RENUMBER_FLOCK_ERROR": str(errno.EIO)}, "", True, 1,
     "data2.dat: Input/output error"),
    # No cause line: standard error is closed.
    ("the null device cannot be opened for a closed descriptor", None,
     {"RENUMBER_NULL_ERROR": str(errno.EMFILE)}, "<&- 2>&-", True, 1, ""),
    ("a bad record, then the lines before it cannot be written", None,
     {"RENUMBER_WRITE_ERROR": str(errno.EIO)}, "", False, 1,
     SECOND_FAILURE, BAD_LINE),
    ("a bad record, then neither writing nor cutting back works", None,
     {"RENUMBER_WRITE_ERROR": str(errno.EIO), "RENUMBER_TRUNCATE_ERROR": str(errno.EIO)}, "",
     False, 1, "data2.dat: Input/output error; it may end inside a record", BAD_LINE),
    ("closing data.dat fails", None, {"RENUMBER_CLOSE_ERROR": str(errno.EIO)}, "", True, 1,
     "data.dat: Input/output error"),
    # The failure comes after data2.dat was synced, so nothing trims what it gets.
    ("closing data.dat fails, standard output and error closed", None,
     {"RENUMBER_CLOSE_ERROR": str(errno.EIO)}, ">&- 2>&-", True, 1, ""),
    ("data.dat cannot be switched to blocking reads", None,
     {"RENUMBER_SETFL_ERROR": str(errno.EIO)}, "", True, 1, "data.dat: Input/output error"),
    ("a bad second line of a large data.dat", None, {}, "", False, 1, "line 2: 3 fields", 2),
    # Killed at chosen points (status -9): the old data2.dat stays whole until
    # the new one takes its place; the next row's run removes the new file left.
    ("killed while it writes", None, {"RENUMBER_KILL_AT": "write"}, "", True, -9, ""),
    ("killed before its sync", None, {"RENUMBER_KILL_AT": "sync"}, "", True, -9, ""),
    ("a run after a killed one", None, {}, "", True, 0, ""),
    ("killed before the rename", None, {"RENUMBER_KILL_AT": "rename"}, "", True, -9, ""),
    ("killed after the rename", None, {"RENUMBER_KILL_AT": "renamed"}, "", True, -9, ""),
]
KILLED = -9


def pinned_faults(folder: str, program: str, interpose: str, data: bytes, expected: bytes):
    """Each pinned fault: the promised exit status and notice, and data2.dat
    either the correct output or an exact prefix of it; an old data2.dat is
    left alone when the run stops before opening it."""
    results = []
    output_path = os.path.join(folder, "data2.dat")
    for name, fault, env, redirections, existing, status, cause, *bad_line in PINNED:
        left_over = os.path.exists(output_path + ".renumber-new")
        if os.path.exists(output_path):
            os.remove(output_path)
        if existing:
            with open(output_path, "wb") as f:
                f.write(OLD_OUTPUT)
        lines = data.split(b"\r\n")
        if bad_line:
            lines[bad_line[0] - 1] = b'"a","b","c"'
        with open(os.path.join(folder, "data.dat"), "wb") as f:
            f.write(b"\r\n".join(lines))
        injection = f"fiu-run -x -f '' -c 'enable name={fault}' " if fault else ""
        done = subprocess.run(f"exec {injection}'{program}' {redirections}", shell=True, cwd="/",
                              env=headless(dict(env, LD_PRELOAD=interpose)),
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        problems = []
        notice = DONE if status == 0 else FAILED
        shown = done.stdout.decode()
        if done.returncode != status or (shown and shown != notice + "\n"):
            problems.append(f"exit status {done.returncode}, notice {shown!r}")
        if cause not in done.stderr.decode():
            problems.append(f"cause {done.stderr.decode()!r} lacks {cause!r}")
        output = open(output_path, "rb").read() if os.path.exists(output_path) else None
        if status == 0 and output != expected:
            problems.append("completed without the correct data2.dat")
        if status == 1 and output != OLD_OUTPUT and not expected.startswith(output or b""):
            problems.append("data2.dat is neither left alone nor a prefix of the correct output")
        # The rename is the only moment data2.dat changes.
        killed_before = status == KILLED and env["RENUMBER_KILL_AT"] != "renamed"
        if status == KILLED and output != (OLD_OUTPUT if killed_before else expected):
            problems.append("the killed run left data2.dat neither whole and old nor whole and new")
        if killed_before != os.path.exists(output_path + ".renumber-new"):
            problems.append("a new file left by a run that was not killed before its rename, "
                            "or none by one that was")
        if name == "a run after a killed one" and not left_over:
            problems.append("no run was killed before it")
        # Blocks reserved for the whole output are given back, unless it cannot be cut.
        held = os.stat(output_path).st_blocks * 512 if output is not None else 0
        if "RENUMBER_TRUNCATE_ERROR" not in env and held > len(output or b"") + (1 << 20):
            problems.append(f"data2.dat of {len(output)} bytes holds {held} bytes of disk")
        if output and not output.endswith(b"\r\n") and \
                "it may end inside a record" not in done.stderr.decode():
            problems.append("data2.dat ends inside a record, and the cause line does not say so")
        results.append((name, problems))
    return results


def main():
    require("fiu-run")
    program, interpose = sys.argv[1], os.path.abspath(sys.argv[2])
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 300
    import tempfile
    folder = tempfile.mkdtemp(prefix="renumber-faults-")
    target = os.path.join(folder, "renumber")
    subprocess.run(["cp", program, target], check=True)
    data = realistic_data(6 << 20)  # several reads and writes per run
    with open(os.path.join(folder, "data.dat"), "wb") as f:
        f.write(data)
    expected, completes = reference.convert(data)
    assert completes
    rng = random.Random(2026)
    failures, outcomes = [], {0: 0, 1: 0}
    for run in range(runs):
        fault = FAULTS[run % len(FAULTS)]
        probability = rng.choice([0.01, 0.03, 0.1, 0.3])
        status, problems = run_once(folder, target, fault, probability, expected)
        outcomes[status] = outcomes.get(status, 0) + 1
        if problems:
            failures.append((f"run {run}: {fault} p={probability}", problems))
        if open(os.path.join(folder, "data.dat"), "rb").read() != data:
            failures.append((f"run {run}", ["data.dat changed"]))
            break
    pinned = pinned_faults(folder, target, interpose, data, expected)
    subprocess.run(["rm", "-rf", folder], check=True)
    print(f"{runs} runs: {outcomes.get(0, 0)} completed, {outcomes.get(1, 0)} failed cleanly")
    if outcomes.get(1, 0) < runs // 4:
        failures.append(("injection", [f"only {outcomes.get(1, 0)} runs met a fault"]))
    results = failures or [("every run kept its promises", [])]
    return report(results + pinned)


if __name__ == "__main__":
    sys.exit(main())
