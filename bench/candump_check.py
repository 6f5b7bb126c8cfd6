#!/usr/bin/env python3
"""Checks a candump log of the simulated device's generated frames (as
python-can's logger writes it): every frame once, in order, nothing else; the
times are not compared. Frame n is the one sim/generated.h defines.
Usage: candump_check.py LOG [EXPECTED_COUNT]"""

import os
import sys

sys.dont_write_bytecode = True  # leave no cache in the checkout
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from rawcan_testing import candump_frame, frame_line  # noqa: E402


def generated_frame(n: int):
    """Identifier, extended, data of frame n."""
    extended = n % 4 == 3
    return (n & (0x1FFFFFFF if extended else 0x7FF), extended,
            bytes((n >> (8 * i)) & 0xFF for i in range(n % 9)))


def check(path: str, expected=None):
    """(True, summary) if the log holds frames 0, 1, ... (and `expected` of
    them), else (False, what is wrong)."""
    logged = 0
    with open(path, encoding="ascii") as log:
        for number, line in enumerate(log, 1):
            wanted, frame = generated_frame(logged), frame_line(line)
            if frame is None or frame[1:] != wanted:
                return False, (f"line {number} is not frame {logged}:\n  got      {line.rstrip()}"
                               f"\n  expected {candump_frame(*wanted)}")
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
