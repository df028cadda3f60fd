#!/usr/bin/env python3
"""The tool under attack: injected I/O and lease failures, kill -9 and
other signals mid-patch, two runs racing for one file, its path swapped for
a FIFO or standard output's file while it runs, its lease broken or its
file moved away while its report waits, and a report that cannot be kept.
Every run but a killed one must end with status 0.

usage: faults.py BITMEND FAULT_SHIM.so
       faults.py --wine BITMEND.EXE   (kills, races and a full disk)
"""
import contextlib
import errno
import fcntl
import itertools
import os
import random
import resource
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from end_to_end import (BANNER, PATTERN, Skip, byte_lines, fifo_waiter,
                        list_report, need_root, need_tool, report_results,
                        run_lines, seeking, stalled, WINE_ENV, wine_missing,
                        wine_restart, wine_server)

BLOCK = 32768  # bytes the tool writes at a time
ORIGINAL = bytes((i * 37 + 11) & 0xFF for i in range(48))
ADDRESS, LENGTH = 8, 24
NEW = bytes((0xA0 + i) & 0xFF for i in range(LENGTH))
OLD = ORIGINAL[ADDRESS:ADDRESS + LENGTH]
LINE = re.compile(rb"\((\d+)\)\.Offset 0x([0-9a-f]+):  \[0x[0-9a-f]+\]->"
                  rb"\[0x([0-9a-f]+)\]\.\.\.OK\n")


def patched(count):
    """The target with the first count bytes of the patch written."""
    return (ORIGINAL[:ADDRESS] + NEW[:count] + ORIGINAL[ADDRESS + count:])


def expected(call, code, k):
    """Output after the banner and file contents for one injected fault."""
    if code == 0:
        return run_lines(ADDRESS, OLD, NEW), patched(LENGTH)
    head = seeking(ADDRESS) + byte_lines(ADDRESS, OLD[:k], NEW[:k])
    if call in ("close", "fdatasync"):
        return (seeking(ADDRESS) + byte_lines(ADDRESS, OLD, NEW)
                + "\nCan't %s target.bin!\n"
                % ("Close" if call == "close" else "Flush"), patched(LENGTH))
    if call == "compare":  # OLD unread is no match: nothing written
        return "\nCan't Read 0x%x!\n" % (ADDRESS + k), patched(0)
    if call == "list":  # the first range, then nothing of the second
        return seeking(ADDRESS) + byte_lines(ADDRESS, OLD[:LENGTH // 2], NEW) + seeking(
            ADDRESS + LENGTH // 2) + "\nCan't Read 0x%x!\n" % (ADDRESS + k), patched(LENGTH // 2)
    if call == "pread":  # nothing of a block whose old bytes are unknown
        return seeking(ADDRESS) + "\nCan't Read 0x%x!\n" % (ADDRESS + k), \
            patched(0)
    return (head + "(%d).Offset 0x%x:  [0x%x]->[0x%x]...\nCan't Write 0x%x!\n"
            % (k, ADDRESS + k, OLD[k], NEW[k], ADDRESS + k), patched(k))


def how(code):
    return errno.errorcode.get(code, "short" if code == 0 else "end")


def injected_faults(tool, shim, work):
    """Every call failing at every byte of the patch, or falling short."""
    target = os.path.join(work, "target.bin")
    cases = [(call, code, k) for call in ("pread", "pwrite")
             for code in (errno.ENOSPC, errno.EIO, 0)
             for k in range(LENGTH)]
    # Reads that end before the file's size: its "bytes" are made up.
    cases += [("pread", -1, k) for k in (0, LENGTH // 2, LENGTH - 1)]
    cases += [(call, code, ADDRESS) for call in ("fdatasync", "close")
              for code in (errno.ENOSPC, errno.EIO)]
    # The compare's reads of an OLD:NEW word.
    cases += [("compare", errno.EIO, k) for k in (0, LENGTH - 1)]
    # A list of two ranges, the read of the first reaching into the second,
    # which fails there: the first is written, the second reported.
    cases += [("list", errno.EIO, k) for k in (LENGTH // 2, LENGTH - 1)]
    faults = []
    for call, code, k in cases:
        with open(target, "wb") as f:
            f.write(ORIGINAL)
        env = dict(os.environ, LD_PRELOAD=shim, BITMEND_FAULT="%s %d %d" % (
            "pread" if call in ("compare", "list") else call, code, ADDRESS + k))
        hex_number = (OLD.hex() + ":" if call == "compare" else "") + NEW.hex()
        half = LENGTH // 2
        words = ["-", "-", "-"] if call == "list" else [str(ADDRESS), str(LENGTH), hex_number]
        run = subprocess.run(tool + ["target.bin"] + words, cwd=work, env=env,
                             input=b"%d %s\n%d %s\n" % (ADDRESS, NEW[:half].hex().encode(),
                                                        ADDRESS + half, NEW[half:].hex().encode()),
                             capture_output=True, timeout=30)
        out, contents = expected(call, code, k)
        if run.returncode != 0:
            faults.append("%s at byte %d: status %d" % (call, k, run.returncode))
        if run.stdout != (BANNER + out).encode():
            faults.append("%s %s at byte %d: output %r" % (
                call, how(code), k, run.stdout[-120:]))
        if open(target, "rb").read() != contents:
            faults.append("%s %s at byte %d: file differs" % (call, how(code), k))
    return faults, "%d runs" % len(cases)


def check_after_kill(target, before, address, new, report):
    """Every byte reported OK is in the file; nothing outside the range
    changed; inside it, each byte is old or new, and the changed bytes
    without a line lie in one block of the run."""
    after = open(target, "rb").read()
    faults = []
    if len(after) != len(before) or after[:address] != before[:address] or \
            after[address + len(new):] != before[address + len(new):]:
        faults.append("bytes outside the range changed")
    reported = set()
    for index, offset, value in LINE.findall(report):
        offset, value = int(offset, 16), int(value, 16)
        reported.add(offset)
        if after[offset] != value:
            faults.append("byte %s reported OK is not in the file" % index)
    unreported_blocks = set()
    for i, byte in enumerate(after[address:address + len(new)]):
        if byte not in (before[address + i], new[i]):
            faults.append("byte %d is neither old nor new" % i)
        elif byte != before[address + i] and address + i not in reported:
            unreported_blocks.add(i // BLOCK)
    if len(unreported_blocks) > 1:
        faults.append("changed bytes without lines in blocks %s"
                      % sorted(unreported_blocks))
    return faults


# A list of OLD:NEW lines out of order, from one byte to parts of three
# blocks, and a word's one range, in a file of 128,000 bytes.
CUT_FILE = bytes(range(256)) * 500
CUT_LIST = [(300, 5), (40, 1), (41, 3), (70000, 40000), (200, 2)]


def run_call(tool, work, contents, ranges, before=None, after=PATTERN,
             **options):
    """target.bin holding contents, the call that turns before into after
    over ranges (plain lines without before): four words for one range, a
    list for more. Returns the run and the file after it."""
    target = os.path.join(work, "target.bin")
    with open(target, "wb") as f:
        f.write(contents)
    hexes = [(before[a:a + n].hex() + ":" if before else "")
             + after[a:a + n].hex() for a, n in ranges]
    listed = len(ranges) > 1
    words = ["-", "-", "-"] if listed else [str(n) for n in ranges[0]] + hexes
    text = "".join("%d %s\n" % (a, h) for (a, _), h in zip(ranges, hexes))
    run = subprocess.run(tool + ["target.bin"] + words, cwd=work,
                         input=text.encode() if listed else b"",
                         capture_output=True, timeout=60, **options)
    return run, open(target, "rb").read()


def cut_off_runs(tool, shim, work):
    """A run cut off by a kill at a write, or by a file-size limit at an
    odd byte, leaves each byte old or new: the same call finishes it,
    reporting the bytes the file held, the call with its halves swapped
    undoes it, and a byte that is neither refuses both."""
    faults = []
    for ranges, cut, at in [
            (CUT_LIST, "kill", 41 + 1), (CUT_LIST, "kill", 70000 + BLOCK + 5),
            (CUT_LIST, "limit", 303), (CUT_LIST, "limit", 70000 + 12345),
            ([(70000, 16000)], "kill", 79999), ([(70000, 16000)], "limit", 70777)]:
        name = "%d ranges cut by a %s at %d" % (len(ranges), cut, at)
        new = bytearray(CUT_FILE)
        for a, n in ranges:
            new[a:a + n] = bytes(byte ^ 0xA5 for byte in CUT_FILE[a:a + n])
        new = bytes(new)
        options = dict(env=dict(os.environ, LD_PRELOAD=shim,
                                BITMEND_FAULT="pwrite -9 %d" % at)) \
            if cut == "kill" else dict(preexec_fn=lambda: resource.setrlimit(
                resource.RLIMIT_FSIZE, (at, at)))
        run, cut_file = run_call(tool, work, CUT_FILE, ranges, CUT_FILE, new,
                                 **options)
        ended = run.returncode == -signal.SIGKILL if cut == "kill" else \
            run.stdout.endswith(b"\nCan't Write 0x%x!\n" % at)
        if not ended or cut_file[at - 1:at + 1] != new[at - 1:at] + CUT_FILE[at:at + 1]:
            faults.append("%s: not cut there, %r" % (name, run.stdout[-40:]))
            continue
        last = ranges[-1][0] + ranges[-1][1] - 1
        for to, back in [(new, CUT_FILE), (CUT_FILE, new)]:
            done, after = run_call(tool, work, cut_file, ranges, back, to)
            if done.stdout.decode() != BANNER + "\nPartly Patched, Finishing...\n" \
                    + list_report(*[(a, cut_file[a:a + n], to[a:a + n])
                                    for a, n in ranges]) or after != to:
                faults.append("%s: the call to %s ends %r" % (
                    name, "NEW" if to is new else "OLD", done.stdout[-60:]))
            other = bytearray(cut_file)  # its last byte neither OLD nor NEW
            other[last] = back[last] ^ 0x0F
            refused, after = run_call(tool, work, bytes(other), ranges, back, to)
            if refused.stdout.decode() != BANNER + "\nMismatch At 0x%x: Found " \
                    "0x%x, Expected 0x%x!\n" % (last, other[last], back[last]) \
                    or after != other:
                faults.append("%s: a byte neither OLD nor NEW, %r" % (
                    name, refused.stdout[-60:]))
    return faults


def report_loses_a_block(tool, shim, work):
    """The report's first block is lost (a disk full for a moment) in a
    patch too short for the run to look at the report on its way: the
    bytes are written, and the run ends Can't Write past the last, never
    Done!."""
    faults = []
    for ranges in ([(1000, 2000)], [(3 * i, 1) for i in range(3000)]):
        run, after = run_call(tool, work, bytes(10000), ranges, env=dict(
            os.environ, LD_PRELOAD=shim, BITMEND_FAULT="write %d 1" % errno.ENOSPC))
        a, n = ranges[-1]
        if not run.stdout.endswith(b"\nCan't Write 0x%x!\n" % (a + n)) or any(
                after[a:a + n] != PATTERN[a:a + n] for a, n in ranges):
            faults.append("%d ranges: the report ends %r"
                          % (len(ranges), run.stdout[-40:]))
    return faults


def read_exactly(pipe, count):
    data = b""
    while len(data) < count:
        chunk = os.read(pipe.fileno(), count - len(data))
        if not chunk:
            break
        data += chunk
    return data


def kills(tool, work):
    """kill -9 while the report pipe is full, near the end of the first
    block's lines, and after random delays; and, on Linux, the signals a
    user sends, which wait until the report is out."""
    windows = tool[0] == "wine"
    eol = b"\r\n" if windows else b"\n"
    target = os.path.join(work, "target.bin")
    before = bytes(range(256)) * 400
    # Windows caps a command line at 32767 characters: one block at most.
    address, length = 1000, 16000 if windows else 60000
    new = PATTERN[:length]
    old = before[address:address + length]
    whole = (BANNER + run_lines(address, old, new)).encode().replace(b"\n", eol)
    # Read up to a little more than a pipe's worth before the end of the
    # first block's lines: the rest of them must go out before the second
    # block is written.
    first_block = len((BANNER + seeking(address) + byte_lines(
        address, old[:BLOCK], new[:BLOCK])).encode().replace(b"\n", eol))
    rng = random.Random(1)
    held = [] if windows else [signal.SIGTERM, signal.SIGINT, signal.SIGHUP]
    # Each run: the signal, the delay before reading, and the bytes read
    # before it is sent (None: at random).
    runs = ([(signal.SIGKILL, 0, 0)] * 5 + [(sig, 0, 0) for sig in held]
            + [(signal.SIGKILL, 0, first_block - 70000)] * 3
            + [(signal.SIGKILL, rng.uniform(0, 0.03), None)
               for _ in range(25)])
    faults = []
    for sig, delay, count in runs:
        with open(target, "wb") as f:
            f.write(before)
        run = subprocess.Popen(tool + ["target.bin", str(address), str(length),
                                new.hex()], cwd=work, stdout=subprocess.PIPE)
        time.sleep(delay)
        if count is None:
            report = os.read(run.stdout.fileno(), rng.randint(1, 1 << 16))
        else:  # then nobody reads: the pipe fills and the tool waits
            report = read_exactly(run.stdout, count)
            time.sleep(0.2)
        run.send_signal(sig)
        report += run.stdout.read()
        run.wait()
        faults += check_after_kill(target, before, address, new,
                                   report.replace(b"\r\n", b"\n"))
        if sig in held and (report != whole or run.returncode != -sig):
            faults.append("%s: status %d, report of %d bytes, not %d" % (
                sig.name, run.returncode, len(report), len(whole)))
    return faults, "%d runs" % len(runs)


@contextlib.contextmanager
def lease_break_lock(kind):
    """The machine-wide lock on /proc/sys/fs/lease-break-time, held
    (fcntl.LOCK_EX) while a run changes it and shared (LOCK_SH) while a run
    relies on it: two suites at once neither break each other's rows nor
    put back each other's value."""
    folder = "/run/lock" if os.path.isdir("/run/lock") else "/tmp"
    fd = os.open(os.path.join(folder, "bitmend-lease-break-time"),
                 os.O_RDONLY | os.O_CREAT, 0o644)
    try:
        fcntl.flock(fd, kind)
        yield
    finally:
        os.close(fd)


def races(tool, work, shim=None):
    """Two runs on one file at once, each held mid-run by its unread report:
    one patches and the other is refused, and while the winner holds the
    file, nobody else opens it (on Linux; Wine's share modes do not reach
    Linux processes). With the shim, both hold the file open before either
    asks for the lease, every time."""
    windows = tool[0] == "wine"
    target = os.path.join(work, "target.bin")
    length = 15000 if windows else 20000
    faults, ties, pairs = [], 0, 50 if windows else 100
    for pair in range(pairs):
        with open(target, "wb") as f:
            f.write(bytes(length))
        env = None
        if shim:
            env = dict(os.environ, LD_PRELOAD=shim,
                       BITMEND_TIE=os.path.join(work, "tie%d" % pair))
            open(env["BITMEND_TIE"], "wb").close()
        runs = [subprocess.Popen(tool + ["target.bin", "0", str(length),
                                  pattern * length], cwd=work, env=env,
                                 stdout=subprocess.PIPE)
                for pattern in ("aa", "bb")]
        # The loser ends on its own; the winner waits on its full pipe.
        deadline = time.monotonic() + 30
        while all(run.poll() is None for run in runs) and \
                time.monotonic() < deadline:
            time.sleep(0.001)
        time.sleep(0.05)
        try:
            if not windows and any(run.poll() is None for run in runs):
                os.close(os.open(target, os.O_RDONLY | os.O_NONBLOCK))
                faults.append("opened the file while a run held it")
        except BlockingIOError:
            pass
        outs = [run.communicate()[0].replace(b"\r\n", b"\n") for run in runs]
        if any(run.returncode != 0 for run in runs):
            faults.append("status %r" % [run.returncode for run in runs])
        done = [out.endswith(b"\nDone!\n") for out in outs]
        refused = [out.endswith(b"\nCan't Open target.bin!\n") for out in outs]
        if sorted(done) != [False, True] or not refused[done.index(False)]:
            faults.append("not one winner and one refused: %r" % [
                out[-24:] for out in outs])
            ties += not any(done)
        elif open(target, "rb").read() != (b"\xaa" if done[0] else
                                             b"\xbb") * length:
            faults.append("the file is not the winner's patch")
    return faults, "%d pairs, %d of them with no winner" % (pairs, ties)


def tied_races(tool, shim, work):
    with lease_break_lock(fcntl.LOCK_SH):
        return races(tool, work, shim)


def untied_races(tool, work):
    with lease_break_lock(fcntl.LOCK_SH):
        return races(tool, work)


def swap_link(link, names, runs, run_one):
    """Runs run_one() runs times while another thread points link at each
    of names in turn, as fast as it can."""
    stop = threading.Event()

    def swap():
        while not stop.is_set():
            for name in names:
                os.symlink(name, link + ".new")
                os.replace(link + ".new", link)
    swapper = threading.Thread(target=swap)
    swapper.start()
    try:
        return [fault for _ in range(runs) for fault in run_one()]
    finally:
        stop.set()
        swapper.join()


ENDINGS = (b"\nDone!\n", b"\nCan't Open link!\n", b"\nCan't Hold link!\n")


def swapped_with_fifo(work, run_all):
    """run_all() while the path, a symlink, is swapped between the file and
    a FIFO: the FIFO is never opened, so a reader waiting on it is never let
    go, and the file only ever gets the patch."""
    target, fifo = os.path.join(work, "target.bin"), os.path.join(work, "fifo")
    with open(target, "wb") as f:
        f.write(ORIGINAL)
    os.mkfifo(fifo)
    with fifo_waiter(fifo) as released:
        faults = swap_link(os.path.join(work, "link"), ("fifo", "target.bin"),
                           1, run_all)
    if released:
        faults.append("a reader waiting on the FIFO was let go %d times"
                      % len(released))
    if open(target, "rb").read() not in (ORIGINAL, b"\xa1\xa2\xa3\xa4" + ORIGINAL[4:]):
        faults.append("the file holds more than the patch")
    return faults


def swaps(tool, work):
    def run_all():
        faults = []
        for _ in range(2000):
            done = subprocess.run(tool + ["link", "0", "4", "a1a2a3a4"],
                                  cwd=work, capture_output=True, timeout=30)
            if done.returncode != 0 or not done.stdout.endswith(ENDINGS):
                faults.append("status %d, output %r" % (
                    done.returncode, done.stdout[-40:]))
        return faults
    return swapped_with_fifo(work, run_all)


def swaps_without_proc(tool, work):
    """The same without /proc, where every run refuses the file."""
    need_root("a mount namespace")
    need_tool("unshare")

    def run_all():
        done = subprocess.run(
            ["unshare", "-m", "--propagation", "private", "sh", "-c",
             'mount -t tmpfs none /proc && i=0; while [ $i -lt 400 ]; do '
             '"$0" link 0 4 a1a2a3a4; i=$((i + 1)); done'] + tool,
            cwd=work, capture_output=True, timeout=300)
        refused = done.stdout.count(ENDINGS[1])
        return [] if refused == 400 else ["%d of 400 runs refused" % refused]
    return swapped_with_fifo(work, run_all)


def proc_entry_swapped(tool, work):
    """Behind a tmpfs over /proc, /proc/self/fd/3, where the run looks for
    the file it checked, swapped as fast as a shell can between that file
    and another: the other file is never patched."""
    need_root("a mount namespace")
    need_tool("unshare")
    for name in ("target.bin", "other.bin"):
        with open(os.path.join(work, name), "wb") as f:
            f.write(ORIGINAL)
    done = subprocess.run(
        ["unshare", "-m", "--propagation", "private", "sh", "-c",
         'mount -t tmpfs none /proc && mkdir -p /proc/self/fd && '
         '(while :; do ln -sfn "$PWD/other.bin" /proc/self/fd/3; '
         'ln -sfn "$PWD/target.bin" /proc/self/fd/3; done) & i=0; '
         'while [ $i -lt 1000 ]; do "$0" target.bin 0 4 a1a2a3a4; '
         'i=$((i + 1)); done; kill $!'] + tool,
        cwd=work, capture_output=True, timeout=300)
    faults = [] if done.returncode == 0 else ["status %d" % done.returncode]
    if open(os.path.join(work, "other.bin"), "rb").read() != ORIGINAL:
        faults.append("the other file was patched")
    return faults, "%d of 1000 runs patched" % done.stdout.count(b"\nDone!\n")


def swaps_onto_output(tool, work):
    """The path swapped, for a user who gets no lease (on another owner's
    files), between the file and the file standard output appends to:
    that file is never patched, with /proc and without it, where the
    checked file is opened again by its path."""
    need_root("another owner's files and a mount namespace")
    need_tool("unshare")
    need_tool("setpriv")
    os.chmod(work, 0o777)
    for name in ("target.bin", "report.bin"):
        with open(os.path.join(work, name), "wb") as f:
            f.write(ORIGINAL if name == "target.bin" else b"")
        os.chmod(os.path.join(work, name), 0o666)
    nobody = shutil.copy(tool[0], os.path.join(work, "bitmend"))
    loop = ('exec setpriv --reuid=65534 --regid=65534 --clear-groups sh -c '
            '\'i=0; while [ $i -lt 300 ]; do "$0" link 0 4 a1a2a3a4; '
            'i=$((i + 1)); done\' "$0"')
    faults, notes = [], []
    for proc in ("", "mount -t tmpfs none /proc && "):
        with open(os.path.join(work, "report.bin"), "wb") as output:
            faults += swap_link(
                os.path.join(work, "link"), ("target.bin", "report.bin"), 1,
                lambda: [] if subprocess.run(
                    ["unshare", "-m", "--propagation", "private", "sh", "-c",
                     proc + loop, nobody], cwd=work, stdout=output,
                    timeout=300).returncode == 0 else ["status"])
        out = open(os.path.join(work, "report.bin"), "rb").read()
        if b"\xa1" in out:
            faults.append("the file standard output appends to was patched")
        notes.append("%d of 300 runs patched %s /proc" % (
            out.count(b"\nDone!\n"), "without" if proc else "with"))
    return faults, ", ".join(notes)


# Run as the tool's own user, as its parent: starts a run of two blocks,
# waits for its first byte of report, then reaches into it as argv[2] says,
# and prints how far it got.
REACHER = r"""
import ctypes, os, subprocess, sys
tool, how, target, length, new, at = sys.argv[1:7]
run = subprocess.Popen([tool, target, "0", length, new], stdout=subprocess.PIPE)
report = os.read(run.stdout.fileno(), 1)
reached = "refused"
try:
    if how == "pidfd_getfd":
        libc = ctypes.CDLL(None, use_errno=True)
        pidfd = os.pidfd_open(run.pid)
        for number in range(3, 16):
            fd = libc.syscall(438, pidfd, number, 0)
            if fd >= 0 and os.path.samestat(os.fstat(fd), os.stat(target)):
                os.pwrite(fd, b"\x66" * 16, int(at))
                reached = "wrote"
    else:
        theirs = bytes.fromhex(new)[int(at):int(at) + 16]
        with open("/proc/%d/mem" % run.pid, "r+b", buffering=0) as mem:
            for line in open("/proc/%d/maps" % run.pid):
                span, mode = line.split()[:2]
                if mode.startswith("rw"):
                    start, end = (int(x, 16) for x in span.split("-"))
                    mem.seek(start)
                    data = mem.read(end - start)
                    found = data.find(theirs)
                    while found >= 0:
                        mem.seek(start + found)
                        mem.write(b"\x66" * 16)
                        reached = "wrote"
                        found = data.find(theirs, found + 1)
except OSError:
    pass
report += run.communicate()[0]
sys.stdout.buffer.write(reached.encode() + b"\n" + report)
"""


def reached_into(tool, work):
    """Another process of the tool's own user, mid-run, takes its descriptor
    with pidfd_getfd (no open, so no lease breaks) and writes past the
    range, or rewrites its new bytes through /proc/PID/mem: neither gets
    in, and the file holds exactly the bytes named."""
    length, at = 65535, 40000
    before = bytes(range(256)) * 320
    new = PATTERN[:length]
    runner, python = tool[0], sys.executable
    if os.geteuid() == 0:  # as root both ways get in anyway
        os.chmod(work, 0o777)
        runner = shutil.copy(tool[0], os.path.join(work, "bitmend"))
        python = "/usr/bin/python3"  # one that nobody may run
    faults = []
    for how in ("pidfd_getfd", "/proc/PID/mem"):
        target = os.path.join(work, "target.bin")
        with open(target, "wb") as f:
            f.write(before)
        if os.geteuid() == 0:
            os.chown(target, 65534, 65534)
        done = subprocess.run(
            [python, "-c", REACHER, runner, how, target, str(length),
             new.hex(), str(at)], capture_output=True, timeout=120,
            preexec_fn=(lambda: (os.setgid(65534), os.setuid(65534)))
            if os.geteuid() == 0 else None)
        reached, _, report = done.stdout.partition(b"\n")
        if reached != b"refused" or open(target, "rb").read() != (
                new + before[length:]):
            faults.append("%s: %s, the report ends %r" % (
                how, reached.decode(), report[-30:]))
    return faults


@contextlib.contextmanager
def lease_break_time(seconds):
    """/proc/sys/fs/lease-break-time set for the body, then put back."""
    need_root("sets /proc/sys/fs/lease-break-time")
    knob = "/proc/sys/fs/lease-break-time"
    with lease_break_lock(fcntl.LOCK_EX):
        saved = open(knob).read()
        try:
            with open(knob, "w") as f:
                f.write(str(seconds))
            yield
        finally:
            with open(knob, "w") as f:
                f.write(saved)


@contextlib.contextmanager
def cgroup(kind):
    """A cgroup of the tests' own: "freeze" in the cgroup2 hierarchy, or
    "blkio" in the v1 one where it is mounted, else cgroup2 with its io
    controller. Yields its folder and the name of its throttle file; at the
    end it is thawed, what is left in it killed, and it is removed."""
    need_root("makes a cgroup")
    mounts = [line.split()[1:4] for line in open("/proc/mounts")]
    v1 = [p for p, fs, opts in mounts if fs == "cgroup" and kind in opts.split(",")]
    v2 = [p for p, fs, _ in mounts if fs == "cgroup2"]
    if v1:
        parent, throttle = v1[0], "blkio.throttle.read_bps_device"
    elif v2 and (kind == "freeze" or "io" in open(os.path.join(
            v2[0], "cgroup.subtree_control")).read().split()):
        parent, throttle = v2[0], "io.max"
    else:
        raise Skip("no cgroup hierarchy for %s" % kind)
    folder = os.path.join(parent, "bitmend-test-%d" % os.getpid())
    os.mkdir(folder)
    try:
        yield folder, throttle
    finally:
        if os.path.exists(os.path.join(folder, "cgroup.freeze")):
            write_to(folder, "cgroup.freeze", "0")
        for pid in open(os.path.join(folder, "cgroup.procs")).read().split():
            os.kill(int(pid), signal.SIGKILL)
        for _ in range(100):
            try:
                os.rmdir(folder)
                break
            except OSError:  # until its processes are gone
                time.sleep(0.05)


def write_to(folder, name, text):
    with open(os.path.join(folder, name), "w") as f:
        f.write(text)


def joining(folder):
    """For preexec_fn: the child joins the cgroup in folder."""
    return lambda: write_to(folder, "cgroup.procs", str(os.getpid()))


def lease_break(tool, work, frozen=False, pids_only=False):
    """A run of two blocks stalls on its unread report; another process
    opens the file, waits out the lease-break time (set to 1 s) and writes
    16 bytes in the second block. The run must not overwrite them, and
    must end Can't Hold, not Done!."""
    target = os.path.join(work, "target.bin")
    before = bytes(range(256)) * 256
    length = 65535
    theirs, at = b"\x5a" * 16, 40000
    with open(target, "wb") as f:
        f.write(before)
    waited = []

    def write_theirs():
        if frozen:
            write_to(group, "cgroup.freeze", "1")
        started = time.monotonic()
        fd = os.open(target, os.O_RDWR)  # waits for the lease to go
        waited.append(time.monotonic() - started)
        os.pwrite(fd, theirs, at)
        os.close(fd)
        write_to(group, "cgroup.freeze", "0")
    command = tool
    if pids_only:  # and so without the break time
        need_tool("unshare")
        command = ["unshare", "-m", "--propagation", "private", "sh", "-c",
                   'mount -t proc -o subset=pid proc /proc && exec "$0" "$@"'
                   ] + tool
    with lease_break_time(1), cgroup("freeze") as (group, _):
        report, status = stalled(command, ["target.bin", "0", str(length),
                                           PATTERN[:length].hex()],
                                 write_theirs, cwd=work,
                                 preexec_fn=joining(group))
    after = open(target, "rb").read()
    faults = [] if status == 0 else ["status %d" % status]
    if waited[0] < 0.5:
        faults.append("the writer got in after %.2f s: no lease held" % waited[0])
    if after[at:at + 16] != theirs:
        faults.append("the other writer's bytes were overwritten")
    if after[BLOCK:at] + after[at + 16:] != before[BLOCK:at] + before[at + 16:]:
        faults.append("bytes past the first block were written")
    if not report.endswith(b"\nCan't Hold target.bin!\n"):
        faults.append("the report ends %r" % report[-40:])
    return faults


def lease_break_frozen(tool, work):
    """The same, the run frozen in its cgroup (as docker pause does) from
    its first byte of report until the other process has written."""
    return lease_break(tool, work, frozen=True)


def lease_break_pids_only(tool, work):
    """The same with a /proc of processes alone, as some containers mount
    it, where the break time cannot be read: a break counts as lost."""
    return lease_break(tool, work, pids_only=True)


def lease_refused(tool, shim, work):
    """The kernel refuses the lease while another process has the file
    open: only "not the owner" and "no leases here" go on with the locks
    alone; any other error refuses the file."""
    target = os.path.join(work, "target.bin")
    faults = []
    for code in (errno.EBUSY, errno.ENOMEM, errno.EAGAIN, errno.EACCES,
                 errno.EINVAL):
        with open(target, "wb") as f:
            f.write(ORIGINAL)
        with open(target, "rb"):  # held open without a lock
            done = subprocess.run(
                tool + ["target.bin", "0", "1", "ff"], cwd=work,
                capture_output=True, timeout=30, env=dict(
                    os.environ, LD_PRELOAD=shim,
                    BITMEND_FAULT="F_SETLEASE %d 0" % code))
        goes_on = code in (errno.EACCES, errno.EINVAL)
        want = (run_lines(0, ORIGINAL[:1], b"\xff") if goes_on
                else "\nCan't Open target.bin!\n")
        if done.returncode != 0 or done.stdout != (BANNER + want).encode():
            faults.append("%s: status %d, output %r" % (
                errno.errorcode[code], done.returncode, done.stdout[-40:]))
        if open(target, "rb").read()[:1] != (b"\xff" if goes_on else ORIGINAL[:1]):
            faults.append("%s: the file is not as the report says"
                          % errno.errorcode[code])
    return faults


def stopped_after_last_look(tool, work):
    """Inherent: the run stopped for 1.5 s (strace's delay injection)
    between its last look at the lease and the write of its second block,
    while another process opens the file, is let in once the break time
    (1 s) runs out, and writes there. Linux cannot tie a write to a lease,
    so the other process's bytes may be overwritten; but the run must end
    Can't Hold, never Done!. Tells how often the bytes were overwritten."""
    need_tool("strace")
    target = os.path.join(work, "target.bin")
    before, length = bytes(range(256)) * 256, 65535
    theirs, at = b"\x5a" * 16, 40000
    first_block = len((BANNER + seeking(0) + byte_lines(
        0, before[:BLOCK], PATTERN[:BLOCK])).encode())
    runs, overwritten, faults = 5, 0, []
    with lease_break_time(1):
        for _ in range(runs):
            with open(target, "wb") as f:
                f.write(before)
            run = subprocess.Popen(
                ["strace", "-qq", "-o", "/dev/null", "-e", "trace=pwrite64",
                 "-e", "inject=pwrite64:delay_enter=1500000:when=2"] + tool
                + ["target.bin", "0", str(length), PATTERN[:length].hex()],
                cwd=work, stdout=subprocess.PIPE)
            # Every line of the first block: the run goes on to its last
            # look and into the write of the second.
            report = read_exactly(run.stdout, first_block)
            fd = os.open(target, os.O_RDWR)  # waits for the lease to go
            os.pwrite(fd, theirs, at)
            os.close(fd)
            report += run.communicate(timeout=60)[0]
            overwritten += open(target, "rb").read()[at:at + 16] != theirs
            if run.returncode != 0 or not report.endswith(
                    b"\nCan't Hold target.bin!\n"):
                faults.append("status %d, the report ends %r"
                              % (run.returncode, report[-40:]))
    return faults, "the other bytes overwritten in %d of %d runs" % (
        overwritten, runs)


def wait_for_lease(path, timeout=30):
    inode = ":%d " % os.stat(path).st_ino
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if any("LEASE" in line and inode in line for line in open("/proc/locks")):
            return
        time.sleep(0.001)
    raise TimeoutError("no lease on %s" % path)


def slow_first_read(tool, work):
    """The target on a cold file system on a loop device, read-throttled by
    a cgroup as a container's I/O limit would be: while the run's first read
    waits, another process opens the file, is let in when the lease is
    dropped after 1 s, and writes. The run must write nothing and not end
    Done!."""
    need_root("sets up a loop device")
    need_tool("mkfs.ext4")
    image, disk = os.path.join(work, "disk.img"), os.path.join(work, "disk")
    os.mkdir(disk)
    with open(image, "wb") as f:
        f.truncate(16 << 20)
    subprocess.run(["mkfs.ext4", "-q", image], check=True)
    loop = subprocess.run(["losetup", "--find", "--show", image], check=True,
                          capture_output=True, text=True).stdout.strip()
    target = os.path.join(disk, "target.bin")
    before, theirs = bytes(range(256)) * 256, b"\x5a" * 16
    try:
        subprocess.run(["mount", loop, disk], check=True)
        try:
            with open(target, "wb") as f:
                f.write(before)
                os.fsync(f.fileno())
                os.posix_fadvise(f.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)
            device = os.stat(loop).st_rdev
            with lease_break_time(1), cgroup("blkio") as (group, throttle):
                write_to(group, throttle, "%d:%d %s" % (
                    os.major(device), os.minor(device),
                    "rbps=16384" if throttle == "io.max" else "16384"))
                run = subprocess.Popen(tool + ["target.bin", "0", "100",
                                        "a5" * 100], cwd=disk,
                                       stdout=subprocess.PIPE,
                                       preexec_fn=joining(group))
                wait_for_lease(target)
                fd = os.open(target, os.O_RDWR)  # waits for the lease to go
                os.pwrite(fd, theirs, 10)
                os.close(fd)
                report = run.communicate(timeout=120)[0]
            after = open(target, "rb").read()
        finally:
            subprocess.run(["umount", disk], check=True)
    finally:
        subprocess.run(["losetup", "--detach", loop], check=True)
    faults = [] if run.returncode == 0 else ["status %d" % run.returncode]
    if after != before[:10] + theirs + before[26:]:
        faults.append("the file holds more than the other writer's bytes")
    if not report.endswith(b"\nCan't Hold target.bin!\n"):
        faults.append("the report ends %r" % report[-40:])
    return faults


def saved(work):
    """A new FILE written beside it and renamed over it."""
    with open(os.path.join(work, "d", "target.bin.new"), "wb") as f:
        f.write(b"saved")
    os.replace(os.path.join(work, "d", "target.bin.new"),
               os.path.join(work, "d", "target.bin"))


# Ways FILE stops leading to the file a run holds.
MOVES = {
    "editor's save": lambda work: (os.rename(
        os.path.join(work, "d", "target.bin"),
        os.path.join(work, "d", "target.bin~")), saved(work)),
    "saved over one of two links": lambda work: (os.link(
        os.path.join(work, "d", "target.bin"),
        os.path.join(work, "d", "second link")), saved(work)),
    "folder replaced": lambda work: (os.rename(
        os.path.join(work, "d"), os.path.join(work, "d.old")),
        os.mkdir(os.path.join(work, "d")), saved(work)),
    "unlinked": lambda work: os.remove(os.path.join(work, "d", "target.bin")),
}


def moved_away(tool, work):
    """While a run stalls on its unread report, FILE stops leading to the
    file it holds (MOVES). With two blocks the check before the second
    finds it, with one the check after the flush. The run writes nothing
    more, ends Can't Hold, never Done!, and a new file is untouched."""
    windows = tool[0] == "wine"
    name = "d\\target.bin" if windows else "d/target.bin"
    target = os.path.join(work, "d", "target.bin")
    faults = []
    for (how, move), length in itertools.product(
            MOVES.items(), (15000,) if windows else (15000, 65535)):
        os.mkdir(os.path.join(work, "d"))
        with open(target, "wb") as f:
            f.write(bytes(range(256)) * 256)
        report, status = stalled(
            tool, [name, "0", str(length), PATTERN[:length].hex()],
            lambda: move(work), cwd=work)
        if status != 0 or not report.endswith(
                ("\nCan't Hold %s!\n" % name).encode()):
            faults.append("%s, %d bytes: status %d, the report ends %r"
                          % (how, length, status, report[-40:]))
        if how != "unlinked" and open(target, "rb").read() != b"saved":
            faults.append("%s, %d bytes: the new file was changed" % (how, length))
        for leftover in ("d", "d.old"):
            shutil.rmtree(os.path.join(work, leftover), ignore_errors=True)
    return faults


def moved_onto_same_id(tool, work):
    """Under Wine, a file on a tmpfs has volume serial 0 and its inode for
    id. The target, on one such tmpfs, patches; then, while a run stalls,
    it is moved away and its name pointed at a file with the same id on
    another tmpfs, which Wine serves as drive Y: with a serial of its own:
    the run ends Can't Hold, and that file is untouched."""
    need_root("mounts two tmpfs")
    drive = os.path.join(WINE_ENV["WINEPREFIX"], "dosdevices", "y:")
    if os.path.lexists(drive):
        raise Skip("drive Y: is taken")
    disks = [os.path.join(work, name) for name in ("t", "u")]
    faults = []
    with contextlib.ExitStack() as undo:
        for disk in disks:
            os.mkdir(disk)
            subprocess.run(["mount", "-t", "tmpfs", "none", disk], check=True)
            undo.callback(subprocess.run, ["umount", disk], check=True)
        # Wine's mount manager reads the drives as its server starts.
        os.symlink(disks[1], drive)
        undo.callback(wine_restart)
        undo.callback(os.remove, drive)
        wine_restart()
        target, other = (os.path.join(disk, "f.bin") for disk in disks)
        for path in (target, other):  # the first file of each: the same inode
            with open(path, "wb") as f:
                f.write(bytes(range(256)) * 256)
        name = "t\\f.bin"
        done = subprocess.run(tool + [name, "0", "1", "ff"], cwd=work,
                              capture_output=True, timeout=300)
        if not done.stdout.endswith(b"\r\nDone!\r\n"):
            faults.append("on tmpfs: the report ends %r" % done.stdout[-40:])

        def move():
            os.rename(target, target + "~")
            os.symlink(other, target)
        report, status = stalled(tool, [name, "0", "15000",
                                        PATTERN[:15000].hex()], move, cwd=work)
        if status != 0 or not report.endswith(b"\nCan't Hold t\\f.bin!\n"):
            faults.append("moved: status %d, the report ends %r"
                          % (status, report[-40:]))
        if open(other, "rb").read() != bytes(range(256)) * 256:
            faults.append("the file with the same id was changed")
    return faults


def forged_names(tool, work):
    """Names that would add lines of their own to a refused run's report,
    such as "Done!": each shows its control characters as '?'."""
    faults = []
    for name in ("x!\n\nDone", "x!\r\n\r\nDone", "x\n\nSeeking To 0x0, "
                 "Patching...\n\n(0).Offset 0x0:  [0x0]->[0x0]...OK\n\nDone"):
        done = subprocess.run(tool + [name, "0", "1", "00"], cwd=work,
                              capture_output=True, timeout=120)
        out = done.stdout
        if done.returncode != 0:
            faults.append("%r: status %d" % (name, done.returncode))
        lines = out.replace(b"\r\n", b"\n").split(b"\n")
        if lines[-2:] != [b"Can't Open %s!" % name.replace("\r", "?").replace(
                "\n", "?").encode(), b""]:
            faults.append("%r: the report ends %r" % (name, out[-60:]))
    return faults


def patch_with_lost_report(tool, work, command, stdout=None):
    """A patch of two blocks whose report cannot be kept: nothing past the
    first block is written, and what the report kept agrees with the
    file."""
    target = os.path.join(work, "target.bin")
    before = bytes(range(256)) * 300
    address, length = 1000, 65535
    new = PATTERN[:length]
    with open(target, "wb") as f:
        f.write(before)
    run = subprocess.run(command + tool + ["target.bin", str(address),
                                    str(length), new.hex()],
                         cwd=work, stdout=stdout or subprocess.PIPE,
                         timeout=60)
    report = run.stdout or b""
    faults = check_after_kill(target, before, address, new, report)
    after = open(target, "rb").read()
    if after[address + BLOCK:] != before[address + BLOCK:]:
        faults.append("a block was written after the report was lost")
    if b"Done!" in report:
        faults.append("Done! after a lost report")
    if run.returncode != 0:
        faults.append("status %d" % run.returncode)
    return faults


def report_on_full_disk(tool, work):
    need_root("mounts a small tmpfs")
    need_tool("unshare")
    disk = os.path.join(work, "disk")
    os.mkdir(disk)
    return patch_with_lost_report(tool, work, [
        "unshare", "-m", "--propagation", "private", "sh", "-c",
        'mount -t tmpfs -o size=256k none "$0" && "$@" >"$0/report"; '
        'cat "$0/report"', disk])


def report_to_dead_socket(tool, work):
    sending, receiving = socket.socketpair(socket.AF_UNIX, socket.SOCK_DGRAM)
    receiving.close()
    with sending:
        return patch_with_lost_report(tool, work, [], stdout=sending.fileno())


def full_disk(tool, work):
    """The target on a tmpfs of 32 KiB, a patch that would grow it past
    that: every byte reported OK is in the file, every other byte is as it
    was, and the report ends with the write that failed."""
    need_root("mounts a small tmpfs")
    disk = os.path.join(work, "disk")
    os.mkdir(disk)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=32k", "none", disk],
                   check=True)
    try:
        target = os.path.join(disk, "target.bin")
        before = bytes(range(256)) * 96
        address, new = 20000, PATTERN[:16000]
        with open(target, "wb") as f:
            f.write(before)
        done = subprocess.run(tool + ["target.bin", str(address),
                                      str(len(new)), new.hex()], cwd=disk,
                              capture_output=True, timeout=120)
        report = done.stdout
        after = open(target, "rb").read()
    finally:
        subprocess.run(["umount", disk], check=True)
    report = report.replace(b"\r\n", b"\n")
    reported = {int(offset, 16) for _, offset, _ in LINE.findall(report)}
    faults = [] if done.returncode == 0 else ["status %d" % done.returncode]
    if not re.search(rb"\nCan't Write 0x[0-9a-f]+!\n$", report):
        faults.append("the report ends %r" % report[-60:])
    for i, byte in enumerate(after):
        old = before[i] if i < len(before) else 0
        if byte != (new[i - address] if i in reported else old):
            faults.append("byte %d is %#x, its report says otherwise" % (i, byte))
            break
    if reported and max(reported) >= len(after):
        faults.append("bytes reported OK past the end of the file")
    return faults


def main():
    windows = sys.argv[1] == "--wine"
    if windows and not shutil.which("wineserver"):
        return wine_missing()
    if windows:
        exe = os.path.abspath(sys.argv[2])
        with wine_server(os.path.dirname(exe)):
            os.environ.update(WINE_ENV)
            return run_attacks([kills, untied_races, moved_away,
                                moved_onto_same_id, full_disk, forged_names],
                               ["wine", exe])
    tool, shim = (os.path.abspath(word) for word in sys.argv[1:3])
    return run_attacks([injected_faults, cut_off_runs, report_loses_a_block,
                        lease_refused, kills, untied_races,
                        tied_races, swaps, swaps_without_proc,
                        proc_entry_swapped, reached_into,
                        swaps_onto_output, lease_break, lease_break_frozen,
                        lease_break_pids_only, stopped_after_last_look,
                        slow_first_read,
                        moved_away, forged_names, full_disk,
                        report_on_full_disk, report_to_dead_socket],
                       [tool], shim)


def run_attacks(attacks, tool, shim=None):
    def check(attack):
        with tempfile.TemporaryDirectory() as work:
            if attack in (injected_faults, lease_refused, tied_races,
                          cut_off_runs, report_loses_a_block):
                return attack(tool, shim, work)
            return attack(tool, work)

    return report_results((attack.__name__, lambda attack=attack: check(attack))
                          for attack in attacks)


if __name__ == "__main__":
    sys.exit(main())
