#!/usr/bin/env python3
"""Writes a release archive whose bytes depend on its files' contents only.

Usage: release_archive.py OUT.zip|OUT.tar.gz TOP NAME=FILE...

Every NAME goes under the folder TOP, sorted by name, dated SOURCE_DATE_EPOCH
(the commit's time), owned by root, mode 755 for programs and 644 for the
rest: nothing of what this machine's file system says about them goes in.
"""
import gzip
import io
import os
import sys
import tarfile
import time
import zipfile


def main():
    out, top, pairs = sys.argv[1], sys.argv[2], sys.argv[3:]
    epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    files = {}
    for pair in pairs:
        name, path = pair.split("=", 1)
        with open(path, "rb") as f:
            files[f"{top}/{name}"] = (f.read(), 0o755 if os.stat(path).st_mode & 0o100 else 0o644)
    folders = {top + "/"} | {n[: n.rindex("/") + 1] for n in files}
    entries = sorted([(d, None, 0o755) for d in folders] + [(n, d, m) for n, (d, m) in files.items()])
    if out.endswith(".zip"):
        write_zip(out, entries, epoch)
    elif out.endswith(".tar.gz"):
        write_tar_gz(out, entries, epoch)
    else:
        sys.exit(f"release_archive.py: {out}: neither .zip nor .tar.gz")


def write_zip(out, entries, epoch):
    # ZIP keeps local time without a zone; the commit's time in UTC is the
    # same on every machine. Its dates begin in 1980.
    date_time = time.gmtime(max(epoch, 315532800))[:6]
    with zipfile.ZipFile(out, "w") as z:
        for name, data, mode in entries:
            info = zipfile.ZipInfo(name, date_time)
            info.create_system = 3
            info.external_attr = ((0o040000 if data is None else 0o100000) | mode) << 16
            if data is None:
                info.external_attr |= 0x10
                z.writestr(info, b"")
            else:
                info.compress_type = zipfile.ZIP_DEFLATED
                z.writestr(info, data, compresslevel=9)


def write_tar_gz(out, entries, epoch):
    with open(out, "wb") as raw, gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0) as gz:
        with tarfile.open(fileobj=gz, mode="w", format=tarfile.GNU_FORMAT) as tar:
            for name, data, mode in entries:
                info = tarfile.TarInfo(name.rstrip("/"))
                info.mtime, info.mode, info.uid, info.gid, info.uname, info.gname = epoch, mode, 0, 0, "root", "root"
                if data is None:
                    info.type = tarfile.DIRTYPE
                    tar.addfile(info)
                else:
                    info.size = len(data)
                    tar.addfile(info, io.BytesIO(data))


if __name__ == "__main__":
    main()
