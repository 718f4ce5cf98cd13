#!/usr/bin/env python3
"""Builds a Wrenlet firmware container: signature, version texts, four section sizes and the
sections, signed over bytes 256 to the end with RSA PKCS#1 v1.5 SHA-256, then xz-compressed."""

import argparse
import lzma
import struct
import sys

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding

CHECKS = {"crc32": lzma.CHECK_CRC32, "crc64": lzma.CHECK_CRC64, "sha256": lzma.CHECK_SHA256,
          "none": lzma.CHECK_NONE}


def text_field(text):
    data = text.encode()
    if len(data) >= 32:
        sys.exit("version text too long: " + text)
    return data + bytes(32 - len(data))


def container(key_path, firmware_version, fpga_version, sections):
    body = bytes(32) + text_field(firmware_version) + text_field(fpga_version)
    body += struct.pack("<4I", *(len(s) for s in sections)) + b"".join(sections)
    with open(key_path, "rb") as f:
        key = serialization.load_pem_private_key(f.read(), None)
    return key.sign(body, padding.PKCS1v15(), hashes.SHA256()) + body


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--key", required=True, help="the signer's private key, PEM")
    parser.add_argument("--firmware-version", default="1.1.0")
    parser.add_argument("--fpga-version", default="1.0")
    for n in range(1, 5):
        parser.add_argument(f"--section{n}", help=f"file holding section {n} (empty when not given)")
    parser.add_argument("--check", choices=sorted(CHECKS), default="crc64", help="the xz integrity check")
    parser.add_argument("--decoded", action="store_true", help="write the container without compressing it")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    sections = []
    for n in range(1, 5):
        path = getattr(args, f"section{n}")
        sections.append(open(path, "rb").read() if path else b"")
    data = container(args.key, args.firmware_version, args.fpga_version, sections)
    if not args.decoded:
        data = lzma.compress(data, format=lzma.FORMAT_XZ, check=CHECKS[args.check])
    with open(args.out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
