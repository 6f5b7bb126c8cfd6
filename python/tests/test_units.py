"""The clock mapping and the transmit queue alone: fed numbers, no device (an
hour of drift or a short write count cannot be made to happen through a bus)."""

import random

from can_zelbor.clock import DeviceClock
from can_zelbor.transmit import TransmitQueue


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


def entries(count, start=0):
    return [(bytes([start + i]), None) for i in range(count)]


def test_a_short_count_sends_the_rest_again_first_and_alone():
    queue = TransmitQueue(bound=1000)
    for entry in entries(120):
        queue.put(entry)
    first = queue.next_write(0.0)
    assert len(first) == 50 and queue.next_write(0.0) is None  # one write at a time
    assert queue.report(20, 0.0) == first[:20]
    assert queue.next_write(0.0) is None  # the queue is full: a pause first
    retry = queue.next_write(queue.wake_at())
    assert retry[:30] == first[20:] and len(retry) == 50
    assert queue.report(50, 1.0) == retry
    assert [e[0][0] for e in queue.next_write(1.0)] == list(range(70, 120))


def test_room_reports_let_only_what_fits_go():
    queue = TransmitQueue(bound=1000)
    for entry in entries(200):
        queue.put(entry)
    queue.room_report(64, 64, 0xFFFFFFFF)
    assert len(queue.next_write(0.0)) == 50
    queue.report(50, 0.0, room=14, batch=0)
    assert queue.next_write(0.0) is None and queue.wake_at() == 1.0  # until half is free
    queue.room_report(40, 64, 0xFFFFFFFF)  # older than the report: ignored
    assert queue.next_write(0.1) is None
    queue.room_report(32, 64, 0)
    assert len(queue.next_write(0.1)) == 32
    queue.report(32, 0.1, room=0, batch=1)
    queue.room_report(32, 64, 1)
    assert len(queue.next_write(0.2)) == 32
    # The ROOM record came before the report it follows (the report was lost and repeated).
    queue.room_report(40, 64, 2)
    queue.report(32, 0.3, room=0, batch=2)
    assert len(queue.next_write(0.3)) == 40
    queue.report(40, 0.3, room=0, batch=3)
    assert queue.discard_queued() == 46 and queue.next_write(0.4) is None
