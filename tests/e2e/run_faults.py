"""Fault injection into the real program: libfiu makes open, read, write and
close fail at random points, run after run. Whatever fails, the program must
never claim completion for output that is not complete and correct, must
leave data2.dat an exact prefix of the correct output, and must never change
data.dat. Usage: run_faults.py PROGRAM [RUNS]"""

import os
import random
import subprocess
import sys

import reference
from cases import DONE, FAILED
from desktop import require
from harness import report

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
from make_data import records  # noqa: E402  (the benchmark's realistic records)

FAULTS = ["posix/io/oc/*", "posix/io/rw/*", "posix/io/*"]


def realistic_data(size: int) -> bytes:
    rng = random.Random(7)
    source = records(rng)
    data = bytearray()
    while len(data) < size:
        data += next(source)
    return bytes(data)


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
    subprocess.run(["rm", "-rf", folder], check=True)
    print(f"{runs} runs: {outcomes.get(0, 0)} completed, {outcomes.get(1, 0)} failed cleanly")
    if outcomes.get(1, 0) < runs // 4:
        failures.append(("injection", [f"only {outcomes.get(1, 0)} runs met a fault"]))
    results = failures or [("every run kept its promises", [])]
    return report(results)


if __name__ == "__main__":
    sys.exit(main())
