#!/usr/bin/env python3
"""Checks a candump log of the simulated device's generated frames (as
python-can's logger writes it): every frame once, in order, nothing else; the
times are not compared. Frame n is the one sim/generated.h defines.
Usage: candump_check.py LOG [EXPECTED_COUNT]"""

import sys


def generated_line(n: int) -> str:
    """Identifier and data of frame n in the log's ID#DATA form."""
    length = n % 9
    data = "".join(f"{(n >> (8 * i)) & 0xFF:02X}" for i in range(length))
    if n % 4 == 3:
        return f"{n & 0x1FFFFFFF:08X}#{data}"
    return f"{n & 0x7FF:03X}#{data}"


def check(path: str, expected=None):
    """(True, summary) if the log holds frames 0, 1, ... (and `expected` of
    them), else (False, what is wrong)."""
    logged = 0
    with open(path, encoding="ascii") as log:
        for number, line in enumerate(log, 1):
            fields = line.split()
            wanted = generated_line(logged)
            if len(fields) < 3 or fields[2] != wanted:
                return False, (f"line {number} is not frame {logged}:\n  got      {line.rstrip()}"
                               f"\n  expected {wanted}")
            logged += 1
    if expected is not None and logged != expected:
        return False, f"logged {logged} of {expected} frames"
    return True, f"logged {logged} frames, each once, in order"


def main() -> int:
    if len(sys.argv) < 2:
        print("usage: candump_check.py LOG [EXPECTED_COUNT]", file=sys.stderr)
        return 2
    ok, summary = check(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else None)
    print(summary)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
