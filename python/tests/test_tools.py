"""python-can's logger and player on the zelbor interface, as commands."""

import re

from conftest import FRAMES, listed_frames, reader_line, wait_for, write_candump


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


def test_player_feeds_the_reader(sim, reader, python_tool, tmp_path):
    sim()
    reader = reader()
    player = python_tool("player", 0, write_candump(tmp_path / "play.log"))
    assert player.process.wait(60) == 0, player.output()
    assert wait_for(lambda: len(listed_frames(reader.output())) >= len(FRAMES))
    assert listed_frames(reader.output()) == [reader_line(*frame[1:]) for frame in FRAMES]
