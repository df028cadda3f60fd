#!/usr/bin/env python3
"""Times bitmend against every usual way of patching bytes in place, on a
memory file system and on the disk, counts each command's instructions
(callgrind), system calls and bytes read from the target (strace), checks
bitmend's targets, and writes a table (bench/results.md) and a plot
(bench/bench.png). Exits 1 when a target is missed.

usage: python3 bench/bench.py [RUNS]     (RUNS per measurement, default 30)
"""
import os
import random
import re
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SIZES = [1, 1000, 60000]
ADDRESS = 1000
FILE_SIZE = 1 << 20
# Where flushing to storage costs nothing, and where it is part of the price.
PLACES = [("memory (/dev/shm)", "/dev/shm"),
          ("disk (the build folder)",
           os.path.join(ROOT, "build-bench"))]
# The system's interpreter, as a one-liner would run; not a version
# manager's shim in front of another.
PYTHON = "/usr/bin/python3"
PY_PATCH = ("import sys; f = open(sys.argv[1], 'r+b'); f.seek(int(sys.argv[2]));"
            " f.write(bytes.fromhex(sys.argv[3]))")
# bitmend's targets on the 60,000-byte patch in memory.
MAX_INSTRUCTIONS_PER_BYTE = 65
MAX_TIME_AGAINST_XXD = 2.5
# OLD:NEW against the plain form on 30,000 bytes, as a command line holds
# two halves of that; and 16 MiB through standard input.
MAX_EXPECT_INSTRUCTIONS_PER_BYTE = 10
PIPED = 16 << 20
MAX_PIPED_MEMORY = PIPED + (4 << 20)
MAX_PIPED_TIME_AGAINST_PIPELINE = 1.15
MAX_PIPED_PER_BYTE = 130
BLOCK = 1 << 20  # through -, counted and beside dd and a cat of its report
MAX_BLOCK_PER_BYTE = 62
MAX_BLOCK_CPU_AGAINST_DD = 1.6
# One list of 10,000 ranges of 8 bytes, and one range of 1 MiB through the
# list form.
LIST_RANGES, LIST_LENGTH = 10000, 8
MAX_LIST_PER_BYTE = 150
MAX_LIST_OLD_PER_BYTE = 180
MAX_LIST_FINISHING_PER_BYTE = 200  # the OLD:NEW list where half is in
MAX_LIST_CALLS = 10300
MAX_ONE_BYTE_CALLS = 61
MAX_LIST_CPU_AGAINST_XXD = 0.8
MAX_LIST_OLD_CPU_AGAINST_XXD = 0.85
MAX_LIST_MEMORY = 4 << 20
MAX_LONG_LINE_PER_BYTE = 62


def build(name, *options):
    build_dir = os.path.join(ROOT, name)
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir,
                    "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF"]
                   + list(options), check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "bitmend")


def commands(bitmends, target, address, new, work):
    """Each tool's command line for one patch. dd and xxd read the new
    bytes from files made beforehand, in the form each takes best."""
    raw = os.path.join(work, "patch-%d.bin" % len(new))
    plain = os.path.join(work, "patch-%d.hex" % len(new))
    dump = os.path.join(work, "patch-%d.dump" % len(new))
    with open(raw, "wb") as f:
        f.write(new)
    with open(plain, "w") as f:
        f.write(new.hex())
    with open(dump, "w") as f:
        subprocess.run(["xxd", "-o", str(address), raw], stdout=f, check=True)
    return {
        **{name: [path, target, str(address), str(len(new)), new.hex()]
           for name, path in bitmends.items()},
        "xxd -r": ["xxd", "-r", dump, target],
        "xxd -r -p -s": ["xxd", "-r", "-p", "-s", str(address), plain, target],
        "dd bs=1": ["dd", "if=" + raw, "of=" + target, "bs=1",
                    "seek=%d" % address, "conv=notrunc", "status=none"],
        "dd seek_bytes": ["dd", "if=" + raw, "of=" + target, "bs=65536",
                          "seek=%d" % address, "oflag=seek_bytes",
                          "conv=notrunc", "status=none"],
        "python3 -c": [PYTHON, "-c", PY_PATCH, target, str(address), new.hex()],
    }


def alternating_medians(commands, runs):
    """Median wall time of each command, its output to a pipe that is read,
    the commands taking turns so that a change in the machine's load falls
    on all, in a new random order each turn, so that no command always
    follows the one that leaves the caches coldest."""
    times = {name: [] for name in commands}
    names = list(commands)
    order = random.Random(7)
    for turn in range(3 + runs):  # three warm-up rounds
        order.shuffle(names)
        for name in names:
            start = time.perf_counter()
            subprocess.run(commands[name], stdout=subprocess.PIPE, check=True)
            if turn >= 3:
                times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t) * 1000 for name, t in times.items()}


def instructions(command, stdin=None):
    """Instructions of the whole process, counted by callgrind."""
    with tempfile.NamedTemporaryFile(suffix=".callgrind") as out:
        run = subprocess.run(["valgrind", "--tool=callgrind",
                              "--callgrind-out-file=" + out.name] + command,
                             stdin=stdin, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True, check=True)
    return int(re.search(r"Collected : (\d+)", run.stderr).group(1))


def calls_and_bytes_read(command, target, stdin=None):
    """System calls in all, and bytes read from the target, by strace."""
    with tempfile.NamedTemporaryFile(suffix=".trace") as trace:
        subprocess.run(["strace", "-f", "-y", "-qq", "-o", trace.name]
                       + command, stdin=stdin, stdout=subprocess.DEVNULL, check=True)
        lines = open(trace.name, errors="replace").read().splitlines()
    calls = sum(1 for line in lines if re.match(r"\d+\s+\w+\(", line))
    read = 0
    for line in lines:
        m = re.search(r"\b(p?read(?:64|v)?|preadv2?)\(\d+<([^>]*)>.*= (\d+)$", line)
        if m and os.path.realpath(m.group(2)) == os.path.realpath(target):
            read += int(m.group(3))
    return calls, read


def cpu_medians(commands, runs):
    """Median CPU seconds (user + system) of each command, taking turns as
    alternating_medians does; a command is its words and what makes its
    file anew before each run, outside the count."""
    times = {name: [] for name in commands}
    names = list(commands)
    order = random.Random(11)
    for turn in range(3 + runs):
        order.shuffle(names)
        for name in names:
            words, fresh = commands[name]
            fresh()
            child = subprocess.Popen(words, stdout=subprocess.DEVNULL)
            usage = os.wait4(child.pid, 0)[2]
            if turn >= 3:
                times[name].append(usage.ru_utime + usage.ru_stime)
    return {name: statistics.median(t) for name, t in times.items()}


def far_patches(bitmend, work, runs):
    """bitmend alone on a sparse file of 1 TiB and 4 KiB: one byte at 0, at
    2 GiB - 2, at 4 GiB and at 1 TiB costs the same."""
    sparse = os.path.join(work, "sparse.bin")
    with open(sparse, "wb") as f:
        f.truncate((1 << 40) + 4096)
    patches = {"1 byte at %s" % label: [bitmend, sparse, str(address), "1", "ab"]
               for label, address in [("0", 0), ("2 GiB - 2", (1 << 31) - 2),
                                      ("4 GiB", 1 << 32), ("1 TiB", 1 << 40)]}
    medians = alternating_medians(patches, runs)
    far = []
    for label, command in patches.items():
        far.append((label, medians[label], instructions(command),
                    calls_and_bytes_read(command, sparse)[0]))
        print("%-20s %8.2f ms %9d instr %5d calls" % far[-1], flush=True)
    os.remove(sparse)
    return far


def expect_cost(bitmend, target, new):
    """Instructions a byte that OLD:NEW adds to the plain form, where the
    file already holds the bytes, so that OLD matches."""
    plain = [bitmend, target, str(ADDRESS), str(len(new)), new.hex()]
    subprocess.run(plain, stdout=subprocess.DEVNULL, check=True)
    checked = plain[:-1] + [new.hex() + ":" + new.hex()]
    cost = (instructions(checked) - instructions(plain)) / len(new)
    print("OLD:NEW %d bytes: %+.1f instructions a byte" % (len(new), cost))
    return cost


def high_water(pid):
    """A live process's peak memory so far (VmHWM) in KiB, or 0."""
    try:
        return max([0] + [int(line.split()[1]) for line in
                          open("/proc/%d/status" % pid).read().splitlines()
                          if line.startswith("VmHWM")])
    except (OSError, ValueError):
        return 0


def piped(bitmend, target, text, runs):
    """16 MiB patched from a pipe of xxd -p text, the report to /dev/null,
    beside xxd -r -p | dd conv=notrunc,fdatasync on the same text: bitmend's
    instructions a byte (decoding included), its peak memory, and the
    median wall times of both."""
    words = [target, "4096", str(PIPED), "-"]
    with open(text) as given:
        count = instructions([bitmend] + words, stdin=given)
    feed = subprocess.Popen(["cat", text], stdout=subprocess.PIPE)
    tool = subprocess.Popen([bitmend] + words, stdin=feed.stdout,
                            stdout=subprocess.DEVNULL)
    feed.stdout.close()
    # The peak of its own memory, which ru_maxrss would mix with that of the
    # interpreter it was forked from.
    peak = 0
    while tool.poll() is None:
        peak = max(peak, high_water(tool.pid))
        time.sleep(0.002)
    feed.wait()
    medians = alternating_medians({
        "bitmend -": ["sh", "-c", 'cat "$0" | "$1" "$2" 4096 %d - >/dev/null'
                      % PIPED, text, bitmend, target],
        "xxd -r -p | dd": ["sh", "-c", 'cat "$0" | xxd -r -p | dd of="$1" '
                           'bs=1M iflag=fullblock seek=4096 oflag=seek_bytes '
                           'conv=notrunc,fdatasync status=none', text, target],
    }, runs)
    print("16 MiB from a pipe: %.1f instructions a byte, %d KiB at the peak, "
          "%.0f ms against %.0f ms" % (count / PIPED, peak,
                                       medians["bitmend -"],
                                       medians["xxd -r -p | dd"]))
    return count / PIPED, peak << 10, medians


def peak_memory(command, stdin):
    """VmHWM of a process whose report waits in a pipe read a block at a
    time, so that it is sampled while the process lives."""
    tool = subprocess.Popen(command, stdin=stdin, stdout=subprocess.PIPE)
    peak = high_water(tool.pid)
    while tool.stdout.read(65536):
        peak = max(peak, high_water(tool.pid))
    tool.wait()
    return peak << 10


def lists(bitmend, target, original, rng, work, runs):
    """One call with a list of 10,000 ranges of 8 bytes, in plain lines and
    in OLD:NEW lines, the report to /dev/null: instructions per patched
    byte and peak memory; its wall time beside a shell loop of 10,000 calls
    and a Python r+b loop with one fsync; and one range of 1 MiB through
    the list form."""
    slots = sorted(rng.sample(range(FILE_SIZE // LIST_LENGTH), LIST_RANGES))
    ranges = [(slot * LIST_LENGTH, rng.randbytes(LIST_LENGTH)) for slot in slots]
    texts = {}
    for name, line in (("plain", "%d %s\n"), ("OLD:NEW", "%d %s:%s\n")):
        texts[name] = os.path.join(work, "list-%s.txt" % name.replace(":", ""))
        with open(texts[name], "w") as f:
            for address, new in ranges:
                old = original[address:address + LIST_LENGTH].hex()
                f.write(line % ((address, new.hex()) if name == "plain"
                                else (address, old, new.hex())))
    # Half of the ranges in: the OLD:NEW list finishes the other half.
    half = bytearray(original)
    for address, new in ranges[:LIST_RANGES // 2]:
        half[address:address + LIST_LENGTH] = new
    dump = os.path.join(work, "list.dump")  # what xxd -r takes
    with open(dump, "w") as f:
        f.writelines("%08x: %s\n" % (address, new.hex()) for address, new in ranges)
    long_line = os.path.join(work, "list-long.txt")
    with open(long_line, "w") as f:
        f.write("0 %s\n" % rng.randbytes(1 << 20).hex())
    call = [bitmend, target, "-", "-", "-"]

    def fresh(contents=original):
        with open(target, "wb") as f:
            f.write(contents)

    per_byte, peak = {}, {}
    for name, text in texts.items():
        fresh()
        with open(text) as given:
            per_byte[name] = instructions(call, stdin=given) / (
                LIST_RANGES * LIST_LENGTH)
        fresh()
        with open(text) as given:
            peak[name] = peak_memory(call, given)
    fresh(half)
    with open(texts["OLD:NEW"]) as given:
        per_byte["finishing"] = instructions(call, stdin=given) / (
            LIST_RANGES * LIST_LENGTH)
    fresh()
    with open(texts["plain"]) as given:
        calls, read = calls_and_bytes_read(call, target, given)
    def listed(text):
        return ["sh", "-c", '"$0" "$1" - - - <"$2" >/dev/null', bitmend, target, text]
    cpu = cpu_medians({
        "plain": (listed(texts["plain"]), fresh),
        "OLD:NEW": (listed(texts["OLD:NEW"]), fresh),
        "xxd -r": (["sh", "-c", 'xxd -r "$0" "$1"', dump, target], fresh)}, runs)
    with open(long_line) as given:
        long_per_byte = instructions(call, stdin=given) / (1 << 20)
    fresh()
    py_loop = ("import os, sys\nf = open(sys.argv[1], 'r+b')\n"
               "for line in open(sys.argv[2]):\n"
               "    address, new = line.split()\n"
               "    f.seek(int(address)); f.write(bytes.fromhex(new))\n"
               "f.flush(); os.fsync(f.fileno())\n")
    medians = alternating_medians({
        "bitmend list": ["sh", "-c", '"$0" "$1" - - - <"$2"', bitmend, target,
                         texts["plain"]],
        "shell loop": ["sh", "-c", 'while read a h; do "$0" "$1" "$a" %d "$h"; '
                       'done <"$2"' % LIST_LENGTH, bitmend, target,
                       texts["plain"]],
        "python3 r+b": [PYTHON, "-c", py_loop, target, texts["plain"]],
    }, max(runs // 10, 3))
    for name in texts:
        print("list of %d, %s: %.1f instructions a byte, %d KiB at the peak"
              % (LIST_RANGES, name, per_byte[name], peak[name] >> 10))
    print("finishing half the list: %.1f instructions a byte; the plain list: "
          "%d system calls, %d bytes read; CPU against xxd -r %.2f and %.2f" % (
              per_byte["finishing"], calls, read, cpu["plain"] / cpu["xxd -r"],
              cpu["OLD:NEW"] / cpu["xxd -r"]))
    print("1 MiB through the list: %.1f instructions a byte" % long_per_byte)
    print("list %.1f ms, shell loop %.0f ms, python3 %.1f ms" % (
        medians["bitmend list"], medians["shell loop"], medians["python3 r+b"]))
    fresh()
    return per_byte, peak, long_per_byte, medians, (calls, read), cpu


def block(bitmend, target, original, rng, work, runs):
    """1 MiB through - from a file of xxd -p text: instructions a byte, and
    CPU beside dd conv=notrunc bs=1M of the same bytes and a cat of an equal
    report, both reports to /dev/null."""
    new = rng.randbytes(BLOCK)
    raw, text, report = (os.path.join(work, "block." + end)
                         for end in ("bin", "hex", "report"))
    with open(raw, "wb") as f:
        f.write(new)
    with open(text, "w") as f:
        f.write(new.hex("\n", -30) + "\n")
    call = [bitmend, target, str(ADDRESS), str(BLOCK), "-"]

    def fresh():
        with open(target, "wb") as f:
            f.write(original)
    fresh()
    with open(text) as given:
        per_byte = instructions(call, stdin=given) / BLOCK
    fresh()
    with open(text) as given, open(report, "wb") as out:
        subprocess.run(call, stdin=given, stdout=out, check=True)
    cpu = cpu_medians({
        "bitmend": (["sh", "-c", '"$0" "$1" %d %d - <"$2" >/dev/null' % (
            ADDRESS, BLOCK), bitmend, target, text], fresh),
        "dd and cat": (["sh", "-c", 'dd if="$0" of="$1" bs=1M seek=%d '
                        'oflag=seek_bytes conv=notrunc status=none && '
                        'cat "$2" >/dev/null' % ADDRESS, raw, target, report],
                       fresh)}, runs)
    print("1 MiB through -: %.1f instructions a byte, CPU %.2f of dd and cat"
          % (per_byte, cpu["bitmend"] / cpu["dd and cat"]))
    fresh()
    return per_byte, cpu


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    # The dynamic build, as the .deb ships it, and the static one of the
    # release tarball.
    bitmends = {"bitmend": build("build-bench"),
                "bitmend static": build("build-bench-static",
                                        "-DCMAKE_EXE_LINKER_FLAGS=-static -s")}
    bitmend = bitmends["bitmend"]
    rng = random.Random(1)
    original = bytes(rng.randrange(256) for _ in range(FILE_SIZE))
    patches = {size: bytes(rng.randrange(256) for _ in range(size))
               for size in SIZES}
    rows = []
    for place, folder in PLACES:
        with tempfile.TemporaryDirectory(dir=folder) as work:
            target = os.path.join(work, "target.bin")
            with open(target, "wb") as f:
                f.write(original)
            for size in SIZES:
                tools = commands(bitmends, target, ADDRESS, patches[size],
                                 work)
                medians = alternating_medians(tools, runs)
                for tool, command in tools.items():
                    calls, read = calls_and_bytes_read(command, target)
                    rows.append((place, tool, size, medians[tool],
                                 instructions(command), calls, read))
                    print("%-24s %-13s %6d bytes %8.2f ms %11d instr %7d calls "
                          "%6d read" % rows[-1], flush=True)
            if folder == "/dev/shm":
                far = far_patches(bitmend, work, runs)
                # At 1 byte both take well under a millisecond, within the
                # noise of 30 runs: the two alone, many more times.
                tools = commands(bitmends, target, ADDRESS, patches[1], work)
                one_byte = alternating_medians(
                        {name: tools[name] for name in ("bitmend",
                                                        "bitmend static",
                                                        "xxd -r")},
                        10 * runs)
                expect_per_byte = expect_cost(bitmend, target,
                                              patches[60000][:30000])
                text = os.path.join(work, "patch.hex")
                with open(text, "w") as f:
                    f.write(rng.randbytes(PIPED).hex("\n", -30) + "\n")
                pipe_per_byte, pipe_peak, pipe_times = piped(
                    bitmend, target, text, max(runs // 3, 5))
                list_per_byte, list_peak, long_per_byte, list_times, \
                    (list_calls, list_read), list_cpu = lists(
                        bitmend, target, original, rng, work, runs)
                block_per_byte, block_cpu = block(bitmend, target, original, rng,
                                                  work, max(runs // 3, 10))

    def row(place, tool, size):
        return next(r for r in rows if r[:3] == (place, tool, size))
    memory = PLACES[0][0]
    per_byte = row(memory, "bitmend", 60000)[4] / 60000
    ratio = row(memory, "bitmend", 60000)[3] / row(memory, "xxd -r", 60000)[3]
    one_byte_ratio = one_byte["bitmend"] / one_byte["xxd -r"]
    static_ratio = one_byte["bitmend static"] / one_byte["xxd -r"]
    targets = [
        ("instructions per patched byte, 60,000 bytes in memory",
         "%.0f" % per_byte, "at most %d" % MAX_INSTRUCTIONS_PER_BYTE,
         per_byte <= MAX_INSTRUCTIONS_PER_BYTE),
        ("wall time against xxd -r, 60,000 bytes in memory", "%.2f" % ratio,
         "at most %.1f" % MAX_TIME_AGAINST_XXD, ratio <= MAX_TIME_AGAINST_XXD),
        ("wall time against xxd -r, 1 byte in memory, %d runs each"
         % (10 * runs), "%.2f (%.3f ms against %.3f ms)" % (
             one_byte_ratio, one_byte["bitmend"], one_byte["xxd -r"]),
         "at most 1", one_byte_ratio <= 1),
        ("static build: wall time against xxd -r, 1 byte in memory, %d runs "
         "each" % (10 * runs), "%.2f (%.3f ms against %.3f ms)" % (
             static_ratio, one_byte["bitmend static"], one_byte["xxd -r"]),
         "at most 1", static_ratio <= 1),
        ("OLD:NEW against the plain form, 30,000 bytes in memory: "
         "instructions a byte more", "%.1f" % expect_per_byte,
         "at most %d" % MAX_EXPECT_INSTRUCTIONS_PER_BYTE,
         expect_per_byte <= MAX_EXPECT_INSTRUCTIONS_PER_BYTE),
        ("16 MiB from a pipe of xxd -p text: instructions per patched byte, "
         "decoding included", "%.0f" % pipe_per_byte,
         "at most %d" % MAX_PIPED_PER_BYTE, pipe_per_byte <= MAX_PIPED_PER_BYTE),
        ("16 MiB from a pipe: peak memory", "%.1f MiB" % (pipe_peak / 2 ** 20),
         "at most the patch + 4 MiB", pipe_peak <= MAX_PIPED_MEMORY),
        ("16 MiB from a pipe: wall time against the pipeline of xxd -r -p "
         "and dd conv=notrunc,fdatasync", "%.2f (%.0f ms against %.0f ms)" % (
             pipe_times["bitmend -"] / pipe_times["xxd -r -p | dd"],
             pipe_times["bitmend -"], pipe_times["xxd -r -p | dd"]),
         "at most %.2f" % MAX_PIPED_TIME_AGAINST_PIPELINE,
         pipe_times["bitmend -"] <= MAX_PIPED_TIME_AGAINST_PIPELINE
         * pipe_times["xxd -r -p | dd"]),
        ("one list of 10,000 ranges of 8 bytes, plain lines: instructions per "
         "patched byte, report to /dev/null", "%.0f" % list_per_byte["plain"],
         "at most %d" % MAX_LIST_PER_BYTE,
         list_per_byte["plain"] <= MAX_LIST_PER_BYTE),
        ("the same with OLD:NEW lines", "%.0f" % list_per_byte["OLD:NEW"],
         "at most %d" % MAX_LIST_OLD_PER_BYTE,
         list_per_byte["OLD:NEW"] <= MAX_LIST_OLD_PER_BYTE),
        ("the same: peak memory, plain and OLD:NEW lines",
         "%.1f MiB, %.1f MiB" % (list_peak["plain"] / 2 ** 20,
                                 list_peak["OLD:NEW"] / 2 ** 20),
         "at most 4 MiB", max(list_peak.values()) <= MAX_LIST_MEMORY),
        ("the same, plain lines: wall time against a shell loop of 10,000 "
         "calls, and against one python3 r+b loop with one fsync",
         "%.4f (%.1f ms against %.0f ms), %.2f (against %.1f ms)" % (
             list_times["bitmend list"] / list_times["shell loop"],
             list_times["bitmend list"], list_times["shell loop"],
             list_times["bitmend list"] / list_times["python3 r+b"],
             list_times["python3 r+b"]), "ratios", True),
        ("one range of 1 MiB through the list: instructions per byte",
         "%.0f" % long_per_byte, "at most %d" % MAX_LONG_LINE_PER_BYTE,
         long_per_byte <= MAX_LONG_LINE_PER_BYTE),
        ("the OLD:NEW list finishing a run cut off halfway (half the ranges "
         "hold NEW): instructions per patched byte", "%.0f" % list_per_byte[
             "finishing"], "at most %d" % MAX_LIST_FINISHING_PER_BYTE,
         list_per_byte["finishing"] <= MAX_LIST_FINISHING_PER_BYTE),
        ("the plain list: system calls, and bytes read from the file (80,000 "
         "patched)", "%d, %d" % (list_calls, list_read), "at most %d calls"
         % MAX_LIST_CALLS, list_calls <= MAX_LIST_CALLS),
        ("1 byte: system calls", "%d" % row(memory, "bitmend", 1)[5],
         "at most %d" % MAX_ONE_BYTE_CALLS,
         row(memory, "bitmend", 1)[5] <= MAX_ONE_BYTE_CALLS),
        ("the plain list: CPU (user + system) against xxd -r, medians of %d "
         "runs each" % runs, "%.2f (%.1f ms against %.1f ms)" % (
             list_cpu["plain"] / list_cpu["xxd -r"], 1000 * list_cpu["plain"],
             1000 * list_cpu["xxd -r"]), "at most %.2f" % MAX_LIST_CPU_AGAINST_XXD,
         list_cpu["plain"] <= MAX_LIST_CPU_AGAINST_XXD * list_cpu["xxd -r"]),
        ("the OLD:NEW list: CPU against xxd -r", "%.2f (%.1f ms)" % (
            list_cpu["OLD:NEW"] / list_cpu["xxd -r"], 1000 * list_cpu["OLD:NEW"]),
         "at most %.2f" % MAX_LIST_OLD_CPU_AGAINST_XXD,
         list_cpu["OLD:NEW"] <= MAX_LIST_OLD_CPU_AGAINST_XXD * list_cpu["xxd -r"]),
        ("1 MiB through - from a file of xxd -p text: instructions per byte",
         "%.0f" % block_per_byte, "at most %d" % MAX_BLOCK_PER_BYTE,
         block_per_byte <= MAX_BLOCK_PER_BYTE),
        ("the same: CPU against dd conv=notrunc bs=1M and a cat of an equal "
         "report, both reports to /dev/null, medians of %d runs each"
         % max(runs // 3, 10), "%.2f (%.1f ms against %.1f ms)" % (
             block_cpu["bitmend"] / block_cpu["dd and cat"],
             1000 * block_cpu["bitmend"], 1000 * block_cpu["dd and cat"]),
         "at most %.1f" % MAX_BLOCK_CPU_AGAINST_DD,
         block_cpu["bitmend"] <= MAX_BLOCK_CPU_AGAINST_DD * block_cpu["dd and cat"]),
    ]
    write_results(rows, far, targets, runs)
    plot(rows, memory)
    for name, value, bound, met in targets:
        print("%s %s: %s (%s)" % ("met   " if met else "MISSED", name, value,
                                  bound))
    return 0 if all(met for *_, met in targets) else 1


def write_results(rows, far, targets, runs):
    machine = subprocess.run(["sh", "-c", "nproc; grep -m1 'model name' "
                              "/proc/cpuinfo | cut -d: -f2"],
                             capture_output=True, text=True).stdout.split("\n")
    with open(os.path.join(HERE, "results.md"), "w") as out:
        out.write("Machine: %s cores,%s; a 1 MiB file, patches at offset %d; "
                  "median of %d alternating runs, output to a pipe.\n\n"
                  % (machine[0], machine[1], ADDRESS, runs))
        out.write("| file system | tool | patch bytes | median ms | "
                  "instructions | system calls | bytes read from the file |\n"
                  "|---|---|---:|---:|---:|---:|---:|\n")
        for r in rows:
            out.write("| %s | %s | %d | %.2f | %d | %d | %d |\n" % r)
        out.write("\n| bitmend target | measured | bound | |\n"
                  "|---|---:|---|---|\n")
        for name, value, bound, met in targets:
            out.write("| %s | %s | %s | %s |\n"
                      % (name, value, bound, "met" if met else "MISSED"))
        out.write("\n| bitmend on a sparse file of 1 TiB (memory) | median ms "
                  "| instructions | system calls |\n|---|---:|---:|---:|\n")
        for r in far:
            out.write("| %s | %.2f | %d | %d |\n" % r)


def plot(rows, place):
    data = os.path.join(HERE, "build-plot.dat")
    tools = list(dict.fromkeys(r[1] for r in rows))
    with open(data, "w") as out:
        for tool in tools:
            out.write('"%s"\n' % tool)
            for r in rows:
                if r[0] == place and r[1] == tool:
                    out.write("%d %.3f\n" % (r[2], r[3]))
            out.write("\n\n")
    script = """set terminal pngcairo size 800,500 noenhanced
set output '%s'
set logscale xy
set xlabel 'patch size (bytes)'
set ylabel 'median wall time (ms), file in memory'
set key top left
plot for [i=0:%d] '%s' index i using 1:2 with linespoints title columnheader(1)
""" % (os.path.join(HERE, "bench.png"), len(tools) - 1, data)
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    os.remove(data)


if __name__ == "__main__":
    sys.exit(main())
