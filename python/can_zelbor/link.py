"""The link thread: once the interface has started, one thread steps the host
driver (libZelborHost.so), which makes the library calls: it takes every
frame into a bounded receive buffer whether or not the program calls recv(),
writes what send() queued as the device makes room, and watches that the
device answers. This module adds python-can's side: threads, timestamps,
exceptions and log lines.

Waiting: the thread sleeps in poll() on what the driver names (the library's
socket, where the library tells it) and on a wake-up pipe, as long as the
driver advises. recv() and the descriptor fileno() gives sleep until a frame
is in the buffer.
"""

import ctypes
import logging
import math
import os
import select
import threading
import time
import weakref
from collections import deque
from typing import Deque, Dict, Optional, Tuple

from can import CanInitializationError, CanOperationError, CanTimeoutError

from .library import (
    COUNTER_NAMES,
    ERR_BACKLOG,
    HOST_CHANGED,
    HOST_CLOCK_DEVICE,
    HOST_CLOCK_HOST,
    HOST_FRAME_LAYOUT,
    HOST_RECEIVED,
    HOST_SENT,
    HOST_TAKEN,
    HOST_WROTE,
    ZelborCounters,
    ZelborHostFrame,
    ZelborHostOptions,
    ZelborHostState,
    ZelborHostTotals,
    ZelborHostWait,
    describe_result,
)

LOG = logging.getLogger("can.interfaces.zelbor")

RECEIVE_BATCH = 256  # frames moved from the driver at once
LOSS_LOG_INTERVAL = 10.0  # s between two loss lines in the log
CLOSE_WAIT = 2.0  # s a closing link waits for the thread, and for progress while draining
FALLBACK_PAUSE = 0.02  # without poll(): the longest sleep between steps

# A received item: timestamp, identifier word, length, data bytes, received (or sent back).
Item = Tuple[float, int, int, bytes, bool]


class DeviceSilent(CanOperationError):
    """The device has not answered for 2 seconds."""


class SendTimeout(CanOperationError, CanTimeoutError):
    """send() ran out of time while the device's transmit queue was full."""


def _pipe() -> Tuple[int, int]:
    read_end, write_end = os.pipe()
    os.set_blocking(read_end, False)
    os.set_blocking(write_end, False)
    return read_end, write_end


class Link:
    """The host driver of a started interface, stepped on a thread of its own."""

    def __init__(self, library, state, channel: int, where: str, *, receive_buffer: int,
                 transmit_buffer: int, host_timestamps: bool, echo: bool) -> None:
        self._library = library
        self._driver = driver = library.host
        self._state = state
        self._where = where

        # Device time onto the host's clock (zelbor_host.h): epoch seconds,
        # or the device's own with host_timestamps False.
        self._clock, _ = self._made(
            "the device clock", driver.ZelborHostClockDestroy, driver.ZelborHostClockCreate,
            HOST_CLOCK_HOST if host_timestamps else HOST_CLOCK_DEVICE)
        self._stamps = (ctypes.c_int64 * RECEIVE_BATCH)()

        options = ZelborHostOptions(receive_capacity=min(receive_buffer, 0xFFFFFFFF),
                                    transmit_capacity=min(transmit_buffer, 0xFFFFFFFF),
                                    echo_sent=1 if echo else 0,
                                    loss_line_interval_ns=int(LOSS_LOG_INTERVAL * 1e9),
                                    receive_loss_name=b"receive buffer full")
        self._calls = library.host_calls()  # kept: the driver calls through it
        self._host, self._destroy = self._made(
            "the host driver", driver.ZelborHostDestroy, driver.ZelborHostCreate,
            ctypes.byref(self._calls), state, ctypes.byref(options), time.monotonic_ns())

        # Every call that reaches the library holds it (the thread's steps, counters()).
        self.library_lock = threading.Lock()
        # Callers wait on it for frames, room or news; the driver's other calls
        # take no library lock, so recv() and send() never wait for the library.
        self._cond = threading.Condition()
        self._cache: Deque[Item] = deque()  # taken from the driver, not yet by recv()
        self._frames = (ZelborHostFrame * RECEIVE_BATCH)()
        self._driver_state = ZelborHostState(answering=1, message_count=-1)
        self._totals = ZelborHostTotals()
        self._counters = ZelborCounters()
        self._wait = ZelborHostWait()
        self._failure: Optional[CanOperationError] = None
        self._not_sent_told = 0  # frames the driver gave up that callers were told of
        self._stopping = False
        self._sleeping = False
        self._sent = False  # send() queued a frame since the thread's last step began

        self._ready_r = self._ready_w = self._wake_r = self._wake_w = -1
        self._ready = False  # a byte is in the ready pipe
        self._poller = None  # the wake-up pipe, and the descriptor the driver names
        self._polled = -1
        if hasattr(select, "poll"):
            self._ready_r, self._ready_w = _pipe()  # one byte in it while a frame waits
            self._wake_r, self._wake_w = _pipe()
            self._poller = select.poll()
            self._poller.register(self._wake_r, select.POLLIN)
        self._thread = threading.Thread(target=self._run, name=f"zelbor channel {channel} link",
                                        daemon=True)
        self._thread.start()

    def _made(self, what: str, destroy, create, *arguments):
        """The object create(*arguments, &object) makes, and the finalizer that
        destroys it with this link."""
        made = ctypes.c_void_p()
        created = create(*arguments, ctypes.byref(made))
        if created != 0:
            raise CanInitializationError(
                f"{self._where}: {what} did not start: {describe_result(created)}",
                error_code=created)
        return made, weakref.finalize(self, destroy, made)

    # ----- callers' side -----

    def _raise_if_failed(self) -> None:  # under _cond
        if self._failure is not None:
            raise self._failure
        if self._stopping:  # a frame queued now would never be sent, nor counted
            raise CanOperationError(f"{self._where}: the bus is shut down")
        if not self._driver_state.answering:
            raise DeviceSilent(
                f"{self._where}: the device does not answer (silent for "
                f"{self._driver_state.silent_ms / 1000:.1f} s)")

    def _raise_if_not_sent(self) -> None:  # under _cond
        count = self._totals.frames_not_sent - self._not_sent_told
        if count:
            self._not_sent_told = self._totals.frames_not_sent
            raise CanOperationError(
                f"{self._where}: {count} frames accepted by send() did not reach the bus")

    def put(self, record: bytes, timeout: Optional[float]) -> None:
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._cond:
            self._raise_if_not_sent()
            while True:
                self._raise_if_failed()
                if self._driver.ZelborHostSend(self._host, record, 1) == 1:
                    self._sent = True
                    break
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    raise SendTimeout(
                        f"{self._where}: the device's transmit queue stayed full for {timeout} s "
                        f"({self._driver_state.queued} frames waiting)", error_code=ERR_BACKLOG)
                self._cond.wait(1.0 if left is None else min(left, 1.0))
            self._wake()

    def take(self, timeout: Optional[float]) -> Optional[Item]:
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._cond:
            while not self._cache and not self._fetch():
                self._raise_if_failed()
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    return None
                self._cond.wait(1.0 if left is None else min(left, 1.0))
            item = self._cache.popleft()
            if not self._cache:
                self._fetch()
            return item

    def _fetch(self) -> int:  # under _cond
        """Moves a batch of frames from the driver, stamped; 0 (and the ready
        pipe emptied) when none waits."""
        count = self._driver.ZelborHostReceive(self._host, self._frames, RECEIVE_BATCH)
        if count <= 0:
            if self._ready:
                self._ready = False
                _drain(self._ready_r)
            return 0
        # Monotonic nanoseconds onto the epoch, at this moment's distance.
        self._driver.ZelborHostClockStamp(self._clock, self._frames, count,
                                          time.time_ns() - time.monotonic_ns(), self._stamps)
        cache = self._cache
        view = ctypes.string_at(self._frames, count * HOST_FRAME_LAYOUT.size)
        for (data, length, identifier, _, _, flags, _), stamp in zip(
                HOST_FRAME_LAYOUT.iter_unpack(view), self._stamps[:count]):
            cache.append((stamp / 1e9, identifier, length, data, not flags & HOST_SENT))
        return count

    def discard_queued(self) -> int:
        with self._cond:
            count = self._driver.ZelborHostDiscardQueued(self._host)
            self._cond.notify_all()
            return max(count, 0)

    @property
    def answering(self) -> bool:
        return bool(self._driver_state.answering) and self._failure is None

    @property
    def message_count(self) -> Optional[int]:
        with self._cond:
            self._driver.ZelborHostGetState(self._host, ctypes.byref(self._driver_state))
            count = self._driver_state.message_count
        return None if count < 0 else count

    def ready_descriptor(self) -> int:
        if self._ready_r < 0:
            raise NotImplementedError("no descriptor to wait on here")
        return self._ready_r

    def counters(self) -> Dict[str, int]:
        values: Dict[str, int] = {}
        with self.library_lock:
            library = self._library
            if library.ZelborGetCounters is not None and library.ZelborGetCounters(
                    self._state, ctypes.byref(self._counters)) == 0:
                values = {name: getattr(self._counters, name) for name in COUNTER_NAMES}
            totals = self._read_totals()
            values.update(
                receive_buffer_overflowed=totals.receive_buffer_full,
                frames_sent=totals.frames_taken,
                frames_sent_again=totals.frames_sent_again,
                frames_not_sent=totals.frames_not_sent,
                frames_flushed=totals.frames_flushed,
            )
        return values

    def close(self, drain: bool) -> int:
        """Sends what is queued (with `drain`, while the device keeps taking it),
        stops the thread and the interface; returns the frames not sent."""
        if drain:
            with self._cond:
                progress, waiting = time.monotonic(), self._queued()
                while waiting and self._failure is None and not self._stopping:
                    if time.monotonic() - progress > CLOSE_WAIT:
                        break
                    self._cond.wait(0.05)
                    if self._queued() < waiting:
                        progress, waiting = time.monotonic(), self._queued()
        with self._cond:
            self._stopping = True
            self._wake()
        if threading.current_thread() is not self._thread:
            self._thread.join(CLOSE_WAIT)
        with self.library_lock:
            self._library.ZelborStopInterface(self._state)
            self._driver.ZelborHostAbandon(self._host)
            self._driver.ZelborHostTellLosses(self._host, time.monotonic_ns())
            self._tell_notes()
            totals = self._read_totals()
        with self._cond:
            lost = totals.frames_not_sent - self._not_sent_told
            self._not_sent_told = totals.frames_not_sent
            self._cond.notify_all()
        if self._thread.is_alive():
            self._destroy.detach()  # stuck in a call: the driver and descriptors stay
            return lost
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

    def _queued(self) -> int:  # under _cond
        self._driver.ZelborHostGetState(self._host, ctypes.byref(self._driver_state))
        return self._driver_state.queued

    def _read_totals(self) -> ZelborHostTotals:  # under library_lock
        self._driver.ZelborHostGetTotals(self._host, ctypes.byref(self._totals))
        return self._totals

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
                with self._cond:
                    self._sent = False  # what send() queues from now on, the step may miss
                with self.library_lock:
                    if self._stopping:
                        return
                    changes = self._step()
                    if changes & HOST_WROTE:
                        continue
                    self._driver.ZelborHostWaitAdvice(self._host, time.monotonic_ns(),
                                                      ctypes.byref(self._wait))
                timeout, descriptor = self._wait.timeout_ns / 1e9, self._wait.descriptor
                if timeout <= 0:
                    continue
                with self._cond:
                    if self._stopping or self._sent:
                        continue  # a frame queued after the step: step again, not sleep
                    self._sleeping = True
                readable = self._sleep(timeout, descriptor)
                with self._cond:
                    self._sleeping = False
                self._driver.ZelborHostWoke(self._host, 1 if readable else 0)
        except Exception as error:  # the thread must never end without a word
            LOG.exception("%s: the link thread failed", self._where)
            with self._cond:
                self._failure = CanOperationError(f"{self._where}: the link failed: {error!r}")
                self._cond.notify_all()

    def _step(self) -> int:  # under library_lock
        changes = self._driver.ZelborHostStep(self._host, time.monotonic_ns())
        if changes < 0:
            raise CanOperationError(f"host driver step failed: {describe_result(changes)}")
        if changes & (HOST_CHANGED | HOST_TAKEN):
            self._read_totals()  # frames given up are told to the next send()
        if not changes & (HOST_RECEIVED | HOST_TAKEN | HOST_CHANGED):
            return changes
        with self._cond:
            if changes & HOST_CHANGED:
                self._driver.ZelborHostGetState(self._host, ctypes.byref(self._driver_state))
                self._tell_notes()
                error = self._driver_state.write_error
                if error and self._failure is None:
                    self._failure = CanOperationError(
                        f"{self._where}: ZelborRawCanWrite failed: {describe_result(error)}",
                        error_code=error)
            if changes & HOST_RECEIVED and not self._ready and self._ready_w >= 0:
                self._ready = True
                os.write(self._ready_w, b"r")
            self._cond.notify_all()
        return changes

    def _tell_notes(self) -> None:
        text = ctypes.create_string_buffer(512)
        while self._driver.ZelborHostNextNote(self._host, text, len(text)) >= 0:
            LOG.warning("%s: %s", self._where, text.value.decode(errors="replace"))

    def _sleep(self, timeout: float, descriptor: int) -> bool:
        """Waits up to `timeout` s for the descriptor (if any) or a caller's
        wake-up; whether the descriptor became readable."""
        if self._poller is None:
            time.sleep(min(timeout, FALLBACK_PAUSE))
            return False
        if descriptor != self._polled:
            if self._polled >= 0:
                self._poller.unregister(self._polled)
            if descriptor >= 0:
                self._poller.register(descriptor, select.POLLIN)
            self._polled = descriptor
        events = self._poller.poll(math.ceil(timeout * 1000))
        _drain(self._wake_r)
        return any(fd == descriptor and fd >= 0 for fd, _ in events)


def _drain(descriptor: int) -> None:
    try:
        while os.read(descriptor, 64):
            pass
    except BlockingIOError:
        pass

