#!/usr/bin/env python3
"""Runs the built tool on real files in a temporary folder, case by case.

usage: end_to_end.py [--sanitized] BITMEND   (native build)
       end_to_end.py --wine BITMEND.EXE      (Windows build; CR LF expected)
       end_to_end.py --empty-root BITMEND    (a static build, run in a root
                                              that holds only it, /dev/null,
                                              /proc and the rows' folders)
"""
import contextlib
import ctypes
import fcntl
import mmap
import os
import random
import re
import resource
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

BANNER = ("Bitmend v1.00 - patch bytes of a file in place\n"
          "Writes Length bytes at decimal Address, two hex digits a byte\n")
SAMPLE = bytes(range(16, 32)) + bytes([0x01, 0x20]) + bytes(range(14))
BYTES = bytes(range(256))


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
UNEVEN = bytes((i * 7 + (i >> 8)) & 0xff for i in range(40000))  # no block alike
LONGEST = (BIG * 2)[:65535].hex()  # 131070 digits: Linux takes 131071
DEEP = "/".join(["d" * 100] * 3 + ["target.bin"])  # 313 characters
DEEP_WINDOWS = DEEP.replace("/", "\\\\")

# A suite started in the background of a script inherits SIGINT and SIGQUIT
# ignored, and its children would too: every signal gets its default.
for _number in signal.valid_signals() - {signal.SIGKILL, signal.SIGSTOP}:
    if signal.getsignal(_number) == signal.SIG_IGN and _number not in (
            signal.SIGPIPE, signal.SIGXFSZ):  # Python's own, undone in children
        signal.signal(_number, signal.default_int_handler
                      if _number == signal.SIGINT else signal.SIG_DFL)


class Skip(Exception):
    """A check that cannot run here: it needs root or a missing tool."""


def need_root(why):
    if os.geteuid() != 0:
        raise Skip("needs root (%s)" % why)


def need_tool(name):
    if not shutil.which(name):
        raise Skip("needs %s" % name)


def report_results(checks):
    """Runs each (name, check) in order, a line each, then the counts. A
    check returns its faults, or its faults and what it measured, or raises
    Skip; with BITMEND_NO_SKIPS=1 (CI) a skip is a failure."""
    strict = os.environ.get("BITMEND_NO_SKIPS") == "1"
    passed = failed = skipped = 0
    for name, check in checks:
        measured = ""
        try:
            faults = check()
            if isinstance(faults, tuple):
                faults, measured = faults[0], ": " + faults[1]
        except subprocess.TimeoutExpired as timeout:
            faults = ["timed out: %s" % " ".join(map(str, timeout.cmd))[:200]]
        except Skip as reason:
            if not strict:
                skipped += 1
                print("skip %s: %s" % (name, reason))
                continue
            faults = ["skipped, and BITMEND_NO_SKIPS is set: %s" % reason]
        if faults:
            failed += 1
            print("FAIL %s\n  %s" % (name, "\n  ".join(faults[:10])))
        else:
            passed += 1
            print("ok   %s%s" % (name, measured))
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 1 if failed else 0


def wine_missing():
    """What a test under Wine reports where Wine is not installed: a skip."""
    def skip():
        need_tool("wineserver")
    return report_results([("the tests under Wine", skip)])


class Run:
    """One run of a row, as its setups leave it: the command, its folder,
    standard output, what the child does before it starts the tool, and
    what is undone or checked after it."""

    def __init__(self, command, work, target, windows):
        self.command, self.work, self.target = command, work, target
        self.windows = windows
        self.cwd = work
        self.stdout = subprocess.PIPE
        self.stdin = subprocess.DEVNULL  # or bytes to feed, or a descriptor
        self.words = {}         # {key} in the row's words: its text
        self.in_child = []      # before the tool starts, in its process
        self.after = []         # once it has ended, last first
        self.checks = []        # more faults, given the ended run
        self.output = None      # what gives the report, if not the pipe


def setup(*kinds):
    """Marks a setup with what it needs: "posix" or "windows" (the build it
    makes sense for), "root", "unsanitized" (no sanitizers' runtime), "bare"
    (the tool is the very process the test starts), "host" (a /proc of its
    own, or /dev/shm: what an empty root mounts anew or lacks)."""
    def mark(function):
        function.kinds = set(kinds)
        return function
    return mark


def named(name, *kinds):
    """The target under another name."""
    @setup(*kinds)
    def rename(run):
        pass
    rename.target_name = name
    return rename


posix_only = setup("posix")(lambda run: None)
windows_only = setup("windows")(lambda run: None)


@setup("windows")
def read_only_attribute(run):
    os.chmod(run.target, 0o444)


@setup()
def in_subfolder(run):
    run.cwd = os.path.join(run.work, "sub")
    os.mkdir(run.cwd)


@setup()
def folder(run):
    os.mkdir(os.path.join(run.work, "folder"))


@setup("posix")
def fifo(run):
    os.mkfifo(os.path.join(run.work, "fifo"))


@setup()
def symlink_to_folder(run):
    os.mkdir(os.path.join(run.work, "folder"))
    os.symlink("folder", os.path.join(run.work, "link"))


@setup()
def dangling_symlink(run):
    os.symlink("nowhere.bin", os.path.join(run.work, "link"))


@setup("posix", "host")
def near_2_63(run):
    """link leads to a sparse file of 2^63 - 1 bytes, on a tmpfs."""
    with tempfile.NamedTemporaryFile(dir="/dev/shm", delete=False) as f:
        f.truncate((1 << 63) - 1)
    run.after.append(lambda: os.unlink(f.name))
    os.symlink(f.name, os.path.join(run.work, "link"))


def as_nobody(run):
    """Runs a copy of the tool (nobody may not reach the build folder) as
    user nobody, where root would write anything."""
    run.command = [shutil.copy(run.command[0],
                               os.path.join(run.work, "bitmend"))]

    def drop():
        os.chmod(run.work, 0o755)
        if os.geteuid() == 0:
            os.setgid(65534)
            os.setuid(65534)
    run.in_child.append(drop)


@setup("posix", "bare")
def read_only(run):
    as_nobody(run)
    run.in_child.insert(0, lambda: os.chmod(run.target, 0o444))


@setup("posix", "root", "bare")
def other_owner(run):
    need_root("another owner's file")
    as_nobody(run)
    run.in_child.insert(0, lambda: os.chmod(run.target, 0o666))


def held(mode, lock=None):
    @setup("posix")
    def hold(run):
        holder = open(run.target, mode)
        if lock:
            lock(holder, fcntl.LOCK_EX)
        run.after.append(holder.close)
    return hold


held_read, held_write = held("rb"), held("r+b")
flock_held, lockf_held = held("r+b", fcntl.flock), held("r+b", fcntl.lockf)


@setup("posix")
def mapped(run):
    """Maps the target and closes its descriptor: only the mapping holds
    it."""
    size = os.path.getsize(run.target)
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mmap.restype = ctypes.c_void_p
    libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int,
                          ctypes.c_int, ctypes.c_int, ctypes.c_long]
    fd = os.open(run.target, os.O_RDONLY)
    address = libc.mmap(None, size, mmap.PROT_READ, mmap.MAP_SHARED, fd, 0)
    os.close(fd)
    run.after.append(lambda: libc.munmap(ctypes.c_void_p(address), size))


def in_mount_namespace(run, script, why):
    """Runs the tool in a mount namespace of its own, after script; the
    namespace, and every mount in it, ends with the run."""
    need_root(why)
    need_tool("unshare")
    run.command = ["unshare", "-m", "--propagation", "private", "sh", "-c",
                   script + ' && exec "$0" "$@"'] + run.command


@setup("posix", "root", "unsanitized", "host")
def no_proc(run):
    in_mount_namespace(run, "mount -t tmpfs none /proc", "a mount namespace")


@setup("posix", "root", "unsanitized", "host")
def fake_proc_fd(run):
    """/proc replaced by a tmpfs whose /proc/self/fd entries lead to a FIFO,
    with a reader waiting on it that must never be let go."""
    fifo_path = os.path.join(run.work, "fifo")
    os.mkfifo(fifo_path)
    links = " && ".join("ln -s %s /proc/self/fd/%d" % (fifo_path, n)
                        for n in range(3, 10))
    in_mount_namespace(run, "mount -t tmpfs none /proc && "
                       "mkdir -p /proc/self/fd && " + links,
                       "a mount namespace")
    waiter_released(run, fifo_path)


@contextlib.contextmanager
def fifo_waiter(path):
    """A reader waits on the FIFO at path throughout the body, again each
    time it is let go; yields a list with an item for each time."""
    released, stop = [], threading.Event()

    def wait():
        while True:
            os.close(os.open(path, os.O_RDONLY))  # until a writer opens it
            if stop.is_set():
                return
            released.append(1)
    waiter = threading.Thread(target=wait)
    waiter.start()
    time.sleep(0.05)  # into its open
    try:
        yield released
    finally:
        time.sleep(0.1)  # a release by the body is counted first
        stop.set()
        while waiter.is_alive():
            try:
                os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK))
            except OSError:  # no reader in its open yet
                time.sleep(0.001)
        waiter.join()


def waiter_released(run, fifo_path):
    """A reader waits on fifo_path throughout; a fault if it is let go."""
    stack = contextlib.ExitStack()
    released = stack.enter_context(fifo_waiter(fifo_path))
    run.after.append(stack.close)
    run.checks.append(lambda done: ["a reader waiting on the FIFO was let go"]
                      if released else [])


def stalled(command, words, attack, **options):
    """Runs the tool until its first byte of report, when its first block
    is written and the rest of its lines wait in the full pipe; then
    attack(), then the rest of the run. Returns the report, with LF line
    ends, and the exit status."""
    run = subprocess.Popen(command + words, stdout=subprocess.PIPE, **options)
    first = os.read(run.stdout.fileno(), 1)
    attack()
    report = first + run.communicate(timeout=300)[0]
    return report.replace(b"\r\n", b"\n"), run.returncode


@setup()
def waited_fifo(run):
    """pipe.bin, a FIFO, and pipelink.bin, a symlink to it, with a reader
    waiting on it that must never be let go."""
    fifo_path = os.path.join(run.work, "pipe.bin")
    os.mkfifo(fifo_path)
    os.symlink("pipe.bin", os.path.join(run.work, "pipelink.bin"))
    waiter_released(run, fifo_path)


@setup()
def oom_score_of_a_sleeper(run):
    """{oom} names a sleeping process's OOM score adjustment, a procfs
    file, and oom.bin links to it: it must keep its value, and no run on it
    may end Done!."""
    sleeper = subprocess.Popen(["sleep", "60"])
    knob = "/proc/%d/oom_score_adj" % sleeper.pid
    value = open(knob).read()
    run.words["oom"] = ("Z:" + knob.replace("/", "\\") if run.windows
                        else knob)
    os.symlink(knob, os.path.join(run.work, "oom.bin"))

    run.after.append(lambda: (sleeper.kill(), sleeper.wait()))
    now = []
    run.after.append(lambda: now.append(open(knob).read()))

    def unchanged(done):
        faults = [] if now == [value] else ["%s is %r, was %r" % (
            knob, now, value)]
        return faults + (["Done!"] if b"Done!" in done.stdout else [])
    run.checks.append(unchanged)


@setup("windows")
def dotted_twin(run):
    """s.bin. beside the target s.bin, a name Win32 would strip to s.bin: it
    must stay as it was too."""
    twin = run.target + "."
    with open(twin, "wb") as f:
        f.write(b"twin")
    run.checks.append(lambda done: [] if open(twin, "rb").read() == b"twin"
                      else ["s.bin. was changed"])


@setup("posix", "root")
def null_is_target(run):
    """/dev/null, in a mount namespace, is the target itself."""
    in_mount_namespace(run, "mount --bind %s /dev/null" % run.target,
                       "a mount namespace")


@setup("posix")
def memfd_of_another(run):
    """Another process holds a memfd of 64 bytes of A, mapped; {memfd} names
    it through /proc, and its map must still read A."""
    holder = subprocess.Popen(
        [sys.executable, "-c",
         "import mmap, os, sys\n"
         "fd = os.memfd_create('x'); os.write(fd, b'A' * 64)\n"
         "m = mmap.mmap(fd, 64)\n"
         "print(os.getpid(), fd, flush=True); sys.stdin.read()\n"
         "print(m[:].decode(), flush=True)"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    pid, fd = holder.stdout.readline().split()
    run.words["memfd"] = "/proc/%s/fd/%s" % (pid, fd)

    def end_holder():
        seen = holder.communicate("", timeout=30)[0].strip()
        if seen != "A" * 64:
            run.checks.append(
                lambda done: ["the holder's map reads %r" % seen])
    run.after.append(end_holder)


@setup("posix", "unsanitized")
def strace_flush(run):
    need_tool("strace")
    trace = run.work + ".trace"
    run.command = ["strace", "-qq", "-s", "4096", "-e",
                   "trace=fdatasync,write", "-o", trace] + run.command

    def flushed_before_done(done):
        """fdatasync of the target succeeds before the report's last write,
        which carries Done! (strace shows no text of a non-dumpable process
        to a tracer without CAP_SYS_PTRACE)."""
        lines = open(trace).read().splitlines()
        os.remove(trace)
        synced = [i for i, line in enumerate(lines)
                  if line.startswith("fdatasync(") and line.endswith("= 0")]
        writes = [i for i, line in enumerate(lines)
                  if line.startswith("write(1,")]
        return [] if synced and writes and synced[0] < writes[-1] and \
            done.stdout.endswith(b"\nDone!\n") else [
                "no fdatasync before Done!"]
    run.checks.append(flushed_before_done)


def closed(*descriptors):
    @setup("posix")
    def close_them(run):
        run.in_child.append(lambda: [os.close(fd) for fd in descriptors])
    return close_them


closed_stdout, closed_stdout_stderr = closed(1), closed(1, 2)


def limit(which, value, *kinds):
    @setup("posix", "bare", *kinds)
    def set_limit(run):
        run.in_child.append(lambda: resource.setrlimit(which, (value, value)))
    return set_limit


def opened(stream, flags, path=None, *kinds):
    """Standard input or output open on path (the target) with flags."""
    @setup(*kinds)
    def open_it(run):
        setattr(run, stream, os.open(path or run.target, flags))
    return open_it


stdout_appends_to_target = opened("stdout", os.O_WRONLY | os.O_APPEND)
stdout_overwrites_target = opened("stdout", os.O_RDWR)
dev_full = opened("stdout", os.O_WRONLY, "/dev/full", "posix")
stdin_on_target = opened("stdin", os.O_RDONLY)
stdin_a_folder = opened("stdin", os.O_RDONLY, tempfile.gettempdir())


@setup("posix")
def no_reader(run):
    read_end, run.stdout = os.pipe()
    os.close(read_end)


@setup("posix")
def nonblocking_slow_reader(run):
    """A non-blocking pipe, read a little at a time until its end."""
    read_end, run.stdout = os.pipe()
    os.set_blocking(run.stdout, False)
    chunks = []

    def read():
        while True:
            chunk = os.read(read_end, 4096)
            if not chunk:
                return
            chunks.append(chunk)
            time.sleep(0.0005)
    reader = threading.Thread(target=read)
    reader.start()
    run.after.append(lambda: (reader.join(), os.close(read_end)))
    run.output = lambda: b"".join(chunks)


def fifo_reader_replaced(*report):
    """Standard output is a FIFO whose reader leaves after 100 kB, and a
    second reader opens it: the two got the report's start, with no gap."""
    @setup()
    def replace_reader(run):
        path = os.path.join(run.work, "report.fifo")
        os.mkfifo(path)
        first = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        run.stdout = os.open(path, os.O_WRONLY)
        os.set_blocking(first, True)
        got = [b""]

        def read():
            while len(got[0]) < 100000 and (part := os.read(first, 100000 - len(got[0]))):
                got[0] += part
            os.close(first)
            time.sleep(0.01)  # the run's next write fails meanwhile
            with open(os.open(path, os.O_RDONLY | os.O_NONBLOCK), "rb", 0) as second:
                os.set_blocking(second.fileno(), True)
                got[0] += second.readall()
        reader = threading.Thread(target=read)
        reader.start()
        run.after.append(reader.join)
        run.checks.append(lambda done: [] if (BANNER + run_lines(*report)).encode().startswith(
            got[0].replace(b"\r\n", b"\n")) else ["a gap in what the readers got"])
    return replace_reader


UNDO = textwrap.dedent(next(  # the README's block that undoes a run
    block for block in re.findall(r"(?:^    .*\n)+", open(os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "README.md")).read(),
        re.M) if "patch.log" in block and "- - -" in block))


def undone(log=lambda report: report, want=None, changed=None):
    """After the run, the README's undo block as it stands, on its report
    (as log leaves it) as patch.log, the file as firmware.bin: the file is
    want, or what the run found, in a list of a line a range; with the byte
    at changed altered first, the undo is refused and writes nothing."""
    @setup()
    def undo(run):
        found = open(run.target, "rb").read()

        def check(done):
            with tempfile.TemporaryDirectory() as folder:
                firmware, tool = (os.path.join(folder, n) for n in ("firmware.bin", "bitmend"))
                os.rename(run.target, firmware)
                after = bytearray(open(firmware, "rb").read())
                if changed is not None:
                    after[changed] ^= 1
                    open(firmware, "wb").write(after)
                open(os.path.join(folder, "patch.log"), "wb").write(log(done.stdout))
                open(tool, "w").write('#!/bin/sh\nexec %s "$@"\n' % shlex.join(run.command))
                os.chmod(tool, 0o755)
                said = subprocess.run(["sh", "-c", UNDO], cwd=folder, capture_output=True, timeout=300, env=dict(
                    WINE_ENV if run.windows else os.environ, PATH=folder + ":" + os.environ["PATH"])
                ).stdout.replace(b"\r\n", b"\n")
                lines = open(os.path.join(folder, "undo.list")).read().count("\n")
                undone = open(firmware, "rb").read()
                os.rename(firmware, run.target)
            if changed is not None:
                return [] if undone == after and b"Mismatch At" in said else ["not refused: %r" % said[-60:]]
            return ([] if undone == (want or found.ljust(len(after), b"\0")) and said.endswith(b"\nDone!\n")
                    else ["not undone: %r" % said[-60:]]) + (
                [] if lines <= done.stdout.count(b"Seeking") else ["%d lines" % lines])
        run.checks.append(check)
    return undo


@setup()
def stdout_file(run):
    report = run.work + ".report"
    run.stdout = os.open(report, os.O_WRONLY | os.O_CREAT, 0o644)

    def read_report():
        data = open(report, "rb").read()
        os.remove(report)
        return data
    run.output = read_report


def fed(data):
    """Standard input gives data, then ends."""
    @setup()
    def feed(run):
        run.stdin = data
    return feed


def fed_slowly(*parts):
    """A non-blocking standard input that gives each part 0.3 s after the
    one before, then ends."""
    @setup()
    def feed(run):
        run.stdin, writer = os.pipe()
        os.set_blocking(run.stdin, False)

        def write():
            for part in parts:
                time.sleep(0.3)
                os.write(writer, part)
            os.close(writer)
        thread = threading.Thread(target=write)
        thread.start()
        run.after.append(thread.join)
    return feed


def list_lines(*lines):
    """Standard input gives a list: (address, hex) lines, then ends."""
    return fed(b"".join(b"%d %s\n" % (a, h.encode()) for a, h in lines))


def list_report(*ranges):
    """What a list of (address, old, new) ranges reports, then Done!."""
    return "".join(seeking(a) + byte_lines(a, old, new)
                   for a, old, new in ranges) + "\nDone!\n"


def repointed(then, output):
    """link leads to the target while the run starts, and to then once it
    reads standard input, while standard output appends to output: the
    files other than the target stay empty."""
    @setup()
    def repoint_link(run):
        files = {name: os.path.join(run.work, name) for name in (then, output)
                 if name != "target.bin"}
        for path in files.values():
            open(path, "wb").close()
        link = os.path.join(run.work, "link")
        os.symlink("target.bin", link)
        run.stdout = os.open(files.get(output, run.target),
                             os.O_WRONLY | os.O_APPEND)
        run.stdin, feed = os.pipe()

        def repoint():
            os.write(feed, b" " * (1 << 20))  # returns once the run reads it
            os.symlink(then, link + ".new")
            os.replace(link + ".new", link)
            os.write(feed, b"ff\n")
            os.close(feed)
        thread = threading.Thread(target=repoint)
        thread.start()
        run.after.append(thread.join)
        run.checks.append(lambda done: [
            "%s holds %r" % (name, open(path, "rb").read()[-60:])
            for name, path in files.items() if os.path.getsize(path)])
    return repoint_link


@setup("windows")
def output_on_drive_c_link(run):
    """cmd appends standard output to C:\\link.bin, a hard link of the
    target, which the run reaches through Z:, on another drive."""
    name = "link-%d.bin" % os.getpid()
    link = os.path.join(WINE_ENV["WINEPREFIX"], "drive_c", name)
    os.link(run.target, link)
    run.command = ["wine", "cmd", "/c", ">>C:\\" + name,
                   "Z:" + run.command[1].replace("/", "\\")]
    run.after.append(lambda: os.remove(link))


@setup("windows")
def unc_share(run):
    """\\server\share\ leads to the row's folder, as Wine maps UNC names."""
    server = os.path.join(WINE_ENV["WINEPREFIX"], "dosdevices", "unc", "server")
    os.makedirs(server, exist_ok=True)
    os.symlink(run.work, os.path.join(server, "share"))
    run.after.append(lambda: os.remove(os.path.join(server, "share")))


def xxd_lines(data, end=b"\n"):
    """data as xxd -p writes it: 30 bytes a line."""
    text = data.hex().encode()
    return b"".join(text[i:i + 60] + end for i in range(0, len(text), 60))


PATTERN = bytes((i * 13 + 5) & 0xFF for i in range(100000))  # new bytes
WIDE_NAME = "a" + "\u20ac" * 22000 + ".bin"  # a block of report ends in one

# Each case: name, arguments (shell words; the target is target.bin, and
# {work} the folder), target before (None: no file), expected output after
# the banner (None: not read), edits expected in the target as (offset,
# bytes) (none: unchanged), and the setups that make the run's environment.
CASES = [
    ("worked example, undone from its report", "target.bin 16 2 ABcd", SAMPLE,
     run_lines(16, [0x01, 0x20], [0xab, 0xcd]), [(16, b"\xab\xcd")], (undone(),)),
    ("no arguments", "", SAMPLE,
     "\nUsage: {argv0} InputFile.bin Address Length HexNumber\n", [], ()),
    ("three arguments", "target.bin 0 1", SAMPLE,
     "\nUsage: {argv0} InputFile.bin Address Length HexNumber\n", [], ()),
    ("odd HexNumber before Length is read", "target.bin 0 1 ABC", SAMPLE,
     "\nHexNumber Error!\n", [], ()),
    ("odd HexNumber beyond what Length uses", "target.bin 0 0 ABCDE", SAMPLE,
     "\nHexNumber Error!\n", [], ()),
    ("too few digits", "target.bin 0 3 ABCD", SAMPLE,
     "\nNeed More HexNumber!\n", [], ()),
    ("Length -1", "target.bin 0 -1 ABCD", SAMPLE,
     "\nNeed More HexNumber!\n", [], ()),
    ("Length -1073741824", "target.bin 0 -1073741824 AB", SAMPLE,
     "\nNeed More HexNumber!\n", [], ()),
    ("Length -2147483647 with 2 digits", "target.bin 0 -2147483647 AB",
     SAMPLE, seeking(0) + "\nDone!\n", [], ()),
    ("Length below -2147483648 saturates", "target.bin 3 -99999999999 ''",
     SAMPLE, seeking(3) + "\nDone!\n", [], ()),
    ("digits beyond twice Length ignored; fifth word ignored; a torn log undone",
     "target.bin 2 2 0a0B0c extra words", SAMPLE,
     run_lines(2, [18, 19], [0x0a, 0x0b]), [(2, b"\x0a\x0b")],
     (undone(lambda report: report[:report.rindex(b"...OK") + 2],
             SAMPLE[:3] + b"\x0b" + SAMPLE[4:]),)),
    ("Length 0 with empty HexNumber", "target.bin 5 0 ''", SAMPLE,
     seeking(5) + "\nDone!\n", [], ()),
    ("Length 1e3 refused, with digits for 1000 bytes",
     "target.bin 0 1e3 " + "ab" * 1000, SAMPLE, "\nLength Error!\n", [], ()),
    ("Length beyond 2147483647 asks for more digits",
     "target.bin 0 99999999999 ab", SAMPLE, "\nNeed More HexNumber!\n", [],
     ()),
    ("Address 0x100 refused", "target.bin 0x100 1 7f", SAMPLE,
     "\nAddress Error!\n", [], ()),
    ("Address -0 is 0", "target.bin -0 1 ff", SAMPLE, run_lines(0, [16], [0xff]),
     [(0, b"\xff")], ()),
    ("Address with a sign, white space and a CR LF line end",
     "target.bin ' +16\r\n' 2 ABcd", SAMPLE,
     run_lines(16, [0x01, 0x20], [0xab, 0xcd]), [(16, b"\xab\xcd")], ()),
    ("HexNumber 0xff refused", "target.bin 0 1 0xff", SAMPLE,
     "\nHexNumber Error!\n", [], ()),
    ("HexNumber de:dbeef refused", "target.bin 0 4 de:dbeef", SAMPLE,
     "\nHexNumber Error!\n", [], ()),
    ("pairs that are no hex number refused", "target.bin 0 3 0xG11g",
     SAMPLE, "\nHexNumber Error!\n", [], ()),
    ("characters beyond twice Length need not be hex digits",
     "target.bin 2 2 0a0Bzz", SAMPLE, run_lines(2, [18, 19], [0x0a, 0x0b]),
     [(2, b"\x0a\x0b")], ()),
    ("address at the end grows the file by one byte", "target.bin 32 1 5a",
     SAMPLE, run_lines(32, [0], [0x5a]), [(32, b"\x5a")], ()),
    ("range across the end shows 0x0 past it", "target.bin 31 3 a1a2a3",
     SAMPLE, run_lines(31, [13, 0, 0], [0xa1, 0xa2, 0xa3]),
     [(31, b"\xa1\xa2\xa3")], ()),
    ("address 4096 far past the end", "target.bin 4096 1 01", SAMPLE,
     run_lines(4096, [0], [1]), [(4096, b"\x01")], ()),
    ("patch longer than one block", "target.bin 1000 40000 " + BIG_HEX,
     SAMPLE, run_lines(1000, [0] * 40000, BIG), [(1000, BIG)],
     (posix_only,)),
    ("patch of 15000 bytes", "target.bin 7 15000 " + BIG_HEX[:30000], SAMPLE,
     run_lines(7, list(SAMPLE[7:]) + [0] * (15000 - 25), BIG[:15000]),
     [(7, BIG[:15000])], ()),
    ("the last offset: the write there fails",
     "target.bin 9223372036854775807 1 ff", SAMPLE,
     seeking(0x7fffffffffffffff) + "(0).Offset 0x7fffffffffffffff:  "
     "[0x0]->[0xff]...\nCan't Write 0x7fffffffffffffff!\n", [], ()),
    ("a read up to the last offset reads the byte before it",
     "link 9223372036854775806 2 4142", None, seeking(0x7ffffffffffffffe) +
     "(0).Offset 0x7ffffffffffffffe:  [0x0]->[0x41]...\nCan't Write "
     "0x7ffffffffffffffe!\n", [], (near_2_63,)),
    ("missing file is not created", "missing.bin 0 1 00", None,
     "\nCan't Open missing.bin!\n", [], ()),
    ("empty path", "'' 0 1 00", None, "\nCan't Open !\n", [], ()),
    ("a directory", "folder 0 0 ''", None, "\nCan't Open folder!\n", [],
     (folder,)),
    ("FIFO refused without blocking", "fifo 0 1 00", None,
     "\nCan't Open fifo!\n", [], (fifo,)),
    ("another owner's file patches on the locks alone", "target.bin 0 1 ff",
     SAMPLE, run_lines(0, [16], [0xff]), [(0, b"\xff")], (other_owner,)),
    ("without /proc refused: no path is opened again", "target.bin 16 2 ABcd",
     SAMPLE, "\nCan't Open target.bin!\n", [], (no_proc,)),
    ("kernel pseudo-file refused", "/proc/self/oom_score_adj 6 3 353030",
     None, "\nCan't Open /proc/self/oom_score_adj!\n", [], (posix_only,)),
    ("the file flushed to storage before Done!", "target.bin 16 2 ABcd",
     SAMPLE, run_lines(16, [0x01, 0x20], [0xab, 0xcd]), [(16, b"\xab\xcd")],
     (strace_flush,)),
    ("standard output closed: no report in the file",
     "target.bin 3000 3000 " + "42" * 3000, b"A" * 4096, None,
     [(3000, b"B" * 3000)], (closed_stdout,)),
    ("standard output and error closed", "target.bin 3000 3000 " + "42" * 3000,
     b"A" * 4096, None, [(3000, b"B" * 3000)], (closed_stdout_stderr,)),
    ("failed open with standard output on the target: nothing in it",
     "target.bin 10 1 41", BYTES, None, [],
     (stdout_overwrites_target, closed(2),
      limit(resource.RLIMIT_NOFILE, 3, "unsanitized"))),
    ("/dev/null bound to the target, standard output closed",
     "target.bin 100 1 41", BYTES, None, [], (null_is_target, closed_stdout)),
    ("/dev/null bound to the target, standard output appends to it",
     "target.bin 100 1 41", BYTES, None, [],
     (null_is_target, stdout_appends_to_target)),
    ("/proc/self/fd of no procfs, its entries a FIFO: never opened",
     "target.bin 16 2 ABcd", SAMPLE, "\nCan't Open target.bin!\n", [],
     (fake_proc_fd,)),
    ("memfd another process has mapped, through /proc",
     "{memfd} 0 2 4242", None, "\nCan't Open {memfd}!\n", [],
     (memfd_of_another,)),
    ("FIFO with a reader waiting: never opened", "pipe.bin 0 1 00", None,
     "\nCan't Open pipe.bin!\n", [], (waited_fifo,)),
    ("symlink to a FIFO with a reader waiting: never opened",
     "pipelink.bin 0 1 00", None, "\nCan't Open pipelink.bin!\n", [],
     (waited_fifo,)),
    ("FIFO by its full path with a reader waiting: never opened",
     "{work}/pipe.bin 0 1 00", None, None, [], (waited_fifo,)),
    ("another process's OOM score by its path", "'{oom}' 0 4 3939390a", None,
     None, [], (oom_score_of_a_sleeper,)),
    ("another process's OOM score through a symlink", "oom.bin 0 4 3939390a",
     None, None, [], (oom_score_of_a_sleeper,)),
    ("\\\\.\\ form, standard output on the file it names",
     "'\\\\.\\'{work}\\\\s.bin 0 1 42", SAMPLE, None, [],
     (named("s.bin", "windows"), stdout_appends_to_target)),
    ("\\??\\ form, standard output on the file it names",
     "'\\??\\'{work}\\\\s.bin 0 1 42", SAMPLE, None, [],
     (named("s.bin", "windows"), stdout_overwrites_target)),
    ("\\\\.\\ form with a trailing dot, standard output on the file",
     "'\\\\.\\'{work}\\\\s.bin. 0 1 42", SAMPLE, None, [],
     (named("s.bin", "windows"), dotted_twin, stdout_appends_to_target)),
    ("a 48 KiB stack", "target.bin 16 2 ABcd", SAMPLE,
     run_lines(16, [0x01, 0x20], [0xab, 0xcd]), [(16, b"\xab\xcd")],
     (limit(resource.RLIMIT_STACK, 48 << 10, "unsanitized"),)),
    ("non-blocking report pipe read slowly", "target.bin 0 40000 " + BIG_HEX,
     SAMPLE, run_lines(0, list(SAMPLE) + [0] * (40000 - 32), BIG),
     [(0, BIG)], (nonblocking_slow_reader,)),
    ("report to /dev/full: patch still completes", "target.bin 0 1 ff",
     SAMPLE, None, [(0, b"\xff")], (dev_full,)),
    ("read-only file", "target.bin 0 1 00", SAMPLE,
     "\nCan't Open target.bin!\n", [], (read_only,)),
    ("write past the file-size limit reported", "target.bin 32 4 01020304",
     SAMPLE, seeking(32) + byte_lines(32, [0, 0], [1, 2])
     + "(2).Offset 0x22:  [0x0]->[0x3]...\nCan't Write 0x22!\n",
     [(32, b"\x01\x02")], (limit(resource.RLIMIT_FSIZE, 34),)),
    ("file name with spaces", "'my file.bin' 0 1 ff", SAMPLE,
     run_lines(0, [16], [0xff]), [(0, b"\xff")], (named("my file.bin"),)),
    ("file name not in UTF-8", "'caf\udce9.bin' 0 1 ff", SAMPLE,
     run_lines(0, [16], [0xff]), [(0, b"\xff")], (named("caf\udce9.bin", "posix"),)),
    ("missing file named in bytes not in UTF-8", "'\udcff\udcfe' 0 1 00",
     None, "\nCan't Open \udcff\udcfe!\n", [], (posix_only,)),
    ("missing file with a newline in its name", "'two\nlines' 0 1 00", None,
     "\nCan't Open two?lines!\n", [], (posix_only,)),
    ("symlink to a directory", "link 0 0 ''", None, "\nCan't Open link!\n",
     [], (symlink_to_folder,)),
    ("dangling symlink creates nothing", "link 0 1 00", None,
     "\nCan't Open link!\n", [], (dangling_symlink,)),
    ("/dev/zero", "/dev/zero 0 1 00", None, "\nCan't Open /dev/zero!\n", [],
     (posix_only,)),
    ("longest path the system takes", "a" * 131071 + " 0 1 00", None,
     "\nCan't Open " + "a" * 131071 + "!\n", [], (posix_only,)),
    ("longest HexNumber the system takes", "target.bin 3 65535 " + LONGEST,
     SAMPLE, run_lines(3, list(SAMPLE[3:]) + [0] * (65535 - 29),
                       bytes.fromhex(LONGEST)),
     [(3, bytes.fromhex(LONGEST))], (posix_only,)),
    ("HexNumber of bytes 0x80 to 0xff refused",
     "target.bin 1 2 \udc80\udcff\udcc11", SAMPLE, "\nHexNumber Error!\n", [],
     (posix_only,)),
    ("report to a file", "target.bin 16 2 ABcd", SAMPLE,
     run_lines(16, [0x01, 0x20], [0xab, 0xcd]), [(16, b"\xab\xcd")],
     (stdout_file,)),
    ("fullwidth digit in Address is no digit", "target.bin \uff11 1 7f",
     SAMPLE, "\nAddress Error!\n", [], ()),
    ("fullwidth hex digits are no hex digits", "target.bin 4 1 \uff21\uff21",
     SAMPLE, "\nHexNumber Error!\n", [], ()),
    ("Cyrillic and CJK name patched", "'\u0444\u0430\u0439\u043b\u6587\u4ef6.bin' 0 1 ff",
     SAMPLE, run_lines(0, [16], [0xff]), [(0, b"\xff")],
     (named("\u0444\u0430\u0439\u043b\u6587\u4ef6.bin"),)),
    ("look-alike of a file's name opens nothing", "\uff53.bin 0 1 00",
     SAMPLE, "\nCan't Open ?.bin!\n", [], (named("s.bin", "windows"),)),
    ("look-alike dots and backslash reach nothing outside",
     "'\uff0e\uff0e\uff3csecret.bin' 0 1 00", SAMPLE,
     "\nCan't Open ???secret.bin!\n", [], (named("secret.bin", "windows"), in_subfolder)),
    ("relative path over 260 characters", DEEP_WINDOWS + " 16 2 ABcd", SAMPLE,
     run_lines(16, [0x01, 0x20], [0xab, 0xcd]), [(16, b"\xab\xcd")],
     (named(DEEP, "windows"),)),
    ("absolute path over 260 characters", "{work}\\\\" + DEEP_WINDOWS
     + " 16 2 ABcd", SAMPLE, run_lines(16, [0x01, 0x20], [0xab, 0xcd]),
     [(16, b"\xab\xcd")], (named(DEEP, "windows"),)),
    ("\\\\?\\ path over 260 characters", "'\\\\?\\'{work}\\\\" + DEEP_WINDOWS
     + " 16 2 ABcd", SAMPLE, run_lines(16, [0x01, 0x20], [0xab, 0xcd]),
     [(16, b"\xab\xcd")], (named(DEEP, "windows"),)),
    ("the device namespace through \\\\?\\GLOBALROOT refused",
     "'\\\\?\\GLOBALROOT\\Device\\Null' 0 1 00", None,
     "\nCan't Open \\\\?\\GLOBALROOT\\Device\\Null!\n", [], (windows_only,)),
    ("a volume refused", "'\\\\.\\C:' 0 1 00", None,
     "\nCan't Open \\\\.\\C:!\n", [], (windows_only,)),
    ("a device name with an extension refused", "COM1.bin 0 1 00", None,
     "\nCan't Open COM1.bin!\n", [], (windows_only,)),
    ("read-only attribute refused to an administrator too",
     "target.bin 0 1 00", SAMPLE, "\nCan't Open target.bin!\n", [],
     (read_only_attribute,)),
    ("a second reader of the report's FIFO gets nothing after a gap",
     "target.bin 0 1048576 -", SAMPLE, None, [(0, BIG * 26 + BIG[:8576])],
     (fed(BIG.hex().encode() * 26 + BIG_HEX[:17152].encode()),
      fifo_reader_replaced(0, list(SAMPLE) + [0] * (1048576 - 32),
                           BIG * 26 + BIG[:8576]))),
    ("report reader gone: patch still completes",
     "target.bin 0 40000 " + BIG_HEX, SAMPLE, None, [(0, BIG)], (no_reader,)),

    ("OLD:NEW that matches; no undo of a file changed since", "target.bin 16 2 0120:ABcd",
     SAMPLE, run_lines(16, [0x01, 0x20], [0xab, 0xcd]), [(16, b"\xab\xcd")],
     (undone(changed=17),)),
    ("OLD:NEW mismatched at the first byte", "target.bin 16 2 0220:abcd",
     SAMPLE, "\nMismatch At 0x10: Found 0x1, Expected 0x2!\n", [], ()),
    ("OLD:NEW mismatched at a middle byte", "target.bin 0 3 10ff12:aaaaaa",
     SAMPLE, "\nMismatch At 0x1: Found 0x11, Expected 0xff!\n", [], ()),
    ("OLD:NEW mismatched at the last byte", "target.bin 0 3 1011ff:aaaaaa",
     SAMPLE, "\nMismatch At 0x2: Found 0x12, Expected 0xff!\n", [], ()),
    ("NEW past the end of a file is no patch in", "target.bin 0 2 4142:4100",
     b"A", "\nMismatch At 0x1: Found End Of File, Expected 0x42!\n", [], ()),
    ("OLD:NEW past the end never matches, not even 00",
     "target.bin 31 2 0d00:aaaa", SAMPLE,
     "\nMismatch At 0x20: Found End Of File, Expected 0x0!\n", [], ()),
    ("OLD:NEW halves too short", "target.bin 16 2 01:ab", SAMPLE,
     "\nNeed More HexNumber!\n", [], ()),
    ("OLD:NEW halves too long", "target.bin 16 1 0120:abcd", SAMPLE,
     "\nHexNumber Error!\n", [], ()),
    ("OLD:NEW with a character that is no hex digit", "target.bin 16 2 0120:abzz",
     SAMPLE, "\nHexNumber Error!\n", [], ()),
    ("':' off the middle of an odd word", "target.bin 16 2 0120ab:cd", SAMPLE,
     "\nHexNumber Error!\n", [], ()),
    ("OLD:NEW with a character of OLD that is no hex digit",
     "target.bin 16 2 01zz:abcd", SAMPLE, "\nHexNumber Error!\n", [], ()),
    ("OLD:NEW already patched", "target.bin 16 2 abcd:0120", SAMPLE,
     "\nAlready Patched!\n", [], ()),
    ("OLD:NEW half patched is finished, and undone to the cut", "target.bin 16 2 01ff:ab20",
     SAMPLE, "\nPartly Patched, Finishing...\n"
     + run_lines(16, [0x01, 0x20], [0xab, 0x20]), [(16, b"\xab")], (undone(),)),
    ("OLD:NEW half patched, a byte neither refuses", "target.bin 16 3 01ff12:ab2013",
     SAMPLE, "\nMismatch At 0x12: Found 0x0, Expected 0x12!\n", [], ()),
    ("an even word with ':' refused", "target.bin 0 1 41:42:", SAMPLE,
     "\nHexNumber Error!\n", [], ()),
    ("':' past 2 x Length refused", "target.bin 0 1 57:a", SAMPLE,
     "\nHexNumber Error!\n", [], ()),
    ("two ':' refused", "target.bin 0 2 576f::6c", SAMPLE,
     "\nHexNumber Error!\n", [], ()),
    ("':' off the middle with Length 0 refused", "target.bin 0 0 5:6f",
     SAMPLE, "\nHexNumber Error!\n", [], ()),
    ("':' alone with Length 0", "target.bin 5 0 :", SAMPLE,
     seeking(5) + "\nDone!\n", [], ()),
    ("- reads xxd -p lines", "target.bin 4 100 -", SAMPLE,
     run_lines(4, list(SAMPLE[4:]) + [0] * 72, PATTERN[:100]),
     [(4, PATTERN[:100])], (fed(xxd_lines(PATTERN[:100])),)),
    ("- reads CR LF lines, white space inside a pair", "target.bin 16 2 -",
     SAMPLE, run_lines(16, [0x01, 0x20], [0x41, 0x42]), [(16, b"AB")],
     (fed(b" 4\r\n1 42\t\r\n"),)),
    ("- reads OLD:NEW", "target.bin 16 2 -", SAMPLE,
     run_lines(16, [0x01, 0x20], [0xab, 0xcd]), [(16, b"\xab\xcd")],
     (fed(b"0120\n:\nabcd\n"),)),
    ("- reads 100,000 bytes, undone by one line", "target.bin 0 100000 -", SAMPLE,
     run_lines(0, list(SAMPLE) + [0] * (100000 - 32), PATTERN),
     [(0, PATTERN)], (fed(xxd_lines(PATTERN, b"\r\n")), undone())),
    ("- from a non-blocking input that comes in parts", "target.bin 16 2 -",
     SAMPLE, run_lines(16, [0x01, 0x20], [0x41, 0x42]), [(16, b"AB")],
     (fed_slowly(b"4", b"1 42\n"),)),
    ("- with a pair split between two reads", "target.bin 16 2 -", SAMPLE,
     run_lines(16, [0x01, 0x20], [0x41, 0x42]), [(16, b"AB")],
     (fed(b" " * 65535 + b"4142"),)),
    ("- with Length 0 and a lone ':'", "target.bin 3 0 -", SAMPLE,
     seeking(3) + "\nDone!\n", [], (fed(b" :\n"),)),
    ("- with a negative Length refused", "target.bin 0 -1 -", SAMPLE,
     "\nLength Error!\n", [], ()),
    ("- with Length -0", "target.bin 0 -0 -", SAMPLE,
     seeking(0) + "\nDone!\n", [], ()),
    ("- with Length past 2147483647 refused", "target.bin 0 2147483648 -",
     SAMPLE, "\nLength Error!\n", [], ()),
    ("- from a folder", "target.bin 0 1 -", SAMPLE,
     "\nCan't Read Standard Input!\n", [], (stdin_a_folder, posix_only)),
    ("- from a closed standard input", "target.bin 0 1 -", SAMPLE,
     "\nNeed More HexNumber!\n", [], (closed(0),)),
    ("- from the target itself refused", "target.bin 0 4 -", b"41424344",
     "\nCan't Open target.bin!\n", [], (stdin_on_target,)),
    ("standard input on another owner's target refused",
     "target.bin 0 1 ff", SAMPLE, "\nCan't Open target.bin!\n", [],
     (stdin_on_target, other_owner)),
    ("- past the memory an address-space limit leaves",
     "target.bin 0 2147483647 -", SAMPLE, "\nNot Enough Memory!\n", [],
     (limit(resource.RLIMIT_AS, 256 << 20, "unsanitized"),)),
    ("- past what a 32-bit address space holds", "target.bin 0 2147483647 -",
     SAMPLE, "\nNot Enough Memory!\n", [], (windows_only,)),
    ("missing file with NEL, LS and PS in its name",
     "'a\u0085b\u2028c\u2029d' 0 1 00", None, "\nCan't Open a?b?c?d!\n", [],
     ()),
    ("missing file whose name a block of report ends inside",
     WIDE_NAME + " 0 1 00", None, "\nCan't Open " + WIDE_NAME + "!\n", [], ()),
    ("FILE re-pointed onto standard output's file while - reads",
     "link 0 1 -", SAMPLE, None, [], (repointed("out.bin", "out.bin"),)),
    ("standard output on the target, FILE re-pointed away while - reads",
     "link 0 1 -", SAMPLE, None, [], (repointed("other.bin", "target.bin"),)),
    ("standard output on a hard link of the target on another drive",
     "target.bin 0 1 42", SAMPLE, None, [], (output_on_drive_c_link,)),
    ("list: plain lines, comments, blank and CR LF lines", "target.bin - - -",
     SAMPLE, list_report((16, [0x01, 0x20], [0xab, 0xcd]),
                         (2, [0x12], [0x0f]), (40, [0], [0x5a])),
     [(2, b"\x0f"), (16, b"\xab\xcd"), (40, b"\x5a")],
     (fed(b"# two hooks\n\n  016 ab cd # here\r\n2\t0F\n \t\n40 5a\n# end"),)),
    ("list: OLD:NEW lines that match, undone from a report in CR LF", "target.bin - - -",
     SAMPLE, list_report((16, [0x01, 0x20], [0xab, 0xcd]), (0, [0x10], [0xff])),
     [(0, b"\xff"), (16, b"\xab\xcd")], (list_lines((16, "0120:abcd"), (0, "10:ff")), undone(
         lambda report: report.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")))),
    ("list: a mismatch in a later line writes nothing", "target.bin - - -",
     SAMPLE, "\nMismatch At 0x1: Found 0x11, Expected 0x12!\n", [],
     (list_lines((16, "0120:abcd"), (0, "1012:ffff")),)),
    ("list: already patched", "target.bin - - -", SAMPLE,
     "\nAlready Patched!\n", [], (list_lines((16, "abcd:0120"), (0, "ff:10")),)),
    ("list: a plain line is never already patched, and a rerun is no cut",
     "target.bin - - -", SAMPLE, list_report(
         (5, [0x15], [0]), (16, [0x01, 0x20], [0x01, 0x20]), (0, [0x10], [0x10])),
     [(5, b"\x00")], (list_lines((5, "00"), (16, "abcd:0120"), (0, "ff:10")),)),
    ("list: a plain line beside bytes that hold OLD and NEW: a cut",
     "target.bin - - -", SAMPLE, "\nPartly Patched, Finishing...\n" + list_report(
         (5, [0x15], [0]), (16, [0x01, 0x20], [0xab, 0xcd]), (0, [0x10], [0x10])),
     [(5, b"\x00"), (16, b"\xab\xcd")],
     (list_lines((5, "00"), (16, "0120:abcd"), (0, "ff:10")),)),
    ("list: already patched, a line's OLD its NEW", "target.bin - - -",
     SAMPLE, "\nAlready Patched!\n", [],
     (list_lines((16, "abcd:0120"), (0, "10:10")),)),
    ("list: half patched, a byte neither refuses, after lines that hold NEW",
     "target.bin - - -", SAMPLE, "\nMismatch At 0x0: Found 0x10, Expected 0xff!\n",
     [], (list_lines((16, "abcd:0120"), (0, "ff:aa")),)),
    ("list: empty, the file opened", "target.bin - - -", SAMPLE,
     "\nDone!\n", [], (fed(b"# nothing\n\n"),)),
    ("list: empty, the file missing", "missing.bin - - -", None,
     "\nCan't Open missing.bin!\n", [], (fed(b""),)),
    ("list: overlap, its lowest offset", "target.bin - - -", SAMPLE,
     "\nOverlap At 0x4!\n", [],
     (list_lines((10, "0000"), (2, "000000"), (4, "00"), (9, "0000")),)),
    ("- OLD:NEW across two blocks: the old values shown are OLD",
     "target.bin 0 40000 -", UNEVEN, run_lines(0, list(UNEVEN), BIG),
     [(0, BIG)], (fed(UNEVEN.hex().encode() + b":" + BIG_HEX.encode()),)),
    ("- OLD:NEW that differs in a second block", "target.bin 0 40000 -",
     UNEVEN, "\nMismatch At 0x88b8: Found 0x%x, Expected 0x%x!\n"
     % (UNEVEN[35000], UNEVEN[35000] ^ 1), [],
     (fed(UNEVEN[:35000].hex().encode() + b"%02x" % (UNEVEN[35000] ^ 1)
          + UNEVEN[35001:].hex().encode() + b":" + BIG_HEX.encode()),)),
    ("OLD:NEW word of 100 bytes, decoded in place across blocks",
     "target.bin 0 100 " + BIG[:100].hex() + ":" + PATTERN[:100].hex(),
     BIG[:200], run_lines(0, list(BIG[:100]), PATTERN[:100]),
     [(0, PATTERN[:100])], ()),
    ("list: a range inside what an earlier one grew", "target.bin - - -",
     SAMPLE, list_report((40, [0], [0xaa]), (35, [0], [0xbb])),
     [(35, b"\xbb"), (40, b"\xaa")], (list_lines((40, "aa"), (35, "bb")),)),
    ("list: adjacent ranges out of order, undone", "target.bin - - -", SAMPLE,
     list_report((3, [19], [1]), (2, [18], [2])), [(2, b"\x02\x01")],
     (list_lines((3, "01"), (2, "02")), undone())),
    ("list: standard input on the target refused", "target.bin - - -",
     b"0 41\n", "\nCan't Open target.bin!\n", [], (stdin_on_target,)),
    ("list: from a folder", "target.bin - - -", SAMPLE,
     "\nCan't Read Standard Input!\n", [], (stdin_a_folder, posix_only)),
    ("not a list unless all three words are -", "target.bin - 1 -", SAMPLE,
     "\nAddress Error!\n", [], (fed(b"00\n"),)),
    ("\\\\.\\UNC\\ form, standard output on the file it names",
     "'\\\\.\\UNC\\server\\share\\s.bin' 0 1 42", SAMPLE, None, [],
     (named("s.bin", "windows"), unc_share, stdout_appends_to_target)),
    ("\\??\\UNC\\ form, standard output on the file it names",
     "'\\??\\UNC\\server\\share\\s.bin' 0 1 42", SAMPLE, None, [],
     (named("s.bin", "windows"), unc_share, stdout_overwrites_target)),
]

# Lists whose ranges share a read of the old bytes: shuffled in one window;
# in order across a window's end and the file's; with an OLD that differs,
# or that the file does not reach, after a range the same read served.
def shared_read(what, ranges, old=None, message=None):
    lines = [(a, (old(a, n) + ":" if old else "") + PATTERN[a:a + n].hex())
             for a, n in ranges]
    old_bytes = [(a, list(BIG[a:a + n].ljust(n, b"\0"))) for a, n in ranges]
    return ("list: " + what, "target.bin - - -", BIG, message or list_report(
        *[(a, o, PATTERN[a:a + len(o)]) for a, o in old_bytes]),
        [] if message else [(a, PATTERN[a:a + n]) for a, n in ranges],
        (list_lines(*lines),))


CASES += [
    shared_read("ranges shuffled in one read", random.Random(3).sample(
        [(100 * i + i % 7, 3) for i in range(40)], 40)),
    shared_read("ranges across a read's end and the file's",
                [(10, 5), (32770, 5), (39990, 20), (40100, 4)]),
    shared_read("a mismatch in a range a read served before",
                [(10, 2), (500, 2)], lambda a, n: "%02x" % BIG[a] + ("ff" if a == 500
                                                                     else "%02x" % BIG[a + 1]),
                "\nMismatch At 0x1f5: Found 0x%x, Expected 0xff!\n" % BIG[501]),
    shared_read("OLD past the end in a read that served a range", [(39998, 2), (40010, 1)],
                lambda a, n: BIG[a:a + n].hex().ljust(2 * n, "0"),
                "\nMismatch At 0x9c4a: Found End Of File, Expected 0x0!\n")]

# The order of the checks: each row's words fail two, and the first speaks.
CASES += [("%s before %s" % (first, then), "target.bin " + words, SAMPLE,
           "\n%s\n" % message, [], ()) for first, then, words, message in [
              ("odd HexNumber", "Length's form", "x x ABC", "HexNumber Error!"),
              ("':' refused", "Length's form", "0 x 41:42:", "HexNumber Error!"),
              ("a second ':'", "Need More", "0 2 41::4", "HexNumber Error!"),
              ("Length's form", "Need More", "x x ''", "Length Error!"),
              ("Length's form", "OLD:NEW's halves", "0 x 01:ab", "Length Error!"),
              ("Need More", "the hex digits", "x 3 zzzz", "Need More HexNumber!"),
              ("the hex digits", "Address's form", "x 1 zz", "HexNumber Error!")]]
CASES += [("the range before the open", "missing.bin -1 1 ff", None,
           "\nAddress Out Of Range!\n", [], ())]

# Far offsets: a patch across each boundary of 32 bits that an offset's
# halves could get wrong.
CASES += [(name, "target.bin %d %d %s" % (at, len(new), new.hex()), SAMPLE,
           run_lines(at, [0] * len(new), list(new)), [(at, new)], ())
          for name, at, new in [
              ("last two bytes below 2 GiB", 2147483646, b"\x01\x02"),
              ("across 0x7fffffff and 0x80000000", 2147483647, b"\x01\x02"),
              ("Address 3000000000", 3000000000, b"\xff"),
              ("across 0xffffffff and 0x100000000", 4294967295, b"\x03\x04"),
              ("at 4 GiB", 4294967296, b"\x05")]]

# Addresses refused before the open: negative, or with a byte past the
# last offset, never saturated.
CASES += [(name, "target.bin " + words, SAMPLE, "\nAddress Out Of Range!\n",
           [], ()) for name, words in [
               ("negative Address refused", "-1 1 00"),
               ("negative Address refused with Length 0", "-5 0 ''"),
               ("a run past the last offset refused",
                "9223372036854775807 2 ffff"),
               ("Address past the last offset refused, not saturated",
                "9223372036854775808 0 ''"),
               ("Address of 20 digits refused", "99999999999999999999 1 ff")]]

# The file in use elsewhere: refused.
CASES += [(name, "target.bin 0 1 00", SAMPLE, "\nCan't Open target.bin!\n",
           [], setups) for name, setups in [
               ("flock held elsewhere, no lease to be had",
                (flock_held, other_owner)),
               ("lockf held elsewhere, no lease to be had",
                (lockf_held, other_owner)),
               ("held open for reading without a lock", (held_read,)),
               ("held open for writing without a lock", (held_write,)),
               ("mapped, its descriptor closed", (mapped,))]]

# Standard input refused for - with the file untouched: the words after
# the name, the input, and the message.
CASES += [("- " + what, "target.bin " + words, SAMPLE, "\n%s\n" % message, [],
           (fed(text),)) for what, words, text, message in [
              ("ends before the digits it needs", "0 3 -", b"41\n42\n",
               "Need More HexNumber!"),
              ("reads OLD:NEW already patched", "16 2 -", b"abcd:0120",
               "Already Patched!"),
              ("checks Address before a byte of input", "x 1 -", b"zz",
               "Address Error!"),
              ("reads OLD:NEW that does not match", "16 2 -", b"0121:abcd",
               "Mismatch At 0x11: Found 0x20, Expected 0x21!")]]

# Lists refused before the open, the file untouched: the input, and the
# message's kind and the line it names; the reader's other edge cases are
# the unit rows'.
CASES += [("list: " + what, "target.bin - - -", SAMPLE,
           "\n%s Line %d!\n" % (kind, line), [], (fed(text),))
          for what, text, kind, line in [
              ("address neither decimal nor 0x and hex digits",
               b"1 00\n0x1g 00\n", "Address Error At", 2),
              ("address past the last offset",
               b"9223372036854775808 00\n", "Address Out Of Range At", 1),
              ("a character that is no hex digit, before the end",
               b"0 00\n12 ag", "HexNumber Error At", 2),
              ("cut inside OLD:NEW",
               b"0 ff:10\n4096 aabb", "List Ends Inside", 2)]]

# Standard output on the target, appended to (>>) or overwriting it (>):
# the file refused, and no report in it, a refusal's or the usage's
# included.
CASES += [("%s, standard output %s the target: nothing in it" % (what, how),
           "target.bin " + words, BYTES, None, [],
           (stdout_appends_to_target if how == "appending to"
            else stdout_overwrites_target,))
          for what, words, how in [
              ("worked example", "16 2 ABcd", "on"),
              ("one byte", "0 1 ff", "appending to"),
              ("usage", "0 1", "appending to"),
              ("Length Error", "0 1x 41", "on")]]

# A part that ends in a dot or a space, which Win32 strips, the file without
# it beside: refused, and with standard output on that file, no report.
CASES += [row for typed, shown in [("s.bin.", "s.bin."), ("'s.bin '", "s.bin "),
                                   ("'s.bin. .'", "s.bin. ."),
                                   ("s.bin...", "s.bin...")]
          for row in [
              ("name ending %r" % shown[5:], typed + " 0 1 ff", SAMPLE,
               "\nCan't Open %s!\n" % shown, [], (named("s.bin"), dotted_twin)),
              ("name ending %r, standard output on the file Win32 makes of it"
               % shown[5:], typed + " 0 1 42", SAMPLE, None, [],
               (named("s.bin", "windows"), dotted_twin,
                stdout_appends_to_target))]]

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
    try:
        wine_restart(stop=False)
        yield
    finally:
        wine_restart(start=False)


def wine_restart(stop=True, start=True):
    """Stops the tests' Wine server, and starts it with its services."""
    quiet = dict(env=WINE_ENV, stdin=subprocess.DEVNULL,
                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if stop:
        subprocess.run(["wineserver", "--kill"], **quiet)
        subprocess.run(["wineserver", "--wait"], **quiet)
    if start:
        subprocess.run(["wineserver", "--persistent"], **quiet)
        subprocess.run(["wineboot", "--init"], timeout=900, **quiet)


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


def kinds_of(setups):
    return set().union(*(getattr(s, "kinds", set()) for s in setups))


def run_case(command, argv0, windows, case, work):
    name, words, before, out, edits, setups = case
    names = [s.target_name for s in setups if hasattr(s, "target_name")]
    target = os.path.join(work, names[0] if names else "target.bin")
    if before is not None:
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(before)
    run = Run(command, work, target, windows)
    run.words["work"] = "Z:" + work.replace("/", "\\\\") if windows else work
    try:
        for prepare in setups:
            prepare(run)
        for key, text in run.words.items():
            words = words.replace("{%s}" % key, text)
        names_before = sorted(os.listdir(work))
        mtime = os.stat(target).st_mtime_ns if before is not None else None
        try:
            feed = run.stdin if isinstance(run.stdin, bytes) else None
            done = subprocess.run(
                run.command + shlex.split(words), input=feed,
                stdin=None if feed is not None else run.stdin,
                cwd=run.cwd, stdout=run.stdout,
                stderr=subprocess.PIPE, timeout=120,
                env=WINE_ENV if windows else None,
                preexec_fn=lambda: [step() for step in run.in_child])
        finally:
            for descriptor in (run.stdout, run.stdin):
                if isinstance(descriptor, int) and descriptor >= 0:
                    os.close(descriptor)
    finally:
        for undo in reversed(run.after):
            undo()
    if run.output:
        done.stdout = run.output()

    faults = []
    if done.returncode != 0:
        faults.append("exit status %d" % done.returncode)
    if done.stderr and not windows:
        faults.append("standard error: %r" % done.stderr[:200])
    if out is not None:
        out = out.replace("{argv0}", argv0)
        for key, text in run.words.items():
            out = out.replace("{%s}" % key, text)
        want = os.fsencode(BANNER + out)
        if windows:  # to a pipe in the ANSI code page, Wine's 1252 here
            want = (BANNER + out).replace("\n", "\r\n").encode(
                "cp1252", "replace")
        if done.stdout != want:
            faults.append("output:\n%r\nexpected:\n%r"
                          % (done.stdout[-400:], want[-400:]))
    if before is not None:
        faults += file_faults(target, before, edits)
        if not edits and os.stat(target).st_mtime_ns != mtime:
            faults.append("modification time changed")
    for check in run.checks:  # after the file's, as a check may undo the run
        faults += check(done)
    grown = sorted(os.listdir(work))
    if grown != names_before:
        faults.append("files before %s, after %s" % (names_before, grown))
    return faults


def case_check(command, argv0, windows, case):
    def check():
        with tempfile.TemporaryDirectory() as work:
            return run_case(command, argv0, windows, case, work)
    return check


def in_empty_root(tool, root):
    """The command that runs tool in root, which holds only it, /dev/null,
    a /proc mount and the folder of temporary files, where the rows' own
    folders are; the mounts end with the run's mount namespace."""
    for folder in ("dev", "proc", "tmp"):
        os.makedirs(os.path.join(root, folder))
    open(os.path.join(root, "dev", "null"), "w").close()
    shutil.copy(tool, os.path.join(root, "bitmend"))
    return ["unshare", "-m", "--propagation", "private", "sh", "-c",
            'mount --bind /dev/null "$0/dev/null" && '
            'mount -t proc proc "$0/proc" && '
            'mount --bind "$1" "$0/tmp" && shift && '
            'exec unshare --root="$0" --wd="$PWD" /bitmend "$@"',
            root, tempfile.gettempdir()]


def main():
    args = sys.argv[1:]
    windows = args[:1] == ["--wine"]
    sanitized = args[:1] == ["--sanitized"]
    empty_root = args[:1] == ["--empty-root"]
    exe = os.path.abspath(args[-1])
    command = ["wine", exe] if windows else [exe]
    argv0 = "Z:" + exe.replace("/", "\\") if windows else exe
    # Rows for the other build, and those that the sanitizers' runtime
    # cannot run (it needs /proc and cannot run traced), are not for this
    # run; they are no skips.
    not_here = {"posix" if windows else "windows"} | (
        {"unsanitized"} if sanitized else set()) | (
        {"bare", "host"} if empty_root else set())
    cases = [case for case in CASES if not kinds_of(case[5]) & not_here]
    print("%d rows not for this build" % (len(CASES) - len(cases)))
    if empty_root and os.geteuid() != 0:
        def skip():
            raise Skip("needs root (a mount namespace and a chroot)")
        return report_results([("the rows in an empty root", skip)])
    if windows and not shutil.which("wineserver"):
        return wine_missing()
    with contextlib.ExitStack() as stack:
        if windows:
            stack.enter_context(wine_server(os.path.dirname(exe)))
        if empty_root:
            root = stack.enter_context(tempfile.TemporaryDirectory())
            command, argv0 = in_empty_root(exe, root), "/bitmend"
        return report_results(
            (case[0], case_check(command, argv0, windows, case))
            for case in cases)


if __name__ == "__main__":
    sys.exit(main())
