#!/usr/bin/env python3
"""python-can through the plugin against the simulated device. The logger,
fed by the device's load generator: the highest rate at which a candump log
loses nothing, its CPU per logged frame, and its CPU on a silent device. A
sender: how busy it keeps a 500 kbit/s and a 1 Mbit/s bus, and that nothing
it sends is lost; and can.player playing a capture of a full 1 Mbit/s bus
onto a 125 kbit/s bus, which must slow down and lose nothing. Frames sent
plugin to plugin by turns, each waited for: how long an answer takes. Prints
table rows for bench/run.sh. Usage: python_bench.py [--exchanges] BUILD [ADDRESS]
(by default a loopback address of the process's own; --exchanges: only
those; --senders: only the senders). Environment: BENCH_TRIAL_SECONDS (10), BENCH_PYTHON_RATES (a
ladder, frames/s), BENCH_EXCHANGES (300)."""

import os
import re
import signal
import subprocess
import sys
import tempfile
import time

_BUILDS = [argument for argument in sys.argv[1:] if not argument.startswith("--")]
if _BUILDS:  # the plugin from the build tree, before python-can looks for interfaces
    sys.path.insert(0, os.path.join(_BUILDS[0], "python", "site"))
from can import Message  # noqa: E402

sys.dont_write_bytecode = True  # leave no cache in the checkout
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from candump_check import check  # noqa: E402
from rawcan_testing import frame_line, loopback_address, wait_for  # noqa: E402

PYTHON = "/usr/bin/python3"


def cpu_ns(pid: int) -> int:
    with open(f"/proc/{pid}/schedstat", encoding="ascii") as stat:
        return int(stat.read().split()[0])


def lines_of(path: str) -> int:
    if not os.path.exists(path):
        return 0
    with open(path, "rb") as text:
        return sum(1 for _ in text)


class Bench:
    def __init__(self, build: str, address: str, work: str):
        self.build, self.address, self.work = build, address, work
        self.started = []  # the simulated devices, killed at the end whatever happened
        self.environment = dict(
            os.environ,
            PYTHONPATH=os.path.join(build, "python", "site"),
            ZELBOR_LIBRARY=os.path.join(build, "zelbor", "libZelbor.so"),
        )

    def start_sim(self, *options: str) -> subprocess.Popen:
        """The simulated device, on an ideal bus (which carries any rate asked
        for) unless the options give a bitrate."""
        output = self.sim_output = os.path.join(self.work, "sim.out")
        sim = subprocess.Popen(
            [os.path.join(self.build, "sim", "zelbor_sim"), "--address", self.address, "--bitrate", "0", *options],
            stdout=open(output, "w"),
            stderr=subprocess.STDOUT,
        )
        self.started.append(sim)
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

    def device_totals(self, sim: subprocess.Popen):
        """Stops the device; returns its bus's busy seconds and channel 0's
        queue (offered, on the bus, dropped)."""
        self.stop(sim)
        totals = open(self.sim_output).read()
        busy = re.search(r"busy ([0-9.]+) % of ([0-9.]+) s", totals)
        queue = re.search(r"queue channel 0: offered (\d+), on the bus (\d+), dropped (\d+)", totals)
        return (float(busy.group(1)) * float(busy.group(2)) / 100,
                tuple(int(n) for n in queue.groups()) if queue else (0, 0, 0))

    def bus(self, channel: int, six_calls: bool = False):
        """The plugin, from the build tree, in this process; with `six_calls`,
        with the library's extensions hidden, as the maker's library has none."""
        import can_zelbor.bus  # noqa: E402

        library = can_zelbor.bus.Library
        if six_calls:
            def maker_like(path):
                loaded = library(path)
                loaded.ZelborGetLinkStatus = loaded.ZelborGetCounters = None
                return loaded

            can_zelbor.bus.Library = maker_like
        try:
            return can_zelbor.bus.ZelborBus(channel, host_ip=self.address, device_ip=self.address,
                                            library=self.environment["ZELBOR_LIBRARY"])
        finally:
            can_zelbor.bus.Library = library

    def sender(self, bitrate: int, count: int, six_calls: bool = False) -> str:
        """A table row: `count` eight-byte frames sent as fast as send() takes
        them; the device's recording shows each once, in order, and how busy
        the bus was from the first to the last."""
        recording = os.path.join(self.work, f"sent-{bitrate}{'-six' if six_calls else ''}.log")
        sim = self.start_sim("--bitrate", str(bitrate), "--record", recording)
        with self.bus(0, six_calls) as bus:
            for number in range(count):
                bus.send(Message(arbitration_id=0x100, is_extended_id=False,
                                     data=number.to_bytes(4, "big") + bytes(4)))
        # Taken by the device is not yet on the bus: its queue empties within a second.
        wait_for(lambda: lines_of(recording) >= count, 5)
        busy, (offered, carried, dropped) = self.device_totals(sim)
        recorded = [frame_line(line) for line in open(recording)]
        span = recorded[-1][0] - recorded[0][0] + busy / len(recorded)  # the first one's length too
        load = 100 * busy / span
        lost = count - len(recorded)
        whole = [frame[1:] for frame in recorded] == [
            (0x100, False, n.to_bytes(4, "big") + bytes(4)) for n in range(count)]
        print(f"sender at {bitrate} bit/s: {len(recorded)} of {count} recorded, in order: {whole}, "
              f"device offered {offered}, dropped {dropped}", file=sys.stderr)
        # With the six calls alone the device's queue drops what the counts then send again.
        verdict = "met" if load >= 95 and whole and (dropped == 0 or six_calls) else "MISSED"
        calls = ", the library's six calls alone" if six_calls else ""
        return (f"| python-can sender through the plugin{calls}, {bitrate // 1000} kbit/s bus, "
                f"{count} eight-byte frames | bus {load:.1f} % busy, {len(recorded) / span:.0f} frames/s "
                f"carried, {lost} lost, device dropped {dropped} | >= 95 %, 0 lost | {verdict} |")

    def threads(self) -> str:
        """A table row: python-can's concurrency case on a 500 kbit/s bus, 100
        threads sending 1,000 frames through ThreadSafeBus while 100 receive."""
        from multiprocessing.dummy import Pool

        import can  # noqa: E402

        sim = self.start_sim("--bitrate", "500000")
        message = Message(arbitration_id=0x123, data=[254, 255, 1, 2])
        options = dict(interface="zelbor", host_ip=self.address, device_ip=self.address,
                       library=self.environment["ZELBOR_LIBRARY"])
        with can.ThreadSafeBus(channel=0, **options) as sender, \
                can.ThreadSafeBus(channel=1, **options) as receiver:
            senders, receivers = Pool(100), Pool(100)
            senders.map_async(sender.send, 1000 * [message])
            got = receivers.map(lambda _: receiver.recv(2.0), range(1000))
            senders.close(), receivers.close()
        _, (offered, carried, dropped) = self.device_totals(sim)
        arrived = sum(1 for m in got if m is not None and m.arbitration_id == 0x123
                      and bytes(m.data) == bytes(message.data))
        verdict = "met" if arrived == 1000 and dropped == 0 else "MISSED"
        return (f"| python-can ThreadSafeBus, 100 threads sending 1,000 frames, 100 receiving, "
                f"500 kbit/s bus | {arrived} of 1000 received, device offered {offered}, dropped "
                f"{dropped} | all, 0 dropped | {verdict} |")

    def player(self, count: int) -> str:
        """A table row: a capture of a full 1 Mbit/s bus played by can.player
        onto a 125 kbit/s bus, recorded by the device."""
        capture = os.path.join(self.work, "capture-1m.log")
        sim = self.start_sim("--bitrate", "1000000", "--generate", "30000", "--count",
                             str(count), "--tx-queue", "65536", "--record", capture)
        with self.bus(1):  # the generator starts once a host listens
            wait_for(lambda: lines_of(capture) >= count, 60)
        self.stop(sim)
        recording = os.path.join(self.work, "played-125k.log")
        sim = self.start_sim("--bitrate", "125000", "--record", recording)
        started = time.monotonic()
        played = subprocess.run(
            [PYTHON, "-m", "can.player", "-i", "zelbor", "-c", "0", f"--host-ip={self.address}",
             f"--device-ip={self.address}", capture],
            env=self.environment, capture_output=True, text=True, timeout=600)
        took = time.monotonic() - started
        wait_for(lambda: lines_of(recording) >= count, 5)
        _, (offered, carried, dropped) = self.device_totals(sim)
        with open(capture) as log:
            stamps = [frame_line(line)[0] for line in log]
        capture_seconds = stamps[-1] - stamps[0]
        whole, summary = check(recording, count)
        print(f"can.player onto 125 kbit/s: {summary}; status {played.returncode}; "
              f"{took:.1f} s for a capture of {capture_seconds:.1f} s",
              file=sys.stderr)
        verdict = "met" if whole and played.returncode == 0 and dropped == 0 else "MISSED"
        return (f"| can.player: a capture of a full 1 Mbit/s bus ({count} frames, "
                f"{capture_seconds:.1f} s) onto a 125 kbit/s bus | "
                f"{'all recorded once, in order' if whole else summary}, in {took:.1f} s, "
                f"device dropped {dropped} | all, in order | {verdict} |")

    def exchanges(self, bitrate: int, count: int) -> str:
        """A table row: `count` frames sent plugin to plugin, channel 0 to 1
        and back by turns, each waited for before the next: the time from
        send() to the other bus's recv(), as a program waiting for an answer
        sees it."""
        sim = self.start_sim("--bitrate", str(bitrate))
        trips = []
        with self.bus(0) as first, self.bus(1) as second:
            for number in range(count):
                sender, receiver = (first, second) if number % 2 == 0 else (second, first)
                data = number.to_bytes(4, "little")
                started = time.perf_counter()
                sender.send(Message(arbitration_id=0x100, is_extended_id=False, data=data))
                got = receiver.recv(2.0)
                while got is not None and bytes(got.data) != data:
                    got = receiver.recv(2.0)
                if got is None:
                    break
                trips.append((time.perf_counter() - started) * 1000)
        self.stop(sim)
        trips.sort()
        if len(trips) < count:
            return (f"| python-can plugin to plugin, {count} exchanges | exchange {len(trips)} "
                    f"never arrived | all | MISSED |")
        p50, p99, worst = trips[count // 2], trips[(count * 99 + 99) // 100 - 1], trips[-1]
        bus = "ideal bus" if bitrate == 0 else f"{bitrate // 1000} kbit/s bus"
        target, met = ("p99 < 5 ms", p99 < 5) if bitrate == 0 else ("report", None)
        print(f"exchanges on the {bus}: p50 {p50:.2f} ms, p99 {p99:.2f} ms, worst {worst:.2f} ms",
              file=sys.stderr)
        return (f"| python-can plugin to plugin, {count} exchanges by turns, {bus} | p50 "
                f"{p50:.2f} ms, p99 {p99:.2f} ms, worst {worst:.2f} ms | {target} | "
                f"{'-' if met is None else 'met' if met else 'MISSED'} |")

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
    only_exchanges = "--exchanges" in sys.argv
    build = _BUILDS[0]
    address = _BUILDS[1] if len(_BUILDS) > 1 else loopback_address()
    seconds = int(os.environ.get("BENCH_TRIAL_SECONDS", "10"))
    ladder = os.environ.get("BENCH_PYTHON_RATES", "20000 50000 100000 150000 200000 250000")
    rates = [int(rate) for rate in ladder.split()]
    exchanges = int(os.environ.get("BENCH_EXCHANGES", "300"))
    if not os.path.isdir(os.path.join(build, "python", "site")):
        print("| python-can logger through the plugin | not measured: plugin not built | | |")
        return 0
    with tempfile.TemporaryDirectory() as work:
        bench = Bench(build, address, work)
        try:
            if only_exchanges:
                print("\n".join(bench.exchanges(bitrate, exchanges) for bitrate in (0, 500000)))
                return 0
            if "--senders" in sys.argv:
                print(bench.sender(1000000, 1000 * seconds * 8))
                print(bench.sender(1000000, 1000 * seconds * 8, six_calls=True))
                return 0
            best, best_cost = 0, 0.0
            for rate in rates:
                lossless, cost = bench.trial(rate, seconds)
                if not lossless:
                    break
                best, best_cost = rate, cost
            idle = bench.idle_percent(seconds)
            senders = [bench.sender(bitrate, 1000 * seconds * bitrate // 125000)
                       for bitrate in (500000, 1000000)]
            senders.append(bench.sender(1000000, 1000 * seconds * 8, six_calls=True))
            senders += [bench.sender(125000, 10000), bench.threads()]
            senders += [bench.exchanges(bitrate, exchanges) for bitrate in (0, 500000)]
            played = bench.player(5000)
        finally:
            for sim in bench.started:
                sim.kill()
    print(f"| python-can logger through the plugin, lossless candump log rate ({seconds} s trials) "
          f"| {best} frames/s | >= 20,000 | {'met' if best >= 20000 else 'MISSED'} |")
    cost = f"{best_cost / 1000:.1f} µs" if best else "none: no rate was lossless"
    print(f"| python-can logger CPU per logged frame at that rate | {cost} | report | - |")
    print(f"| python-can logger CPU on a silent device | {idle:.3f} % of a core | < 2 % "
          f"| {'met' if idle < 2 else 'MISSED'} |")
    print("\n".join(senders + [played]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
