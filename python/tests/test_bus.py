"""The zelbor interface against the simulated device, opened as python-can
users open it (by its interface name, through the entry point)."""

import asyncio
import gc
import itertools
import logging
import re
import select
import signal
import threading
import time
from multiprocessing.dummy import Pool as ThreadPool

import can
import pytest
from conftest import FRAMES, LOG_SPAN, write_candump
from rawcan_testing import listed_frames, wait_for

import can_zelbor.bus
from can_zelbor import ZelborDeviceSilent, ZelborSendTimeout
from can_zelbor.library import Library


def open_bus(address, channel, **options):
    return can.Bus(interface="zelbor", channel=channel, host_ip=address, device_ip=address,
                   **options)


@pytest.fixture(params=["status", "counts only"])
def library_kind(request, monkeypatch):
    """The stand-in library as it is, and as the maker's: without its extensions."""
    # No library file without them is built, so the loaded library's are hidden.
    if request.param == "counts only":
        def maker_like(path):
            library = Library(path)
            library.ZelborGetLinkStatus = library.ZelborGetCounters = None
            return library

        monkeypatch.setattr(can_zelbor.bus, "Library", maker_like)
    return request.param


def fields(m):
    return m.arbitration_id, m.is_extended_id, m.dlc, bytes(m.data)


def same(sent, got):
    return got is not None and fields(sent) == fields(got)


def device_queue(sim_output, channel):
    """offered, on the bus, dropped of a channel's queue in the device's totals."""
    found = re.search(rf"queue channel {channel}: offered (\d+), on the bus (\d+), dropped (\d+)",
                      sim_output)
    return tuple(map(int, found.groups())) if found else None


def test_replay_is_received_frame_for_frame(sim, address, tmp_path):
    started = time.monotonic()
    sim("--replay", write_candump(tmp_path / "replay.log"), "--loop", "0")
    with open_bus(address, 1) as bus, \
            open_bus(address, 0, timestamps="device", receive_own_messages=True) as own:
        logged = [(identifier, extended, len(data), data) for _, identifier, extended, data in FRAMES]
        messages = [bus.recv(20) for _ in FRAMES]
        alive = time.monotonic() - started
        assert [fields(m) for m in messages] == logged
        # Epoch seconds, spaced as on the bus; with timestamps="device", the device's seconds.
        # The spacing is checked on the log's second pass: a first datagram read late (the
        # other bus opening meanwhile) maps the first pass too late, and stamps never go back.
        again = [bus.recv(20) for _ in FRAMES]
        assert [fields(m) for m in again] == logged
        assert abs(again[-1].timestamp - time.time()) < 1
        assert LOG_SPAN / 2 < again[-1].timestamp - again[0].timestamp < LOG_SPAN * 5
        first = own.recv(20)
        assert 0 < first.timestamp < alive
        own.send(can.Message(arbitration_id=1, is_extended_id=False))  # its echo: device seconds too
        echo = next(m for m in iter(lambda: own.recv(20), None) if not m.is_rx)
        assert first.timestamp <= echo.timestamp < time.monotonic() - started


def test_sent_frames_are_listed_and_unsendable_ones_refused(sim, reader, address):
    sim()
    reader = reader()
    sent = [(0x7FF, False, bytes(range(8))), (0x1FFFFFFF, True, b""), (0x000, False, b"\x01")]
    with open_bus(address, 0, receive_own_messages=True) as bus:
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
        # Each frame comes back once the device took it, marked as sent.
        echoes = [bus.recv(10) for _ in sent]
        assert [(m.arbitration_id, m.is_extended_id, bytes(m.data), m.is_rx) for m in echoes] == [
            (*frame, False) for frame in sent]
        assert wait_for(lambda: listed_frames(reader.output()) == sent), reader.output()
        assert bus.counters()["frames_sent"] == len(sent) and bus.recv(0) is None


@pytest.mark.parametrize("bitrate", ["0", "500000"])
def test_back_to_back(sim, address, bitrate, library_kind):
    sim("--bitrate", bitrate)
    with open_bus(address, 0) as bus1, open_bus(address, 1) as bus2:
        assert bus1.recv(0.1) is None and bus2.recv(0) is None
        shapes = [can.Message(arbitration_id=0x7FF, is_extended_id=False, data=b"\x01\x02"),
                  can.Message(arbitration_id=0x12345678, data=bytes(8)),
                  can.Message(arbitration_id=0x1, is_extended_id=False)]
        for sender, receiver in ((bus1, bus2), (bus2, bus1)):
            for message in shapes:
                sender.send(message)
            received = [receiver.recv(5) for _ in shapes]
            for sent, got in zip(shapes, received):
                assert same(sent, got)
                assert abs(got.timestamp - time.time()) < 0.5
        descriptor = bus2.fileno()
        assert not select.select([descriptor], [], [], 0)[0]
        bus1.send(shapes[0])
        assert select.select([descriptor], [], [], 5)[0] and bus2.recv(0) is not None

    # python-can's concurrency test: 100 threads send, 100 receive, filtered or not.
    message = can.Message(arbitration_id=0x123, data=[254, 255, 1, 2])
    for filters in (None, [{"can_id": 0x123, "can_mask": 0x7FF, "extended": True}]):
        with can.ThreadSafeBus(interface="zelbor", channel=0, host_ip=address,
                               device_ip=address) as bus1, \
                can.ThreadSafeBus(interface="zelbor", channel=1, host_ip=address,
                                  device_ip=address, can_filters=filters) as bus2:
            senders, receivers = ThreadPool(100), ThreadPool(100)
            if filters:
                bus1.send(can.Message(arbitration_id=0x124, data=b"no"))
            senders.map_async(bus1.send, 1000 * [message])
            got = receivers.map(lambda _: bus2.recv(timeout=2.0), range(1000))
            senders.close(), receivers.close()
            assert all(same(message, m) for m in got)
        bus2.shutdown()  # again: nothing happens


def test_a_burst_faster_than_the_bus_arrives_whole(sim, address, library_kind):
    device = sim("--bitrate", "125000")
    count = 2000
    with open_bus(address, 0, transmit_buffer=256) as sender, open_bus(address, 1) as receiver:
        for number in range(count):
            sender.send(can.Message(arbitration_id=0x100, is_extended_id=False,
                                    data=number.to_bytes(4, "little") + bytes(4)))
        got = [receiver.recv(10) for _ in range(count)]
        assert [int.from_bytes(m.data[:4], "little") for m in got if m] == list(range(count))
        assert sender.counters()["frames_sent"] == count
    assert device.interrupt() == 0
    offered, on_bus, dropped = device_queue(device.output(), 0)
    assert on_bus == count
    if library_kind == "status":  # the device told its room: it had nothing to drop
        assert dropped == 0 and offered == count


def test_a_bus_collected_unshut_sends_what_it_took(sim, address):
    sim("--bitrate", "125000")
    with open_bus(address, 1) as receiver:
        sender = open_bus(address, 0)
        for number in range(300):
            sender.send(can.Message(arbitration_id=0x100, is_extended_id=False,
                                    data=number.to_bytes(2, "little")))
        del sender
        gc.collect()
        got = list(itertools.takewhile(lambda m: m is not None,
                                       (receiver.recv(5) for _ in range(300))))
        assert [int.from_bytes(m.data, "little") for m in got] == list(range(300))


def test_frames_are_held_while_nobody_reads(sim, address):
    sim("--generate", "2000", "--count", "7000")
    with open_bus(address, 1) as bus:
        # More than 3 s without a call: the device would have let a silent host go.
        assert wait_for(lambda: bus.counters()["frames_delivered"] == 7000, 30)
        got = [bus.recv(1) for _ in range(7000)]
        assert None not in got and bus.recv(0) is None
        assert bus.counters()["frames_lost"] == 0


def test_a_silent_device_is_an_error_until_it_answers(sim, address, library_kind, caplog):
    device = sim()
    caplog.set_level(logging.WARNING, logger="can.interfaces.zelbor")
    with open_bus(address, 1, transmit_buffer=4) as bus, open_bus(address, 0) as other:
        other.send(can.Message(arbitration_id=1, is_extended_id=False))
        first = bus.recv(5)
        device.process.send_signal(signal.SIGSTOP)
        if library_kind == "status":
            with pytest.raises(ZelborDeviceSilent, match="does not answer"):
                bus.recv(None)  # on a quiet bus too
        for _ in range(10):  # the buffer takes four, then the device's silence tells
            try:
                bus.send(can.Message(arbitration_id=2, is_extended_id=False), timeout=0.2)
            except (ZelborSendTimeout, ZelborDeviceSilent):
                break
        else:
            pytest.fail("send() went on taking frames for a device that does not answer")
        assert wait_for(lambda: bus.state == can.BusState.ERROR, 10)
        with pytest.raises(ZelborDeviceSilent):
            bus.send(can.Message(arbitration_id=3, is_extended_id=False))
        bus.flush_tx_buffer()
        device.process.send_signal(signal.SIGCONT)
        assert wait_for(lambda: bus.state == can.BusState.ACTIVE, 10)
        other.send(can.Message(arbitration_id=4, is_extended_id=False))
        later = bus.recv(5)
        assert later.arbitration_id == 4 and later.timestamp >= first.timestamp
    assert "does not answer" in caplog.text and "answers again" in caplog.text


def test_the_asyncio_notifier_waits_on_fileno(sim, address):
    sim()

    async def receive_one():
        reader = can.AsyncBufferedReader()
        with open_bus(address, 1) as bus, open_bus(address, 0) as other:
            threads = threading.active_count()
            notifier = can.Notifier(bus, [reader], loop=asyncio.get_running_loop())
            assert threading.active_count() == threads  # no thread: the loop waits on fileno()
            other.send(can.Message(arbitration_id=0x55, is_extended_id=False))
            message = await asyncio.wait_for(reader.get_message(), 10)
            notifier.stop()
            return message

    assert asyncio.run(receive_one()).arbitration_id == 0x55


def test_options_the_device_cannot_honour_are_not_ignored(sim, address, caplog):
    sim()
    with pytest.raises(can.CanInitializationError, match="CAN FD"):
        open_bus(address, 0, fd=True)
    caplog.set_level(logging.WARNING, logger="can.interfaces.zelbor")
    with open_bus(address, 0, bitrate=125000, frobnicate=1):
        pass
    assert "bitrate=125000 is not applied" in caplog.text and "frobnicate" in caplog.text


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


def test_a_link_that_fails_to_start_leaves_the_channel_free(sim, address, monkeypatch):
    sim()

    def failing(*args, **kwargs):
        raise can.CanInitializationError("the host driver did not start")

    with monkeypatch.context() as patch:
        patch.setattr(can_zelbor.bus, "Link", failing)
        with pytest.raises(can.CanInitializationError, match="host driver"):
            open_bus(address, 0)
    with open_bus(address, 0):
        pass


def test_a_restarted_device_is_followed_on_the_host_clock(sim, address):
    device = sim()
    with open_bus(address, 0) as sender, open_bus(address, 1) as bus:
        sender.send(can.Message(arbitration_id=1, is_extended_id=False))
        first = bus.recv(5)
        device.process.kill()
        assert wait_for(lambda: bus.state == can.BusState.ERROR, 10)
        sim()  # a new run, seconds later, whose count has not yet fallen below the last one's
        assert wait_for(lambda: bus.counters()["device_restarts"] == 1
                        == sender.counters()["device_restarts"], 10)  # both heard it
        sender.send(can.Message(arbitration_id=2, is_extended_id=False))
        later = bus.recv(5)
        assert later.arbitration_id == 2 and later.timestamp > first.timestamp
        assert abs(later.timestamp - time.time()) < 0.5
