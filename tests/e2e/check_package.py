"""Makes the portable package of a build and checks what it holds: the
program, its platform's Japanese guide, the README and the third-party notices
where unpacking puts them in one folder (at the zip's top, in the tar.gz's
folder), no data.dat beside them, the example in the sample folder the
guide names; that the Windows guide opens in Notepad (UTF-8 with BOM, CRLF);
that the guide's first run starts the program inside the sample folder and
copies no data.dat out of it, names both notices, quotes the program's own
causes, and avoids the words an office reader
stumbled over; that the Linux guide states the glibc the program needs, and
its first-run commands, run as written, end in the completion notice and
leave no data.dat beside the program, so that a user's data.dat.txt put there
next gets the failure notice and a cause line that names it; that the notices
name every component the link map or the program itself shows, the Windows
ones GCC's runtime exception and nothing foreign.
Usage: check_package.py BUILD_DIR ARCHIVE_NAME PROGRAM_NAME"""

import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

from cases import DONE, FAILED
from desktop import headless
from harness import Native, report, started_in_place

GUIDE = "はじめにお読みください.txt"
SAMPLE = "見本/data.dat"
NOTICES = "THIRD-PARTY-NOTICES.txt"
# Words a native reader found casual, untrue or meant for developers, or
# other than the one word the guides use for a thing (patterns).
STUMBLING = ["取ってきた", "必ず出る画面", "ちゃんとある", "確かめてほしいこと", "標準エラー出力",
             "flock で押さえ", "フォルダごと移しても直りません", "文字コードは Shift_JIS",
             "コード欄", "フォルダ(?!ー)", "窓", "開発者にお知らせ", "原因の行", "どの文字コード",
             "パソコン"]
# What Debian's copyright file of the compiler brings for what the program does
# not carry, and paths of the build machine.
FOREIGN_NOTICES = r"\b(?:Ada|GNAT|Go|Phobos|Modula-2|libffi)\b|/usr/share/"
# The causes that the program words itself, the same on each platform, as
# the end-to-end cases see it print them.
OWN_CAUSES = ["data2.dat: read-only file; not overwritten",
              "data2.dat: in use by another program or another run",
              "data.dat changed while it was read",
              "; the lines before it could not all be written: ", "; it may end inside a record",
              "; what was written may be incomplete",
              "a field is not wrapped in double quotes, while the first line's are (a "
              "spreadsheet saved only the text cells in quotes)",
              "a line feed between two fields ends a record here, while the lines before end "
              "in CR LF",
              "a double quote inside a field that is not wrapped in double quotes",
              "a field wrapped in double quotes goes on after its closing quote (a double quote "
              "inside a field is written twice)",
              "the file ends inside a field wrapped in double quotes (its closing quote is "
              "missing)",
              "a line break inside a field wrapped in double quotes ends the line here, and the "
              "field goes on in the next line (a web form's memo, saved with its line breaks)",
              "; no new file could be made beside it to replace it, so it was left as it was",
              "; there is data.dat.txt (file name extensions may be hidden)",
              '; the file looks like UTF-16 ("Unicode text"): save it as ANSI (Shift_JIS) '
              'or UTF-8',
              "; the line holds nothing but spaces",
              '; its fields are separated by tabs, not by ","',
              '; its fields are separated by semicolons, not by ","',
              "; its fields are not each wrapped in double quotes, as in a CSV saved from Excel"]


def members(archive: str):
    if archive.endswith(".zip"):
        with zipfile.ZipFile(archive) as z:
            return {info.filename: info for info in z.infolist()}
    with tarfile.open(archive) as t:
        return {member.name: member for member in t.getmembers()}


def read_member(archive: str, name: str) -> bytes:
    if archive.endswith(".zip"):
        with zipfile.ZipFile(archive) as z:
            return z.read(name)
    with tarfile.open(archive) as t:
        return t.extractfile(name).read()


# Windows' own texts that the Windows guide quotes, as Wine words them.
WINE_WORDS = {"指定されたファイルが見つかりません。": "ファイルが見つかりません。",
              "ディスクに十分な空き領域がありません。": "ディスクがいっぱいです。"}


def guide_of(windows: bool) -> str:
    path = os.path.join(os.path.dirname(__file__), "..", "..", "docs",
                        *([] if windows else ["linux"]), GUIDE)
    with open(path, encoding="utf-8-sig") as f:
        return f.read()


def unprinted_quotes(guide: str, printed, wine: bool = False):
    """The cause lines (「renumber: …」) and their endings (「; …」) that the
    guide quotes and no line the end-to-end cases printed matches: "…" stands
    for any text, a number for any number, a Windows text for Wine's."""
    unprinted = []
    for quote in re.findall(r"「((?:renumber: |; )[^」]+)」", guide):
        quote = re.sub(r"\s*\n\s*", "", quote)  # wrapped onto the next line
        seen = quote
        for windows_text, wine_text in WINE_WORDS.items() if wine else ():
            seen = seen.replace(windows_text, wine_text)
        pattern = re.sub(r"(?<!\w)\d+(?!\w)", r"\\d+", re.escape(seen).replace("…", ".+"))
        matches = re.fullmatch if quote.startswith("renumber: ") else re.search
        if not any(matches(pattern, line) for line in printed):
            unprinted.append(quote)
    return unprinted


def glibc_floor(program: bytes) -> str:
    versions = {tuple(map(int, v.split(b"."))) for v in re.findall(rb"GLIBC_(\d+\.\d+)", program)}
    return ".".join(map(str, max(versions))) if versions else "none"


def section(text: str, heading: str) -> str:
    start = text.find(heading)
    end = text.find("\n■", start + 1)
    return text[start:end] if start >= 0 else ""


def first_run_problems(text: str):
    """The first run starts the program inside 見本 (a double click, or a
    command line that ends in the program), and no step copies 見本's data.dat."""
    steps = section(text, "■ 最初に").splitlines()
    starts = [line for line in steps if "renumber.exe をダブルクリックします" in line or
              re.fullmatch(r" {7}\S*renumber", line)]
    problems = [] if starts and "見本" in starts[0] else \
        ["the first run does not start the program inside 見本"]
    return problems + [f"the first run copies 見本's data.dat: {line.strip()!r}" for line in steps
                       if "見本" in line and "data.dat" in line and
                       re.search(r"コピー|貼り付け|\bcp\b", line)]


def guide_problems(guide: bytes, program: bytes, windows: bool):
    problems = []
    if windows and not guide.startswith(b"\xef\xbb\xbf"):
        problems.append("no UTF-8 byte order mark")
    try:
        text = guide.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        return problems + [f"not UTF-8: {error}"]
    if windows and (text.count("\n") != text.count("\r\n") or
                    text.count("\r") != text.count("\r\n")):
        problems.append("line ends other than CRLF")
    if not windows and f"glibc {glibc_floor(program)} 以降" not in text:
        problems.append(f"the C library the program needs, glibc {glibc_floor(program)}, "
                        "is not stated")
    if os.path.dirname(SAMPLE) not in text:
        problems.append("the sample folder is not named")
    problems += first_run_problems(text)
    joined = re.sub(r"\s*\n\s*", "", text)  # a phrase may wrap onto the next line
    problems += [f"uses {word!r}" for word in STUMBLING if re.search(word, joined)]
    if NOTICES not in text:
        problems.append(f"{NOTICES} is not named")
    # Only Windows refuses to replace a data2.dat that is data.dat under another name.
    windows_causes = ["data.dat: in use by another program",
                      "data2.dat: is the input file itself; not overwritten",
                      "data2.dat: may be the input file itself, and the system cannot tell "
                      "whether it is; not overwritten"]
    for cause in OWN_CAUSES + (windows_causes if windows else []):
        if cause not in text:
            problems.append(f"the cause {cause!r} is not quoted")
    for notice in (DONE, FAILED):
        if notice not in text.splitlines() and f"● {notice}" not in text.splitlines():
            problems.append(f"the notice {notice!r} is not named on a line of its own")
    return problems


def carried_components(build: str, program: str):
    """The toolchain archives and start-up objects the Windows link took code
    from; the libraries the Linux program names, to link or to load."""
    if not program.endswith(".exe"):
        with open(os.path.join(build, program), "rb") as f:
            return {name.decode() for name in re.findall(rb"lib[\w+.-]+\.so\.\d+", f.read())}
    with open(os.path.join(build, "renumber.map"), encoding="utf-8", errors="replace") as f:
        link_map = f.read()
    return {os.path.basename(path) for path in re.findall(r"^(/\S+\.a)\(", link_map, re.M) +
            re.findall(r"^LOAD (/\S+\.o)$", link_map, re.M) if os.path.exists(path)}


def first_run_as_written(archive: str, guide: str, folder: str, program: str):
    """The Linux guide's first-run commands in one shell, beside the archive;
    then the user's own file, saved as data.dat.txt (hidden extensions), put
    beside the program in the package's folder and the program started there:
    the failure notice, and a cause line that names the file."""
    commands = [line.strip() for line in section(guide, "■ 最初に").splitlines()
                if line.startswith("       ")]
    root = tempfile.mkdtemp(prefix="renumber-first-run-")
    unpacked = os.path.join(root, folder)
    try:
        shutil.copy(archive, root)
        done = subprocess.run(["bash", "-e", "-c", "\n".join(commands)], cwd=root,
                              env=headless(), stdin=subprocess.DEVNULL, capture_output=True)
        if done.returncode != 0 or DONE not in done.stdout.decode("utf-8", "replace"):
            return [f"{commands!r}: status {done.returncode}, printed {done.stdout!r}"]
        if os.path.exists(os.path.join(unpacked, "data.dat")):
            return ["a data.dat is left beside the program"]
        shutil.copy(os.path.join(unpacked, SAMPLE), os.path.join(unpacked, "data.dat.txt"))
        status, shown, stderr = Native().outcome(started_in_place(os.path.join(unpacked, program)))
        if status != 1 or FAILED not in shown or b"data.dat.txt" not in stderr:
            return [f"then a data.dat.txt beside the program: status {status}, printed {shown!r}, "
                    f"cause line {stderr!r}"]
        return []
    finally:
        shutil.rmtree(root, ignore_errors=True)


def main():
    build, archive_name, program = sys.argv[1:4]
    if subprocess.run(["cmake", "--build", build, "--target", "portable-package"],
                      stdout=subprocess.DEVNULL).returncode != 0:
        return report([(f"the portable-package target makes {archive_name}", ["it failed"])])
    archive = os.path.join(build, archive_name)
    # Explorer's すべて展開 unpacks a zip into a folder named after it, so the
    # zip's files sit at its top; a tar.gz brings its folder, as Linux ones do.
    top = "" if archive_name.endswith(".zip") else archive_name[:-len(".tar.gz")] + "/"
    found = members(archive)
    problems = [f"{name} missing (has {sorted(found)})"
                for name in (program, GUIDE, "README.md", NOTICES, SAMPLE)
                if f"{top}{name}" not in found]
    if f"{top}data.dat" in found:
        problems.append("a data.dat beside the program, which a run would convert")
    results = [(f"{archive_name} holds the program, the guide, README.md and the sample",
                problems)]
    if f"{top}{GUIDE}" in found and f"{top}{program}" in found:
        guide = read_member(archive, f"{top}{GUIDE}")
        results.append((f"{GUIDE}: its form, both notices, the causes, the sample folder",
                        guide_problems(guide, read_member(archive, f"{top}{program}"),
                                       program.endswith(".exe"))))
        if not program.endswith(".exe"):
            results.append((f"{GUIDE}: the first run, as written, ends in the completion "
                            "notice; a data.dat.txt put beside the program then fails, named",
                            first_run_as_written(archive, guide.decode("utf-8-sig"),
                                                 top.rstrip("/"), program)))
    if f"{top}{NOTICES}" in found:
        notices = read_member(archive, f"{top}{NOTICES}").decode("utf-8-sig")
        results.append((f"{NOTICES} names every component the program carries or uses",
                        [f"{name} is not named" for name in
                         sorted(carried_components(build, program)) if name not in notices]))
        if program.endswith(".exe"):
            results.append((f"{NOTICES} holds GCC's runtime exception and nothing foreign",
                            sorted(set(re.findall(FOREIGN_NOTICES, notices))) +
                            ([] if "GCC RUNTIME LIBRARY EXCEPTION" in notices else
                             ["no GCC Runtime Library Exception"])))
    return report(results)


if __name__ == "__main__":
    sys.exit(main())
