#!/usr/bin/env python3
"""Checks of the release artefacts, built once with the dist target: what
each archive holds, CR LF in the zip's text files, the zip's exe is the
Windows build's own, the tarball's binary is static and passes the Linux
rows of the end-to-end table in an empty root, the checksums hold, and a
second build in another folder gives the same bytes.

usage: dist_checks.py SOURCE BUILD WINDOWS_BUILD
"""
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

from end_to_end import need_root, report_results

VERSION = "1.0.0.1"
ZIP = "bitmend-%s-win32.zip" % VERSION
FOLDER = "bitmend-%s-linux-x86_64" % VERSION
TARBALL = FOLDER + ".tar.gz"


def check_zip(dist, windows_build):
    faults = []
    with zipfile.ZipFile(os.path.join(dist, ZIP)) as archive:
        names = archive.namelist()
        if names != ["bitmend.exe", "README.txt", "LICENSE.txt"]:
            return ["the zip holds %s" % names]
        for name in ("README.txt", "LICENSE.txt"):
            text = archive.read(name)
            if b"\r\n" not in text or text.count(b"\n") != text.count(b"\r\n"):
                faults.append("%s has a line end that is not CR LF" % name)
        exe = open(os.path.join(windows_build, "bitmend.exe"), "rb").read()
        if archive.read("bitmend.exe") != exe:
            faults.append("the zip's bitmend.exe is not the build's")
    return faults


def check_tarball(dist):
    """What it holds, and a README for the built tool: each of its links
    leads to a file the tarball holds."""
    with tarfile.open(os.path.join(dist, TARBALL)) as archive:
        names = archive.getnames()
        readme = archive.extractfile(FOLDER + "/README.md").read().decode()
    want = [FOLDER] + [FOLDER + "/" + name for name in
                       ("bitmend", "bitmend.1", "README.md", "LICENSE")]
    faults = [] if names == want else ["the tarball holds %s" % names]
    for link in re.findall(r"\]\(([^)#]+)\)", readme):
        if not re.match(r"[a-z]+:", link) and FOLDER + "/" + link not in names:
            faults.append("the README links to %s, which it does not hold" % link)
    if "## Build and try it" in readme:
        faults.append("the README tells how to build from the sources")
    return faults


def static_binary(dist, folder):
    with tarfile.open(os.path.join(dist, TARBALL)) as archive:
        archive.extract(FOLDER + "/bitmend", folder)
    return os.path.join(folder, FOLDER, "bitmend")


def check_static(dist):
    with tempfile.TemporaryDirectory() as folder:
        headers = subprocess.run(["readelf", "-lW", "-d", static_binary(
            dist, folder)], capture_output=True, text=True).stdout
    faults = []
    if "INTERP" in headers:
        faults.append("the binary names a program interpreter")
    if "(NEEDED)" in headers:
        faults.append("the binary needs shared libraries")
    return faults


def check_static_in_empty_root(dist):
    need_root("a mount namespace and a chroot")
    table = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                         "end_to_end.py")
    with tempfile.TemporaryDirectory() as folder:
        run = subprocess.run([sys.executable, table, "--empty-root",
                              static_binary(dist, folder)],
                             capture_output=True, text=True, timeout=600)
    return [] if run.returncode == 0 else [
        line for line in run.stdout.splitlines() if not line.startswith("ok")]


def check_sums(dist):
    run = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=dist,
                         capture_output=True, text=True)
    lines = run.stdout.splitlines()
    return [] if run.returncode == 0 and len(lines) == 3 else lines


def check_reproducible(source, dist):
    """The tracked and new files of the source, copied to another folder,
    build the same artefacts."""
    files = subprocess.run(["git", "-C", source, "ls-files", "-z", "--cached",
                            "--others", "--exclude-standard"], check=True,
                           capture_output=True).stdout.split(b"\0")
    with tempfile.TemporaryDirectory() as other:
        copy = os.path.join(other, "source")
        for name in filter(None, files):
            path = os.path.join(copy, os.fsdecode(name))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if os.path.exists(os.path.join(source, os.fsdecode(name))):
                shutil.copy2(os.path.join(source, os.fsdecode(name)), path)
        env = dict(os.environ, SOURCE_DATE_EPOCH=epoch_of(source))
        subprocess.run([sys.executable, os.path.join(copy, "package", "dist.py"),
                        copy, os.path.join(other, "work"),
                        os.path.join(other, "dist")], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        again = open(os.path.join(other, "dist", "SHA256SUMS")).read()
    first = open(os.path.join(dist, "SHA256SUMS")).read()
    return [] if again == first else ["another folder built:\n" + again
                                      + "this one:\n" + first]


def epoch_of(source):
    return os.environ.get("SOURCE_DATE_EPOCH") or subprocess.run(
        ["git", "-C", source, "log", "-1", "--format=%ct"], check=True,
        capture_output=True, text=True).stdout.strip()


def main():
    source, build, windows_build = (os.path.abspath(word)
                                    for word in sys.argv[1:4])
    subprocess.run(["cmake", "--build", build, "--target", "dist"],
                   env=dict(os.environ, SOURCE_DATE_EPOCH=epoch_of(source)),
                   check=True, stdout=subprocess.DEVNULL)
    dist = os.path.join(source, "dist")
    return report_results([
        ("the zip", lambda: check_zip(dist, windows_build)),
        ("the tarball", lambda: check_tarball(dist)),
        ("the static binary", lambda: check_static(dist)),
        ("the static binary in an empty root",
         lambda: check_static_in_empty_root(dist)),
        ("SHA256SUMS", lambda: check_sums(dist)),
        ("the same bytes from another folder",
         lambda: check_reproducible(source, dist)),
    ])


if __name__ == "__main__":
    sys.exit(main())
