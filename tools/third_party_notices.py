#!/usr/bin/env python3
"""Writes the third-party notices of a built program, for its package.

The Windows program is linked statically: it carries parts of its
toolchain's libraries, whose licences ask that their notices travel with it.
Which parts, is read from the link map of this build (the archives members
were taken from, and the toolchain's start-up objects); whose they are and
under which terms, from the toolchain's own Debian copyright files, so that
the notices follow the toolchain. The Linux program ships no code of others:
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


def windows_notices(link_map: str) -> str:
    # The copyright text of each package, and the files of the link it covers;
    # packages built from one source share one text.
    covered: Dict[str, List[str]] = {}
    packages: Dict[str, List[str]] = {}
    for path in linked_components(link_map):
        package = owning_package(path)
        with open(f"/usr/share/doc/{package}/copyright", encoding="utf-8") as f:
            text = f.read()
        covered.setdefault(text, []).append(os.path.basename(path))
        if package not in packages.setdefault(text, []):
            packages[text].append(package)
    parts = [HEADER_JA, "",
             "renumber.exe is linked statically with parts of the following libraries of",
             "the toolchain it was built with (MinGW-w64 and GCC, as packaged by Debian).",
             "Their copyright notices and licence terms follow, as the toolchain ships them.",
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
        HEADER_JA, "",
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
