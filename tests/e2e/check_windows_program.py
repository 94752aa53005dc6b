"""Checks what the Windows program carries besides its code: a GUI subsystem
entry, no DLL beyond those of Windows itself, the Japanese version record,
the icon and the manifest, and no debug information, only the name of the
build's file that holds it. Usage: check_windows_program.py PROGRAM.exe"""

import re
import struct
import subprocess
import sys

from desktop import require
from harness import report

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll"}
JAPANESE = "--language=1041"


def resources(program: str) -> str:
    return subprocess.run(["wrestool", "-l", program], capture_output=True, text=True,
                          check=True).stdout


def raw_resource(program: str, kind: str) -> bytes:
    return subprocess.run(["wrestool", "-x", "--raw", f"--type={kind}", program],
                          capture_output=True, check=True).stdout


def version_strings(block: bytes) -> dict:
    text = block.decode("utf-16-le", "replace")
    names = ["FileDescription", "FileVersion", "InternalName", "OriginalFilename",
             "ProductName", "ProductVersion"]
    found = {}
    for name in names:
        match = re.search(name + r"\x00+([^\x00]+)", text)
        if match:
            found[name] = match.group(1)
    return found


def check(program: str):
    problems = []
    headers = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", program], capture_output=True,
                             text=True, check=True).stdout
    if not re.search(r"Subsystem\s+00000002", headers):
        problems.append("not a GUI subsystem program")
    sections = subprocess.run(["x86_64-w64-mingw32-objdump", "-h", program], capture_output=True,
                              text=True, check=True).stdout
    if ".debug_" in sections or ".gnu_debuglink" not in sections:
        problems.append("debug sections, or no .gnu_debuglink to the build's debug file")
    dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", headers)}
    if not dlls <= SYSTEM_DLLS:
        problems.append(f"needs DLLs besides Windows' own: {sorted(dlls - SYSTEM_DLLS)}")

    listing = resources(program)
    for kind, what in (("16", "version record"), ("14", "icon"), ("24", "manifest")):
        if not re.search(rf"--type={kind} .*{JAPANESE}", listing):
            problems.append(f"no Japanese {what} resource")

    version = raw_resource(program, "16")
    fixed = version.find(struct.pack("<I", 0xFEEF04BD))
    if fixed < 0:
        problems.append("version record without fixed file information")
    else:
        file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<4I", version, fixed + 8)
        if (file_ms, file_ls, product_ms, product_ls) != (0x00010000, 0, 0x00010000, 0):
            problems.append("FILEVERSION and PRODUCTVERSION are not 1,0,0,0")
    strings = version_strings(version)
    expected = {"FileVersion": "1.00", "ProductVersion": "1.00", "ProductName": "renumber",
                "OriginalFilename": "renumber.exe"}
    for name, value in expected.items():
        if strings.get(name) != value:
            problems.append(f"{name} is {strings.get(name)!r}, expected {value!r}")
    if not strings.get("FileDescription"):
        problems.append("no FileDescription")
    if "041103a4".encode("utf-16-le") not in version:
        problems.append("string block is not Japanese, code page 932")
    if b"Translation" not in version.replace(b"\x00", b"") or \
            struct.pack("<HH", 0x0411, 932) not in version:
        problems.append("Translation is not 0x0411 932")

    manifest = raw_resource(program, "24").decode("utf-8", "replace")
    for needed in ("Microsoft.Windows.Common-Controls", 'level="asInvoker"', "dpiAware"):
        if needed not in manifest:
            problems.append(f"manifest lacks {needed}")
    return problems


def main():
    require("wrestool", "x86_64-w64-mingw32-objdump")
    return report([("the Windows program carries what it should", check(sys.argv[1]))])


if __name__ == "__main__":
    sys.exit(main())
