#!/usr/bin/env python3
"""The tool under attack: injected I/O failures at every byte, kill -9
mid-patch, and two runs racing for one file.

usage: faults.py BITMEND FAULT_SHIM.so
"""
import errno
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import time

from end_to_end import BANNER, byte_lines, run_lines, seeking

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
    if code in (0, errno.EINTR) or (call == "close" and code == errno.EINTR):
        return run_lines(ADDRESS, OLD, NEW), patched(LENGTH)
    head = seeking(ADDRESS) + byte_lines(ADDRESS, OLD[:k], NEW[:k])
    if call == "close":
        return (seeking(ADDRESS) + byte_lines(ADDRESS, OLD, NEW)
                + "\nCan't Close target.bin!\n", patched(LENGTH))
    if call == "pread":
        return head + "\nCan't Read 0x%x!\n" % (ADDRESS + k), patched(k)
    return (head + "(%d).Offset 0x%x:  [0x%x]->[0x%x]...\nCan't Write 0x%x!\n"
            % (k, ADDRESS + k, OLD[k], NEW[k], ADDRESS + k), patched(k))


def injected_faults(tool, shim, work):
    """Every call failing at every byte of the patch, or falling short."""
    target = os.path.join(work, "target.bin")
    cases = [(call, code, k) for call in ("pread", "pwrite")
             for code in (errno.ENOSPC, errno.EIO, errno.EINTR, 0)
             for k in range(LENGTH)]
    cases += [("close", code, ADDRESS) for code in
              (errno.ENOSPC, errno.EIO, errno.EINTR)]
    faults = []
    for call, code, k in cases:
        with open(target, "wb") as f:
            f.write(ORIGINAL)
        env = dict(os.environ, LD_PRELOAD=shim,
                   BITMEND_FAULT="%s %d %d" % (call, code, ADDRESS + k))
        run = subprocess.run([tool, "target.bin", str(ADDRESS), str(LENGTH),
                              NEW.hex()], cwd=work, env=env,
                             capture_output=True, timeout=30)
        out, contents = expected(call, code, k)
        if run.stdout != (BANNER + out).encode():
            faults.append("%s %s at byte %d: output %r" % (
                call, errno.errorcode.get(code, "short"), k, run.stdout[-120:]))
        if open(target, "rb").read() != contents:
            faults.append("%s %s at byte %d: file differs" % (
                call, errno.errorcode.get(code, "short"), k))
    return faults, len(cases)


def check_after_kill(target, before, address, new, report):
    """Every byte reported OK is in the file; nothing outside the range
    changed; inside it, each byte is old or new."""
    after = open(target, "rb").read()
    faults = []
    if len(after) != len(before) or after[:address] != before[:address] or \
            after[address + len(new):] != before[address + len(new):]:
        faults.append("bytes outside the range changed")
    for index, offset, value in LINE.findall(report):
        offset, value = int(offset, 16), int(value, 16)
        if after[offset] != value:
            faults.append("byte %s reported OK is not in the file" % index)
    for i, byte in enumerate(after[address:address + len(new)]):
        if byte not in (before[address + i], new[i]):
            faults.append("byte %d is neither old nor new" % i)
    return faults


def kills(tool, work):
    """kill -9 while the report pipe is full, then after random delays."""
    target = os.path.join(work, "target.bin")
    before = bytes(range(256)) * 400
    address, length = 1000, 60000
    new = bytes((i * 13 + 5) & 0xFF for i in range(length))
    rng = random.Random(1)
    delays = [None] * 5 + [rng.uniform(0, 0.03) for _ in range(25)]
    faults = []
    for delay in delays:
        with open(target, "wb") as f:
            f.write(before)
        run = subprocess.Popen([tool, "target.bin", str(address), str(length),
                                new.hex()], cwd=work, stdout=subprocess.PIPE)
        if delay is None:  # nobody reads: the pipe fills and the tool waits
            time.sleep(0.2)
            report = b""
        else:
            time.sleep(delay)
            report = os.read(run.stdout.fileno(), rng.randint(1, 1 << 16))
        run.send_signal(signal.SIGKILL)
        report += run.stdout.read()
        run.wait()
        faults += check_after_kill(target, before, address, new, report)
    return faults, len(delays)


def races(tool, work):
    """Two runs on one file at once: one waits its turn or is refused."""
    target = os.path.join(work, "target.bin")
    length = 20000
    refused = 0
    faults = []
    for _ in range(100):
        with open(target, "wb") as f:
            f.write(bytes(length))
        runs = [subprocess.Popen([tool, "target.bin", "0", str(length),
                                  pattern * length], cwd=work,
                                 stdout=subprocess.PIPE)
                for pattern in ("aa", "bb")]
        outs = [run.communicate()[0] for run in runs]
        done = [out.endswith(b"\nDone!\n") for out in outs]
        for out, ok in zip(outs, done):
            if not ok and not out.endswith(b"\nCan't Open target.bin!\n"):
                faults.append("neither done nor refused: %r" % out[-80:])
            refused += not ok
        after = open(target, "rb").read()
        if after not in (b"\xaa" * length, b"\xbb" * length):
            faults.append("the two runs interleaved")
        elif done.count(True) == 1 and after[0] != (0xAA if done[0] else 0xBB):
            faults.append("the refused run wrote")
    print("     races: %d of 200 runs refused, the rest ran whole" % refused)
    return faults, 100


def main():
    tool, shim = (os.path.abspath(word) for word in sys.argv[1:3])
    passed = failed = 0
    for attack in (injected_faults, kills, races):
        with tempfile.TemporaryDirectory() as work:
            if attack is injected_faults:
                faults, count = attack(tool, shim, work)
            else:
                faults, count = attack(tool, work)
        if faults:
            failed += 1
            print("FAIL %s (%d runs)\n  %s" % (attack.__name__, count,
                                               "\n  ".join(faults[:10])))
        else:
            passed += 1
            print("ok   %s (%d runs)" % (attack.__name__, count))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
