"""The clock mapping alone: fed numbers, no device (an hour of drift cannot be
made to happen through a bus)."""

import ctypes
import os
import random
import subprocess

from can_zelbor import library
from can_zelbor.clock import DeviceClock


def test_clock_follows_drift_within_a_millisecond_and_never_runs_backwards():
    generator = random.Random(7)
    clock, epoch, drift = DeviceClock(), 1.8e9, 100e-6  # the device's clock runs 100 ppm fast
    last = 0.0
    for step in range(360_000):  # an hour, a frame every 10 ms
        device = 50.0 + step * 0.01
        sent = epoch + device / (1 + drift)
        delay = 0.0002 + generator.expovariate(1 / 0.002)  # at least 0.2 ms, often far more
        stamp = clock.stamp(device, sent + delay)
        assert stamp >= last and stamp <= sent + delay
        if step > 1000:
            assert abs(stamp - sent) < 0.001, (step, stamp - sent)
        last = stamp
    # The device restarts: its count starts again from 0, the timestamps go on.
    assert clock.stamp(0.5, last + 1.0) >= last
    assert abs(clock.stamp(1.5, last + 2.0005) - (last + 2.0)) < 0.001


def test_sent_frames_are_stamped_among_received_ones_on_their_scale():
    host, device = DeviceClock(), DeviceClock(host=False)
    assert device.stamp_sent(1000.0) == 0.0  # no device time known yet
    for clock in (host, device):
        clock.stamp(10.0, 1010.0)
    assert host.stamp(10.5, 1010.6) == 1010.5 and device.stamp(10.5, 1010.6) == 10.5
    # Written before the last frame arrived: not stamped before it.
    assert host.stamp_sent(1010.2) == 1010.5 and device.stamp_sent(1010.2) == 10.5
    assert host.stamp_sent(1011.0) == 1011.0 and device.stamp_sent(1011.0) == 11.0
    # A frame from the bus read after the echo: never before it.
    assert host.stamp(10.9, 1011.1) == 1011.0 and device.stamp(10.9, 1011.1) == 11.0


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
