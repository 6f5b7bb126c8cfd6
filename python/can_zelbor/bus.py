"""The device as a python-can bus: one CAN channel through libZelbor.so."""

import ctypes
import math
import os
import select
import socket
import stat
import threading
import time
import weakref
from typing import Any, Dict, List, Optional, Tuple

from can import BusABC, CanInitializationError, CanOperationError, CanTimeoutError, Message

from .library import (
    COUNTER_NAMES,
    COUNTS_PER_SECOND,
    ERR_BACKLOG,
    ERR_NO_DATA,
    ERR_NO_MEMORY,
    ERR_SOCKET,
    EXTENDED_FLAG,
    MAX_DATA,
    RAW_FRAME_LAYOUT,
    CtrlMessage,
    InterfaceState,
    Library,
    RawCanMessage,
    ZelborCounters,
    address_value,
    channel_ports,
    describe_result,
    make_init_can_chip,
    message_count,
)

# The library has no blocking read. Where the library's socket on the host's
# endpoint can be found among the process's descriptors (the stand-in's can),
# a wait sleeps in poll() on it until anything arrives; the library still does
# all the reading. Elsewhere an empty read is followed by a sleep that grows
# each round from FIRST_PAUSE to LONGEST_PAUSE (the reader program's pause): a
# reply shortly after a request is seen within a fraction of a millisecond.
FIRST_PAUSE = 0.00025
LONGEST_PAUSE = 0.02
# Control records (the device's MESSAGE_COUNT report for every frame datagram
# sent, the link's own records) are read when the poll woke for something that
# was no frame, at least this often while waiting, and by send() once this
# many reports are due: they never pile up in the library, yet neither a burst
# of sends nor a quiet wait pays for the up to 1 ms an empty control read may
# wait. Reading this often also carries the library's keepalive (the device
# lets a silent host go after 3 s). A wake-up costs a Python process on a
# virtual machine some milliseconds of CPU, so a quiet wait has few of them.
CONTROL_READ_INTERVAL = 1.0
REPORTS_PER_READ = 16
CONTROL_QUEUE_BOUND = 64  # more than the stand-in library queues


class ZelborSendTimeout(CanOperationError, CanTimeoutError):
    """send() ran out of time while the device had not yet taken earlier frames."""


def _channel_number(channel: Any) -> int:
    try:
        number = int(channel)
    except (TypeError, ValueError):
        raise ValueError(f"channel must be a channel number, not {channel!r}") from None
    if number < 0 or channel_ports(number)[0] > 65535:
        raise ValueError(f"channel {number} is out of range (0 to 15483)")
    return number


def _pause(rounds: int, deadline: Optional[float]) -> None:
    delay = min(FIRST_PAUSE * 2 ** min(rounds, 8), LONGEST_PAUSE)
    if deadline is not None:
        delay = min(delay, deadline - time.monotonic())
    if delay > 0:
        time.sleep(delay)


def _socket_poller(host_address: int, port: int) -> Optional[select.poll]:
    """A poll set on the library's socket bound to the host's endpoint, None
    where no such socket can be seen (only the library ever reads from it)."""
    try:
        descriptors = [int(name) for name in os.listdir("/proc/self/fd")]
    except OSError:
        return None
    for descriptor in descriptors:
        try:
            if not stat.S_ISSOCK(os.fstat(descriptor).st_mode):
                continue
            with socket.socket(fileno=os.dup(descriptor)) as probe:
                family, (address, bound_port) = probe.family, probe.getsockname()[:2]
        except (OSError, TypeError, ValueError):
            continue
        if family == socket.AF_INET and bound_port == port and address_value(address, "bound address") in (
            host_address,
            0,
        ):
            poller = select.poll()
            poller.register(descriptor, select.POLLIN)
            return poller
    return None


class ZelborBus(BusABC):
    """One CAN channel of the device, reached through ``libZelbor.so``.

    :param channel: the device's CAN channel number (an int, or its decimal text).
    :param host_ip: this computer's IPv4 address on the device's network.
    :param device_ip: the device's IPv4 address.
    :param library: the library file to load; by default the ``ZELBOR_LIBRARY``
        environment variable, else ``libZelbor.so`` through the loader's search.

    Opening starts the interface and sends ``INIT_CAN_CHIP``; failures raise
    :class:`can.CanInitializationError` with the words the programs print.
    Received messages carry the device's time in seconds: the 64-bit time count
    divided by 32,000,000, counted from the device's start (for the simulated
    device, from the moment ``zelbor_sim`` started).
    """

    def __init__(
        self,
        channel: Any,
        host_ip: Optional[str] = None,
        device_ip: Optional[str] = None,
        library: Optional[str] = None,
        can_filters=None,
        **kwargs: object,
    ):
        super().__init__(channel=channel, can_filters=can_filters, **kwargs)
        self.channel = _channel_number(channel)
        if host_ip is None or device_ip is None:
            raise ValueError("the zelbor interface needs host_ip and device_ip")
        host_address = address_value(host_ip, "host_ip")
        device_address = address_value(device_ip, "device_ip")
        self._library = library = Library(library)
        self.channel_info = (
            f"zelbor channel {self.channel}, host {host_ip}, device {device_ip}, "
            f"library {library.path}"
        )
        #: The count of the last MESSAGE_COUNT report of the device (None before one came).
        self.message_count: Optional[int] = None
        self._lock = threading.Lock()  # the library is not made for calls from two threads
        self._state = ctypes.byref(InterfaceState())
        self._frame = RawCanMessage()
        self._frame_ref = ctypes.byref(self._frame)
        self._record = CtrlMessage()
        self._record_ref = ctypes.byref(self._record)
        self._reports_due = 0
        self._last_control_read = time.monotonic()

        first_port, second_port = channel_ports(self.channel)
        where = f"channel {self.channel} (host {host_ip}, device {device_ip})"
        started = library.ZelborStartInterface(
            self._state, device_address, host_address, first_port, second_port, self.channel
        )
        if started in (ERR_NO_MEMORY, ERR_SOCKET):
            library.ZelborStopInterface(self._state)
            words = "Memory allocation error" if started == ERR_NO_MEMORY else "Socket error"
            raise CanInitializationError(f"{words} on {where}", error_code=started)
        initialised = library.ZelborCtrlWrite(self._state, ctypes.byref(make_init_can_chip()))
        if initialised != 0:
            library.ZelborStopInterface(self._state)
            raise CanInitializationError(
                f"INIT_CAN_CHIP failed on {where}: {describe_result(initialised)}",
                error_code=initialised,
            )
        # Stops the interface once, on shutdown() or when the bus is collected.
        self._stop = weakref.finalize(self, library.ZelborStopInterface, self._state)
        self._poller = _socket_poller(host_address, first_port)

    def _call(self, function, *arguments) -> int:
        # Under the lock: no library call may follow the stop.
        if not self._stop.alive:
            raise CanOperationError(f"{self.channel_info}: the bus is shut down")
        return function(self._state, *arguments)

    def _read_frame(self) -> Optional[Message]:
        with self._lock:
            result = self._call(self._library.ZelborRawCanRead, self._frame_ref)
            if result == ERR_NO_DATA:
                return None
            data, length, identifier, time_high, time_low = RAW_FRAME_LAYOUT.unpack_from(
                self._frame
            )
        if result < 0:
            raise CanOperationError(
                f"ZelborRawCanRead failed: {describe_result(result)}", error_code=result
            )
        length = min(max(length, 0), MAX_DATA)
        return Message(
            timestamp=(time_high << 32 | time_low) / COUNTS_PER_SECOND,
            arbitration_id=identifier & ~EXTENDED_FLAG,
            is_extended_id=bool(identifier & EXTENDED_FLAG),
            dlc=length,
            data=data[:length],
            channel=self.channel,
            check=False,
        )

    def _read_control(self) -> bool:
        """Takes one control record, keeping the count of a MESSAGE_COUNT
        report; False if none came (after the library's short wait)."""
        with self._lock:
            if self._call(self._library.ZelborCtrlRead, self._record_ref) == ERR_NO_DATA:
                return False
            count = message_count(self._record)
        if count is not None:
            self.message_count = count
        return True

    def _read_controls(self, most: int) -> None:
        """Reads up to `most` control records, stopping at the first empty read."""
        self._reports_due = 0
        self._last_control_read = time.monotonic()
        for _ in range(most):
            if not self._read_control():
                break

    def _recv_internal(self, timeout: Optional[float]) -> Tuple[Optional[Message], bool]:
        deadline = None if timeout is None else time.monotonic() + timeout
        woken = False  # the poll said something came: a frame, or else a control record
        rounds = 0  # empty rounds; with a poll set, wake-ups in a row that brought no frame
        while True:
            message = self._read_frame()
            if message is not None:
                return message, False
            now = time.monotonic()
            if deadline is not None and now >= deadline:
                return None, False
            if woken or now - self._last_control_read >= CONTROL_READ_INTERVAL:
                woken = False
                self._read_controls(CONTROL_QUEUE_BOUND)
                continue  # the control read may have waited while frames came
            if self._poller is None:
                _pause(rounds, deadline)
                rounds += 1
                continue
            # Should wake-ups keep coming without frames or records, a growing
            # pause keeps the wait from spinning.
            if rounds > 2:
                _pause(rounds - 3, deadline)
            wait = CONTROL_READ_INTERVAL if deadline is None else deadline - time.monotonic()
            woken = bool(
                self._poller.poll(max(0, math.ceil(min(wait, CONTROL_READ_INTERVAL) * 1000)))
            )
            rounds = rounds + 1 if woken else 0

    def send(self, msg: Message, timeout: Optional[float] = None) -> None:
        """Sends one frame. While the device has not yet taken earlier frames,
        tries again until `timeout` (None: without end; 0: once), then raises
        :class:`ZelborSendTimeout`, a :class:`can.CanOperationError`."""
        record = _frame_record(msg)
        deadline = None if timeout is None else time.monotonic() + timeout
        if self._reports_due >= REPORTS_PER_READ or (
            self._reports_due
            and time.monotonic() - self._last_control_read >= CONTROL_READ_INTERVAL
        ):
            self._read_controls(self._reports_due)
        rounds = 0
        while True:
            with self._lock:
                result = self._call(self._library.ZelborRawCanWrite, ctypes.byref(record), 1)
            if result >= 0:
                self._reports_due += 1
                return
            if result != ERR_BACKLOG:
                raise CanOperationError(
                    f"ZelborRawCanWrite failed: {describe_result(result)}", error_code=result
                )
            if deadline is not None and time.monotonic() >= deadline:
                raise ZelborSendTimeout(
                    f"the device took no frame within {timeout} s: {describe_result(result)}",
                    error_code=result,
                )
            # Reading lets the library hear that the device took earlier frames.
            self._read_control()
            _pause(rounds, deadline)
            rounds += 1

    def counters(self) -> Optional[Dict[str, int]]:
        """The library's link counters (losses, retries...), or None where the
        library has no ZelborGetCounters."""
        get_counters = self._library.ZelborGetCounters
        if get_counters is None:
            return None
        counters = ZelborCounters()
        with self._lock:
            if self._call(get_counters, ctypes.byref(counters)) != 0:
                return None
        return {name: getattr(counters, name) for name in COUNTER_NAMES}

    def shutdown(self) -> None:
        super().shutdown()
        stop = getattr(self, "_stop", None)  # absent where opening failed
        if stop is not None:
            with self._lock:
                stop()

    @staticmethod
    def _detect_available_configs() -> List[Dict[str, Any]]:
        return []  # the device cannot be discovered: its address is given


def _frame_record(msg: Message) -> RawCanMessage:
    """The frame record of a message, or the reason the record cannot carry it."""
    if msg.is_remote_frame:
        raise CanOperationError("the zelbor interface cannot send remote-request frames")
    if msg.is_fd:
        raise CanOperationError("the zelbor interface cannot send CAN FD frames")
    if msg.is_error_frame:
        raise CanOperationError("the zelbor interface cannot send error frames")
    kind, highest = ("extended", 0x1FFFFFFF) if msg.is_extended_id else ("standard", 0x7FF)
    if not 0 <= msg.arbitration_id <= highest:
        raise ValueError(
            f"a {kind} identifier must be 0 to 0x{highest:X}, not 0x{msg.arbitration_id:X}"
        )
    data = bytes(msg.data or b"")
    if len(data) > MAX_DATA:
        raise ValueError(f"a frame carries at most {MAX_DATA} data bytes, not {len(data)}")
    record = RawCanMessage(length=len(data))
    record.data[: len(data)] = data
    record.id = msg.arbitration_id | (EXTENDED_FLAG if msg.is_extended_id else 0)
    return record
