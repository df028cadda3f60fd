#!/usr/bin/env python3
"""Times bitmend against the usual ways of patching bytes in place and
writes a table (bench/results.md) and a plot (bench/bench.png).

usage: python3 bench/bench.py [RUNS]     (RUNS per measurement, default 10)
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
SIZES = [1, 16, 1000, 60000]
ADDRESS = 1000
# The system's interpreter, as a one-liner would run; not a version
# manager's shim in front of another.
PYTHON = "/usr/bin/python3"
PY_PATCH = ("import sys; f = open(sys.argv[1], 'r+b'); f.seek(int(sys.argv[2]));"
            " f.write(bytes.fromhex(sys.argv[3]))")


def build():
    build_dir = os.path.join(ROOT, "build-bench")
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir,
                    "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "bitmend")


def commands(bitmend, target, address, digits, work):
    """Each tool's command line for one patch; xxd reads its digits from a file."""
    hex_file = os.path.join(work, "patch-%d.hex" % len(digits))
    with open(hex_file, "w") as f:
        f.write(digits)
    return {
        "bitmend": [bitmend, target, str(address), str(len(digits) // 2), digits],
        "xxd -r": ["xxd", "-r", "-p", "-s", str(address), hex_file, target],
        "python3 -c": [PYTHON, "-c", PY_PATCH, target, str(address), digits],
    }


def alternating_medians(commands, runs):
    """Median wall time of each command, report to /dev/null, the commands
    taking turns so that a change in the machine's load falls on all."""
    times = {name: [] for name in commands}
    names = list(commands)
    with open(os.devnull, "w") as null:
        for turn in range(3 + runs):  # three warm-up rounds
            for name in names[turn % len(names):] + names[:turn % len(names)]:
                start = time.perf_counter()
                subprocess.run(commands[name], stdout=null, check=True)
                if turn >= 3:
                    times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t) * 1000 for name, t in times.items()}


def calls_and_bytes_read(command, target, report):
    """System calls in all, and bytes read from the target, by strace."""
    with tempfile.NamedTemporaryFile(suffix=".trace") as trace:
        with open(report, "w") as out:
            subprocess.run(["strace", "-f", "-y", "-qq", "-o", trace.name]
                           + command, stdout=out, check=True)
        lines = open(trace.name, errors="replace").read().splitlines()
    calls = sum(1 for line in lines if re.match(r"\d+\s+\w+\(", line))
    read = 0
    for line in lines:
        m = re.search(r"\b(p?read(?:64|v)?|preadv2?)\(\d+<([^>]*)>.*= (\d+)$", line)
        if m and os.path.realpath(m.group(2)) == os.path.realpath(target):
            read += int(m.group(3))
    return calls, read


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    bitmend = build()
    rng = random.Random(1)
    rows = []
    with tempfile.TemporaryDirectory() as work:
        target = os.path.join(work, "target.bin")
        with open(target, "wb") as f:
            f.write(bytes(rng.randrange(256) for _ in range(1 << 20)))
        report = os.path.join(work, "report.txt")
        for size in SIZES:
            digits = bytes(rng.randrange(256) for _ in range(size)).hex()
            tools = commands(bitmend, target, ADDRESS, digits, work)
            medians = alternating_medians(tools, runs)
            for tool, command in tools.items():
                calls, read = calls_and_bytes_read(command, target, report)
                rows.append((tool, size, medians[tool], calls, read))
                print("%-11s %6d bytes  %8.2f ms  %5d calls  %8d bytes read"
                      % rows[-1], flush=True)

        flat = []
        for pair in [[("1 byte at 0 of 1 KiB", 1 << 10, 0, 1),
                      ("1 byte at 2147483646 of 2 GiB", 1 << 31,
                       2147483646, 1)],
                     [("16 bytes at 512 of 1 KiB", 1 << 10, 512, 16),
                      ("16 bytes at 512 of 1 GiB", 1 << 30, 512, 16)]]:
            patches = {}
            for n, (label, file_size, address, size) in enumerate(pair):
                sparse = os.path.join(work, "sparse-%d.bin" % n)
                with open(sparse, "wb") as f:
                    f.truncate(file_size)
                patches[label] = [bitmend, sparse, str(address), str(size),
                                  "ab" * size]
            medians = alternating_medians(patches, runs)
            for label, command in patches.items():
                flat.append((label, medians[label],
                             calls_and_bytes_read(command, command[1],
                                                  report)[0]))
                print("%-30s %8.2f ms  %5d calls" % flat[-1], flush=True)
                os.remove(command[1])

    machine = subprocess.run(["sh", "-c", "nproc; grep -m1 'model name' "
                              "/proc/cpuinfo | cut -d: -f2"],
                             capture_output=True, text=True).stdout.split("\n")
    with open(os.path.join(HERE, "results.md"), "w") as out:
        out.write("Machine: %s cores,%s; median of %d runs, report to "
                  "/dev/null.\n\n" % (machine[0], machine[1], runs))
        out.write("| tool | patch bytes | median ms | system calls | "
                  "bytes read from the file |\n|---|---:|---:|---:|---:|\n")
        for row in rows:
            out.write("| %s | %d | %.2f | %d | %d |\n" % row)
        out.write("\n| bitmend patch | median ms | system calls |\n"
                  "|---|---:|---:|\n")
        for row in flat:
            out.write("| %s | %.2f | %d |\n" % row)
    plot(rows)


def plot(rows):
    data = os.path.join(HERE, "build-plot.dat")
    with open(data, "w") as out:
        for tool in dict.fromkeys(row[0] for row in rows):
            out.write('"%s"\n' % tool)
            for row in rows:
                if row[0] == tool:
                    out.write("%d %.3f\n" % (row[1], row[2]))
            out.write("\n\n")
    script = """set terminal pngcairo size 800,500
set output '%s'
set logscale xy
set xlabel 'patch size (bytes)'
set ylabel 'median wall time (ms)'
set key top left
plot for [i=0:2] '%s' index i using 1:2 with linespoints title columnheader(1)
""" % (os.path.join(HERE, "bench.png"), data)
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    os.remove(data)


if __name__ == "__main__":
    main()
