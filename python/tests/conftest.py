"""The simulated device and the reader as processes on a loopback address of
the test's own; paths come from ctest's environment."""

import os
import signal
import subprocess
import sys

import pytest

# The helpers the Python tests and benchmarks share, for the tests here too.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "tests"))
from rawcan_testing import candump_frame, loopback_address, wait_for  # noqa: E402


class Process:
    """A child whose output goes to a file; Ctrl-C stops it even where the
    tests were started with SIGINT ignored."""

    def __init__(self, argv, output):
        self.output_path = output
        self.process = subprocess.Popen(
            argv,
            stdout=open(output, "w"),
            stderr=subprocess.STDOUT,
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
        )

    def output(self):
        with open(self.output_path) as text:
            return text.read()

    def wait_output(self, text, seconds=20.0):
        """True once the output holds `text`; False on timeout or an exit without it."""
        wait_for(lambda: text in self.output() or self.process.poll() is not None, seconds)
        return text in self.output()

    def interrupt(self):
        self.process.send_signal(signal.SIGINT)
        return self.process.wait(30)


@pytest.fixture
def address():
    """A loopback address of the test's own."""
    return loopback_address()


@pytest.fixture
def spawn(tmp_path):
    """Starts processes, killing any still running when the test ends."""
    started = []

    def start(argv, name):
        started.append(Process(argv, str(tmp_path / name)))
        return started[-1]

    yield start
    for process in started:
        if process.process.poll() is None:
            process.process.kill()


@pytest.fixture
def sim(spawn, address):
    """Starts zelbor_sim on the test's address with the given options."""

    def start(*options):
        device = spawn([os.environ["ZELBOR_SIM"], "--address", address, *options], "sim.out")
        assert device.wait_output("serving"), device.output()
        return device

    return start


@pytest.fixture
def reader(spawn, address):
    """Starts raw_can_reader on channel 1."""

    def start():
        listing = spawn([os.environ["RAW_CAN_READER"], address, address, "1"], "reader.out")
        assert listing.wait_output("Start reading")
        return listing

    return start


@pytest.fixture
def python_tool(spawn, address):
    """Runs a python-can command-line tool, unbuffered, on the zelbor interface."""

    def start(tool, channel, *arguments):
        argv = [sys.executable, "-u", "-m", f"can.{tool}", "-i", "zelbor", "-c", str(channel),
                f"--host-ip={address}", f"--device-ip={address}", *arguments]
        return spawn(argv, f"{tool}.out")

    return start


# A log of every frame shape the record carries: both identifier widths at
# their limits, lengths 0 to 8; the last two frames come 0.2 s later.
FRAMES = [
    (0.0, 0x000, False, b""),
    (0.0, 0x7FF, False, bytes(range(1, 9))),
    (0.0, 0x1FFFFFFF, True, b"\xde\xad\xbe"),
    (0.2, 0x00000001, True, b"\x00"),
    (0.2, 0x123, False, b"\xca\xfe\x00\x01"),
]
LOG_SPAN = 0.2


def write_candump(path):
    with open(path, "w") as log:
        for time_s, *frame in FRAMES:
            log.write(f"({1436509052 + time_s:.6f}) can0 {candump_frame(*frame)}\n")
    return str(path)
