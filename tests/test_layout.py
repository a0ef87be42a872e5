"""The rooms of src/ include one another one way only, and only src/python touches Python."""

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SRC = ROOT / "src"


def room_graph() -> dict[str, set[str]]:
    """Which rooms each room may include, besides itself: what the build links it with, and
    what those link with in turn, as cmake/rooms.cmake and CMakeLists.txt declare it."""
    uses = {name: set(used.split()) for name, used in
            re.findall(r"^zel_room\((\w+)(?: USES ([\w ]+))?\)", (ROOT / "cmake" / "rooms.cmake")
                       .read_text(), re.MULTILINE)}
    linked = re.search(r"target_link_libraries\(zel_data_reader PRIVATE ([^)]*)\)",
                       (ROOT / "CMakeLists.txt").read_text())
    assert linked is not None
    uses["python"] = {name[len("zel_"):] for name in linked.group(1).split()
                      if name.startswith("zel_")}
    allowed = {}
    for room in uses:
        reached, pending = set(), list(uses[room])
        while pending:
            used = pending.pop()
            if used not in reached:
                reached.add(used)
                pending.extend(uses.get(used, ()))
        allowed[room] = reached
    return allowed


ALLOWED = room_graph()
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
