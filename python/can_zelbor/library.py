"""The device library's C interface through ctypes: its records, result codes
and six calls, loaded from libZelbor.so (the maker's or the stand-in); and
the host driver's (libZelborHost.so, zelbor_host.h), which the link drives.
The records mirror the C headers; a test compares their sizes and offsets
with what the C compiler makes of them."""

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
EXTENDED_FLAG = 0x80000000
STANDARD_ID_MASK = 0x7FF  # the identifier bits a frame carries, as in common/can_frame.h
EXTENDED_ID_MASK = 0x1FFFFFFF
MAX_DATA = 8

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


# The same record as bytes, for packing and unpacking many at a time (cheaper
# than ctypes field reads): data, length, id, time_high, time_low; aux_byte,
# reserved and aux_word are skipped, and packed as 0.
RAW_FRAME_FORMAT = "8sb3xI4xII"
RAW_FRAME_LAYOUT = struct.Struct("<" + RAW_FRAME_FORMAT)


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


# The host driver's records (zelbor_host.h).
HOST_SENT = 1  # a frame of ours, taken by the device
HOST_NEW_SESSION = 2  # the first frame after the device restarted
HOST_RECEIVED, HOST_TAKEN, HOST_CHANGED, HOST_WROTE = 1, 2, 4, 8  # what a step changed
HOST_CLOCK_HOST, HOST_CLOCK_DEVICE = 0, 1  # a device clock's stamps: the host's scale, the device's


class ZelborHostFrame(ctypes.Structure):
    _fields_ = [("frame", RawCanMessage), ("flags", ctypes.c_uint32), ("at_ns", ctypes.c_int64)]


# A received frame as bytes: the record, its flags and its time.
HOST_FRAME_LAYOUT = struct.Struct("<" + RAW_FRAME_FORMAT + "Iq")


class ZelborHostOptions(ctypes.Structure):
    _fields_ = [
        ("receive_capacity", ctypes.c_uint32),
        ("transmit_capacity", ctypes.c_uint32),
        ("echo_sent", ctypes.c_int32),
        ("reserved", ctypes.c_int32),
        ("loss_line_interval_ns", ctypes.c_int64),
        ("receive_loss_name", ctypes.c_char * 32),
    ]


class ZelborHostWait(ctypes.Structure):
    _fields_ = [("timeout_ns", ctypes.c_int64), ("descriptor", ctypes.c_int64)]


class ZelborHostState(ctypes.Structure):
    _fields_ = [(name, ctypes.c_int32) for name in
                ("answering", "silent_ms", "write_error", "message_count")] + [
                (name, ctypes.c_uint32) for name in
                ("received", "queued", "in_flight", "transmit_room")]


HOST_TOTAL_NAMES = (
    "frames_received receive_buffer_full frames_taken frames_sent_again frames_not_sent "
    "frames_flushed lost_on_link not_read_in_time controls_lost device_restarts"
).split()


class ZelborHostTotals(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint64) for name in HOST_TOTAL_NAMES]


def make_init_can_chip() -> CtrlMessage:
    record = CtrlMessage(type=INIT_CAN_CHIP, length=10)
    record.data[0] = 0x03
    record.data[1] = 0x14
    return record


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


_CALL_TYPES = {
    "ctrl_write": ("ZelborCtrlWrite", (_STATE, ctypes.POINTER(CtrlMessage))),
    "ctrl_read": ("ZelborCtrlRead", (_STATE, ctypes.POINTER(CtrlMessage))),
    "raw_can_read": ("ZelborRawCanRead", (_STATE, ctypes.POINTER(RawCanMessage))),
    "raw_can_write": ("ZelborRawCanWrite", (_STATE, ctypes.POINTER(RawCanMessage), ctypes.c_int32)),
    "get_counters": ("ZelborGetCounters", (_STATE, ctypes.POINTER(ZelborCounters))),
    "get_link_status": ("ZelborGetLinkStatus", (_STATE, ctypes.POINTER(ZelborLinkStatus))),
}
_CALL_POINTERS = {field: ctypes.CFUNCTYPE(ctypes.c_int32, *argtypes)
                  for field, (_, argtypes) in _CALL_TYPES.items()}


class ZelborHostCalls(ctypes.Structure):
    _fields_ = [(field, pointer) for field, pointer in _CALL_POINTERS.items()]


HOST_LIBRARY_ENVIRONMENT = "ZELBOR_HOST_LIBRARY"
HOST_LIBRARY = "libZelborHost.so"
_HOST = ctypes.c_void_p
_HOST_SIGNATURES = {
    "ZelborHostCreate": (ctypes.POINTER(ZelborHostCalls), _STATE, ctypes.POINTER(ZelborHostOptions),
                         ctypes.c_int64, ctypes.POINTER(_HOST)),
    "ZelborHostStep": (_HOST, ctypes.c_int64),
    "ZelborHostWaitAdvice": (_HOST, ctypes.c_int64, ctypes.POINTER(ZelborHostWait)),
    "ZelborHostWoke": (_HOST, ctypes.c_int32),
    "ZelborHostSend": (_HOST, ctypes.c_char_p, ctypes.c_int32),
    "ZelborHostReceive": (_HOST, ctypes.POINTER(ZelborHostFrame), ctypes.c_int32),
    "ZelborHostDiscardQueued": (_HOST,),
    "ZelborHostAbandon": (_HOST,),
    "ZelborHostGetState": (_HOST, ctypes.POINTER(ZelborHostState)),
    "ZelborHostGetTotals": (_HOST, ctypes.POINTER(ZelborHostTotals)),
    "ZelborHostNextNote": (_HOST, ctypes.c_char_p, ctypes.c_int32),
    "ZelborHostTellLosses": (_HOST, ctypes.c_int64),
    "ZelborHostClockCreate": (ctypes.c_int32, ctypes.POINTER(ctypes.c_void_p)),
    "ZelborHostClockStamp": (ctypes.c_void_p, ctypes.POINTER(ZelborHostFrame), ctypes.c_int32,
                             ctypes.c_int64, ctypes.POINTER(ctypes.c_int64)),
}


class HostLibrary:
    """The host driver's calls, from ZELBOR_HOST_LIBRARY, else beside the device
    library, else through the loader's search."""

    def __init__(self, device_library_path: str):
        beside = os.path.join(os.path.dirname(device_library_path), HOST_LIBRARY)
        self.path = os.environ.get(HOST_LIBRARY_ENVIRONMENT) or (
            beside if os.path.dirname(device_library_path) and os.path.exists(beside)
            else HOST_LIBRARY)
        try:
            handle = ctypes.CDLL(self.path)
        except OSError as error:
            raise CanInterfaceNotImplementedError(
                f"cannot load the host driver {self.path}: {error}") from None
        for name, argtypes in _HOST_SIGNATURES.items():
            try:
                function = getattr(handle, name)
            except AttributeError:
                raise CanInterfaceNotImplementedError(
                    f"{self.path} has no {name}: not the host driver") from None
            function.argtypes = argtypes
            function.restype = ctypes.c_int32
            setattr(self, name, function)
        for name in ("ZelborHostDestroy", "ZelborHostClockDestroy"):
            function = getattr(handle, name)
            function.argtypes = (ctypes.c_void_p,)
            function.restype = None
            setattr(self, name, function)


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
        self.host = HostLibrary(self.path)
        # The stand-in library's extensions, where the file has them.
        for name, record in (("ZelborGetCounters", ZelborCounters),
                             ("ZelborGetLinkStatus", ZelborLinkStatus)):
            function = getattr(handle, name, None)
            if function is not None:
                function.argtypes = (_STATE, ctypes.POINTER(record))
                function.restype = ctypes.c_int32
            setattr(self, name, function)

    def host_calls(self) -> ZelborHostCalls:
        """The call table the host driver makes its library calls through:
        the extensions this object has (None: hidden, as in the maker's)."""
        calls = ZelborHostCalls()
        for field, (name, _) in _CALL_TYPES.items():
            function = getattr(self, name)
            if function is not None:
                setattr(calls, field, ctypes.cast(function, _CALL_POINTERS[field]))
        return calls
