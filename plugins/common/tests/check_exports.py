#!/usr/bin/env python3
"""check_exports.py NM LIBRARY NAME...: the library's defined dynamic symbols
(nm -D --defined-only) are exactly the given names."""
import subprocess
import sys


def main() -> int:
    nm, library, expected = sys.argv[1], sys.argv[2], set(sys.argv[3:])
    out = subprocess.run([nm, "-D", "--defined-only", library], check=True, stdout=subprocess.PIPE,
                         text=True, timeout=60).stdout
    names = set()
    for line in out.splitlines():
        fields = line.split()
        if len(fields) >= 3:
            names.add(fields[2].split("@")[0])
    missing, extra = expected - names, names - expected
    if missing or extra:
        print(f"{library}: missing {sorted(missing)}, unexpected {sorted(extra)}")
        return 1
    print(f"{library}: exactly {len(names)} exports")
    return 0


if __name__ == "__main__":
    sys.exit(main())
