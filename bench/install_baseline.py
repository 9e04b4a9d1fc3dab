#!/usr/bin/env python3
"""Installs a staged update the way a careful script would, to compare InstallFiles with.

install_baseline.py <install> <staging> <backup> <manifest> [--no-fsync]

Backs up every existing target, then for each file: copies the staged file to a temporary
name beside the target, flushes it to disk, renames it over the target and compares the
SHA-256 of both files; finally removes the backup and staging folders, as InstallFiles does.
Prints the elapsed seconds.
"""
import hashlib
import os
import shutil
import sys
import time


def digest(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def main():
    install, staging, backup, manifest = sys.argv[1:5]
    flush = "--no-fsync" not in sys.argv[5:]
    start = time.perf_counter()
    with open(manifest, encoding="utf-8", newline="") as f:
        paths = [line.rstrip("\r\n") for line in f if line.strip("\r\n")]
    for rel in paths:
        target = os.path.join(install, rel)
        if os.path.exists(target):
            copy = os.path.join(backup, rel)
            os.makedirs(os.path.dirname(copy), exist_ok=True)
            shutil.copy2(target, copy)
    for index, rel in enumerate(paths):
        staged = os.path.join(staging, rel)
        target = os.path.join(install, rel)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        temporary = os.path.join(os.path.dirname(target), f".baseline-{os.getpid()}-{index}.tmp")
        shutil.copy2(staged, temporary)
        if flush:
            fd = os.open(temporary, os.O_RDONLY)
            os.fsync(fd)
            os.close(fd)
        os.replace(temporary, target)
        if digest(staged) != digest(target):
            sys.exit(f"mismatch: {rel}")
    shutil.rmtree(backup)
    shutil.rmtree(staging)
    print(f"{time.perf_counter() - start:.3f}")


if __name__ == "__main__":
    main()
