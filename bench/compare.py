#!/usr/bin/env python3
"""Measures renumber against its floor and its alternative on a generated
data.dat with a warm cache: dd with 1 MiB blocks (the same bytes through user
space), dd with conv=fdatasync (the same, durable, as renumber is: it syncs
data2.dat before its completion notice), cat (which copies inside the kernel)
and a mawk one-off (what a user would otherwise write). Runs alternate,
medians are reported, with renumber's user CPU time; its peak memory is
measured on its own. Every run writes a new data2.dat after a sync, so that no
run pays for the previous one's writeback.

With --lf-twin, the same records with LF line ends (read as CSV) are
converted in the same rounds, and must give the same data2.dat; with
--excel-twin, the same records with CR LF and no quotes, as Excel saves a
CSV (realistic and narrow lines, whose fields need none), whose data2.dat
must be the same without its quotes.

Usage: compare.py PROGRAM [--size-mib 256] [--rounds 7] [--shape realistic|wide|narrow]
                  [--against OTHER_BUILD] [--lf-twin] [--excel-twin]"""

import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from desktop import headless  # noqa: E402  (renumber's notice on the terminal)


def timed(command, folder):
    """Wall-clock seconds and user CPU seconds of one run."""
    started = time.perf_counter()
    process = subprocess.Popen(command, cwd=folder, shell=True, env=headless(os.environ),
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - started
    if status != 0:
        raise RuntimeError(f"{command} failed with status {status}")
    return elapsed, usage.ru_utime


def settle(folder):
    """Brings every run to the same start: no old data2.dat to truncate, no
    dirty pages of the previous run still being written back, and memory just
    freed by the previous run's page cache taken up again by a plain writer.
    (On a virtual machine the first write() after a large file was deleted can
    pay a third of a second to get its memory back; cat, which copies inside
    the kernel, does not.)"""
    subprocess.run("rm -f data2.dat lf/data2.dat && sync && dd if=/dev/zero of=settle bs=1M count=320 "
                   "status=none && rm -f settle && sync", cwd=folder, shell=True, check=True)


def peak_memory_mib(folder):
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", "peak", "./renumber"], cwd=folder,
                   env=headless(), check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    with open(os.path.join(folder, "peak")) as f:
        return int(f.read().split()[-1]) / 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("--size-mib", type=float, default=256)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--shape", default="realistic", choices=["realistic", "wide", "narrow"])
    parser.add_argument("--against", help="another build of renumber, run in the same rounds")
    parser.add_argument("--lf-twin", action="store_true",
                        help="also convert the data with LF line ends, in the same rounds")
    parser.add_argument("--excel-twin", action="store_true",
                        help="also convert the data without quotes, in the same rounds")
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="renumber-bench-")
    try:
        shutil.copy2(args.program, os.path.join(folder, "renumber"))
        if args.against:
            shutil.copy2(args.against, os.path.join(folder, "against"))
        subprocess.run(["python3", os.path.join(HERE, "make_data.py"), str(args.size_mib),
                        os.path.join(folder, "data.dat"), args.shape], check=True)
        commands = {
            "renumber": "./renumber",
            "dd": "dd if=data.dat of=data2.dat bs=1M status=none",
            "dd-sync": "dd if=data.dat of=data2.dat bs=1M conv=fdatasync status=none",
            "cat": "cat data.dat > data2.dat",
            "mawk": f"mawk -f {os.path.join(HERE, 'oneoff.awk')} data.dat > data2.dat",
        }
        if args.against:
            commands["against"] = "./against"
        # Each twin: how its data.dat is made, and how its data2.dat must differ.
        twins = {"lf": ("sed 's/\\r$//'", "cat"), "excel": ("sed 's/\"//g'", "sed 's/\"//g'")}
        twins = {name: edits for name, edits in twins.items() if getattr(args, f"{name}_twin")}
        for name, (edit, _) in twins.items():
            os.mkdir(os.path.join(folder, name))
            shutil.copy2(args.program, os.path.join(folder, name, "renumber"))
            subprocess.run(f"{edit} data.dat > {name}/data.dat", cwd=folder, shell=True,
                           check=True)
            commands[f"renumber-{name}"] = f"cd {name} && ./renumber"
            timed(f"cat {name}/data.dat > /dev/null", folder)
        timed("cat data.dat > /dev/null", folder)  # warm the cache
        times = {name: [] for name in commands}
        user_times = {"renumber": [], "against": [], "renumber-lf": [], "renumber-excel": []}
        for round_number in range(args.rounds):
            names = list(commands)
            shift = round_number % len(names)
            names = names[shift:] + names[:shift]  # alternate the order
            for name in names:
                settle(folder)
                elapsed, user = timed(commands[name], folder)
                times[name].append(elapsed)
                if name in user_times:
                    user_times[name].append(user)

        subprocess.run("./renumber && cp data2.dat renumber.out && "
                       f"{commands['mawk']} && cmp -s data2.dat renumber.out", cwd=folder,
                       shell=True, env=headless(os.environ), check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL)
        for name, (_, edit) in twins.items():
            subprocess.run(f"cd {name} && ./renumber && {edit} ../renumber.out | "
                           "cmp -s data2.dat -", cwd=folder, shell=True,
                           env=headless(os.environ), check=True, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL)
        peak = max(peak_memory_mib(folder) for _ in range(3))

        median = {name: statistics.median(values) for name, values in times.items()}
        per_256_mib = 256 / args.size_mib
        print(f"data.dat: {args.size_mib:g} MiB, {args.shape} lines, {args.rounds} alternating "
              "rounds, medians")
        for name in commands:
            print(f"  {name:9} {median[name]:7.3f} s   (runs: "
                  + " ".join(f"{t:.3f}" for t in times[name]) + ")")
        print(f"  renumber / dd-sync = {median['renumber'] / median['dd-sync']:.2f}   "
              "(both durable: data2.dat on the device)")
        print(f"  renumber / dd      = {median['renumber'] / median['dd']:.2f}   "
              "(renumber syncs, dd does not)")
        print(f"  dd-sync - dd       = {median['dd-sync'] - median['dd']:.3f} s   "
              "(what the sync costs a plain copy)")
        print(f"  mawk / renumber    = {median['mawk'] / median['renumber']:.1f}")
        for name in [name for name in user_times if name in commands]:
            print(f"  {name:8} user CPU  = "
                  f"{statistics.median(user_times[name]) * per_256_mib:.3f} s per 256 MiB")
        if args.against:
            print(f"  renumber / against = {median['renumber'] / median['against']:.3f}")
        for name in twins:
            print(f"  {name} twin / renumber = "
                  f"{median[f'renumber-{name}'] / median['renumber']:.3f}   "
                  "(the same records read as CSV; data2.dat alike)")
        print(f"  renumber peak RSS  = {peak:.1f} MiB")
        print("  output identical to the mawk one-off: yes")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
