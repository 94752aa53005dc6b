"""Runs the end-to-end cases against the native program.

Standard input is not a terminal here, so the program prints its notice on
standard output and returns at once. Every cause line the Linux guide quotes
must then have been printed by a case. Usage: run_native.py PROGRAM INTERPOSE_LIBRARY
"""

import os
import sys

from cases import CASES
from check_package import guide_of, unprinted_quotes
from harness import Native, in_case_folder, report


def main():
    program, interpose = sys.argv[1], os.path.abspath(sys.argv[2])
    printed = []
    native = Native(interpose)
    results = [(case.name, in_case_folder(case, program, lambda folder: native.run(case, folder,
                                                                                     printed)))
               for case in CASES if not case.windows_only]
    return report(results + [("every cause line the guide quotes is printed by a case",
                              unprinted_quotes(guide_of(windows=False), printed))])


if __name__ == "__main__":
    sys.exit(main())
