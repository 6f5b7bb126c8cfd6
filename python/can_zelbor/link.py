"""The link thread: once the interface has started, one thread makes every
library call. It keeps the link alive and takes every frame into a bounded
receive buffer whether or not the program calls recv(), writes what send()
queued as the device makes room, and watches that the device answers.

Waiting: with the stand-in library's ZelborGetLinkStatus the thread sleeps in
poll() on the library's socket and a wake-up pipe, for no longer than the
library asks; with the maker's library it reads again after a pause that
grows to LONGEST_PAUSE, the reader program's pause. Either way recv() and
the descriptor fileno() gives sleep until a frame is in the buffer.
"""

import ctypes
import logging
import math
import os
import select
import threading
import time
from collections import deque
from typing import Any, Deque, Dict, List, Optional, Tuple

from can import CanOperationError, CanTimeoutError

from .clock import DeviceClock
from .library import (
    COUNTER_NAMES,
    COUNTS_PER_SECOND,
    ERR_BACKLOG,
    ERR_NO_DATA,
    EXTENDED_FLAG,
    MESSAGE_COUNT,
    QUEUE_RECORD_LENGTH,
    RAW_FRAME_LAYOUT,
    READY_RECORD,
    ROOM_RECORD,
    CtrlMessage,
    RawCanMessage,
    ZelborCounters,
    ZelborLinkStatus,
    describe_result,
    make_room_request,
    message_count,
    queue_fields,
)
from .transmit import TransmitQueue

LOG = logging.getLogger("can.interfaces.zelbor")

READ_BURST = 4096  # frames taken in one round before the thread looks at anything else
CONTROLS_PER_ROUND = 64
FIRST_PAUSE = 0.00025
LONGEST_PAUSE = 0.02
CONTROL_READ_INTERVAL = 0.25  # control records are read at least this often
DEVICE_SILENCE = 2.0  # s without a word from the device: it does not answer
REPORT_OVERDUE = 5.0  # s a taken write may go unreported before it is given up
LOSS_CHECK_INTERVAL = 0.5
LOSS_LOG_INTERVAL = 10.0
CLOSE_WAIT = 2.0  # s a closing link waits for the thread, and for progress while draining

# A received item: timestamp, identifier word, length, data bytes, received (or sent back).
Item = Tuple[float, int, int, bytes, bool]


class DeviceSilent(CanOperationError):
    """The device has not answered for DEVICE_SILENCE seconds."""


class SendTimeout(CanOperationError, CanTimeoutError):
    """send() ran out of time while the device's transmit queue was full."""


def _pipe() -> Tuple[int, int]:
    read_end, write_end = os.pipe()
    os.set_blocking(read_end, False)
    os.set_blocking(write_end, False)
    return read_end, write_end


class Link:
    """The library's calls after start-up, on a thread of their own."""

    def __init__(self, library, state, channel: int, where: str, *, receive_buffer: int,
                 transmit_buffer: int, host_timestamps: bool, echo: bool) -> None:
        self._library = library
        self._state = state
        self._where = where
        self._echo = echo
        self._has_status = library.ZelborGetLinkStatus is not None and hasattr(select, "poll")
        self._clock = DeviceClock(host_timestamps)

        self.library_lock = threading.Lock()  # every library call holds it
        self._cond = threading.Condition()  # everything below it is shared with callers
        self._rx: Deque[Item] = deque()
        self._rx_bound = receive_buffer
        self._tx = TransmitQueue(transmit_buffer)
        self._failure: Optional[CanOperationError] = None
        self._answering = True
        self._silent_for = 0.0
        self._not_sent = 0  # frames accepted and not taken, not yet told to the caller
        self._not_sent_total = 0
        self._rx_overflowed = 0
        self._flushed = 0
        self.message_count: Optional[int] = None
        self._stopping = False
        self._sleeping = False

        self._frame = RawCanMessage()
        self._frame_ref = ctypes.byref(self._frame)
        self._record = CtrlMessage()
        self._record_ref = ctypes.byref(self._record)
        self._status = ZelborLinkStatus()
        self._status_ref = ctypes.byref(self._status)
        self._counters = ZelborCounters()
        self._counters_ref = ctypes.byref(self._counters)
        self._rounds_idle = 0
        self._last_control_read = 0.0
        self._next_loss_check = 0.0
        self._losses_logged = 0
        self._last_loss_log = -math.inf
        self._started = time.monotonic()
        self._written_at = 0.0
        self._device_restarts = 0

        self._ready_r = self._ready_w = self._wake_r = self._wake_w = -1
        self._poller = None  # the wake-up pipe, and the library's socket once known
        self._polled_socket = -1
        if hasattr(select, "poll"):
            self._ready_r, self._ready_w = _pipe()  # one byte in it while _rx holds anything
            self._wake_r, self._wake_w = _pipe()
            self._poller = select.poll()
            self._poller.register(self._wake_r, select.POLLIN)
        if self._has_status and library.ZelborCtrlWrite(state, make_room_request()) != 0:
            self._has_status = False  # a device that knows no room reports: counts alone
        self._thread = threading.Thread(target=self._run, name=f"zelbor channel {channel} link",
                                        daemon=True)
        self._thread.start()

    # ----- callers' side -----

    def _raise_if_failed(self) -> None:
        if self._failure is not None:
            raise self._failure
        if not self._answering:
            raise DeviceSilent(
                f"{self._where}: the device does not answer (silent for "
                f"{self._silent_for:.1f} s)")

    def _raise_if_not_sent(self) -> None:
        if self._not_sent:
            count, self._not_sent = self._not_sent, 0
            raise CanOperationError(
                f"{self._where}: {count} frames accepted by send() did not reach the bus")

    def put(self, record: bytes, echo: Any, timeout: Optional[float]) -> None:
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._cond:
            self._raise_if_not_sent()
            while True:
                self._raise_if_failed()
                if not self._tx.full():
                    break
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    raise SendTimeout(
                        f"{self._where}: the device's transmit queue stayed full for {timeout} s "
                        f"({len(self._tx)} frames waiting)", error_code=ERR_BACKLOG)
                self._cond.wait(CONTROL_READ_INTERVAL if left is None else min(left, 1.0))
            self._tx.put((record, echo if self._echo else None))
            self._wake()

    def take(self, timeout: Optional[float]) -> Optional[Item]:
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._cond:
            while not self._rx:
                self._raise_if_failed()
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    return None
                self._cond.wait(1.0 if left is None else min(left, 1.0))
            item = self._rx.popleft()
            if not self._rx and self._ready_r >= 0:
                _drain(self._ready_r)
            return item

    def discard_queued(self) -> int:
        with self._cond:
            count = self._tx.discard_queued()
            self._flushed += count
            self._cond.notify_all()
            return count

    @property
    def answering(self) -> bool:
        return self._answering and self._failure is None

    def ready_descriptor(self) -> int:
        if self._ready_r < 0:
            raise NotImplementedError("no descriptor to wait on here")
        return self._ready_r

    def counters(self) -> Dict[str, int]:
        values: Dict[str, int] = {}
        if self._library.ZelborGetCounters is not None:
            with self.library_lock:
                if self._read_counters():
                    values = {name: getattr(self._counters, name) for name in COUNTER_NAMES}
        with self._cond:
            values.update(
                receive_buffer_overflowed=self._rx_overflowed,
                frames_sent=self._tx.frames_taken,
                frames_sent_again=self._tx.frames_sent_again,
                frames_not_sent=self._not_sent_total,
                frames_flushed=self._flushed,
            )
        return values

    def close(self, drain: bool) -> int:
        """Sends what is queued (with `drain`, while the device keeps taking it),
        stops the thread and the interface; returns the frames not sent."""
        if drain:
            with self._cond:
                progress, waiting = time.monotonic(), self._tx_waiting()
                while waiting and self._failure is None and not self._stopping:
                    if time.monotonic() - progress > CLOSE_WAIT:
                        break
                    self._cond.wait(0.05)
                    if self._tx_waiting() < waiting:
                        progress, waiting = time.monotonic(), self._tx_waiting()
        with self._cond:
            self._stopping = True
            self._wake()
        if threading.current_thread() is not self._thread:
            self._thread.join(CLOSE_WAIT)
        with self.library_lock:
            self._library.ZelborStopInterface(self._state)
        with self._cond:
            lost = self._tx.abandon()
            self._not_sent_total += lost
            lost += self._not_sent
            self._not_sent = 0
            self._cond.notify_all()
        self._log_losses(final=True)
        if self._thread.is_alive():
            return lost  # stuck in a call: its descriptors stay open
        for descriptor in (self._ready_r, self._ready_w, self._wake_r, self._wake_w):
            if descriptor >= 0:
                os.close(descriptor)
        self._ready_r = self._ready_w = self._wake_r = self._wake_w = -1
        return lost

    def close_unshut(self) -> None:
        """The bus was collected, or the program ends, without shutdown(): sends
        what is queued as shutdown() does, and logs what did not reach the bus."""
        lost = self.close(threading.current_thread() is not self._thread)
        if lost:
            LOG.warning("%s: the bus was not shut down; %d frames accepted by send() did not "
                        "reach the bus", self._where, lost)

    def _tx_waiting(self) -> int:
        return len(self._tx) + self._tx.in_flight()

    def _wake(self) -> None:  # under _cond
        if self._sleeping and self._wake_w >= 0:
            self._sleeping = False
            try:
                os.write(self._wake_w, b"w")
            except BlockingIOError:
                pass  # a byte is already there

    # ----- the thread -----

    def _run(self) -> None:
        try:
            while True:
                with self.library_lock:
                    if self._stopping:
                        return
                    now = time.monotonic()
                    frames = self._receive()
                    # A report or ROOM record may have come with the frames.
                    if (self._tx.in_flight() or self._woke_for_socket
                            and (not frames or len(self._tx))
                            or now - self._last_control_read >= CONTROL_READ_INTERVAL):
                        self._read_controls(now)
                    wrote = self._write(time.monotonic())
                    self._watch(time.monotonic())
                busy = frames >= READ_BURST or wrote
                self._rounds_idle = 0 if frames or wrote else self._rounds_idle + 1
                if not busy:
                    self._wait()
        except Exception as error:  # the thread must never end without a word
            LOG.exception("%s: the link thread failed", self._where)
            with self._cond:
                self._failure = CanOperationError(f"{self._where}: the link failed: {error!r}")
                self._cond.notify_all()

    _woke_for_socket = False

    def _receive(self) -> int:
        read, state, ref = self._library.ZelborRawCanRead, self._state, self._frame_ref
        unpack, frame = RAW_FRAME_LAYOUT.unpack_from, self._frame
        records = []
        for _ in range(READ_BURST):
            if read(state, ref) < 0:  # ERR_NO_DATA, or a stopped interface
                break
            records.append(unpack(frame))
        if not records:
            return 0
        arrival = time.time()  # after the reads: never before a frame arrived
        if self._library.ZelborGetCounters is not None and self._read_counters():
            restarts = self._counters.device_restarts
            if restarts != self._device_restarts:
                self._device_restarts = restarts
                self._clock.restart()
        stamp = self._clock.stamp
        items = []
        for data, length, identifier, time_high, time_low in records:
            seconds = (time_high << 32 | time_low) / COUNTS_PER_SECOND
            items.append((stamp(seconds, arrival), identifier, length, data, True))
        self._deliver(items)
        return len(records)

    def _deliver(self, items: List[Item]) -> None:
        with self._cond:
            room = self._rx_bound - len(self._rx)
            if len(items) > room:
                self._rx_overflowed += len(items) - max(room, 0)
                items = items[:max(room, 0)]
            if not items:
                return
            if not self._rx and self._ready_w >= 0:
                os.write(self._ready_w, b"r")
            self._rx.extend(items)
            self._cond.notify_all()

    def _read_controls(self, now: float) -> None:
        self._last_control_read = now
        read, state, ref, record = (self._library.ZelborCtrlRead, self._state, self._record_ref,
                                    self._record)
        for _ in range(CONTROLS_PER_ROUND):
            if read(state, ref) == ERR_NO_DATA:
                return
            data = bytes(record.data[:min(record.length, QUEUE_RECORD_LENGTH)])
            count = message_count(data) if record.type == MESSAGE_COUNT else None
            fields = queue_fields(data) if self._has_status else None
            if count is not None:
                self._counted(count, fields)
            elif record.type == ROOM_RECORD and fields is not None:
                with self._cond:
                    self._tx.room_report(*fields)
            elif record.type == READY_RECORD:
                # A new session of the device: its queue is new, and room reports are off.
                with self._cond:
                    self._tx.room = None
                if self._has_status and self._library.ZelborCtrlWrite(
                        state, make_room_request()) != 0:
                    LOG.warning("%s: the device no longer sends room reports", self._where)

    def _counted(self, count: int, fields: Optional[Tuple[int, int, int]]) -> None:
        self.message_count = count
        with self._cond:
            taken = self._tx.report(count, time.monotonic(),
                                    fields[1] if fields else None,
                                    fields[2] if fields else None)
            self._cond.notify_all()  # room for senders
        echoes = [entry[1] for entry in taken if entry[1] is not None]
        if echoes:
            now = self._clock.stamp_sent(self._written_at)
            self._deliver([(now, m.arbitration_id | (EXTENDED_FLAG if m.is_extended_id else 0),
                            len(m.data), bytes(m.data), False) for m in echoes])

    def _write(self, now: float) -> bool:
        with self._cond:
            chunk = self._tx.next_write(now) if self._failure is None else None
        if not chunk:
            return False
        frames = (RawCanMessage * len(chunk)).from_buffer_copy(b"".join(r for r, _ in chunk))
        self._written_at = time.time()  # when the frames of the write in flight went
        result = self._library.ZelborRawCanWrite(self._state, frames, len(chunk))
        if result >= 0:
            return True
        with self._cond:
            self._tx.unwritten()
            if result != ERR_BACKLOG:
                self._failure = CanOperationError(
                    f"{self._where}: ZelborRawCanWrite failed: {describe_result(result)}",
                    error_code=result)
                self._cond.notify_all()
        return False

    def _read_status(self) -> bool:
        return self._library.ZelborGetLinkStatus(self._state, self._status_ref) == 0

    def _read_counters(self) -> bool:
        return self._library.ZelborGetCounters(self._state, self._counters_ref) == 0

    def _watch(self, now: float) -> None:
        status = self._status if self._has_status and self._read_status() else None
        if status is not None:
            silent = (status.device_silent_ms / 1000 if status.device_silent_ms >= 0
                      else now - self._started)
        else:  # only an unanswered write can tell
            silent = now - self._tx.flight_since if self._tx.in_flight() else 0.0
        answering = silent <= DEVICE_SILENCE
        with self._cond:
            self._silent_for = silent
            if (status is not None and answering and status.batches_held == 0
                    and self._tx.in_flight() and now - self._tx.flight_since > REPORT_OVERDUE):
                # The device took the write (the library holds none), but its report was lost.
                lost = self._tx.abandon_flight()
                self._not_sent += lost
                self._not_sent_total += lost
                LOG.warning("%s: %d frames taken by the device were never confirmed",
                            self._where, lost)
            if answering != self._answering:
                self._answering = answering
                self._cond.notify_all()
                if answering:
                    LOG.warning("%s: the device answers again", self._where)
                else:
                    LOG.warning("%s: the device does not answer (silent for %.1f s)",
                                self._where, silent)
        if now >= self._next_loss_check:
            self._next_loss_check = now + LOSS_CHECK_INTERVAL
            self._log_losses(final=False)

    def _lost(self) -> Dict[str, int]:
        lost = {"receive buffer full": self._rx_overflowed}
        if self._library.ZelborGetCounters is not None and self._read_counters():
            lost["lost on the way"] = self._counters.frames_lost
            lost["not read in time"] = self._counters.frames_overflowed
        return lost

    def _log_losses(self, final: bool) -> None:
        if final:
            with self.library_lock:
                lost = self._lost()
        else:
            lost = self._lost()  # the thread holds the library lock
        total = sum(lost.values())
        now = time.monotonic()
        if total <= self._losses_logged or (
                not final and self._losses_logged and now - self._last_loss_log < LOSS_LOG_INTERVAL):
            return
        self._losses_logged, self._last_loss_log = total, now
        causes = ", ".join(f"{count} {cause}" for cause, count in lost.items() if count)
        LOG.warning("%s: %d received frames lost (%s)", self._where, total, causes)

    def _timeout(self) -> float:
        now = time.monotonic()
        with self._cond:
            wake_at = self._tx.wake_at() if self._failure is None else None
        waits = [CONTROL_READ_INTERVAL - (now - self._last_control_read),
                 self._next_loss_check - now]
        if wake_at is not None:
            waits.append(wake_at - now)
        if self._tx.in_flight():
            waits.append(0.0 if not self._has_status else LONGEST_PAUSE)
        if self._has_status:
            waits.append(max(self._status.wake_within_ms, 0) / 1000)
        else:
            waits.append(min(FIRST_PAUSE * 2 ** min(self._rounds_idle, 8), LONGEST_PAUSE))
        return max(0.0, min(waits))

    def _wait(self) -> None:
        timeout = self._timeout()
        # What a call already took off the socket wakes no poll(); the status
        # tells, and it is read as if the socket had woken the thread.
        self._woke_for_socket = self._has_status and self._status.wake_within_ms == 0
        if timeout <= 0:
            return
        if self._wake_r < 0:
            time.sleep(timeout)
            return
        socket = self._status.descriptor if self._has_status else -1
        if socket != self._polled_socket:
            if self._polled_socket >= 0:
                self._poller.unregister(self._polled_socket)
            if socket >= 0:
                self._poller.register(socket, select.POLLIN)
            self._polled_socket = socket
        with self._cond:
            wake_at = self._tx.wake_at() if self._failure is None else None
            if self._stopping or (wake_at is not None and wake_at <= time.monotonic()):
                return
            self._sleeping = True
        events = self._poller.poll(math.ceil(timeout * 1000))
        with self._cond:
            self._sleeping = False
        _drain(self._wake_r)
        self._woke_for_socket = any(fd == socket for fd, _ in events)


def _drain(descriptor: int) -> None:
    try:
        while os.read(descriptor, 64):
            pass
    except BlockingIOError:
        pass
