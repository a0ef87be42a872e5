"""quiet() silences what reaches descriptor 1 in its block, and nothing of the caller's."""

import os
import re
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


THREADS = textwrap.dedent("""
    import logging, sys, threading
    import zel_data_reader
    from zel_data_tools import quiet

    sys.setswitchinterval(1e-5)  # switch threads as often as the interpreter can
    data = zel_data_reader.ZelDataFIle(sys.argv[1])
    log = logging.getLogger("printer")
    log.addHandler(logging.StreamHandler(sys.stdout))  # holds the original sys.stdout
    log.setLevel(logging.INFO)
    log.propagate = False
    stop = threading.Event()

    def printer():
        line = 0
        while not stop.is_set():
            print(f"print {line}")
            log.info("log %d", line)
            line += 1

    thread = threading.Thread(target=printer)
    thread.start()
    for block in range(300):
        with quiet():
            data.get_channel_data("gauge", 0, "force")  # its diagnostic lines go
            print(f"main {block}")
    stop.set()
    thread.join()
""")


@pytest.mark.parametrize("to_file", [False, True], ids=["pipe", "file"])
def test_other_threads_lose_no_line(tmp_path, to_file):
    command = [sys.executable, "-c", THREADS, str(SAMPLE)]
    # Buffered, as Python writes to pipes and files unless told otherwise (see quiet()'s
    # docstring for unbuffered output).
    env = {name: value for name, value in os.environ.items() if name != "PYTHONUNBUFFERED"}
    if to_file:
        with open(tmp_path / "out.txt", "w") as out:
            subprocess.run(command, stdout=out, check=True, timeout=120, env=env)
        text = (tmp_path / "out.txt").read_text()
    else:
        text = subprocess.run(command, capture_output=True, text=True, check=True,
                              timeout=120, env=env).stdout
    # print() writes a text and its line end in two calls, and another thread may write
    # between them, with or without quiet(): a line end may move, nothing else.
    lines = re.findall(r"(print|log|main) (\d+)", text)
    assert re.sub(r"(print|log|main) \d+", "", text).strip("\n") == ""  # nothing else
    assert text.count("\n") == len(lines)
    mains = [int(number) for how, number in lines if how == "main"]
    printed = [(how, int(number)) for how, number in lines if how != "main"]
    assert mains == list(range(300))
    count = len(printed) // 2
    assert count > 0
    assert printed == [(how, line) for line in range(count) for how in ("print", "log")]


FAILED_ENTRY = textwrap.dedent("""
    import os, resource, sys
    import zel_data_reader
    from zel_data_tools import quiet

    data = zel_data_reader.ZelDataFIle(sys.argv[1])
    case = sys.argv[2]
    if case == "closed":
        sys.stdout = sys.stderr  # keep printing somewhere
        os.close(1)
        with quiet():
            data.get_channel_data("gauge", 0, "force")  # no descriptor 1 to write to: fine
        try:
            os.fstat(1)
        except OSError:
            print("descriptor 1 closed again")
        raise SystemExit
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    spare = os.dup(0)  # the lowest free descriptor
    os.close(spare)
    # "dup": no descriptor left for the copy of 1; "open": one left, none for the null device.
    resource.setrlimit(resource.RLIMIT_NOFILE, (spare + (case == "open"), hard))
    try:
        with quiet():
            print("never")
    except OSError as error:
        print("entry failed:", error.strerror)
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    with quiet():
        data.get_channel_data("gauge", 0, "force")  # silenced: the next block works
        print("in the next block")
    os.write(1, b"descriptor 1 restored\\n")
""")


@pytest.mark.parametrize("case", ["dup", "open", "closed"])
def test_a_failed_entry_leaves_no_trace(case):
    run = subprocess.run([sys.executable, "-c", FAILED_ENTRY, str(SAMPLE), case],
                         capture_output=True, text=True, check=True, timeout=60)
    if case == "closed":
        assert run.stderr.splitlines() == ["descriptor 1 closed again"]
    else:
        assert run.stdout.splitlines() == ["entry failed: Too many open files",
                                           "in the next block", "descriptor 1 restored"]
