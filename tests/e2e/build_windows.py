"""Cross-builds the Windows program with its own preset, and the program that
holds files the way other Windows programs do, for the tests that run it under
Wine. Usage: build_windows.py SOURCE_DIR"""

import os
import subprocess
import sys

from desktop import require


def main():
    require("x86_64-w64-mingw32-g++-posix", "x86_64-w64-mingw32-windres")
    source = sys.argv[1]
    holder = os.path.join(source, "tests", "e2e", "holder.cpp")
    for command in (["cmake", "--preset", "windows"], ["cmake", "--build", "--preset", "windows"],
                    ["x86_64-w64-mingw32-g++-posix", "-municode", "-static", "-O1", holder,
                     "-o", os.path.join(source, "build-windows", "holder.exe")]):
        if subprocess.run(command, cwd=source).returncode != 0:
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
