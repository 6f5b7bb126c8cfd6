#!/usr/bin/python3
"""Logs from the CAN ecosystem, with Debian's python-can (candump format):
a log python-can writes replays through the simulated device into the
reader frame for frame, and python-can reads the device's recording of it
back frame for frame. Usage: python_can_test.py ZELBOR_SIM RAW_CAN_READER"""
import os
import signal
import subprocess
import sys
import tempfile
import time

try:
    import can
except ImportError:
    print("python3-can is not installed (Debian: apt-get install -y python3-can): skipped")
    sys.exit(77)  # ctest: skipped


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            sys.exit(f"FAIL: timed out waiting for {what}")
        time.sleep(0.01)


def listing_tail(message):
    """A listing line from its two spaces on: what does not depend on time."""
    if message.is_extended_id:
        ident = f"EXT-CAN-ID ${message.arbitration_id:08X}"
    else:
        ident = f"STD-CAN-ID ${message.arbitration_id:03X}"
    return f"  {ident}: " + "".join(f"${byte:02X} " for byte in message.data)


def main():
    sim_path, reader_path = sys.argv[1:3]
    pid = os.getpid()  # an address of this test's own in 127/8
    address = f"127.{(pid >> 8) & 255}.{pid & 255}.{1 + (pid >> 16) % 254}"
    frames = []
    for i in range(300):
        extended = i % 3 == 2
        frames.append(can.Message(
            timestamp=1700000000 + i / 1000, is_extended_id=extended, is_rx=i % 2 == 0,
            arbitration_id=0x1ABC0000 + i if extended else 0x100 + i,
            data=bytes((i + b) & 0xFF for b in range(i % 9))))
    skipped = [can.Message(timestamp=1700000000.1, is_error_frame=True),
               can.Message(timestamp=1700000000.2, arbitration_id=0x123, is_remote_frame=True)]
    with tempfile.TemporaryDirectory() as scratch:
        log, recording = f"{scratch}/python-can.log", f"{scratch}/recording.log"
        with can.Logger(log) as logger:
            for message in frames[:100] + skipped + frames[100:]:
                logger.on_message_received(message)
        with open(f"{scratch}/sim.out", "w+") as sim_out, \
                open(f"{scratch}/reader.out", "w+") as reader_out:
            sim = subprocess.Popen([sim_path, "--address", address, "--replay", log,
                                    "--record", recording], stdout=sim_out)
            reader = None
            try:
                wait_for(lambda: "serving" in open(sim_out.name).read(), 10, "the device")
                reader = subprocess.Popen([reader_path, address, address, "1"],
                                          stdout=reader_out)
                if sim.wait(timeout=30) != 0:
                    sys.exit(f"FAIL: the device ended with {sim.returncode}")
                wait_for(lambda: len(open(reader_out.name).readlines()) >= 1 + len(frames),
                         10, "the listing")
                reader.send_signal(signal.SIGINT)
                if reader.wait(timeout=10) != -signal.SIGINT:
                    sys.exit(f"FAIL: the reader ended with {reader.returncode}")
            finally:
                for process in (sim, reader):
                    if process is not None and process.poll() is None:
                        process.kill()
            summary = f"replay: {len(frames)} frames from {log} (skipped 1 remote-request, " \
                      "0 CAN FD, 1 error-frame, 0 malformed lines)"
            if summary not in open(sim_out.name).read():
                sys.exit(f"FAIL: the device said:\n{open(sim_out.name).read()}")
            listing = open(reader_out.name).read().splitlines()[1:]
        got = [line[line.index("  "):] for line in listing]
        wanted = [listing_tail(message) for message in frames]
        if got != wanted:
            sys.exit(f"FAIL: the listing differs; first lines:\n{got[:3]}\nwanted:\n{wanted[:3]}")
        recorded = list(can.LogReader(recording))
        keys = [(m.arbitration_id, m.is_extended_id, bytes(m.data)) for m in recorded]
        if keys != [(m.arbitration_id, m.is_extended_id, bytes(m.data)) for m in frames]:
            sys.exit(f"FAIL: python-can read back {len(recorded)} frames, not the {len(frames)}")
    print(f"{len(frames)} frames: replayed, listed and read back by python-can {can.__version__}")


if __name__ == "__main__":
    main()
