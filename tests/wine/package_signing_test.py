#!/usr/bin/env python3
"""The Authenticode signatures of what is shipped: Kavfiltr.sys, Kavset.exe and Kavelor.exe in the archive
and the setup program each carry a SHA-256 signature that verifies against the certificate they were signed
with (build/signing/signing-ca.pem, written by scripts/sign.sh), and one byte changed anywhere in the signed
part of a file makes its verification fail, so that a signature vouches for the whole file. The installed
uninstaller's signature is checked by the setup's Wine test, where it is written.

Exit code 77 (skipped) when the archive, the setup program or osslsigncode is missing.
"""

import argparse
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

SKIP = 77
SIGNED = ("Kavfiltr.sys", "Kavset.exe", "Kavelor.exe")


class Failure(Exception):
    pass


def verify(path, ca):
    done = subprocess.run(["osslsigncode", "verify", "-CAfile", str(ca), "-in", str(path)], capture_output=True,
                          text=True)
    return done.returncode == 0 and "Signature verification: ok" in done.stdout, done.stdout + done.stderr


def signed_length(data):
    """Where the signature begins: the certificate table of the PE optional header's data directory 4."""
    pe = int.from_bytes(data[0x3C:0x40], "little")
    magic = int.from_bytes(data[pe + 24:pe + 26], "little")
    directories = pe + 24 + (112 if magic == 0x20B else 96)
    offset = int.from_bytes(data[directories + 32:directories + 36], "little")
    if offset == 0:
        raise Failure("no certificate table")
    return offset


def check(path, ca, work):
    ok, report = verify(path, ca)
    if not ok:
        raise Failure(f"{path.name}: the signature does not verify:\n{report}")
    if "sha256" not in report.lower():
        raise Failure(f"{path.name}: not a SHA-256 signature:\n{report}")
    data = path.read_bytes()
    end = signed_length(data)
    # A byte of the headers (the time stamp of the file header), of the code, and of what follows the
    # sections (the setup's packed files).
    pe = int.from_bytes(data[0x3C:0x40], "little")
    for at in (pe + 8, end // 2, end - 1):
        changed = bytearray(data)
        changed[at] ^= 0x01
        copy = Path(work) / f"changed-{at}-{path.name}"
        copy.write_bytes(changed)
        ok, report = verify(copy, ca)
        if ok:
            raise Failure(f"{path.name} with the byte at 0x{at:x} changed still verifies")
    print(f"{path.name}: signature verifies ({len(data) - end} bytes of signature); a changed byte at the "
          f"headers, the middle and the end of the signed part fails verification")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--archive", required=True)
    parser.add_argument("--setup", required=True)
    parser.add_argument("--ca", required=True)
    args = parser.parse_args()
    for needed in (args.archive, args.setup, args.ca):
        if not Path(needed).exists():
            print(f"package_signing: skipped: {needed} is missing (scripts/run-main.sh builds it)")
            return SKIP
    if shutil.which("osslsigncode") is None:
        print("package_signing: skipped: no osslsigncode")
        return SKIP
    with tempfile.TemporaryDirectory() as work:
        subprocess.run(["unzip", "-q", args.archive, "-d", work], check=True)
        try:
            for name in SIGNED:
                check(Path(work) / "Kavelor-1.0.1" / name, args.ca, work)
            check(Path(args.setup), args.ca, work)
        except Failure as failure:
            print(f"package_signing: {failure}", file=sys.stderr)
            return 1
    print("package_signing: every shipped binary is signed and its signature verifies")
    return 0


if __name__ == "__main__":
    sys.exit(main())
