"""What the Python tests and benchmarks share: a loopback address of their own
and a bounded wait."""

import itertools
import os
import time

_numbers = itertools.count(1)


def loopback_address():
    """127.P.P.n, P from the process id, n counting up: an address of this call's own."""
    pid = os.getpid()
    return f"127.{(pid >> 8) & 0xFF}.{pid & 0xFF}.{1 + (next(_numbers) + (pid >> 16)) % 254}"


def wait_for(condition, seconds=20.0):
    """True once condition() holds; False if `seconds` pass first."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True
