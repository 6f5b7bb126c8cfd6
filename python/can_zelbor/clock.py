"""The device's time on the host's clock.

The device stamps each frame with its own 64-bit time count (32 a
microsecond, from its start). A message's timestamp is that moment in
seconds since the epoch: device time plus an offset, the offset being what
the host's clock read minus what the device's read at the same moment.

Every frame bounds the offset from above: it arrived at the host after the
device stamped it, never before, so arrival time minus device time is the
offset plus the network's delay. The mapping keeps the smallest of these
bounds in each window of WINDOW seconds of device time, fits a line through
the last FIT_WINDOWS of them (the two clocks drift apart by up to a few parts
in 10,000), and lays the line at or below every bound seen, so that no frame
is stamped later than it arrived. Timestamps never run backwards, and a
device whose count goes back (it restarted) starts a new mapping.

A frame the host sent comes back (receive_own_messages) without a device
time: it is stamped with the moment it was written, on the same scale as the
received frames it is delivered among, and never below the last of them.
"""

import math
from collections import deque

WINDOW = 5.0
FIT_WINDOWS = 24  # two minutes of device time
RESTART_STEP = 1.0  # a count this far behind the last one is a new run of the device
MOST_DRIFT = 1e-3  # a fitted rate beyond this is noise, not a clock


class DeviceClock:
    """Maps device seconds onto host epoch seconds, one frame at a time; with
    `host` False, stamps stay device seconds (never back within a run)."""

    def __init__(self, host: bool = True) -> None:
        self._host = host
        self._last_stamp = -math.inf
        self._start()

    def _start(self) -> None:
        self._bounds = deque(maxlen=FIT_WINDOWS)  # (device time, smallest bound) per window
        self._anchor = None  # device time the line is anchored at
        self._offset = math.inf  # the line's offset at the anchor
        self._rate = 0.0
        self._window_end = 0.0
        self._window_bound = math.inf
        self._window_at = 0.0
        self._previous = -math.inf
        if not self._host:
            self._last_stamp = -math.inf  # device seconds start again with the device

    def restart(self) -> None:
        """The device restarted (its host library says so): a new mapping, as
        its count may not yet have fallen below the last run's."""
        self._start()

    def stamp(self, device_seconds: float, arrival: float) -> float:
        """The epoch time of a frame stamped `device_seconds` by the device that
        arrived (was read) at epoch time `arrival`."""
        if device_seconds < self._previous - RESTART_STEP:
            self._start()
        self._previous = device_seconds
        bound = arrival - device_seconds
        if self._anchor is None:
            self._anchor, self._offset = device_seconds, bound
            self._window_end = device_seconds + WINDOW
        if bound < self._window_bound:
            self._window_bound, self._window_at = bound, device_seconds
        if device_seconds >= self._window_end:
            self._close_window(device_seconds)
        offset = self._offset + self._rate * (device_seconds - self._anchor)
        if bound < offset:  # the line lies above what this frame proves: lower it
            self._offset -= offset - bound
            offset = bound
        return self._monotonic(device_seconds + offset if self._host else device_seconds)

    def stamp_sent(self, written: float) -> float:
        """The stamp of a frame the host wrote at epoch time `written`."""
        if not self._host:
            if self._anchor is None:  # no device time seen yet
                return self._monotonic(0.0)
            offset = self._offset + self._rate * (self._previous - self._anchor)
            written -= offset
        return self._monotonic(written)

    def _monotonic(self, stamp: float) -> float:
        if stamp < self._last_stamp:
            stamp = self._last_stamp
        self._last_stamp = stamp
        return stamp

    def _close_window(self, now: float) -> None:
        self._bounds.append((self._window_at, self._window_bound))
        self._window_bound = math.inf
        self._window_end = now + WINDOW
        if len(self._bounds) < 2:
            return
        count = len(self._bounds)
        mean_t = sum(t for t, _ in self._bounds) / count
        mean_b = sum(b for _, b in self._bounds) / count
        spread = sum((t - mean_t) ** 2 for t, _ in self._bounds)
        if spread <= 0:
            return
        rate = sum((t - mean_t) * (b - mean_b) for t, b in self._bounds) / spread
        self._rate = max(-MOST_DRIFT, min(MOST_DRIFT, rate))
        self._anchor = now
        self._offset = min(b + self._rate * (now - t) for t, b in self._bounds)
