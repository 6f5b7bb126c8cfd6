"""The device library's C interface through ctypes: its records, result codes
and six calls, loaded from libZelbor.so (the maker's or the stand-in)."""

import ctypes
import ipaddress
import os
import struct
from typing import Optional, Tuple

from can import CanInterfaceNotImplementedError

# Result codes of the interface, and the stand-in library's own.
ERR_NO_MEMORY = -9
ERR_SOCKET = -10
ERR_NO_DATA = -11
ERR_NO_ANSWER = -12
ERR_ARGUMENT = -13
ERR_NOT_STARTED = -14
ERR_REFUSED = -15
ERR_BACKLOG = -16

RESULT_NAMES = {
    ERR_NO_MEMORY: "ERR_NO_MEMORY (memory allocation error)",
    ERR_SOCKET: "ERR_SOCKET (socket error)",
    ERR_NO_DATA: "ERR_NO_DATA (nothing waiting)",
    ERR_NO_ANSWER: "ZELBOR_ERR_NO_ANSWER (the device did not answer)",
    ERR_ARGUMENT: "ZELBOR_ERR_ARGUMENT (a bad argument)",
    ERR_NOT_STARTED: "ZELBOR_ERR_NOT_STARTED (the interface is not started)",
    ERR_REFUSED: "ZELBOR_ERR_REFUSED (another host holds the channel)",
    ERR_BACKLOG: "ZELBOR_ERR_BACKLOG (the device has not yet taken earlier frames)",
}

INIT_CAN_CHIP = 3
MESSAGE_COUNT = 4
READY_RECORD = 0x8002  # the device knows the host again after it restarted
ROOM_RECORD = 0x8003  # the stand-in device's room reports: asked for, then sent
EXTENDED_FLAG = 0x80000000
STANDARD_ID_MASK = 0x7FF  # the identifier bits a frame carries, as in common/can_frame.h
EXTENDED_ID_MASK = 0x1FFFFFFF
MAX_DATA = 8
COUNTS_PER_SECOND = 32_000_000  # the device's time count: 32 a microsecond

# MESSAGE_COUNT and ROOM records of the stand-in device: two 16-bit fields, then
# the number of a frame datagram of the host's, little-endian (zelbor_counters.h).
# The maker's MESSAGE_COUNT has length 2: the first field alone.
QUEUE_RECORD_LENGTH = 8
_QUEUE_FIELDS = struct.Struct("<HHI")


def message_count(data: bytes) -> Optional[int]:
    """A MESSAGE_COUNT's count: its first field (None for a record too short)."""
    return data[0] | data[1] << 8 if len(data) >= 2 else None


def queue_fields(data: bytes) -> Optional[Tuple[int, int, int]]:
    """A MESSAGE_COUNT's or ROOM's three fields (None for a shorter record)."""
    return _QUEUE_FIELDS.unpack_from(data) if len(data) >= QUEUE_RECORD_LENGTH else None

LIBRARY_ENVIRONMENT = "ZELBOR_LIBRARY"
DEFAULT_LIBRARY = "libZelbor.so"


def describe_result(code: int) -> str:
    return RESULT_NAMES.get(code, f"result {code}")


class RawCanMessage(ctypes.Structure):
    _fields_ = [
        ("data", ctypes.c_uint8 * MAX_DATA),
        ("length", ctypes.c_int8),
        ("aux_byte", ctypes.c_uint8),
        ("reserved", ctypes.c_uint8 * 2),
        ("id", ctypes.c_uint32),
        ("aux_word", ctypes.c_uint32),
        ("time_high", ctypes.c_uint32),
        ("time_low", ctypes.c_uint32),
    ]


# data, length, id, time_high, time_low: one unpack per received frame is
# cheaper than five ctypes field reads.
RAW_FRAME_LAYOUT = struct.Struct("<8sb3xI4xII")


class CtrlMessage(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_uint16),
        ("length", ctypes.c_uint16),
        ("data", ctypes.c_uint8 * 524),
    ]


class InterfaceState(ctypes.Structure):
    _fields_ = [("opaque", ctypes.c_uint64 * (214840 // 8))]


COUNTER_NAMES = (
    "datagrams_in datagrams_out frames_in frames_out frames_delivered malformed foreign "
    "frames_lost controls_lost stale out_of_window resyncs device_restarts frames_overflowed "
    "controls_overflowed batches_resent send_retries send_failures"
).split()


class ZelborCounters(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint64) for name in COUNTER_NAMES]


class ZelborLinkStatus(ctypes.Structure):
    _fields_ = [
        ("descriptor", ctypes.c_int64),
        ("wake_within_ms", ctypes.c_int32),
        ("device_silent_ms", ctypes.c_int32),
        ("batches_held", ctypes.c_uint32),
        ("frames_held", ctypes.c_uint32),
    ]


assert ctypes.sizeof(RawCanMessage) == 28 and RawCanMessage.id.offset == 12
assert ctypes.sizeof(CtrlMessage) == 528 and ctypes.sizeof(InterfaceState) == 214840
assert RAW_FRAME_LAYOUT.size == 28


def make_init_can_chip() -> CtrlMessage:
    record = CtrlMessage(type=INIT_CAN_CHIP, length=10)
    record.data[0] = 0x03
    record.data[1] = 0x14
    return record


def make_room_request() -> CtrlMessage:
    """Asks the stand-in device to report the room in its transmit queue."""
    return CtrlMessage(type=ROOM_RECORD, length=0)


def address_value(text: str, name: str) -> int:
    """A dotted IPv4 address as the library takes it: the first number in the
    most significant byte."""
    try:
        return int(ipaddress.IPv4Address(text))
    except (ipaddress.AddressValueError, ValueError, TypeError):
        raise ValueError(f"{name} must be a dotted IPv4 address, not {text!r}") from None


DEVICE_BASE_PORT = 34567  # channel c: the device on DEVICE_BASE_PORT + 2c, its host one above
MAX_CHANNEL = (65535 - (DEVICE_BASE_PORT + 1)) // 2  # the last whose host port is a port


def channel_ports(channel: int):
    """The host's and the device's port of a channel."""
    return DEVICE_BASE_PORT + 1 + 2 * channel, DEVICE_BASE_PORT + 2 * channel


_STATE = ctypes.POINTER(InterfaceState)
_SIGNATURES = {
    "ZelborStartInterface": (
        _STATE,
        ctypes.c_uint32,
        ctypes.c_uint32,
        ctypes.c_int32,
        ctypes.c_int32,
        ctypes.c_int32,
    ),
    "ZelborStopInterface": (_STATE,),
    "ZelborCtrlWrite": (_STATE, ctypes.POINTER(CtrlMessage)),
    "ZelborCtrlRead": (_STATE, ctypes.POINTER(CtrlMessage)),
    "ZelborRawCanRead": (_STATE, ctypes.POINTER(RawCanMessage)),
    "ZelborRawCanWrite": (_STATE, ctypes.POINTER(RawCanMessage), ctypes.c_int32),
}


class Library:
    """The six calls of one loaded library file, and its counters and link
    status where it has them (the stand-in does; the maker's may not)."""

    def __init__(self, path: Optional[str] = None):
        self.path = path or os.environ.get(LIBRARY_ENVIRONMENT) or DEFAULT_LIBRARY
        try:
            handle = ctypes.CDLL(self.path)
        except OSError as error:
            raise CanInterfaceNotImplementedError(
                f"cannot load the device library {self.path}: {error}"
            ) from None
        for name, argtypes in _SIGNATURES.items():
            try:
                function = getattr(handle, name)
            except AttributeError:
                raise CanInterfaceNotImplementedError(
                    f"{self.path} has no {name}: not a device library"
                ) from None
            function.argtypes = argtypes
            function.restype = ctypes.c_int32
            setattr(self, name, function)
        # The stand-in library's extensions, where the file has them.
        for name, record in (("ZelborGetCounters", ZelborCounters),
                             ("ZelborGetLinkStatus", ZelborLinkStatus)):
            function = getattr(handle, name, None)
            if function is not None:
                function.argtypes = (_STATE, ctypes.POINTER(record))
                function.restype = ctypes.c_int32
            setattr(self, name, function)
