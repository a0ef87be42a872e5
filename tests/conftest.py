import pathlib
import sys

# Test modules import the archive builders as `from zel_archive import ...`; this keeps that
# working whatever pytest's import mode.
_TESTS = str(pathlib.Path(__file__).resolve().parent)
if _TESTS not in sys.path:
    sys.path.insert(0, _TESTS)
