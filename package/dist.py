#!/usr/bin/env python3
"""Builds the release artefacts into DIST: the Windows zip, the static Linux
tarball, the Debian package and SHA256SUMS, the same bytes from the same
commit in any folder: every time stamp is SOURCE_DATE_EPOCH (the last
commit's time unless set), every archive lists its files in one order, and
no build folder reaches a binary.

usage: dist.py SOURCE WORK DIST
"""
import gzip
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import textwrap
import time
import zipfile

VERSION = "1.0.0.1"


def quietly(command, env):
    """Runs command; its output is shown only if it fails."""
    done = subprocess.run(command, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)
    if done.returncode != 0:
        sys.exit("%s\n%s failed" % (done.stdout, " ".join(command)))


def build(source, folder, env, *options):
    quietly(["cmake", "-S", source, "-B", folder, "-DBUILD_TESTING=OFF"]
            + list(options), env)
    quietly(["cmake", "--build", folder, "-j", "2"], env)


def crlf(path):
    return open(path, "rb").read().replace(b"\n", b"\r\n")


# The README's parts for those who build from the sources, which a
# tarball of the built tool does not hold.
SOURCE_ONLY = ("Build and try it", "Run the whole test suite", "Install",
               "For developers")


def user_readme(path):
    """README.md as the tarball ships it: without the parts for the
    sources, and with the man page where the tarball keeps it."""
    parts = open(path).read().split("\n## ")
    kept = [parts[0]] + [part for part in parts[1:]
                         if part.split("\n", 1)[0] not in SOURCE_ONLY]
    return "\n## ".join(kept).replace("src/bitmend.1", "bitmend.1").encode()


def windows_readme(source):
    """package/README.txt, its messages the man page's, as mandoc sets them
    out, in CR LF."""
    page = subprocess.run(
        ["mandoc", "-Tascii", "-Owidth=76", os.path.join(source, "src",
                                                          "bitmend.1")],
        check=True, capture_output=True, text=True).stdout
    page = re.sub(r".\x08", "", page)  # overstrike for bold, italics
    messages = page.split("\nDIAGNOSTICS\n")[1].split("\nEXCLUSIVE USE\n")[0]
    messages = textwrap.dedent(messages.strip("\n")) + "\n"
    text = open(os.path.join(source, "package", "README.txt")).read()
    return text.replace("@DIAGNOSTICS@\n", messages).replace(
        "\n", "\r\n").encode()


def write_zip(path, members, epoch):
    """members: (name, bytes, mode)."""
    with zipfile.ZipFile(path, "w") as archive:
        for name, data, mode in members:
            info = zipfile.ZipInfo(name, time.gmtime(epoch)[:6])
            info.create_system = 3
            info.external_attr = mode << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data, compresslevel=9)


def write_tarball(path, folder, members, epoch):
    """One folder holding members: (name, bytes, mode)."""
    listing = io.BytesIO()
    with tarfile.open(fileobj=listing, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        entries = [(folder, None, 0o755)] + [
            (folder + "/" + name, data, mode) for name, data, mode in members]
        for name, data, mode in entries:
            info = tarfile.TarInfo(name)
            info.mtime, info.mode = epoch, mode
            info.uid = info.gid = 0
            info.uname = info.gname = "root"
            if data is None:
                info.type = tarfile.DIRTYPE
                tar.addfile(info)
            else:
                info.size = len(data)
                tar.addfile(info, io.BytesIO(data))
    with open(path, "wb") as raw, gzip.GzipFile(
            filename="", mode="wb", fileobj=raw, mtime=epoch,
            compresslevel=9) as packed:
        packed.write(listing.getvalue())


def main():
    source, work, dist = (os.path.abspath(word) for word in sys.argv[1:4])
    epoch = os.environ.get("SOURCE_DATE_EPOCH") or subprocess.run(
        ["git", "-C", source, "log", "-1", "--format=%ct"], check=True,
        capture_output=True, text=True).stdout.strip()
    env = dict(os.environ, SOURCE_DATE_EPOCH=epoch, TZ="UTC", LC_ALL="C")
    epoch = int(epoch)
    windows, static, deb = (os.path.join(work, name)
                            for name in ("windows", "static", "deb"))
    build(source, windows, env, "-DCMAKE_BUILD_TYPE=Release",
          "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(source, "cmake",
                                                   "mingw-i686.cmake"))
    build(source, static, env, "-DCMAKE_BUILD_TYPE=Release",
          "-DCMAKE_EXE_LINKER_FLAGS=-static -s")
    build(source, deb, env, "-DCMAKE_BUILD_TYPE=RelWithDebInfo")
    quietly(["cpack", "--config", os.path.join(deb, "CPackConfig.cmake"),
             "-B", os.path.join(deb, "package")], env)

    shutil.rmtree(dist, ignore_errors=True)
    os.makedirs(dist)
    names = ["bitmend-%s-win32.zip" % VERSION,
             "bitmend-%s-linux-x86_64.tar.gz" % VERSION,
             "bitmend_%s_amd64.deb" % VERSION]
    write_zip(os.path.join(dist, names[0]), [
        ("bitmend.exe", open(os.path.join(windows, "bitmend.exe"), "rb").read(),
         0o755),
        ("README.txt", windows_readme(source), 0o644),
        ("LICENSE.txt", crlf(os.path.join(source, "LICENSE")), 0o644)], epoch)
    write_tarball(os.path.join(dist, names[1]), names[1][:-len(".tar.gz")], [
        ("bitmend", open(os.path.join(static, "bitmend"), "rb").read(), 0o755)
    ] + [(name, open(os.path.join(source, path), "rb").read(), 0o644)
         for name, path in (("bitmend.1", "src/bitmend.1"),)] + [
        ("README.md", user_readme(os.path.join(source, "README.md")), 0o644),
        ("LICENSE", open(os.path.join(source, "LICENSE"), "rb").read(), 0o644)
    ], epoch)
    shutil.copy(os.path.join(deb, "package", names[2]), dist)
    with open(os.path.join(dist, "SHA256SUMS"), "w") as sums:
        for name in names:
            digest = hashlib.sha256(open(os.path.join(dist, name), "rb").read())
            sums.write("%s  %s\n" % (digest.hexdigest(), name))
    print("dist: wrote to %s" % dist)
    for name in names + ["SHA256SUMS"]:
        print("  %s  %d bytes" % (name, os.path.getsize(os.path.join(dist, name))))


if __name__ == "__main__":
    main()
