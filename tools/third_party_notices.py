#!/usr/bin/env python3
"""Writes the third-party notices of a built program, for its package.

The Windows program is linked statically: it carries parts of its
toolchain's libraries, whose licences ask that their notices travel with it.
Which parts, is read from the link map of this build (the archives members
were taken from, and the toolchain's start-up objects); whose they are and
under which terms, from the toolchain's own Debian copyright files, so that
the notices follow the toolchain: of those, the paragraphs that cover the
runtime the program carries; a licence they only name is pointed to where it
is published. The Linux program ships no code of others:
its notices name the system libraries it links (from its dynamic section) and
loads (the sonames it names to dlopen).

Usage: third_party_notices.py PROGRAM OUTPUT   (the link map is PROGRAM's
folder/renumber.map for a .exe)"""

import os
import re
import subprocess
import sys
from typing import Dict, List

HEADER_JA = ("このファイルは、renumber に含まれる、または renumber が使う他者の"
             "ソフトウェアの著作権表示とライセンスです。")
LINUX_HEADER_JA = ("このファイルには、renumber が使うシステムのライブラリの名前だけを記載して"
                   "います。ライセンス文は含みません（renumber はそれらを含まず、"
                   "システムにあるものを使います）。")


def linked_components(link_map: str) -> List[str]:
    """The toolchain files that the link took code from: archives with a member
    included, and start-up objects loaded whole."""
    with open(link_map, encoding="utf-8", errors="replace") as f:
        text = f.read()
    found = set(re.findall(r"^(/\S+\.a)\(", text, re.MULTILINE))
    found |= set(re.findall(r"^LOAD (/\S+\.o)$", text, re.MULTILINE))
    # The link-time optimiser's own objects are gone once the link is done.
    return sorted({os.path.realpath(path) for path in found if os.path.exists(path)})


def owning_package(path: str) -> str:
    done = subprocess.run(["dpkg", "-S", path], capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"third_party_notices.py: no package owns {path}; its notice is unknown")
    return done.stdout.split(":")[0]


GPL_3 = "https://www.gnu.org/licenses/gpl-3.0.html"
GCC_EXCEPTION = "https://www.gnu.org/licenses/gcc-exception-3.1.html"
# The paragraphs of GCC's copyright file that cover its runtime libraries:
# who holds the copyright, the licence, and the exception under which a
# program may carry them. The rest is about compilers, libraries of other
# languages and documentation.
GCC_PARTS = [r"^GCC is Copyright .*?Free Software Foundation, Inc\.$",
             r"^GCC is free software.*?later\s+version\.$",
             r"^GCC is distributed .*?for more details\.$",
             r"^GCC RUNTIME LIBRARY EXCEPTION$.*?requirements of the license of GCC\.$"]
# MinGW-w64's sources of what a program links: the C runtime (with gdtoa)
# and winpthreads; but gprof's start-up files and the tests are not in the
# libraries.
MINGW_RUNTIME = ("mingw-w64-crt/", "mingw-w64-libraries/winpthreads/")
MINGW_NOT_LINKED = ("mingw-w64-crt/profile/", "mingw-w64-crt/testcases/",
                    "mingw-w64-libraries/winpthreads/tests_pthread/")


def gcc_runtime_notice(copyright_text: str) -> str:
    parts = []
    for pattern in GCC_PARTS:
        found = re.search(pattern, copyright_text, re.MULTILINE | re.DOTALL)
        if not found:
            sys.exit(f"third_party_notices.py: GCC's copyright file has no {pattern!r}")
        parts.append(found.group(0))
    parts.insert(3, f"The GNU General Public License, version 3: {GPL_3}\n\n"
                    "libgcc and libstdc++ are under it with version 3.1 of the GCC Runtime "
                    f"Library\nException ({GCC_EXCEPTION}), which follows.")
    return "\n\n".join(parts)


def mingw_runtime_notice(copyright_text: str) -> str:
    """The paragraphs of MinGW-w64's machine-readable copyright file that cover
    its runtime, each naming only the runtime's files, and the licences they
    name."""
    paragraphs = re.split(r"\n\s*\n", copyright_text.strip())
    kept, licences = [], set()
    for paragraph in paragraphs:
        files = re.match(r"Files:\s*(.*?)\n(?=\S)", paragraph, re.DOTALL)
        if not files:
            continue
        runtime = [pattern for pattern in files.group(1).split()
                   if pattern == "*" or pattern.startswith(MINGW_RUNTIME) and
                   not pattern.startswith(MINGW_NOT_LINKED)]
        if runtime:
            kept.append("Files: " + "\n       ".join(runtime) + paragraph[files.end() - 1:])
            licences.update(re.split(r" and | or ", re.search(r"^License: (.*)$", paragraph,
                                                              re.MULTILINE).group(1)))
    texts = [paragraph for paragraph in paragraphs
             if re.match(r"License: (.*)$", paragraph, re.MULTILINE) and
             paragraph.split("\n")[0][len("License: "):] in licences]
    source = [line for line in paragraphs[0].splitlines() if not line.startswith("Format:")]
    return "\n\n".join(["\n".join(source), *kept, *texts])


def windows_notices(link_map: str) -> str:
    # The notices of each toolchain package, and the files of the link it
    # covers; packages built from one source share one copyright file.
    covered: Dict[str, List[str]] = {}
    packages: Dict[str, List[str]] = {}
    for path in linked_components(link_map):
        package = owning_package(path)
        with open(f"/usr/share/doc/{package}/copyright", encoding="utf-8") as f:
            text = f.read()
        if package.startswith("mingw-w64"):
            text = mingw_runtime_notice(text)
        elif package.startswith(("gcc-mingw-w64", "g++-mingw-w64")):
            text = gcc_runtime_notice(text)
        else:
            sys.exit(f"third_party_notices.py: which of {package}'s notices apply is not known")
        covered.setdefault(text, []).append(os.path.basename(path))
        if package not in packages.setdefault(text, []):
            packages[text].append(package)
    parts = [HEADER_JA, "",
             "renumber.exe is linked statically with parts of the following libraries of",
             "the toolchain it was built with (MinGW-w64 and GCC, as packaged by Debian).",
             "Their copyright notices and licence terms follow, taken from the toolchain's",
             "copyright files: those that cover the parts the program carries.",
             ""]
    for text, files in covered.items():
        parts.append(f"- {', '.join(sorted(files))} (Debian: {', '.join(packages[text])})")
    for text in covered:
        parts += ["", "=" * 78, f"{', '.join(packages[text])}", "=" * 78, "", text.rstrip()]
    return "\n".join(parts) + "\n"


def linux_notices(program: str) -> str:
    dynamic = subprocess.run(["readelf", "-d", program], capture_output=True, text=True,
                             check=True).stdout
    linked = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
    with open(program, "rb") as f:
        named = {name.decode() for name in re.findall(rb"lib[\w+.-]+\.so\.\d+", f.read())}
    loaded = sorted(named - set(linked))
    return "\n".join([
        LINUX_HEADER_JA, "",
        "renumber ships no code of others. It uses these libraries of the system it",
        "runs on, which come with that system and are not part of this package:",
        f"- linked: {', '.join(linked)}",
        f"- loaded only to show the notice on a desktop: {', '.join(loaded)}", ""])


def notices_for(program: str) -> bytes:
    """The file's bytes: for Windows with a byte order mark and CRLF, as Notepad
    reads it everywhere."""
    if not program.endswith(".exe"):
        return linux_notices(program).encode("utf-8")
    text = windows_notices(os.path.join(os.path.dirname(program), "renumber.map"))
    return ("\ufeff" + text).replace("\n", "\r\n").encode("utf-8")


def main() -> int:
    with open(sys.argv[2], "wb") as f:
        f.write(notices_for(sys.argv[1]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
