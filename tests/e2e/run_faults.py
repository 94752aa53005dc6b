"""Fault injection into the real program: libfiu makes open, read, write and
close fail at random points, run after run. Whatever fails, the program must
never claim completion for output that is not complete and correct, must
leave data2.dat an exact prefix of the correct output, and must never change
data.dat. Then single faults at chosen points, some through a preloaded library of
the tests' own. Usage: run_faults.py PROGRAM INTERPOSE_LIBRARY [RUNS]"""

import errno
import os
import random
import sys

import reference
from cases import DONE, FAILED, OLD_OUTPUT, WHOLE_RECORDS, UNCHANGED, Case, realistic_data
from desktop import require
from harness import CaseFolder, Native, report

FAULTS = ["posix/io/oc/*", "posix/io/rw/*", "posix/io/*"]
DATA = realistic_data(6 << 20)  # several reads and writes per run
EXPECTED, COMPLETES = reference.convert(DATA)


def run_once(folder: CaseFolder, fault: str, probability: float):
    status, notice, stderr = Native().outcome(folder, wrap=[
        "fiu-run", "-x", "-f", "", "-c", f"enable_random name={fault},probability={probability}"])
    notice, stderr = notice.strip(), stderr.decode("utf-8", "replace")
    output = folder.read("data2.dat") or b""
    problems = []
    # A notice the terminal could not be given (its write failed too) is
    # missing; the exit status still says which one it was.
    if status == 0:
        if notice not in (DONE, ""):
            problems.append(f"exit 0 with notice {notice!r}")
        if output != EXPECTED:
            problems.append(f"completion with {len(output)} of {len(EXPECTED)} bytes, or wrong")
    elif status == 1:
        # Closing data2.dat, whole and in place, failed after the completion notice.
        if notice == DONE and output != EXPECTED:
            problems.append("exit 1 after the completion notice, without the correct data2.dat")
        if notice not in (FAILED, DONE, ""):
            problems.append(f"exit 1 with notice {notice!r}")
        if not EXPECTED.startswith(output):
            problems.append(f"data2.dat ({len(output)} bytes) is not a prefix of the correct output")
        if "renumber: " not in stderr:
            problems.append("no cause on stderr")
    else:
        problems.append(f"exit status {status}: {stderr[-300:]!r}")
    return status, problems


def bad_line(number: int) -> bytes:
    """DATA with a record of three fields for its line `number`."""
    lines = DATA.split(b"\r\n")
    lines[number - 1] = b'"a","b","c"'
    return b"\r\n".join(lines)


def failing(name: str, cause: str, existing: bool = True, **fault) -> Case:
    """A fault that fails the run: data2.dat holds whole records of the correct
    output, or an old data2.dat is left alone."""
    return Case(name, DATA, FAILED, WHOLE_RECORDS, OLD_OUTPUT if existing else None, stderr=cause,
                **fault)


def killed(name: str, at: str) -> Case:
    """Killed at a chosen point: the old data2.dat stays whole until the new
    one takes its place; a new file left is removed by the next run."""
    return Case(name, DATA, FAILED, EXPECTED if at == "renamed" else UNCHANGED, OLD_OUTPUT,
                faults={"RENUMBER_KILL_AT": at})


def completing(name: str, **fault) -> Case:
    return Case(name, DATA, DONE, EXPECTED, OLD_OUTPUT, **fault)


def preloaded(point: str, error: int) -> dict:
    """The preloaded library's failure at a point, with an error number."""
    return {f"RENUMBER_{point}_ERROR": str(error)}


# Faults at one chosen point, run one after another in one folder. The errors
# of libfiu are pinned to EIO: left to itself, libfiu picks one at random, and
# EINVAL from a folder's fsync means a file system that cannot sync folders,
# which is rightly not a failure.
EIO = "Input/output error"
PINNED = [
    failing("data2.dat's sync fails", f"data2.dat: {EIO}",
            fiu=f"posix/io/sync/fdatasync,failinfo={errno.EIO}"),
    failing("the sync of data2.dat's folder fails", EIO, existing=False,
            fiu=f"posix/io/sync/fsync,failinfo={errno.EIO}"),
    failing("closing a duplicate of data2.dat reports a deferred error", f"data2.dat: {EIO}",
            faults=preloaded("DUP_CLOSE", errno.EIO)),
    completing("a file system without locks", faults=preloaded("FLOCK", errno.ENOLCK)),
    completing("a file system that cannot lock", faults=preloaded("FLOCK", errno.EOPNOTSUPP)),
    failing("locking fails otherwise", f"data2.dat: {EIO}", faults=preloaded("FLOCK", errno.EIO)),
    # No cause line: standard error is closed.
    failing("the null device cannot be opened for a closed descriptor", "",
            faults=preloaded("NULL", errno.EMFILE), redirections="<&- 2>&-"),
    failing("closing data.dat fails", f"data.dat: {EIO}", faults=preloaded("CLOSE", errno.EIO)),
    # The failure comes after data2.dat was synced, so nothing trims what it gets.
    failing("closing data.dat fails, standard output and error closed", "",
            faults=preloaded("CLOSE", errno.EIO), redirections=">&- 2>&-"),
    failing("data.dat cannot be switched to blocking reads", f"data.dat: {EIO}",
            faults=preloaded("SETFL", errno.EIO)),
    Case("a bad second line of a large data.dat", bad_line(2), FAILED, WHOLE_RECORDS,
         stderr="line 2: 3 fields"),
    killed("killed while it writes", "write"),
    killed("killed before its sync", "sync"),
    completing("a run after a killed one"),
    killed("killed before the rename", "rename"),
    killed("killed after the rename", "renamed"),
]


def pinned_faults(program: str, interpose: str):
    """Each pinned fault, one after another in one folder, so that a killed
    run's new file is there for the next run."""
    native, folder, results = Native(interpose), CaseFolder(program, PINNED[0]), []
    try:
        for case in PINNED:
            folder.lay_out(case)
            results.append((case.name, native.run(case, folder, [])))
    finally:
        folder.remove()
    return results


def main():
    require("fiu-run")
    program, interpose = sys.argv[1], os.path.abspath(sys.argv[2])
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 300
    assert COMPLETES
    folder = CaseFolder(program, data=DATA)
    rng = random.Random(2026)
    failures, outcomes = [], {0: 0, 1: 0}
    try:
        for run in range(runs):
            fault = FAULTS[run % len(FAULTS)]
            probability = rng.choice([0.01, 0.03, 0.1, 0.3])
            status, problems = run_once(folder, fault, probability)
            outcomes[status] = outcomes.get(status, 0) + 1
            if problems:
                failures.append((f"run {run}: {fault} p={probability}", problems))
            if folder.read("data.dat") != DATA:
                failures.append((f"run {run}", ["data.dat changed"]))
                break
    finally:
        folder.remove()
    print(f"{runs} runs: {outcomes.get(0, 0)} completed, {outcomes.get(1, 0)} failed cleanly")
    if outcomes.get(1, 0) < runs // 4:
        failures.append(("injection", [f"only {outcomes.get(1, 0)} runs met a fault"]))
    results = failures or [("every run kept its promises", [])]
    return report(results + pinned_faults(program, interpose))


if __name__ == "__main__":
    sys.exit(main())
