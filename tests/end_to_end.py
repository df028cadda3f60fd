#!/usr/bin/env python3
"""Runs the built tool on real files in a temporary folder, case by case.

usage: end_to_end.py [--sanitized] BITMEND   (native build)
       end_to_end.py --wine BITMEND.EXE      (Windows build; CR LF expected)
"""
import contextlib
import ctypes
import fcntl
import mmap
import os
import resource
import shlex
import shutil
import subprocess
import sys
import tempfile
import threading
import time

BANNER = ("Bitmend v1.00 - patch bytes of a file in place\n"
          "Writes Length bytes at decimal Address, two hex digits a byte\n")
SAMPLE = bytes(range(16, 32)) + bytes([0x01, 0x20]) + bytes(range(14))


def seeking(address):
    return "\nSeeking To 0x%x, Patching...\n\n" % address


def byte_lines(address, old, new, first=0):
    return "".join("(%d).Offset 0x%x:  [0x%x]->[0x%x]...OK\n"
                   % (first + i, address + i, o, n)
                   for i, (o, n) in enumerate(zip(old, new)))


def run_lines(address, old, new):
    return seeking(address) + byte_lines(address, old, new) + "\nDone!\n"


BIG = bytes((i * 7) & 0xff for i in range(40000))
BIG_HEX = BIG.hex()
LONGEST = (BIG * 2)[:65535].hex()  # 131070 digits: Linux takes 131071
DEEP = "/".join(["d" * 100] * 3 + ["target.bin"])  # 313 characters
DEEP_WINDOWS = DEEP.replace("/", "\\\\")

# Each case: name, arguments (shell words; the target is target.bin),
# target before (None: no file), expected output after the banner (None: not
# read), edits expected in the target as (offset, bytes) (none: unchanged),
# and the setup around the run.
CASES = [
    ("worked example", "target.bin 16 2 ABcd", SAMPLE,
     run_lines(16, [0x01, 0x20], [0xab, 0xcd]), [(16, b"\xab\xcd")], None),
    ("no arguments", "", SAMPLE,
     "\nUsage: {argv0} InputFile.bin Address Length HexNumber\n", [], None),
    ("three arguments", "target.bin 0 1", SAMPLE,
     "\nUsage: {argv0} InputFile.bin Address Length HexNumber\n", [], None),
    ("odd HexNumber before Length is read", "target.bin 0 1 ABC", SAMPLE,
     "\nHexNumber Error!\n", [], None),
    ("odd HexNumber beyond what Length uses", "target.bin 0 0 ABCDE", SAMPLE,
     "\nHexNumber Error!\n", [], None),
    ("too few digits", "target.bin 0 3 ABCD", SAMPLE,
     "\nNeed More HexNumber!\n", [], None),
    ("Length -1", "target.bin 0 -1 ABCD", SAMPLE,
     "\nNeed More HexNumber!\n", [], None),
    ("Length -1073741824", "target.bin 0 -1073741824 AB", SAMPLE,
     "\nNeed More HexNumber!\n", [], None),
    ("Length -2147483647 with 2 digits", "target.bin 0 -2147483647 AB",
     SAMPLE, seeking(0) + "\nDone!\n", [], None),
    ("Length below -2147483648 saturates", "target.bin 3 -99999999999 ''",
     SAMPLE, seeking(3) + "\nDone!\n", [], None),
    ("digits beyond twice Length ignored; fifth word ignored",
     "target.bin 2 2 0a0B0c extra words", SAMPLE,
     run_lines(2, [18, 19], [0x0a, 0x0b]), [(2, b"\x0a\x0b")], None),
    ("Length 0 with empty HexNumber", "target.bin 5 0 ''", SAMPLE,
     seeking(5) + "\nDone!\n", [], None),
    ("Length of letters reads 0", "target.bin 5 abc ''", SAMPLE,
     seeking(5) + "\nDone!\n", [], None),
    ("Length 2x reads 2", "target.bin 0 2x ffee", SAMPLE,
     run_lines(0, [16, 17], [0xff, 0xee]), [(0, b"\xff\xee")], None),
    ("Address 0x100 reads 0", "target.bin 0x100 1 7f", SAMPLE,
     run_lines(0, [16], [0x7f]), [(0, b"\x7f")], None),
    ("pairs that are no hex number write 0x00", "target.bin 0 3 0xG11g",
     SAMPLE, run_lines(0, [16, 17, 18], [0, 0, 0]), [(0, b"\0\0\0")], None),
    ("address at the end grows the file by one byte", "target.bin 32 1 5a",
     SAMPLE, run_lines(32, [0], [0x5a]), [(32, b"\x5a")], None),
    ("range across the end shows 0x0 past it", "target.bin 31 3 a1a2a3",
     SAMPLE, run_lines(31, [13, 0, 0], [0xa1, 0xa2, 0xa3]),
     [(31, b"\xa1\xa2\xa3")], None),
    ("address 4096 far past the end", "target.bin 4096 1 01", SAMPLE,
     run_lines(4096, [0], [1]), [(4096, b"\x01")], None),
    ("patch longer than one block", "target.bin 1000 40000 " + BIG_HEX,
     SAMPLE, run_lines(1000, [0] * 40000, BIG), [(1000, BIG)],
     "beyond-windows-command-line"),
    ("patch of 15000 bytes", "target.bin 7 15000 " + BIG_HEX[:30000], SAMPLE,
     run_lines(7, list(SAMPLE[7:]) + [0] * (15000 - 25), BIG[:15000]),
     [(7, BIG[:15000])], None),
    ("last two bytes below 2 GiB", "target.bin 2147483646 2 0102", SAMPLE,
     run_lines(2147483646, [0, 0], [1, 2]), [(2147483646, b"\x01\x02")],
     None),
    ("negative Address refused", "target.bin -1 1 00", SAMPLE,
     "\nAddress Out Of Range!\n", [], None),
    ("negative Address refused with Length 0", "target.bin -5 0 ''", SAMPLE,
     "\nAddress Out Of Range!\n", [], None),
    ("offsets past 2147483647 refused", "target.bin 2147483647 2 0102",
     SAMPLE, "\nAddress Out Of Range!\n", [], None),
    ("missing file is not created", "missing.bin 0 1 00", None,
     "\nCan't Open missing.bin!\n", [], None),
    ("empty path", "'' 0 1 00", None, "\nCan't Open !\n", [], None),
    ("directory", "folder 0 0 ''", None, "\nCan't Open folder!\n", [],
     "directory"),
    ("FIFO refused without blocking", "fifo 0 1 00", None,
     "\nCan't Open fifo!\n", [], "fifo"),
    ("flock held elsewhere, no lease to be had", "target.bin 0 1 00", SAMPLE,
     "\nCan't Open target.bin!\n", [], "flock+other-owner"),
    ("lockf held elsewhere, no lease to be had", "target.bin 0 1 00", SAMPLE,
     "\nCan't Open target.bin!\n", [], "lockf+other-owner"),
    ("held open for reading without a lock", "target.bin 0 1 00", SAMPLE,
     "\nCan't Open target.bin!\n", [], "held-read"),
    ("held open for writing without a lock", "target.bin 0 1 00", SAMPLE,
     "\nCan't Open target.bin!\n", [], "held-write"),
    ("mapped, its descriptor closed", "target.bin 0 1 00", SAMPLE,
     "\nCan't Open target.bin!\n", [], "mapped"),
    ("another owner's file patches on the locks alone", "target.bin 0 1 ff",
     SAMPLE, run_lines(0, [16], [0xff]), [(0, b"\xff")], "other-owner"),
    ("without /proc the path is opened again", "target.bin 16 2 ABcd",
     SAMPLE, run_lines(16, [0x01, 0x20], [0xab, 0xcd]), [(16, b"\xab\xcd")],
     "no-proc+unsanitized"),
    ("kernel pseudo-file refused", "/proc/self/oom_score_adj 6 3 353030",
     None, "\nCan't Open /proc/self/oom_score_adj!\n", [], "posix-only"),
    ("the file flushed to storage before Done!", "target.bin 16 2 ABcd",
     SAMPLE, run_lines(16, [0x01, 0x20], [0xab, 0xcd]), [(16, b"\xab\xcd")],
     "strace-flush+unsanitized"),
    ("standard output closed: no report in the file",
     "target.bin 3000 3000 " + "42" * 3000, b"A" * 4096, None,
     [(3000, b"B" * 3000)], "closed-stdout"),
    ("standard output and error closed", "target.bin 3000 3000 " + "42" * 3000,
     b"A" * 4096, None, [(3000, b"B" * 3000)], "closed-stdout+closed-stderr"),
    ("standard output appends to the target: refused, no report in it",
     "target.bin 0 1 ff", SAMPLE, None, [], "stdout-is-target"),
    ("non-blocking report pipe read slowly", "target.bin 0 40000 " + BIG_HEX,
     SAMPLE, run_lines(0, list(SAMPLE) + [0] * (40000 - 32), BIG),
     [(0, BIG)], "nonblocking-slow-reader"),
    ("report to /dev/full: patch still completes", "target.bin 0 1 ff",
     SAMPLE, None, [(0, b"\xff")], "dev-full"),
    ("read-only file", "target.bin 0 1 00", SAMPLE,
     "\nCan't Open target.bin!\n", [], "read-only"),
    ("write past the file-size limit reported", "target.bin 32 4 01020304",
     SAMPLE, seeking(32) + byte_lines(32, [0, 0], [1, 2])
     + "(2).Offset 0x22:  [0x0]->[0x3]...\nCan't Write 0x22!\n",
     [(32, b"\x01\x02")], "size-limit-34"),
    ("file name with spaces", "'my file.bin' 0 1 ff", SAMPLE,
     run_lines(0, [16], [0xff]), [(0, b"\xff")], "name:my file.bin"),
    ("file name not in UTF-8", "'caf\udce9.bin' 0 1 ff", SAMPLE,
     run_lines(0, [16], [0xff]), [(0, b"\xff")], "posix-name:caf\udce9.bin"),
    ("missing file named in bytes not in UTF-8", "'\udcff\udcfe' 0 1 00",
     None, "\nCan't Open \udcff\udcfe!\n", [], "posix-only"),
    ("missing file with a newline in its name", "'two\nlines' 0 1 00", None,
     "\nCan't Open two\nlines!\n", [], "posix-only"),
    ("symlink to a directory", "link 0 0 ''", None, "\nCan't Open link!\n",
     [], "symlink-to-directory"),
    ("dangling symlink creates nothing", "link 0 1 00", None,
     "\nCan't Open link!\n", [], "dangling-symlink"),
    ("/dev/zero", "/dev/zero 0 1 00", None, "\nCan't Open /dev/zero!\n", [],
     "posix-only"),
    ("longest path the system takes", "a" * 131071 + " 0 1 00", None,
     "\nCan't Open " + "a" * 131071 + "!\n", [], "posix-only"),
    ("longest HexNumber the system takes", "target.bin 3 65535 " + LONGEST,
     SAMPLE, run_lines(3, list(SAMPLE[3:]) + [0] * (65535 - 29),
                       bytes.fromhex(LONGEST)),
     [(3, bytes.fromhex(LONGEST))], "posix-only"),
    ("HexNumber of bytes 0x80 to 0xff writes zeros",
     "target.bin 1 2 \udc80\udcff\udcc11", SAMPLE,
     run_lines(1, [17, 18], [0, 0]), [(1, b"\0\0")], "posix-only"),
    ("report to a file", "target.bin 16 2 ABcd", SAMPLE,
     run_lines(16, [0x01, 0x20], [0xab, 0xcd]), [(16, b"\xab\xcd")],
     "stdout-file"),
    ("fullwidth digit in Address is no digit", "target.bin \uff11 1 7f",
     SAMPLE, run_lines(0, [16], [0x7f]), [(0, b"\x7f")], None),
    ("fullwidth hex digits are no hex digits", "target.bin 4 1 \uff21\uff21",
     SAMPLE, run_lines(4, [20], [0]), [(4, b"\0")], None),
    ("Cyrillic and CJK name patched", "'\u0444\u0430\u0439\u043b\u6587\u4ef6.bin' 0 1 ff",
     SAMPLE, run_lines(0, [16], [0xff]), [(0, b"\xff")],
     "name:\u0444\u0430\u0439\u043b\u6587\u4ef6.bin"),
    ("look-alike of a file's name opens nothing", "\uff53.bin 0 1 00",
     SAMPLE, "\nCan't Open ?.bin!\n", [], "name:s.bin+windows-only"),
    ("look-alike dots and backslash reach nothing outside",
     "'\uff0e\uff0e\uff3csecret.bin' 0 1 00", SAMPLE,
     "\nCan't Open ???secret.bin!\n", [], "name:secret.bin+cwd-sub+windows-only"),
    ("relative path over 260 characters", DEEP_WINDOWS + " 16 2 ABcd", SAMPLE,
     run_lines(16, [0x01, 0x20], [0xab, 0xcd]), [(16, b"\xab\xcd")],
     "name:" + DEEP + "+windows-only"),
    ("absolute path over 260 characters", "{work}\\\\" + DEEP_WINDOWS
     + " 16 2 ABcd", SAMPLE, run_lines(16, [0x01, 0x20], [0xab, 0xcd]),
     [(16, b"\xab\xcd")], "name:" + DEEP + "+windows-only"),
    ("\\\\?\\ path over 260 characters", "'\\\\?\\'{work}\\\\" + DEEP_WINDOWS
     + " 16 2 ABcd", SAMPLE, run_lines(16, [0x01, 0x20], [0xab, 0xcd]),
     [(16, b"\xab\xcd")], "name:" + DEEP + "+windows-only"),
    ("the device namespace through \\\\?\\GLOBALROOT refused",
     "'\\\\?\\GLOBALROOT\\Device\\Null' 0 1 00", None,
     "\nCan't Open \\\\?\\GLOBALROOT\\Device\\Null!\n", [], "windows-only"),
    ("a volume refused", "'\\\\.\\C:' 0 1 00", None,
     "\nCan't Open \\\\.\\C:!\n", [], "windows-only"),
    ("a device name with an extension refused", "COM1.bin 0 1 00", None,
     "\nCan't Open COM1.bin!\n", [], "windows-only"),
    ("read-only attribute refused to an administrator too",
     "target.bin 0 1 00", SAMPLE, "\nCan't Open target.bin!\n", [],
     "read-only-attribute+windows-only"),
    ("report reader gone: patch still completes",
     "target.bin 0 40000 " + BIG_HEX, SAMPLE, None, [(0, BIG)], "no-reader"),
]

# Locks, FIFOs, privileges, resource limits and signals are POSIX matters;
# Windows caps a command line at 32767 characters.
# Wine's share modes do not see Linux processes.
POSIX_ONLY = {"fifo", "flock", "lockf", "read-only", "size-limit-34",
              "no-reader", "beyond-windows-command-line", "posix-only",
              "other-owner", "held-read", "held-write", "mapped", "no-proc",
              "strace-flush", "closed-stdout", "closed-stderr", "stdout-is-target",
              "nonblocking-slow-reader", "dev-full"}
# Wine runs 32-bit programs through qemu-i386 on a kernel without 32-bit
# support; a small reserved guest space keeps each start to seconds.
# Wine passes non-ASCII words only under a UTF-8 locale.
WINE_ENV = dict(os.environ, WINEDEBUG="-all", QEMU_RESERVED_VA="0x81000000",
                LANG="C.UTF-8")


@contextlib.contextmanager
def wine_server(windows_build):
    """Runs the body with a Wine server of the tests' own, in a prefix beside
    the Windows build. It stays up with its services throughout, so that no
    run's wine starts them holding that run's output pipes, and is stopped
    at the end, so that nothing is left holding the test runner's."""
    WINE_ENV["WINEPREFIX"] = os.path.join(windows_build, "wine-prefix")
    os.makedirs(WINE_ENV["WINEPREFIX"], exist_ok=True)
    quiet = dict(env=WINE_ENV, stdin=subprocess.DEVNULL,
                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "--persistent"], **quiet)
    try:
        subprocess.run(["wineboot", "--init"], timeout=900, **quiet)
        yield
    finally:
        subprocess.run(["wineserver", "--kill"], **quiet)


def file_faults(path, before, edits):
    """Compares the target with before plus edits, zeros in any gap. Past
    the first MiB (a sparse file of 2 GiB) only the edits are read back."""
    size = max([len(before)] + [off + len(data) for off, data in edits])
    if os.path.getsize(path) != size:
        return ["size %d, expected %d" % (os.path.getsize(path), size)]
    window = min(size, 1 << 20)
    want = bytearray(before[:window].ljust(window, b"\0"))
    for off, data in edits:
        want[off:off + len(data)] = data
    del want[window:]
    faults = []
    with open(path, "rb") as f:
        if f.read(window) != want:
            faults.append("bytes differ in the first %d" % window)
        for off, data in edits:
            f.seek(off)
            if f.read(len(data)) != data:
                faults.append("edit at %d missing" % off)
    return faults


def map_file(path, size):
    """Maps path and closes its descriptor: only the mapping holds it."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mmap.restype = ctypes.c_void_p
    libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int,
                          ctypes.c_int, ctypes.c_int, ctypes.c_long]
    fd = os.open(path, os.O_RDONLY)
    address = libc.mmap(None, size, mmap.PROT_READ, mmap.MAP_SHARED, fd, 0)
    os.close(fd)
    return lambda: libc.munmap(ctypes.c_void_p(address), size)


def slow_reader(read_end, chunks):
    """Reads a pipe a little at a time until its end."""
    def read():
        while True:
            chunk = os.read(read_end, 4096)
            if not chunk:
                return
            chunks.append(chunk)
            time.sleep(0.0005)
    reader = threading.Thread(target=read)
    reader.start()
    return reader


def flushed_before_done(trace):
    """strace's lines: fdatasync of the target succeeds before Done! leaves."""
    lines = open(trace).read().splitlines()
    synced = [i for i, line in enumerate(lines)
              if line.startswith("fdatasync(") and line.endswith("= 0")]
    done = [i for i, line in enumerate(lines) if "Done!" in line]
    return bool(synced and done and synced[0] < done[0])


def run_case(command, argv0, windows, case, work):
    name, words, before, out, edits, setup = case
    flags = setup.split("+") if setup else []
    named = [f.split(":", 1)[1] for f in flags
             if f.startswith(("name:", "posix-name:"))]
    target = os.path.join(work, named[0] if named else "target.bin")
    if before is not None:
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(before)
    if "read-only-attribute" in flags:
        os.chmod(target, 0o444)
    cwd = os.path.join(work, "sub") if "cwd-sub" in flags else work
    if "cwd-sub" in flags:
        os.mkdir(cwd)
    if "directory" in flags:
        os.mkdir(os.path.join(work, "folder"))
    if "fifo" in flags:
        os.mkfifo(os.path.join(work, "fifo"))
    if "symlink-to-directory" in flags:
        os.mkdir(os.path.join(work, "folder"))
        os.symlink("folder", os.path.join(work, "link"))
    if "dangling-symlink" in flags:
        os.symlink("nowhere.bin", os.path.join(work, "link"))
    unprivileged = {"read-only", "other-owner"} & set(flags) and not windows
    if unprivileged:
        # nobody may not reach the build folder: run a copy from here.
        command = [shutil.copy(command[0], os.path.join(work, "bitmend"))]
    if "no-proc" in flags:
        command = ["unshare", "-m", "sh", "-c",
                   'mount -t tmpfs none /proc && exec "$0" "$@"'] + command
    trace = os.path.join(os.path.dirname(work), os.path.basename(work) + ".trace")
    if "strace-flush" in flags:
        command = ["strace", "-qq", "-s", "4096", "-e", "trace=fdatasync,write",
                   "-o", trace] + command
    holder = unmap = None
    if {"flock", "lockf", "held-read", "held-write"} & set(flags):
        holder = open(target, "rb" if "held-read" in flags else "r+b")
    if "flock" in flags:
        fcntl.flock(holder, fcntl.LOCK_EX)
    if "lockf" in flags:
        fcntl.lockf(holder, fcntl.LOCK_EX)
    if "mapped" in flags:
        unmap = map_file(target, len(before))
    names_before = sorted(os.listdir(work))

    def in_child():
        if "read-only" in flags:
            os.chmod(target, 0o444)
        if "other-owner" in flags:
            os.chmod(target, 0o666)
        if unprivileged:
            os.chmod(work, 0o755)
            if os.geteuid() == 0:  # root writes anything: be nobody
                os.setgid(65534)
                os.setuid(65534)
        for flag in flags:
            if flag.startswith("size-limit-"):
                limit = int(flag.rsplit("-", 1)[1])
                resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        for fd, flag in enumerate(("closed-stdin", "closed-stdout",
                                   "closed-stderr")):
            if flag in flags:
                os.close(fd)

    stdout, chunks, reader = subprocess.PIPE, None, None
    if "no-reader" in flags:
        read_end, stdout = os.pipe()
        os.close(read_end)
    if "nonblocking-slow-reader" in flags:
        read_end, stdout = os.pipe()
        os.set_blocking(stdout, False)
        chunks = []
        reader = slow_reader(read_end, chunks)
    if "dev-full" in flags:
        stdout = os.open("/dev/full", os.O_WRONLY)
    if "stdout-is-target" in flags:
        stdout = os.open(target, os.O_WRONLY | os.O_APPEND)
    report_file = trace + ".report"
    if "stdout-file" in flags:
        stdout = os.open(report_file, os.O_WRONLY | os.O_CREAT, 0o644)
    work_name = "Z:" + work.replace("/", "\\\\") if windows else work
    try:
        done = subprocess.run(command + shlex.split(
                                  words.replace("{work}", work_name)),
                              cwd=cwd,
                              stdin=subprocess.DEVNULL, stdout=stdout,
                              stderr=subprocess.PIPE, timeout=120,
                              env=WINE_ENV if windows else None,
                              preexec_fn=None if windows else in_child)
    finally:
        if stdout != subprocess.PIPE:
            os.close(stdout)
        if reader:
            reader.join()
            os.close(read_end)
        if holder:
            holder.close()
        if unmap:
            unmap()
    if chunks is not None:
        done.stdout = b"".join(chunks)
    if "stdout-file" in flags:
        done.stdout = open(report_file, "rb").read()
        os.remove(report_file)

    faults = []
    if done.returncode != 0:
        faults.append("exit status %d" % done.returncode)
    if done.stderr and not windows:
        faults.append("standard error: %r" % done.stderr[:200])
    if out is not None:
        want = os.fsencode(BANNER + out.replace("{argv0}", argv0))
        if windows:
            want = want.replace(b"\n", b"\r\n")
        if done.stdout != want:
            faults.append("output:\n%r\nexpected:\n%r"
                          % (done.stdout[-400:], want[-400:]))
    if "strace-flush" in flags:
        if not flushed_before_done(trace):
            faults.append("no fdatasync before Done!")
        os.remove(trace)
    grown = sorted(os.listdir(work))
    if grown != names_before:
        faults.append("files before %s, after %s" % (names_before, grown))
    if before is not None:
        faults += file_faults(target, before, edits)
    return faults


def main():
    args = sys.argv[1:]
    windows = args[:1] == ["--wine"]
    sanitized = args[:1] == ["--sanitized"]
    exe = os.path.abspath(args[-1])
    command = ["wine", exe] if windows else [exe]
    argv0 = "Z:" + exe.replace("/", "\\") if windows else exe
    with (wine_server(os.path.dirname(exe)) if windows
          else contextlib.nullcontext()):
        passed = failed = skipped = 0
        for case in CASES:
            flags = case[5].split("+") if case[5] else []
            if windows and any(flag in POSIX_ONLY or
                               flag.startswith("posix-name:")
                               for flag in flags):
                skipped += 1
                print("skip (POSIX only) %s" % case[0])
                continue
            if not windows and "windows-only" in flags:
                skipped += 1
                print("skip (Windows only) %s" % case[0])
                continue
            # The sanitizers' runtime needs /proc and cannot run traced.
            if sanitized and "unsanitized" in flags:
                skipped += 1
                print("skip (sanitized build) %s" % case[0])
                continue
            with tempfile.TemporaryDirectory() as work:
                faults = run_case(command, argv0, windows, case, work)
            if faults:
                failed += 1
                print("FAIL %s\n  %s" % (case[0], "\n  ".join(faults)))
            else:
                passed += 1
                print("ok   %s" % case[0])
        print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
