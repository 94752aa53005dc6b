"""Cross-builds the Windows program with its own preset, the program that holds
files the way other Windows programs do, the one that starts a program
where no desktop is visible, and a DLL planted beside the program, for the
tests that run it under Wine.
Usage: build_windows.py SOURCE_DIR"""

import os
import subprocess
import sys

from desktop import require


def main():
    require("x86_64-w64-mingw32-g++-posix", "x86_64-w64-mingw32-windres")
    source = sys.argv[1]
    helpers = [["x86_64-w64-mingw32-g++-posix", "-municode", "-static", "-O1",
                os.path.join(source, "tests", "e2e", f"{name}.cpp"),
                "-o", os.path.join(source, "build-windows", f"{name}.exe")]
               for name in ("holder", "hidden_desktop")]
    helpers.append(["x86_64-w64-mingw32-g++-posix", "-shared", "-static", "-O1",
                    os.path.join(source, "tests", "e2e", "planted_dll.cpp"),
                    "-o", os.path.join(source, "build-windows", "planted.dll")])
    for command in [["cmake", "--preset", "windows"], ["cmake", "--build", "--preset", "windows"],
                    *helpers]:
        if subprocess.run(command, cwd=source).returncode != 0:
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
