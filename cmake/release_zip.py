#!/usr/bin/env python3
"""Makes the release zip: the stripped helper, the README, SHA256SUMS for both,
and the zip's own sum beside it.

Two builds of one commit give the same bytes, whoever builds it and when. Every
byte that would otherwise come from the builder is fixed here: the PE time
stamp and checksum (strip writes SOURCE_DATE_EPOCH), each entry's time (the
same epoch, in UTC, never the builder's zone), its permissions (never the
builder's umask), and no extra fields (which would carry the packager's uid and
gid and the time of packing).
"""
import argparse
import hashlib
import os
import subprocess
import sys
import time
import zipfile

# 1980-01-01T00:00:00Z, the earliest time a zip entry can hold. A tree with no
# commit to read gets it rather than a file's time, which depends on how the
# tree was copied.
FALLBACK_EPOCH = 315532800


def source_date_epoch(source_dir):
    given = os.environ.get("SOURCE_DATE_EPOCH")
    if given is not None:
        if not given.isdigit():
            sys.exit(f"release zip: SOURCE_DATE_EPOCH is not a count of seconds: {given!r}")
        return int(given), "SOURCE_DATE_EPOCH"
    # Only the tree's own repository: a tree unpacked inside another one must
    # not take that one's commit.
    if not os.path.exists(os.path.join(source_dir, ".git")):
        return FALLBACK_EPOCH, "no commit to read, the fixed 1980-01-01"
    # A repository git will not read (another owner, say) must stop the build:
    # falling back would give other bytes for the same commit, silently.
    found = subprocess.run(["git", "-C", source_dir, "log", "-1", "--format=%ct"],
                           capture_output=True, text=True)
    if found.returncode != 0 or not found.stdout.strip().isdigit():
        sys.exit(f"release zip: git could not read the commit's time in {source_dir}: "
                 f"{found.stderr.strip() or found.stdout.strip()} (set SOURCE_DATE_EPOCH, "
                 "or let git read the checkout)")
    return int(found.stdout), "the commit's time"


def entry(name, mode, epoch):
    info = zipfile.ZipInfo(name, date_time=time.gmtime(max(epoch, FALLBACK_EPOCH))[:6])
    info.create_system = 3  # Unix, so that the modes below survive unpacking there
    info.external_attr = (0o100000 | mode) << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    return info


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--strip", "--exe", "--readme", "--source-dir", "--output"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()

    epoch, origin = source_date_epoch(args.source_dir)
    stripped = args.output + ".exe.tmp"
    subprocess.run([args.strip, "-o", stripped, args.exe], check=True,
                   env={**os.environ, "SOURCE_DATE_EPOCH": str(epoch)})
    with open(stripped, "rb") as f:
        exe = f.read()
    os.remove(stripped)
    with open(args.readme, "rb") as f:
        readme = f.read()

    sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n"
                   for name, data in (("tessarin-sandbox.exe", exe), ("README.md", readme)))
    partial = args.output + ".tmp"
    with zipfile.ZipFile(partial, "w") as zip_file:
        zip_file.writestr(entry("tessarin-sandbox.exe", 0o755, epoch), exe, compresslevel=9)
        zip_file.writestr(entry("README.md", 0o644, epoch), readme, compresslevel=9)
        zip_file.writestr(entry("SHA256SUMS", 0o644, epoch), sums.encode(), compresslevel=9)
    os.replace(partial, args.output)

    with open(args.output, "rb") as f:
        zip_sum = hashlib.sha256(f.read()).hexdigest()
    name = os.path.basename(args.output)
    with open(args.output + ".sha256", "w", newline="\n") as f:
        f.write(f"{zip_sum}  {name}\n")
    print(f"release zip: {name}, time stamps from {origin} ({epoch}), sha256 {zip_sum}")


if __name__ == "__main__":
    main()
