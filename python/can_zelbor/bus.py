"""The device as a python-can bus: one CAN channel through libZelbor.so."""

import ctypes
import logging
import weakref
from typing import Any, Dict, List, Optional, Tuple

from can import BusABC, BusState, CanInitializationError, CanOperationError, Message

from .library import (
    ERR_NO_MEMORY,
    ERR_SOCKET,
    EXTENDED_FLAG,
    EXTENDED_ID_MASK,
    MAX_CHANNEL,
    MAX_DATA,
    RAW_FRAME_LAYOUT,
    STANDARD_ID_MASK,
    InterfaceState,
    Library,
    address_value,
    channel_ports,
    describe_result,
    make_init_can_chip,
)
from .link import DeviceSilent, Link, SendTimeout

LOG = logging.getLogger("can.interfaces.zelbor")

#: Frames held for recv() while the program does not call it: 100,000 frames
#: are 12 s of a full 1 Mbit/s bus of eight-byte frames (4.7 s of empty ones).
RECEIVE_BUFFER = 100_000
#: Frames send() queues ahead of the device; with it full, send() waits.
TRANSMIT_BUFFER = 1024
# single_handle: can.player's wish for one handle for sending and receiving, which
# a zelbor bus always has.
KNOWN_OPTIONS = {"receive_own_messages", "timestamps", "receive_buffer", "transmit_buffer",
                 "bitrate", "fd", "data_bitrate", "timing", "single_handle"}

ZelborSendTimeout = SendTimeout  # send() ran out of time; a CanOperationError and CanTimeoutError
ZelborDeviceSilent = DeviceSilent

def _channel_number(channel: Any) -> int:
    try:
        number = int(channel)
    except (TypeError, ValueError):
        raise ValueError(f"channel must be a channel number, not {channel!r}") from None
    if number < 0 or number > MAX_CHANNEL:
        raise ValueError(f"channel {number} is out of range (0 to {MAX_CHANNEL})")
    return number


def _positive(value: Any, name: str) -> int:
    number = int(value)
    if number < 1:
        raise ValueError(f"{name} must be at least 1, not {value!r}")
    return number


def _refuse_unsupported(options: Dict[str, Any]) -> None:
    """Options the device cannot honour raise or warn; none is ignored silently."""
    if options.get("fd") or options.get("data_bitrate") or options.get("timing") is not None:
        raise CanInitializationError("the zelbor device has no CAN FD and takes no bit timing")
    if options.get("bitrate") is not None:
        LOG.warning("zelbor: bitrate=%s is not applied: the device's bitrate is set on the "
                    "device, not by this interface", options["bitrate"])
    unknown = sorted(set(options) - KNOWN_OPTIONS)
    if unknown:
        LOG.warning("zelbor: options not understood and not applied: %s", ", ".join(unknown))


class ZelborBus(BusABC):
    """One CAN channel of the device, reached through ``libZelbor.so``.

    :param channel: the device's CAN channel number (an int, or its decimal text).
    :param host_ip: this computer's IPv4 address on the device's network.
    :param device_ip: the device's IPv4 address.
    :param library: the library file to load; by default the ``ZELBOR_LIBRARY``
        environment variable, else ``libZelbor.so`` through the loader's search.
    :param receive_own_messages: deliver each sent frame back once the device
        took it, with ``is_rx=False``.
    :param timestamps: ``"host"`` (default): seconds since the epoch, the
        device's clock mapped onto the host's; ``"device"``: the device's own
        seconds since it started.
    :param receive_buffer: frames held while the program does not call recv().
    :param transmit_buffer: frames send() queues before it waits for room.

    Opening starts the interface and sends ``INIT_CAN_CHIP``; failures raise
    :class:`can.CanInitializationError` with the words the programs print.
    """

    def __init__(
        self,
        channel: Any,
        host_ip: Optional[str] = None,
        device_ip: Optional[str] = None,
        library: Optional[str] = None,
        can_filters=None,
        receive_own_messages: bool = False,
        timestamps: str = "host",
        receive_buffer: int = RECEIVE_BUFFER,
        transmit_buffer: int = TRANSMIT_BUFFER,
        **kwargs: Any,
    ):
        _refuse_unsupported(kwargs)
        super().__init__(channel=channel, can_filters=can_filters, **kwargs)
        self.channel = _channel_number(channel)
        if host_ip is None or device_ip is None:
            raise ValueError("the zelbor interface needs host_ip and device_ip")
        if timestamps not in ("host", "device"):
            raise ValueError(f"timestamps must be 'host' or 'device', not {timestamps!r}")
        receive_buffer = _positive(receive_buffer, "receive_buffer")
        transmit_buffer = _positive(transmit_buffer, "transmit_buffer")
        host_address = address_value(host_ip, "host_ip")
        device_address = address_value(device_ip, "device_ip")
        self._library = library = Library(library)
        self.channel_info = (
            f"zelbor channel {self.channel}, host {host_ip}, device {device_ip}, "
            f"library {library.path}"
        )
        self._state = ctypes.byref(InterfaceState())
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
        try:
            self._link = Link(library, self._state, self.channel, where,
                              receive_buffer=receive_buffer, transmit_buffer=transmit_buffer,
                              host_timestamps=timestamps == "host", echo=receive_own_messages)
        except BaseException:
            library.ZelborStopInterface(self._state)  # the channel is free again
            raise
        # Stops the link once: on shutdown(), or when the bus is collected unshut.
        self._close = weakref.finalize(self, self._link.close_unshut)

    @property
    def message_count(self) -> Optional[int]:
        """The count of the device's last MESSAGE_COUNT report (None before one came)."""
        return self._link.message_count

    @property
    def state(self) -> BusState:
        """ERROR while the device does not answer, else ACTIVE."""
        return BusState.ACTIVE if self._link.answering else BusState.ERROR

    @state.setter
    def state(self, new_state: BusState) -> None:
        raise NotImplementedError("the zelbor device's state cannot be set")

    def _live_link(self) -> Link:
        if not self._close.alive:
            raise CanOperationError(f"{self.channel_info}: the bus is shut down")
        return self._link

    def _recv_internal(self, timeout: Optional[float]) -> Tuple[Optional[Message], bool]:
        item = self._live_link().take(timeout)
        if item is None:
            return None, False
        stamp, identifier, length, data, received = item
        length = min(max(length, 0), MAX_DATA)
        return Message(
            timestamp=stamp,
            arbitration_id=identifier & ~EXTENDED_FLAG,
            is_extended_id=bool(identifier & EXTENDED_FLAG),
            dlc=length,
            data=data[:length],
            channel=self.channel,
            is_rx=received,
            check=False,
        ), False

    def send(self, msg: Message, timeout: Optional[float] = None) -> None:
        """Queues one frame for the device, in order. While the device's
        transmit queue is full and `timeout` seconds have not passed (None:
        without end; 0: not at all), waits for room, then raises
        :class:`ZelborSendTimeout`. Raises :class:`can.CanOperationError` when
        the device does not answer, or when frames accepted earlier did not
        reach the bus (saying how many)."""
        record = _frame_record(msg)
        self._live_link().put(record, timeout)

    def flush_tx_buffer(self) -> None:
        """Discards the frames queued and not yet written to the device."""
        self._live_link().discard_queued()

    def fileno(self) -> int:
        """A descriptor that polls readable while a received message waits."""
        return self._live_link().ready_descriptor()

    def counters(self) -> Dict[str, int]:
        """The library's link counters (where it has ZelborGetCounters) and the
        interface's own: receive_buffer_overflowed, frames_sent,
        frames_sent_again, frames_not_sent, frames_flushed."""
        return self._link.counters()

    def shutdown(self) -> None:
        """Sends what is queued while the device keeps taking it, then stops the
        interface; raises :class:`can.CanOperationError` if accepted frames did
        not reach the bus. A second call does nothing."""
        super().shutdown()
        close = getattr(self, "_close", None)  # absent where opening failed
        if close is None or not close.alive:
            return
        close.detach()
        not_sent = self._link.close(True)
        if not_sent:
            raise CanOperationError(
                f"{self.channel_info}: {not_sent} frames accepted by send() did not reach the bus")

    @staticmethod
    def _detect_available_configs() -> List[Dict[str, Any]]:
        return []  # the device cannot be discovered: its address is given


def _frame_record(msg: Message) -> bytes:
    """The frame record of a message, or the reason the record cannot carry it."""
    if msg.is_remote_frame:
        raise CanOperationError("the zelbor interface cannot send remote-request frames")
    if msg.is_fd:
        raise CanOperationError("the zelbor interface cannot send CAN FD frames")
    if msg.is_error_frame:
        raise CanOperationError("the zelbor interface cannot send error frames")
    kind, highest = (
        ("extended", EXTENDED_ID_MASK) if msg.is_extended_id else ("standard", STANDARD_ID_MASK)
    )
    if not 0 <= msg.arbitration_id <= highest:
        raise ValueError(
            f"a {kind} identifier must be 0 to 0x{highest:X}, not 0x{msg.arbitration_id:X}"
        )
    data = bytes(msg.data or b"")
    if len(data) > MAX_DATA:
        raise ValueError(f"a frame carries at most {MAX_DATA} data bytes, not {len(data)}")
    identifier = msg.arbitration_id | (EXTENDED_FLAG if msg.is_extended_id else 0)
    return RAW_FRAME_LAYOUT.pack(data, len(data), identifier, 0, 0)
