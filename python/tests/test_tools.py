"""python-can's command-line tools on the zelbor interface."""

import re

from conftest import FRAMES, write_candump
from rawcan_testing import wait_for


def test_logger_lists_a_replay(sim, python_tool, tmp_path):
    sim("--replay", write_candump(tmp_path / "replay.log"))
    logger = python_tool("logger", 1)  # printing each message as it comes
    assert wait_for(lambda: logger.output().count("Channel: 1") >= len(FRAMES)), logger.output()
    assert logger.interrupt() == 0
    printed = re.findall(r"ID: +(\w+) +([SX]) Rx +DL: +(\d) +([0-9a-f ]*?) +Channel: 1",
                         logger.output())
    assert printed == [
        (f"{i:08x}" if extended else f"{i:04x}", "X" if extended else "S", str(len(data)),
         data.hex(" "))
        for _, i, extended, data in FRAMES
    ]

