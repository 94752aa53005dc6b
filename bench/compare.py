#!/usr/bin/env python3
"""Measures renumber against its floor and its alternative on a generated
data.dat with a warm cache: cat (the same bytes read and written), dd with
1 MiB blocks (the same, through user space) and a mawk one-off (what a user
would otherwise write). Runs alternate, medians are
reported, and renumber's peak memory is measured on its own. Every run
writes a new data2.dat after a sync, so that no run pays for the previous
one's writeback.

Usage: compare.py PROGRAM [--size-mib 256] [--rounds 7]"""

import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def timed(command, folder):
    started = time.perf_counter()
    subprocess.run(command, cwd=folder, shell=True, check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL)
    return time.perf_counter() - started


def settle(folder):
    """Brings every run to the same start: no old data2.dat to truncate, no
    dirty pages of the previous run still being written back, and memory just
    freed by the previous run's page cache taken up again by a plain writer.
    (On a virtual machine the first write() after a large file was deleted can
    pay a third of a second to get its memory back; cat, which copies inside
    the kernel, does not.)"""
    subprocess.run("rm -f data2.dat && sync && dd if=/dev/zero of=settle bs=1M count=320 "
                   "status=none && rm -f settle && sync", cwd=folder, shell=True, check=True)


def peak_memory_mib(folder):
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", "peak", "./renumber"], cwd=folder,
                   check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    with open(os.path.join(folder, "peak")) as f:
        return int(f.read().split()[-1]) / 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("--size-mib", type=float, default=256)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="renumber-bench-")
    try:
        shutil.copy2(args.program, os.path.join(folder, "renumber"))
        subprocess.run(["python3", os.path.join(HERE, "make_data.py"), str(args.size_mib),
                        os.path.join(folder, "data.dat")], check=True)
        commands = {
            "renumber": "./renumber",
            "cat": "cat data.dat > data2.dat",
            "dd": "dd if=data.dat of=data2.dat bs=1M status=none",
            "mawk": f"mawk -f {os.path.join(HERE, 'oneoff.awk')} data.dat > data2.dat",
        }
        timed("cat data.dat > /dev/null", folder)  # warm the cache
        times = {name: [] for name in commands}
        for round_number in range(args.rounds):
            names = list(commands)
            shift = round_number % len(names)
            names = names[shift:] + names[:shift]  # alternate the order
            for name in names:
                settle(folder)
                times[name].append(timed(commands[name], folder))

        subprocess.run("./renumber && cp data2.dat renumber.out && "
                       f"{commands['mawk']} && cmp -s data2.dat renumber.out", cwd=folder,
                       shell=True, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        peak = max(peak_memory_mib(folder) for _ in range(3))

        median = {name: statistics.median(values) for name, values in times.items()}
        print(f"data.dat: {args.size_mib:g} MiB, {args.rounds} alternating rounds, medians")
        for name in commands:
            print(f"  {name:9} {median[name]:7.3f} s   (runs: "
                  + " ".join(f"{t:.3f}" for t in times[name]) + ")")
        print(f"  renumber / cat   = {median['renumber'] / median['cat']:.2f}   (target <= 1.2)")
        print(f"  renumber / dd    = {median['renumber'] / median['dd']:.2f}   "
              "(dd: the same bytes through read() and write(); cat copies inside the kernel)")
        print(f"  mawk / renumber  = {median['mawk'] / median['renumber']:.1f}   (target >= 5)")
        print(f"  renumber peak RSS = {peak:.1f} MiB   (target <= 16)")
        print("  output identical to the mawk one-off: yes")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
