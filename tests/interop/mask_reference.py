"""Masking and encodings from Python's bytes.replace, base64, binascii and
urllib, an implementation independent of ours.

Usage: mask_reference.py CASES_FILE RESULTS_FILE
Both files are sequences of records: a kind byte, a 4-byte little-endian
field count, then each field as a 4-byte little-endian length and its bytes.
  kind M, fields [text, secret...]: one result field, the text with every
    non-empty secret replaced by "***" in order, each in the text the
    earlier ones left.
  kind E, fields [lead, value, trail]: result fields, in this order: base64
    of lead+value+trail standard padded, standard unpadded, URL-safe padded,
    URL-safe unpadded; the value's hex in lower and upper case; its
    percent-encoding with upper-case and with lower-case digits.
Each result is written as kind R with its fields.
"""

import base64
import binascii
import re
import struct
import sys
import urllib.parse


def read_records(data: bytes):
    at = 0
    while at < len(data):
        kind, (count,) = data[at:at + 1], struct.unpack_from("<I", data, at + 1)
        at += 5
        fields = []
        for _ in range(count):
            (size,) = struct.unpack_from("<I", data, at)
            fields.append(data[at + 4:at + 4 + size])
            at += 4 + size
        yield kind, fields


def write_record(out, fields) -> None:
    out.write(b"R" + struct.pack("<I", len(fields)) + b"".join(struct.pack("<I", len(f)) + f for f in fields))


def masked(text: bytes, secrets) -> bytes:
    for secret in filter(None, secrets):
        text = text.replace(secret, b"***")
    return text


def encodings(lead: bytes, value: bytes, trail: bytes):
    standard, urlsafe = base64.b64encode(lead + value + trail), base64.urlsafe_b64encode(lead + value + trail)
    hex_lower = binascii.hexlify(value)
    percent = urllib.parse.quote_from_bytes(value, safe="").encode()
    percent_lower = re.sub(rb"%[0-9A-F]{2}", lambda m: m.group(0).lower(), percent)
    return [standard, standard.rstrip(b"="), urlsafe, urlsafe.rstrip(b"="), hex_lower, hex_lower.upper(), percent,
            percent_lower]


def main(cases_path: str, results_path: str) -> int:
    with open(cases_path, "rb") as handle, open(results_path, "wb") as out:
        for kind, fields in read_records(handle.read()):
            if kind not in (b"M", b"E"):
                print(f"unknown record kind {kind!r}", file=sys.stderr)
                return 1
            write_record(out, [masked(fields[0], fields[1:])] if kind == b"M" else encodings(*fields))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
