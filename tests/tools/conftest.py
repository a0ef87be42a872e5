"""Fixtures for the zel_data_tools tests: the bundled sample, small archives, the zel command.

The tools are tested as installed: their sources lie in python/, which is on no path, so the
repository's root cannot shadow the installed package.
"""

import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]

SAMPLE = ROOT / "examples" / "sample.zel"


def zel_command() -> list[str]:
    """The installed console script, else the same through python -m."""
    script = Path(sys.executable).with_name("zel")
    return [str(script)] if script.exists() else [sys.executable, "-m", "zel_data_tools"]


@pytest.fixture
def run_zel(tmp_path):
    """Runs the zel command as a user would, in an empty folder; returns the finished run."""

    def run(*args, command=None):
        return subprocess.run([*(command or zel_command()), *map(str, args)],
                              capture_output=True, text=True, cwd=tmp_path, timeout=300)

    return run


@pytest.fixture
def sample(tmp_path) -> Path:
    """A copy of the bundled sample file: 8 x 8 grid, segments 0 and 1, four channels."""
    return Path(shutil.copy(SAMPLE, tmp_path / "sample.zel"))


def grid_values(side: int, seed: int) -> np.ndarray:
    """(side, side, 100) float32-exact values that differ from seed to seed."""
    rng = np.random.default_rng(seed)
    return rng.normal(0.0, 10.0, (side, side, 100)).astype(np.float32).astype(np.float64)
