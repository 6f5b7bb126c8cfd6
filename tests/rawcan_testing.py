"""What the Python tests and benchmarks share: a loopback address of their own,
a bounded wait, and the frames of raw_can_reader's listing and of candump logs."""

import itertools
import os
import re
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


_LISTED = re.compile(r"(\d+\.\d+)  (?:STD-CAN-ID \$([0-9A-F]{3})|EXT-CAN-ID \$([0-9A-F]{8})): "
                     r"((?:\$[0-9A-F]{2} )*)")
_LOGGED = re.compile(r"\((\d+\.\d+)\) \S+ ([0-9A-F]{3}|[0-9A-F]{8})#((?:[0-9A-F]{2})*)(?:\s|$)")


def frame_line(line):
    """(seconds, identifier, extended, data) of a frame line of raw_can_reader's
    listing or of a candump log; None for any other line."""
    listed = _LISTED.fullmatch(line.rstrip("\n"))
    if listed:
        seconds, standard, extended, data = listed.groups()
        return (float(seconds), int(standard or extended, 16), extended is not None,
                bytes.fromhex(data.replace("$", "")))
    logged = _LOGGED.match(line)
    if logged:
        seconds, identifier, data = logged.groups()
        return float(seconds), int(identifier, 16), len(identifier) == 8, bytes.fromhex(data)
    return None


def listed_frames(listing):
    """(identifier, extended, data) of each line after the first of
    raw_can_reader's output, without its time; None for a line of no frame."""
    return [frame and frame[1:] for frame in map(frame_line, listing.splitlines()[1:])]


def candump_frame(identifier, extended, data):
    """A frame as a candump log writes it: ID#DATA."""
    return f"{identifier:0{8 if extended else 3}X}#{bytes(data).hex().upper()}"
