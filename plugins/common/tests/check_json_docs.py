#!/usr/bin/env python3
"""Runs the document generator (its command line is given) and checks every
document with python's own json and base64 modules: the document is strict
UTF-8 and valid JSON, the string equals the input bytes with each byte that
is not part of a well-formed UTF-8 sequence replaced by U+FFFD, and the
base64 text is exactly base64.b64encode of the bytes."""
import base64
import json
import subprocess
import sys


def expected_text(raw: bytes) -> str:
    out = []
    i = 0
    while i < len(raw):
        for n in (1, 2, 3, 4):
            try:
                ch = raw[i:i + n].decode("utf-8")
            except UnicodeDecodeError:
                continue
            if len(ch) == 1:
                out.append(ch)
                i += n
                break
        else:
            out.append("\ufffd")
            i += 1
    return "".join(out)


def main() -> int:
    output = subprocess.run(sys.argv[1:], check=True, stdout=subprocess.PIPE, timeout=120).stdout
    lines = output.splitlines()
    if len(lines) != 2002:
        print(f"expected 2002 documents, got {len(lines)}")
        return 1
    for number, line in enumerate(lines):
        inputs, doc = line.split(b"\t", 1)
        text_hex, bytes_hex = inputs.split(b" ")
        text, data = bytes.fromhex(text_hex.decode()), bytes.fromhex(bytes_hex.decode())
        value = json.loads(doc.decode("utf-8", errors="strict"))
        if set(value) != {"s", "b", "n"} or value["n"] != len(data):
            print(f"document {number}: wrong members {doc[:80]!r}")
            return 1
        if value["s"] != expected_text(text):
            print(f"document {number}: string differs for input {text.hex()}")
            return 1
        if value["b"] != base64.b64encode(data).decode() or base64.b64decode(value["b"]) != data:
            print(f"document {number}: base64 differs for {len(data)} bytes")
            return 1
    print(f"{len(lines)} documents checked")
    return 0


if __name__ == "__main__":
    sys.exit(main())
