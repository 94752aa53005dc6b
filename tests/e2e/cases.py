"""The end-to-end cases: one table, run against the real program by each runner.

Every case lays out a folder with the program and its files, starts the program
from another working directory and checks the notice, the exit status, the
diagnostic line and data2.dat byte for byte.
"""

import os
import random
import sys
from dataclasses import dataclass
from typing import Callable, Optional

import reference

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
from make_data import records  # noqa: E402  (the benchmark's realistic records)

DONE = "うはｗｗｗｗｗｗｗｗｗ おｋｗｗｗｗｗｗｗｗｗ"
FAILED = "data.datがありません"

ABSENT = object()     # data2.dat must not exist afterwards
NOT_CHECKED = object()  # data2.dat is a link; data.dat being intact is what counts
UNCHANGED = object()  # data2.dat must still hold what it held before
WHOLE_RECORDS = object()  # data2.dat must hold whole records of the correct output
PREFIX = object()  # data2.dat, where there is one, begins the correct output

OLD_OUTPUT = b"old data2 content\r\n"


@dataclass
class Hold:
    """Another program holding a file of the program folder when the run starts
    (holder.cpp on Windows, holder.py on Linux)."""
    file: str                # "data.dat" or "data2.dat"
    exclusive: bool = False  # shares nothing; otherwise shared for reading, as a spreadsheet does
    seconds: float = 60      # held this long after the run starts, unless the run ends first
    appends: bool = False    # appends a record through its handle while the run is stopped midway


@dataclass
class Case:
    name: str
    data: Optional[bytes]                 # data.dat, or None for no file
    notice: str                           # DONE or FAILED
    output: object                        # bytes, ABSENT or UNCHANGED
    old_output: Optional[bytes] = None    # data2.dat before the run
    stderr: object = ""                   # must occur in the diagnostic output (or one of a tuple)
    os_message: object = ""               # the same in the POSIX system's wording (or a tuple of)
    arrange: Optional[Callable[[str], None]] = None  # more setup in the program folder
    posix_only: bool = False              # needs links or devices of a POSIX system
    via_symlink: bool = False             # started through a symbolic link elsewhere
    hold: Optional[Hold] = None           # another program holding a file meanwhile
    windows_only: bool = False            # a promise of Windows share modes
    unprivileged: bool = False            # run by a user who is not root, also when root runs the tests
    file_ids: str = ""                    # the data files' IDs as the preloaded library makes
                                          # them: "none", or "per-name" (made up, one link)
    plants_dll: bool = False              # a uxtheme.dll of the tests' own beside the program
    faults: Optional[dict] = None         # the preloaded library's faults (RENUMBER_...: errno)
    read_only_volume: bool = False        # the program folder mounted read-only (as root)
    writer: bool = False                  # another program appends records to data.dat all
                                          # through the run, without holding it
    appended: bytes = b""                 # what the preloaded library's other program appends
                                          # to data.dat
    stderr_into: str = ""                 # standard error appended to this file of the folder
    mode: Optional[int] = None            # data2.dat's permission bits afterwards
    fiu: str = ""                         # a libfiu failure point enabled for the run
    redirections: str = ""                # the shell's, closing standard streams ("2>&-")

    @property
    def killed_at(self) -> str:
        """Where the preloaded library kills the run, if it does."""
        return (self.faults or {}).get("RENUMBER_KILL_AT", "")


def realistic_data(size: int) -> bytes:
    """At least `size` bytes of the benchmark's realistic records."""
    source, data = records(random.Random(7)), bytearray()
    while len(data) < size:
        data += next(source)
    return bytes(data)


def rec(*fields: str, enc: str = "cp932") -> bytes:
    """A record line of quoted fields, without terminator."""
    return ('"' + '","'.join(fields) + '"').encode(enc)


def crlf(*lines: bytes) -> bytes:
    return b"".join(line + b"\r\n" for line in lines)


def _symlink(target: str, name: str) -> Callable[[str], None]:
    def arrange(folder: str) -> None:
        os.symlink(target if target.startswith("/") else os.path.join(folder, target),
                   os.path.join(folder, name))
    return arrange


def _hard_link(folder: str) -> None:
    os.link(os.path.join(folder, "data.dat"), os.path.join(folder, "data2.dat"))


def _look_alikes(*names: str) -> Callable[[str], None]:
    """Files of those names beside the program, and its guide, which is none."""
    def arrange(folder: str) -> None:
        for name in names + ("renumber-guide.txt",):
            with open(os.path.join(folder, name), "wb") as f:
                f.write(crlf(GOOD))
    return arrange


def _read_only_output(folder: str) -> None:
    os.chmod(os.path.join(folder, "data2.dat"), 0o444)


def _input_is_directory(folder: str) -> None:
    os.mkdir(os.path.join(folder, "data.dat"))


def _output_is_directory(folder: str) -> None:
    os.mkdir(os.path.join(folder, "data2.dat"))


def _unwritable_folder(folder: str) -> None:
    os.chmod(folder, 0o555)


def _writable_output_in_unwritable_folder(folder: str) -> None:
    os.chmod(os.path.join(folder, "data2.dat"), 0o666)
    os.chmod(folder, 0o555)


def _output_mode(mode: int) -> Callable[[str], None]:
    def arrange(folder: str) -> None:
        os.chmod(os.path.join(folder, "data2.dat"), mode)
    return arrange


def _left_over_new_file(folder: str) -> None:
    """What a run killed midway leaves: part of a record, in the new file's name."""
    with open(os.path.join(folder, "data2.dat.renumber-new"), "wb") as f:
        f.write(b'"A01","x","y","6"')


def _third_link(folder: str) -> None:
    os.link(os.path.join(folder, "data.dat"), os.path.join(folder, "log.txt"))


def _fifo_input(folder: str) -> None:
    os.mkfifo(os.path.join(folder, "data.dat"))


def _realistic_data(folder: str) -> None:
    """Data long enough for the run to be stopped midway."""
    with open(os.path.join(folder, "data.dat"), "wb") as data:
        data.write(realistic_data(24 << 20))


def _fields(count: int) -> bytes:
    return rec(*(["f"] * 3 + ["5"] + ["f"] * (count - 4)))


GOOD = rec("A01", "x", "y", "5", "z")
MEMO_AFTER = (1 << 20) // (len(GOOD) + 2) + 1  # records: past the first MiB
GOOD_OUT = rec("A01", "x", "y", "6", "z")
THREE_FIELDS = rec("a", "b", "c")
CODES = sorted(reference.TABLE, key=lambda old: int(reference.TABLE[old]))  # by the new code

CASES = [
    Case("road of one record",
         crlf(rec("A01", "x", "y", "99", "z"), rec("A02", "x", "y", "77", "z")),
         DONE, crlf(rec("A01", "x", "y", "1", "z"), rec("A02", "x", "y", "1", "z"))),
    Case("every code of the table",
         crlf(*[rec("r", "a", "b", old.decode(), "e") for old in CODES]),
         DONE, crlf(*[rec("r", "a", "b", reference.TABLE[old].decode(), "e") for old in CODES])),
    Case("unknown first code leaves the code field empty; near misses carry",
         crlf(rec("a", "b", "c", "20", "e"), rec("a", "b", "c", "5", "e"),
              rec("a", "b", "c", "05", "e"), rec("a", "b", "c", " 5", "e"),
              rec("a", "b", "c", "５", "e"), rec("a", "b", "c", "16", "e")),
         DONE, crlf(rec("a", "b", "c", "", "e"), rec("a", "b", "c", "6", "e"),
                    rec("a", "b", "c", "6", "e"), rec("a", "b", "c", "6", "e"),
                    rec("a", "b", "c", "6", "e"), rec("a", "b", "c", "18", "e"))),
    Case("empty file", b"", DONE, b""),
    Case("empty file empties an old data2.dat", b"", DONE, b"", old_output=OLD_OUTPUT),
    Case("CR-only lines", GOOD + b"\r" + GOOD + b"\r", DONE, crlf(GOOD_OUT, GOOD_OUT)),
    # What spreadsheets and web systems write is read as CSV.
    Case("Excel's CSV: CP932, CR LF, a header, quotes only where needed",
         "ID,氏名,部署,コード\r\nK1,山田,\"総務,人事\",5\r\nK2,\"\"\"表\"\"\",\"二\n行\",99\r\n"
         .replace("コード\r", "コード,備考\r").replace(",5\r", ",5,x\r").replace(",99\r", ",99,y\r")
         .encode("cp932"), DONE,
         "ID,氏名,部署,,備考\r\nK1,山田,\"総務,人事\",6,x\r\nK2,\"\"\"表\"\"\",\"二\n行\",1,y\r\n"
         .encode("cp932")),
    Case("Excel's CSV UTF-8: the byte order mark is kept", "\ufeffID,a,b,コード,c\r\nK1,x,y,5,z\r\n"
         .encode("utf-8"), DONE, "\ufeffID,a,b,,c\r\nK1,x,y,6,z\r\n".encode("utf-8")),
    Case("LibreOffice's CSV, LF", b"ID,a,b,code,c\nK1,x,y,16,z\n", DONE,
         b"ID,a,b,,c\r\nK1,x,y,18,z\r\n"),
    Case("LibreOffice, text cells quoted, LF",
         rec("ID", "a", "b", "code", "c") + b"\n" + b'"K1","x","y",5,"z"\n', DONE,
         crlf(rec("ID", "a", "b", "", "c"), b'"K1","x","y",6,"z"')),
    Case("the same with CR LF fails where a field is not wrapped",
         crlf(rec("ID", "a", "b", "code", "c"), b'"K1","x","y",5,"z"'), FAILED,
         crlf(rec("ID", "a", "b", "", "c")),
         stderr="data.dat line 2: a field is not wrapped in double quotes, while the first "
                "line's are (a spreadsheet saved only the text cells in quotes)"),
    Case("a web export: a byte order mark, LF, memos holding CR LF",
         b"\xef\xbb\xbf" + rec("1", "x", "y", "5", "one\r\ntwo", enc="utf-8") + b"\n" +
         rec("2", "x", "y", "77", "m") + b"\n", DONE,
         b"\xef\xbb\xbf" + crlf(rec("1", "x", "y", "6", "one\r\ntwo"), rec("2", "x", "y", "6", "m"))),
    Case("a web export of quoted fields and CR LF, a memo holding CR LF, converts as CSV",
         crlf(GOOD, rec("2", "x", "y", "99", "one\r\ntwo", "p", "q", "r", "s")), DONE,
         crlf(GOOD_OUT, rec("2", "x", "y", "1", "one\r\ntwo", "p", "q", "r", "s"))),
    Case("the same past the first MiB fails at the memo's first line",
         crlf(GOOD) * MEMO_AFTER + crlf(rec("2", "x", "y", "99", "one\r\ntwo", "p", "q", "r", "s"),
                                        GOOD), FAILED, crlf(GOOD_OUT) * MEMO_AFTER,
         stderr=f"data.dat line {MEMO_AFTER + 1}: a line break inside a field wrapped in double "
                "quotes ends the line here, and the field goes on in the next line (a web form's "
                "memo, saved with its line breaks)"),
    Case("LF records past the reader's buffer", (GOOD + b"\n") * 30000, DONE, crlf(GOOD_OUT) * 30000),
    Case("CR LF records, one ended by LF alone, fail there",
         crlf(GOOD, GOOD + b"\n" + GOOD), FAILED, crlf(GOOD_OUT),
         stderr="data.dat line 2: a line feed between two fields ends a record here, while the "
                "lines before end in CR LF"),
    Case("a separator doubled inside a wrapped field fails there",
         crlf(GOOD, rec("A01", 'x"",""y', "c", "5", "z")), FAILED, crlf(GOOD_OUT),
         stderr='data.dat line 2: a field wrapped in double quotes holds "","", a separator'),
    # CSV that is not valid fails at the record's first line.
    *[Case(f"CSV: {name}", b"a,b,c,5,e\n" + line, FAILED, b"a,b,c,6,e\r\n",
           stderr="data.dat line 2: " + cause)
      for name, line, cause in [
          ("a stray quote", b'a,b"c,d,5,e\n',
           "a double quote inside a field that is not wrapped in double quotes"),
          ("a wrapped field goes on after its closing quote", b'a,"ab"c,d,5,e\n',
           "a field wrapped in double quotes goes on after its closing quote (a double quote "
           "inside a field is written twice)"),
          ("a wrapped field never closed", b'a,"b\n',
           "the file ends inside a field wrapped in double quotes (its closing quote is missing)")]],
    Case("CSV: a blank line at the end", b"a,b,c,5,\"x\ny\"\n\n", FAILED, b'a,b,c,6,"x\ny"\r\n',
         stderr="data.dat line 3: 0 fields; a record needs at least 5"),
    # The commonest wrong files are named in the cause.
    Case("a tab-separated file", b'"A01"\t"x"\t"y"\t"5"\t"z"\r\n', FAILED, b"",
         stderr='line 1: a field wrapped in double quotes goes on after its closing quote (a '
                'double quote inside a field is written twice); its fields are separated by tabs, '
                'not by ","'),
    Case("a file saved as Unicode text (UTF-16)", crlf(GOOD).decode().encode("utf-16"), FAILED,
         b"", stderr='line 1: a double quote inside a field that is not wrapped in double quotes; '
                     'the file looks like UTF-16 ("Unicode text"): save it as ANSI (Shift_JIS) or '
                     'UTF-8'),
    Case("a line of a CSV among the records", crlf(GOOD, b"A01,x,y,5"), FAILED, crlf(GOOD_OUT),
         stderr="line 2: 1 fields; a record needs at least 5; its fields are not each wrapped "
                "in double quotes, as in a CSV saved from Excel"),
    Case("a semicolon-separated file", b'"A01";"x";"y";"5";"z"\r\n', FAILED, b"",
         stderr='; its fields are separated by semicolons, not by ","'),
    Case("a line of spaces", crlf(GOOD, b"   "), FAILED, crlf(GOOD_OUT),
         stderr="data.dat line 2: 1 fields; a record needs at least 5; the line holds nothing "
                "but spaces"),
    Case("last line without terminator", crlf(GOOD) + GOOD, DONE, crlf(GOOD_OUT, GOOD_OUT)),
    Case("trailing blank line fails after the records before it",
         crlf(GOOD, GOOD) + b"\r\n", FAILED, crlf(GOOD_OUT, GOOD_OUT),
         stderr="data.dat line 3: 0 fields"),
    Case("four fields fail", crlf(GOOD, rec("a", "b", "c", "5"), GOOD), FAILED, crlf(GOOD_OUT),
         stderr="data.dat line 2: 4 fields; a record needs at least 5"),
    Case("32768 fields convert", crlf(_fields(32768)), DONE,
         crlf(_fields(32768).replace(b'"5"', b'"6"', 1))),
    Case("32769 fields fail", crlf(GOOD, _fields(32769)), FAILED, crlf(GOOD_OUT),
         stderr="data.dat line 2: more than 32768 fields; a record holds at most 32768"),
    Case("CP932 text with 0x5C trail bytes",
         crlf(rec("ソ", "表", "予定表", "3", "能力\\")), DONE,
         crlf(rec("ソ", "表", "予定表", "4", "能力\\"))),
    Case("invalid bytes and NUL bytes pass unchanged",
         crlf(b'"\x80\xff\x00","\x81","\xa0\x00","1","\xfd\xfe\x00"'), DONE,
         crlf(b'"\x80\xff\x00","\x81","\xa0\x00","2","\xfd\xfe\x00"')),
    Case("missing data.dat", None, FAILED, ABSENT, stderr="data.dat",
         os_message="data.dat: No such file or directory"),
    Case("missing data.dat keeps an old data2.dat", None, FAILED, UNCHANGED,
         old_output=OLD_OUTPUT),
    Case("missing data.dat beside files whose extensions Explorer hides", None, FAILED, ABSENT,
         arrange=_look_alikes("data.dat.csv", "data.dat.txt"),
         stderr="; there are data.dat.txt, data.dat.csv (file name extensions may be hidden)",
         os_message="data.dat: No such file or directory; there are data.dat.txt, data.dat.csv ("),
    Case("missing data.dat beside seven look-alikes: the likeliest five are named", None, FAILED,
         ABSENT, arrange=_look_alikes(*[f"data.dat.{e}" for e in "e d c b a CSV txt".split()]),
         stderr="; there are data.dat.txt, data.dat.CSV, data.dat.a, data.dat.b, data.dat.c and 2 "
                "more (file name extensions may be hidden)"),
    Case("data.dat that is a directory", None, FAILED, UNCHANGED, old_output=OLD_OUTPUT,
         arrange=_input_is_directory, stderr="data.dat", os_message="data.dat: Is a directory"),
    Case("data.dat that is a FIFO", None, FAILED, UNCHANGED, old_output=OLD_OUTPUT,
         arrange=_fifo_input, posix_only=True, stderr="data.dat: not a regular file"),
    Case("missing data.dat beside one file whose extension Explorer hides", None, FAILED, ABSENT,
         arrange=_look_alikes("data.dat.txt"),
         stderr="; there is data.dat.txt (file name extensions may be hidden)"),
    Case("data2.dat that is a directory", crlf(GOOD), FAILED, NOT_CHECKED,
         arrange=_output_is_directory, stderr="data2.dat",
         os_message="data2.dat: Is a directory"),
    Case("data.dat that is a device", None, FAILED, ABSENT,
         arrange=_symlink("/dev/null", "data.dat"), posix_only=True,
         stderr="data.dat: not a regular file"),
    Case("read-only data2.dat is not emptied", crlf(GOOD), FAILED, UNCHANGED,
         old_output=OLD_OUTPUT, arrange=_read_only_output,
         stderr="data2.dat: read-only file; not overwritten"),
    Case("read-only data2.dat is not emptied, for a user who is not root", crlf(GOOD), FAILED,
         UNCHANGED, old_output=OLD_OUTPUT, arrange=_read_only_output, posix_only=True,
         unprivileged=True, stderr="data2.dat: read-only file; not overwritten"),
    Case("a folder the user may not write in", crlf(GOOD), FAILED, ABSENT,
         arrange=_unwritable_folder, posix_only=True, unprivileged=True,
         stderr="data2.dat: Permission denied"),
    Case("a folder where data2.dat may be written but no file made", crlf(GOOD), FAILED,
         UNCHANGED, old_output=OLD_OUTPUT, arrange=_writable_output_in_unwritable_folder,
         posix_only=True, unprivileged=True,
         stderr="data2.dat: Permission denied; no new file could be made beside it to replace "
                "it, so it was left as it was"),
    Case("an old data2.dat keeps its permissions", crlf(GOOD), DONE, crlf(GOOD_OUT),
         old_output=OLD_OUTPUT, arrange=_output_mode(0o640), posix_only=True, mode=0o640),
    Case("the new file of a killed run is removed, never taken for output", crlf(GOOD), DONE,
         crlf(GOOD_OUT), old_output=OLD_OUTPUT, arrange=_left_over_new_file),
    # The cause line never goes into a data file, whatever standard error is.
    Case("standard error appended to data.dat", crlf(GOOD, b""), FAILED, crlf(GOOD_OUT),
         stderr_into="data.dat", posix_only=True),
    Case("standard error appended to data2.dat, data.dat missing", None, FAILED, UNCHANGED,
         old_output=OLD_OUTPUT, stderr_into="data2.dat", posix_only=True),
    Case("standard error a third link of data.dat, on a volume whose IDs are made up",
         crlf(GOOD, b""), FAILED, crlf(GOOD_OUT), arrange=_third_link, file_ids="per-name",
         stderr_into="log.txt", posix_only=True),
    Case("a folder on a read-only volume", crlf(GOOD), FAILED, ABSENT, read_only_volume=True,
         stderr="data2.dat", os_message="data2.dat: Read-only file system"),
    # Writes and syncs that the device refuses.
    # The bad record within the first buffer of output, so that its write is
    # the one that fails.
    Case("a bad record, then the lines before it cannot be written",
         crlf(*[GOOD] * 1000, THREE_FIELDS), FAILED, WHOLE_RECORDS,
         faults={"RENUMBER_WRITE_ERROR": "5"},
         stderr="data.dat line 1001: 3 fields; a record needs at least 5; the lines before it "
                "could not all be written: "),
    Case("a bad record, then neither writing nor cutting back works",
         crlf(*[GOOD] * 1000, THREE_FIELDS), FAILED, PREFIX,
         faults={"RENUMBER_WRITE_ERROR": "5", "RENUMBER_TRUNCATE_ERROR": "5"},
         stderr="; it may end inside a record"),
    Case("data2.dat on a full disk", crlf(GOOD, GOOD), FAILED, WHOLE_RECORDS,
         faults={"RENUMBER_WRITE_ERROR": str(28)}, stderr="data2.dat: ",
         os_message="data2.dat: No space left on device"),
    Case("data2.dat's sync fails", crlf(GOOD), FAILED, WHOLE_RECORDS,
         faults={"RENUMBER_SYNC_ERROR": "5"}, stderr="; what was written may be incomplete"),
    # data2.dat is replaced by a rename: a link loses its name and nothing else.
    Case("data2.dat a symbolic link to a device is itself replaced", crlf(GOOD), DONE,
         crlf(GOOD_OUT), arrange=_symlink("/dev/full", "data2.dat"), posix_only=True),
    Case("data2.dat hard-linked to data.dat is replaced", crlf(GOOD), DONE, crlf(GOOD_OUT),
         arrange=_hard_link, posix_only=True),
    # Windows refuses to replace a file open through another name: the one
    # the program reads.
    *[Case(f"data2.dat hard-linked to data.dat{held}", crlf(GOOD), FAILED, NOT_CHECKED,
           arrange=_hard_link, windows_only=True, hold=hold,
           stderr="data2.dat: is the input file itself; not overwritten")
      for held, hold in (("", None), (", which a spreadsheet holds", Hold("data.dat")))],
    Case("data2.dat a symbolic link to data.dat is replaced", crlf(GOOD), DONE, crlf(GOOD_OUT),
         arrange=_symlink("data.dat", "data2.dat"), posix_only=True),
    # Network and virtual machine shares backed by Unix file systems: no IDs,
    # yet hard and symbolic links.
    Case("data2.dat hard-linked to data.dat, on a volume without file IDs", crlf(GOOD), DONE,
         crlf(GOOD_OUT), arrange=_hard_link, file_ids="none", posix_only=True),
    Case("data2.dat hard-linked to data.dat, on a volume without file IDs, on Windows",
         crlf(GOOD), FAILED, NOT_CHECKED, arrange=_hard_link, file_ids="none", windows_only=True,
         stderr="data2.dat: may be the input file itself"),
    Case("data2.dat a symbolic link to data.dat, on a volume without file IDs", crlf(GOOD),
         DONE, crlf(GOOD_OUT), arrange=_symlink("data.dat", "data2.dat"), file_ids="none",
         posix_only=True),
    Case("an old data2.dat on a volume without file IDs is replaced", crlf(GOOD), DONE,
         crlf(GOOD_OUT), old_output=OLD_OUTPUT, file_ids="none"),
    # Redirectors that make IDs up: the VirtualBox shared folders give each
    # name an ID of its own and one link.
    Case("data2.dat hard-linked to data.dat, on a volume whose IDs are made up", crlf(GOOD),
         DONE, crlf(GOOD_OUT), arrange=_hard_link, file_ids="per-name", posix_only=True),
    Case("data2.dat hard-linked to data.dat, on a volume whose IDs are made up, on Windows",
         crlf(GOOD), FAILED, NOT_CHECKED, arrange=_hard_link, file_ids="per-name",
         windows_only=True, stderr="data2.dat: may be the input file itself"),
    # Another program writing data.dat fails the run, and data.dat keeps
    # every record, whatever data2.dat is a link to. A few runs, as it is a race.
    *[Case(f"data2.dat hard-linked to data.dat that another program appends to, on a volume "
           f"whose IDs are made up (run {run})", crlf(GOOD), FAILED, NOT_CHECKED,
           arrange=_hard_link, file_ids="per-name", writer=True,
           stderr=("data.dat changed while it was read", "data2.dat: may be the input file itself",
                   "data2.dat: is the input file itself",
                   "data2.dat: in use by another program or another run"))
      for run in (1, 2, 3)],
    # Another program's moves that lost data.dat where data2.dat was emptied in place.
    Case("another program writes data.dat just before its first read", crlf(GOOD), FAILED,
         WHOLE_RECORDS, faults={"RENUMBER_OTHER_PROGRAM": "writes-before-read"},
         appended=b'"w","x","y","5","z"\r\n', stderr="data.dat changed while it was read"),
    Case("another program empties data.dat and restores it around each look at data2.dat",
         crlf(GOOD, GOOD), DONE, NOT_CHECKED, arrange=_hard_link, file_ids="per-name",
         faults={"RENUMBER_OTHER_PROGRAM": "truncates-around-descriptions"}, posix_only=True),
    Case("another program empties data.dat and restores it around each look at data2.dat, "
         "on Windows", crlf(GOOD, GOOD), FAILED, NOT_CHECKED, arrange=_hard_link,
         file_ids="per-name", faults={"RENUMBER_OTHER_PROGRAM": "truncates-around-descriptions"},
         windows_only=True,
         stderr=("data2.dat: may be the input file itself",
                 "data2.dat: in use by another program or another run")),
    Case("a first run on a volume whose IDs are made up", crlf(GOOD), DONE, crlf(GOOD_OUT),
         file_ids="per-name"),
    Case("an old data2.dat on a volume whose IDs are made up is replaced", crlf(GOOD), DONE,
         crlf(GOOD_OUT), old_output=OLD_OUTPUT, file_ids="per-name"),
    Case("a DLL planted beside the program is not loaded", crlf(GOOD), DONE, crlf(GOOD_OUT),
         plants_dll=True, windows_only=True),
    Case("started through a symbolic link: files beside the real program", crlf(GOOD), DONE,
         crlf(GOOD_OUT), posix_only=True, via_symlink=True),
    # Other programs holding the files, as spreadsheets, scanners and sync
    # clients do on Windows; on Linux the hold is an exclusive flock.
    Case("data.dat open in a spreadsheet", crlf(GOOD, GOOD), DONE, crlf(GOOD_OUT, GOOD_OUT),
         hold=Hold("data.dat")),
    Case("data.dat written by the spreadsheet during the run", None, FAILED, WHOLE_RECORDS,
         arrange=_realistic_data, hold=Hold("data.dat", appends=True),
         stderr="data.dat changed while it was read"),
    Case("data.dat open in a program that shares nothing", crlf(GOOD), FAILED, UNCHANGED,
         old_output=OLD_OUTPUT, hold=Hold("data.dat", exclusive=True), windows_only=True,
         stderr="data.dat: in use by another program"),
    Case("data2.dat open in another program", crlf(GOOD), FAILED, UNCHANGED,
         old_output=OLD_OUTPUT, hold=Hold("data2.dat"),
         stderr="data2.dat: in use by another program or another run"),
    Case("data2.dat held for under a second is waited for", crlf(GOOD), DONE, crlf(GOOD_OUT),
         old_output=OLD_OUTPUT, hold=Hold("data2.dat", exclusive=True, seconds=0.8)),
]
