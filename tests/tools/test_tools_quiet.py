"""quiet() silences what reaches descriptor 1 in its block, and nothing of the caller's."""

import subprocess
import sys
import textwrap

import pytest

from conftest import SAMPLE

CHILD = textwrap.dedent("""
    import os, sys
    import zel_data_reader
    from zel_data_tools import quiet

    data = zel_data_reader.ZelDataFIle(sys.argv[1])
    print("before")
    with quiet():
        print("mine, buffered")
        data.get_channel_data("gauge", 0, "force")  # two diagnostic lines
        os.write(1, b"written to fd 1\\n")
        with quiet():
            print("nested")
        print("still mine")
    data.get_channel_data("gauge", 0, "volt")  # one line, after the block: not silenced
    print("after")
    try:
        with quiet():
            raise KeyError("inside")
    except KeyError:
        pass
    os.write(1, b"fd 1 restored\\n")
""")


@pytest.mark.parametrize("to_file", [False, True], ids=["pipe", "file"])
def test_diagnostic_lines_go_and_prints_stay(tmp_path, to_file):
    command = [sys.executable, "-c", CHILD, str(SAMPLE)]
    if to_file:
        with open(tmp_path / "out.txt", "w") as out:
            subprocess.run(command, stdout=out, check=True, cwd=tmp_path, timeout=60)
        lines = (tmp_path / "out.txt").read_text().splitlines()
    else:
        run = subprocess.run(command, capture_output=True, text=True, check=True,
                             cwd=tmp_path, timeout=60)
        lines = run.stdout.splitlines()
    assert lines[:4] == ["before", "mine, buffered", "nested", "still mine"]
    # The read after the block writes its one line (a number) before "after".
    assert len(lines) == 7 and float(lines[4]) == float(lines[4])
    assert lines[5:] == ["after", "fd 1 restored"]


def test_a_replaced_sys_stdout_keeps_its_prints(capsys):
    import zel_data_reader

    from zel_data_tools import quiet

    data = zel_data_reader.ZelDataFIle(str(SAMPLE))
    with quiet():
        print("to the captured stream")
        data.get_channel_data("gauge", 1, "force")
    captured = capsys.readouterr()
    assert captured.out == "to the captured stream\n"
