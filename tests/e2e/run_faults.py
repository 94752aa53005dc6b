"""Fault injection into the real program: libfiu makes open, read, write and
close fail at random points, run after run. Whatever fails, the program must
never claim completion for output that is not complete and correct, must
leave data2.dat an exact prefix of the correct output, and must never change
data.dat. Usage: run_faults.py PROGRAM [RUNS]"""

import errno
import os
import random
import subprocess
import sys

import reference
from cases import DONE, FAILED
from desktop import require
from harness import realistic_data, report


FAULTS = ["posix/io/oc/*", "posix/io/rw/*", "posix/io/*"]


def run_once(program_dir: str, program: str, fault: str, probability: float, expected: bytes):
    command = ["fiu-run", "-x", "-c", f"enable_random name={fault},probability={probability}",
               program]
    done = subprocess.run(command, cwd="/", stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=120)
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
        if notice not in (FAILED, DONE + "\n" + FAILED, ""):
            problems.append(f"exit 1 with notice {notice!r}")
        if not expected.startswith(output):
            problems.append(f"data2.dat ({len(output)} bytes) is not a prefix of the correct output")
        if "renumber: " not in stderr:
            problems.append("no cause on stderr")
    else:
        problems.append(f"exit status {done.returncode}: {stderr[-300:]!r}")
    return done.returncode, problems


def failing_syncs(folder: str, program: str, expected: bytes):
    """A sync that fails, of data2.dat or of the folder that a new data2.dat
    was created in, ends in the failure notice alone, never the completion one."""
    failures = []
    for fault, created in [("posix/io/sync/fdatasync", False), ("posix/io/sync/fsync", True)]:
        output_path = os.path.join(folder, "data2.dat")
        if created and os.path.exists(output_path):
            os.remove(output_path)
        # The error is pinned to EIO: left to itself, libfiu picks one at
        # random, and EINVAL from a folder's fsync means a file system that
        # cannot sync folders, which is rightly not a failure.
        done = subprocess.run(["fiu-run", "-x", "-c", f"enable name={fault},failinfo={errno.EIO}",
                               program], cwd="/",
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        problems = []
        if (done.returncode, done.stdout.decode()) != (1, FAILED + "\n"):
            problems.append(f"exit status {done.returncode}, notice {done.stdout.decode()!r}")
        if "data2.dat" not in done.stderr.decode() and not created:
            problems.append(f"cause {done.stderr.decode()!r}")
        if not expected.startswith(open(output_path, "rb").read()):
            problems.append("data2.dat is not a prefix of the correct output")
        failures.append((f"{fault} fails", problems))
    return failures


def main():
    require("fiu-run")
    program, runs = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 300
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
    sync_results = failing_syncs(folder, target, expected)
    subprocess.run(["rm", "-rf", folder], check=True)
    print(f"{runs} runs: {outcomes.get(0, 0)} completed, {outcomes.get(1, 0)} failed cleanly")
    if outcomes.get(1, 0) < runs // 4:
        failures.append(("injection", [f"only {outcomes.get(1, 0)} runs met a fault"]))
    results = failures or [("every run kept its promises", [])]
    return report(results + sync_results)


if __name__ == "__main__":
    sys.exit(main())
