#!/usr/bin/python3
"""Logs from the CAN ecosystem, with Debian's python-can (candump format):
a log python-can writes replays through the simulated device into the
reader frame for frame, and python-can reads the device's recording of it
back frame for frame. Usage: python_can_test.py ZELBOR_SIM RAW_CAN_READER"""
import signal
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # leave no cache in the checkout
from rawcan_testing import listed_frames, loopback_address, wait_for  # noqa: E402

try:
    import can
except ImportError:
    print("python3-can is not installed (Debian: apt-get install -y python3-can): skipped")
    sys.exit(77)  # ctest: skipped


def wait_or_fail(condition, what, *outputs):
    if not wait_for(condition, 30):
        said = "".join(f"\n{path}:\n{open(path).read()}" for path in outputs)
        sys.exit(f"FAIL: timed out waiting for {what}{said}")


def main():
    sim_path, reader_path = sys.argv[1:3]
    address = loopback_address()
    frames = [can.Message(timestamp=1700000000 + i / 1000, is_rx=i % 2 == 0,
                          is_extended_id=i % 3 == 2,
                          arbitration_id=0x1ABC0000 + i if i % 3 == 2 else 0x100 + i,
                          data=bytes((i + b) & 0xFF for b in range(i % 9))) for i in range(300)]
    skipped = [can.Message(timestamp=1700000000.1, is_error_frame=True),
               can.Message(timestamp=1700000000.2, arbitration_id=0x123, is_remote_frame=True)]
    with tempfile.TemporaryDirectory() as scratch:
        log, recording = f"{scratch}/python-can.log", f"{scratch}/recording.log"
        sim_out, reader_out = f"{scratch}/sim.out", f"{scratch}/reader.out"
        with can.Logger(log) as logger:
            for message in frames[:100] + skipped + frames[100:]:
                logger.on_message_received(message)
        with open(sim_out, "w") as sim_file, open(reader_out, "w") as reader_file:
            sim = subprocess.Popen([sim_path, "--address", address, "--replay", log,
                                    "--record", recording], stdout=sim_file)
            wait_or_fail(lambda: "serving" in open(sim_out).read(), "the device")
            reader = subprocess.Popen([reader_path, address, address, "1"], stdout=reader_file)
            try:
                # The device ends once it has played the log to the reader.
                wait_or_fail(lambda: sim.poll() is not None, "the replay", sim_out, reader_out)
                if sim.returncode != 0:
                    sys.exit(f"FAIL: the device ended with {sim.returncode}")
                wait_or_fail(lambda: len(open(reader_out).readlines()) > len(frames), "the listing",
                             reader_out)
                reader.send_signal(signal.SIGINT)
                if reader.wait(timeout=10) != -signal.SIGINT:
                    sys.exit(f"FAIL: the reader ended with {reader.returncode}")
            finally:
                sim.kill(), reader.kill()
        if f"replay: 300 frames from {log} (skipped 1 remote-request, 0 CAN FD, 1 error-frame, " \
                "0 malformed lines)" not in open(sim_out).read():
            sys.exit(f"FAIL: the device said:\n{open(sim_out).read()}")
        key = lambda m: (m.arbitration_id, m.is_extended_id, bytes(m.data))  # noqa: E731
        got = listed_frames(open(reader_out).read())
        if got != list(map(key, frames)):
            sys.exit(f"FAIL: the listing differs from the log; it begins {got[:3]}")
        if list(map(key, can.LogReader(recording))) != list(map(key, frames)):
            sys.exit("FAIL: python-can does not read back the frames from the recording")
    print(f"{len(frames)} frames replayed, listed and read back with python-can {can.__version__}")


if __name__ == "__main__":
    main()
