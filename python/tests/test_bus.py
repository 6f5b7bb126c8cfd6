"""The zelbor interface against the simulated device, opened as python-can
users open it (by its interface name, through the entry point)."""

import threading
import time

import can
import pytest
from conftest import FRAMES, LOG_SPAN, listed_frames, reader_line, wait_for, write_candump

from can_zelbor import ZelborSendTimeout


def open_bus(address, channel):
    return can.Bus(interface="zelbor", channel=channel, host_ip=address, device_ip=address)


def test_replay_is_received_frame_for_frame(sim, address, tmp_path, monkeypatch):
    started = time.monotonic()
    sim("--replay", write_candump(tmp_path / "replay.log"))
    with open_bus(address, 1) as bus:
        messages = [bus.recv(20) for _ in FRAMES]
        alive = time.monotonic() - started
        assert [(m.arbitration_id, m.is_extended_id, m.dlc, bytes(m.data)) for m in messages] == [
            (identifier, extended, len(data), data) for _, identifier, extended, data in FRAMES
        ]
        # Seconds since the device started, spaced as in the log.
        assert 0 < messages[0].timestamp < alive
        assert LOG_SPAN / 2 < messages[-1].timestamp - messages[0].timestamp < LOG_SPAN * 5

        def read_late_frame(state, frame_ref):  # a frame stamped past the 32-bit wrap
            bus._frame.id, bus._frame.time_high, bus._frame.time_low = 5, 1, 32
            return 0

        monkeypatch.setattr(bus._library, "ZelborRawCanRead", read_late_frame)
        assert bus.recv(0).timestamp == (2**32 + 32) / 32e6


def test_sent_frames_are_listed_and_unsendable_ones_refused(sim, reader, address):
    sim()
    reader = reader()
    sent = [(0x7FF, False, bytes(range(8))), (0x1FFFFFFF, True, b""), (0x000, False, b"\x01")]
    with open_bus(address, 0) as bus:
        for refused, error in [
            (can.Message(arbitration_id=1, is_remote_frame=True), can.CanOperationError),
            (can.Message(arbitration_id=1, is_fd=True, data=b"x"), can.CanOperationError),
            (can.Message(arbitration_id=0x800, is_extended_id=False), ValueError),
            (can.Message(arbitration_id=0x20000000, check=False), ValueError),
        ]:
            with pytest.raises(error):
                bus.send(refused)
        assert bus.counters()["frames_out"] == 0
        for identifier, extended, data in sent:
            bus.send(can.Message(arbitration_id=identifier, is_extended_id=extended, data=data))
        assert wait_for(lambda: len(listed_frames(reader.output())) >= len(sent))
        # The device's report of each frame is read while waiting.
        assert wait_for(lambda: bus.recv(0.1) is None and bus.message_count == 1)
    assert listed_frames(reader.output()) == [reader_line(*frame) for frame in sent]


@pytest.mark.parametrize("on_socket", [True, False], ids=["poll", "pause"])
def test_waiting(sim, address, on_socket):
    sim()
    with open_bus(address, 1) as listener, open_bus(address, 0) as talker:
        if not on_socket:  # as with a library whose socket cannot be found
            listener._poller = None
        began = time.monotonic()
        assert listener.recv(0) is None and time.monotonic() - began < 0.5
        assert listener.recv(0.3) is None and 0.3 <= time.monotonic() - began < 5
        received = []
        waiting = threading.Thread(target=lambda: received.append(listener.recv(None)))
        waiting.start()
        talker.send(can.Message(arbitration_id=0x42, is_extended_id=False))
        waiting.join(20)
        assert received and received[0].arbitration_id == 0x42


def test_a_full_backlog_is_retried_until_the_timeout(sim, address, monkeypatch):
    sim()
    with open_bus(address, 0) as talker:
        outcomes, calls = [-16, -16, 0], []

        def write(state, frames, count):
            calls.append(count)
            return outcomes.pop(0) if len(outcomes) > 1 else outcomes[0]

        monkeypatch.setattr(talker._library, "ZelborRawCanWrite", write)
        message = can.Message(arbitration_id=1, is_extended_id=False)
        talker.send(message)  # the backlog cleared on the third try
        assert len(calls) == 3
        outcomes[:] = [-16]
        with pytest.raises(ZelborSendTimeout) as timeout:
            talker.send(message, timeout=0)
        assert len(calls) == 4 and isinstance(timeout.value, can.CanTimeoutError)
        outcomes[:] = [-10]
        with pytest.raises(can.CanOperationError) as failed:
            talker.send(message, timeout=10)
        assert failed.value.error_code == -10 and not isinstance(failed.value, ZelborSendTimeout)


def test_open_failures_and_reopening(sim, address):
    with pytest.raises(can.CanInitializationError, match="INIT_CAN_CHIP failed") as no_device:
        open_bus(address, 0)
    assert no_device.value.error_code == -12
    sim()
    # The failed start was stopped, so its port is free again.
    with open_bus(address, 0) as first:
        with pytest.raises(can.CanInitializationError, match="^Socket error") as taken:
            open_bus(address, 0)
        assert taken.value.error_code == -10
    with pytest.raises(can.CanOperationError):
        first.recv(0)
    with open_bus(address, 0) as again:
        again.send(can.Message(arbitration_id=7, is_extended_id=False))
