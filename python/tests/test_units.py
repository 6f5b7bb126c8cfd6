"""The plugin's ctypes records against the C headers, with no device."""

import ctypes
import os
import subprocess

from can_zelbor import library


def test_the_ctypes_records_are_laid_out_as_the_c_headers_say():
    printed = subprocess.run([os.environ["RECORD_LAYOUT"], "--layout"], check=True,
                             capture_output=True, text=True).stdout
    c_layout = {}
    for line in printed.splitlines():
        record, field, offset, size = line.split()
        c_layout.setdefault(record, []).append((field, int(offset), int(size)))
    assert len(c_layout) == 11
    for record, fields in c_layout.items():
        mirror = getattr(library, record)
        (_, _, size), *members = fields
        assert ctypes.sizeof(mirror) == size, record
        assert [(name, getattr(mirror, name).offset, getattr(mirror, name).size)
                for name, *_ in mirror._fields_] == members, record
    # The byte layouts of the hot paths read the same fields as ctypes.
    frame = library.ZelborHostFrame(flags=5, at_ns=-7)
    frame.frame.length, frame.frame.id, frame.frame.time_low = -1, 0x80000123, 99
    frame.frame.data[7] = 0xAB
    frame.frame.aux_word = 0xFFFFFFFF  # skipped by the byte layout
    unpacked = library.HOST_FRAME_LAYOUT.unpack(bytes(frame))
    assert unpacked[0][7] == 0xAB and unpacked[1:3] == (-1, 0x80000123)
    assert unpacked[4:] == (99, 5, -7)
    assert library.RAW_FRAME_LAYOUT.size == ctypes.sizeof(library.RawCanMessage)
