"""The rooms of src/ include one another one way only, and only src/python touches Python."""

import re
from pathlib import Path

SRC = Path(__file__).resolve().parent.parent / "src"

# Which rooms each room may include, besides itself.
ALLOWED = {
    "error": set(),
    "output": set(),
    "header": {"error", "output"},
    "archive": {"error"},
    "reader": {"archive", "header", "output", "error"},
    "python": {"reader", "archive", "header", "output", "error"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+([<"])([^">]+)[">]', re.MULTILINE)


def sources():
    return sorted(p for p in SRC.rglob("*") if p.suffix in {".cpp", ".hpp"})


def test_every_source_lies_in_a_known_room():
    rooms = {p.relative_to(SRC).parts[0] for p in sources()}
    assert rooms == set(ALLOWED)


def test_includes_run_downwards_and_only_python_touches_python():
    wrong = []
    for path in sources():
        room = path.relative_to(SRC).parts[0]
        for bracket, target in INCLUDE.findall(path.read_text()):
            used = target.split("/")[0]
            if bracket == '"' and used != room and used not in ALLOWED[room]:
                wrong.append(f"{path.relative_to(SRC)} includes {target}")
            if bracket == "<" and room != "python" and re.match(r"(Python|numpy/)", target):
                wrong.append(f"{path.relative_to(SRC)} includes <{target}>")
    assert wrong == []
