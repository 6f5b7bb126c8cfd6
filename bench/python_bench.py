#!/usr/bin/env python3
"""python-can's logger through the plugin, fed by the simulated device's load
generator: the highest rate at which a candump log loses nothing, the logger's
CPU per logged frame, and its CPU on a silent device. Prints table rows for
bench/run.sh. Usage: python_bench.py BUILD ADDRESS
Environment: BENCH_TRIAL_SECONDS (10), BENCH_PYTHON_RATES (a ladder, frames/s)."""

import os
import signal
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # leave no cache in the checkout
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from candump_check import check  # noqa: E402

PYTHON = "/usr/bin/python3"


def cpu_ns(pid: int) -> int:
    with open(f"/proc/{pid}/schedstat", encoding="ascii") as stat:
        return int(stat.read().split()[0])


def wait_for(condition, seconds: float) -> bool:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


class Bench:
    def __init__(self, build: str, address: str, work: str):
        self.build, self.address, self.work = build, address, work
        self.environment = dict(
            os.environ,
            PYTHONPATH=os.path.join(build, "python", "site"),
            ZELBOR_LIBRARY=os.path.join(build, "zelbor", "libZelbor.so"),
        )

    def start_sim(self, *options: str) -> subprocess.Popen:
        """The simulated device on an ideal bus, which carries any rate asked for."""
        output = os.path.join(self.work, "sim.out")
        sim = subprocess.Popen(
            [os.path.join(self.build, "sim", "zelbor_sim"), "--address", self.address, "--bitrate", "0", *options],
            stdout=open(output, "w"),
            stderr=subprocess.STDOUT,
        )
        if not wait_for(lambda: "serving" in open(output).read(), 10):
            sys.exit("simulated device did not start")
        return sim

    def start_logger(self, log: str):
        """Starts the logger; returns it and its CPU time once it is connected."""
        address = self.address
        output = os.path.join(self.work, "logger.out")
        logger = subprocess.Popen(
            [PYTHON, "-m", "can.logger", "-i", "zelbor", "-c", "1", f"--host-ip={address}",
             f"--device-ip={address}", "-f", log],
            env=self.environment,
            stdout=open(output, "w"),
            stderr=subprocess.STDOUT,
            # Ctrl-C ends the logger cleanly, also when this runs in the background.
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
        )
        if not wait_for(lambda: "Connected to" in open(output).read(), 30):
            sys.exit("can.logger did not connect: " + open(output).read())
        return logger, cpu_ns(logger.pid)

    @staticmethod
    def stop(process: subprocess.Popen) -> None:
        process.send_signal(signal.SIGINT)
        try:
            process.wait(30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()

    def trial(self, rate: int, seconds: int):
        """Logs `rate` frames/s for `seconds`; returns (lossless, CPU ns per frame)."""
        count = rate * seconds
        log = os.path.join(self.work, "capture.log")
        sim = self.start_sim("--generate", str(rate), "--count", str(count))
        logger, start_cpu = self.start_logger(log)
        time.sleep(seconds)
        size = lambda: os.path.getsize(log) if os.path.exists(log) else 0  # noqa: E731
        previous = -1
        while size() != previous:  # until the logger has caught up
            previous = size()
            time.sleep(0.5)
        used = cpu_ns(logger.pid) - start_cpu
        self.stop(logger)
        self.stop(sim)
        lossless, summary = check(log, count)
        print(f"python-can logger at {rate}/s: {summary}; {used / count:.0f} ns CPU per frame",
              file=sys.stderr)
        return lossless, used / count

    def idle_percent(self, seconds: int) -> float:
        sim = self.start_sim()
        logger, _ = self.start_logger(os.path.join(self.work, "idle.log"))
        time.sleep(1)
        before, started = cpu_ns(logger.pid), time.monotonic()
        time.sleep(seconds)
        share = (cpu_ns(logger.pid) - before) / ((time.monotonic() - started) * 1e7)
        self.stop(logger)
        self.stop(sim)
        return share


def main() -> int:
    build, address = sys.argv[1], sys.argv[2]
    seconds = int(os.environ.get("BENCH_TRIAL_SECONDS", "10"))
    ladder = os.environ.get("BENCH_PYTHON_RATES", "20000 50000 100000 150000 200000 250000")
    rates = [int(rate) for rate in ladder.split()]
    if not os.path.isdir(os.path.join(build, "python", "site")):
        print("| python-can logger through the plugin | not measured: plugin not built | | |")
        return 0
    with tempfile.TemporaryDirectory() as work:
        bench = Bench(build, address, work)
        best, best_cost = 0, 0.0
        for rate in rates:
            lossless, cost = bench.trial(rate, seconds)
            if not lossless:
                break
            best, best_cost = rate, cost
        idle = bench.idle_percent(seconds)
    print(f"| python-can logger through the plugin, lossless candump log rate ({seconds} s trials) "
          f"| {best} frames/s | >= 20,000 | {'met' if best >= 20000 else 'MISSED'} |")
    cost = f"{best_cost / 1000:.1f} µs" if best else "none: no rate was lossless"
    print(f"| python-can logger CPU per logged frame at that rate | {cost} | report | - |")
    print(f"| python-can logger CPU on a silent device | {idle:.3f} % of a core | < 2 % "
          f"| {'met' if idle < 2 else 'MISSED'} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
