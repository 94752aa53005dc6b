"""Cross-builds the Windows program with its own preset, for the tests that
run it under Wine. Usage: build_windows.py SOURCE_DIR"""

import subprocess
import sys

from desktop import require


def main():
    require("x86_64-w64-mingw32-g++-posix", "x86_64-w64-mingw32-windres")
    source = sys.argv[1]
    for command in (["cmake", "--preset", "windows"], ["cmake", "--build", "--preset", "windows"]):
        if subprocess.run(command, cwd=source).returncode != 0:
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
