"""What send() accepted and the device has not yet taken, and when to write
it: no socket, no clock, no library; the link feeds it reports and time.

The device answers each write with a MESSAGE_COUNT report: how many of the
frames its transmit queue took. The rest were dropped, so they go again,
before any later frame. Invariant: at most one write is unanswered, so the
next report is always that write's, and nothing written later can overtake
frames the device has yet to take. A write of up to 50 frames each round
trip outpaces any CAN bus.

Without more from the device (the maker's), a short count means its queue
is full: the rest goes again after a pause that adapts until a retry takes
a handful of frames. The stand-in device also says how much room its queue
has (in each report, and in a ROOM record once it has drained to half), so
the link writes only what fits and the device drops nothing.
"""

from collections import deque
from typing import Any, Deque, List, Optional, Tuple

MAX_WRITE = 50  # frames per write: one datagram
FIRST_PAUSE = 0.001
LONGEST_PAUSE = 0.016
FEW_TAKEN = 8  # a retry taking fewer than this waited too little
ROOM_FALLBACK = 1.0  # no ROOM record this long after a full queue: write all the same

Entry = Tuple[bytes, Any]  # a frame record, and what to echo once taken (or None)


def room_threshold(capacity: int) -> int:
    """The room at which the device sends a ROOM record after a low report."""
    return min(MAX_WRITE, max(1, capacity // 2))


class TransmitQueue:
    def __init__(self, bound: int) -> None:
        self.bound = bound
        self._queue: Deque[Entry] = deque()
        self._flight: Optional[List[Entry]] = None
        self.flight_since = 0.0
        self._retry_at = 0.0
        self._pause = FIRST_PAUSE
        # What the device's queue can take, known only from the stand-in device.
        self.room: Optional[int] = None
        self._threshold = MAX_WRITE
        self.last_batch = 0xFFFFFFFF  # number of the last write reported on
        self._early_room: Optional[Tuple[int, int]] = None  # a ROOM record that beat its report
        self.frames_taken = 0
        self.frames_sent_again = 0

    def __len__(self) -> int:
        return len(self._queue)

    def full(self) -> bool:
        return len(self._queue) >= self.bound

    def in_flight(self) -> int:
        return 0 if self._flight is None else len(self._flight)

    def put(self, entry: Entry) -> None:
        self._queue.append(entry)

    def discard_queued(self) -> int:
        """Drops what has not been written; returns how many."""
        count = len(self._queue)
        self._queue.clear()
        return count

    def abandon_flight(self) -> int:
        """Forgets the write in flight, whose report will not come; returns its frames."""
        count = self.in_flight()
        self._flight = None
        return count

    def abandon(self) -> int:
        """Drops everything, the unanswered write too; returns how many."""
        count = self.discard_queued() + self.in_flight()
        self._flight = None
        return count

    def next_write(self, now: float) -> Optional[List[Entry]]:
        """The frames to write now, taken as in flight; None if none may go."""
        if self._flight is not None or not self._queue or now < self._retry_at:
            return None
        count = min(MAX_WRITE, len(self._queue))
        if self.room is not None:
            # A little room with more waiting: the ROOM record will say when half is free.
            if self.room < min(self._threshold, count) and now < self._retry_at + ROOM_FALLBACK:
                return None
            count = max(1, min(count, self.room))
        chunk = [self._queue.popleft() for _ in range(count)]
        self._flight, self.flight_since = chunk, now
        return chunk

    def unwritten(self) -> None:
        """The write was refused: its frames go back to the head."""
        if self._flight is not None:
            self._queue.extendleft(reversed(self._flight))
            self._flight = None

    def report(self, taken: int, now: float, room: Optional[int] = None,
               batch: Optional[int] = None) -> List[Entry]:
        """The device's report of the write in flight; returns the frames taken."""
        flight, self._flight = self._flight, None
        if flight is None:
            return []  # a report of no write of ours (the device repeated itself)
        taken = max(0, min(taken, len(flight)))
        self.frames_taken += taken
        rest = flight[taken:]
        if room is not None and batch is not None:
            self.room, self.last_batch = room, batch
            early, self._early_room = self._early_room, None
            if early is not None and early[1] == batch:
                self.room = early[0]  # the queue drained after this report was first sent
        if rest:
            self._queue.extendleft(reversed(rest))
            self.frames_sent_again += len(rest)
            if self.room is None:
                self._pause = (min(self._pause * 2, LONGEST_PAUSE) if taken < FEW_TAKEN
                               else max(self._pause / 2, FIRST_PAUSE))
            self._retry_at = now + (self._pause if self.room is None else 0.0)
        else:
            self._retry_at = now if self.room is not None else 0.0
        return flight[:taken]

    def room_report(self, room: int, capacity: int, batch: int) -> None:
        """A ROOM record: `room` free after the device took write `batch`."""
        self._threshold = room_threshold(capacity)
        if (batch - self.last_batch) & 0x80000000:
            return  # older than what we know
        if self._flight is not None:
            # The answer to the write in flight will say, unless this record is
            # about that write: a lost report, repeated, comes after it.
            self._early_room = (room, batch)
            return
        self.room, self.last_batch = room, batch

    def wake_at(self) -> Optional[float]:
        """When a write may go although nothing arrives: None if only a report
        or a ROOM record can let one go, or nothing waits."""
        if self._flight is not None or not self._queue:
            return None
        if self.room is not None and self.room < min(self._threshold, len(self._queue)):
            return self._retry_at + ROOM_FALLBACK
        return self._retry_at
