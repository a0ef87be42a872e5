"""The README's first command and its Python example do what the README says."""

import re
import subprocess
import sys

import pytest

from conftest import ROOT


def test_the_first_command_shows_the_sample_and_says_where_the_picture_went(tmp_path):
    if not (ROOT / ".venv" / "bin" / "zel").exists():
        pytest.skip("examples/show_sample.sh runs the zel of .venv, which is not installed")
    pytest.importorskip("matplotlib")
    picture = tmp_path / "sample.png"
    run = subprocess.run(["bash", str(ROOT / "examples" / "show_sample.sh"), str(picture)],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("file      examples/sample.zel\nmembers   513\n")
    assert f"The picture is at {picture}" in run.stdout
    assert picture.read_bytes().startswith(b"\x89PNG")


def test_the_python_example_runs():
    readme = (ROOT / "README.md").read_text()
    example = re.search(r"## In Python\n\n```python\n(.*?)```", readme, re.S).group(1)
    assert len(example.strip().splitlines()) == 5
    # Run where the README runs it, the repository's root: the installed package is imported
    # there as anywhere else.
    run = subprocess.run([sys.executable, "-c", example], capture_output=True, text=True,
                         cwd=ROOT, timeout=60)
    assert run.returncode == 0, run.stderr
    # quiet() kept the module's lines out: only the example's own print remains.
    assert run.stdout == ("['gauge', 'height', 'phase', 'temperature'] "
                          "['force', 'millivolt']\n")


def test_the_tools_example_runs_and_lists_the_base_unit():
    readme = (ROOT / "README.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", readme, re.DOTALL)
    example = next(block for block in blocks if "zel_data_tools.open(" in block)
    run = subprocess.run([sys.executable, "-c", example], capture_output=True, text=True,
                         cwd=ROOT, timeout=60, check=False)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "('force', 'millivolt', 'volt') 8\n"


def test_the_format_pages_worked_example_is_what_the_module_reads(capfd):
    import zel_data_reader

    text = (ROOT / "docs" / "format.md").read_text()
    data = zel_data_reader.ZelDataFIle(str(ROOT / "examples" / "sample.zel"))
    capfd.readouterr()
    firsts = [data.get_channel_data(channel, 0, unit)[0, 0, 0] for channel, unit in (
        ("gauge", "volt"), ("gauge", "millivolt"), ("gauge", "force"),
        ("temperature", "celsius"))]
    for value in firsts:
        assert repr(float(value)) in text, value
    lines = capfd.readouterr().out.splitlines()
    # The diagnostic lines the page explains are the ones the module wrote.
    assert lines[1:3] == ["-1.25,1000.4", "2.26092529296875"]
    assert "`-1.25,1000.4`" in text and "`2.26092529296875`" in text
    assert "(docs/format.md)" in (ROOT / "README.md").read_text()
