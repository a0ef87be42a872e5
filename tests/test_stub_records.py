"""The interface records that the module registers at load time, as the stub generator sees them,
and the stub that it writes from them.

The generator (tools/stub_generator.cpp) links the same translation unit of records as the module
and walks the same two lists; it is built here with CMake.
"""

import ast
import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def _find(program):
    # A cmake installed into the environment lies beside its interpreter.
    path = os.pathsep.join([str(pathlib.Path(sys.executable).parent), os.environ.get("PATH", "")])
    return shutil.which(program, path=path)


@pytest.fixture(scope="module")
def generator(tmp_path_factory):
    compilers = [os.environ.get("CXX", ""), "c++", "g++", "clang++"]
    if not any(c and shutil.which(c) for c in compilers):
        pytest.skip("no C++ compiler to build the stub generator with")
    cmake = _find("cmake")
    assert cmake, "cmake is needed to build the stub generator"
    build = tmp_path_factory.mktemp("stub_generator")
    for step in ([cmake, "-S", ROOT / "tools", "-B", build], [cmake, "--build", build]):
        done = subprocess.run(step, capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr
    return build / "stub_generator"


def run(generator, *args):
    return subprocess.run([generator, *args], capture_output=True, text=True)


@pytest.fixture(scope="module")
def records(generator):
    done = run(generator, "--records")
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def type_expr(text, *imports):
    return {"text": text, "imports": sorted(imports)}


TEXT = type_expr("builtins.str", "builtins")
TEXTS = type_expr("builtins.list[builtins.str]", "builtins")
NO_FLAGS = {"has_eq": False, "has_ord": False, "has_hash": False, "has_str": False}


def class_named(records, name):
    (found,) = [c for c in records["classes"] if c["name"] == name]
    return found


def without(record, key):
    # Identifiers differ from build to build; what they tie together is tested on its own.
    return {k: v for k, v in record.items() if k != key}


def test_loading_registers_two_class_records_and_one_methods_record(records):
    assert sorted(c["name"] for c in records["classes"]) == ["ZelDataFIle", "ZelHeader"]
    assert len(records["methods"]) == 1


def test_the_methods_record_belongs_to_the_data_file_class_by_identifier(records):
    (methods,) = records["methods"]
    assert methods["class_id"] == class_named(records, "ZelDataFIle")["id"]
    assert methods["class_id"] != class_named(records, "ZelHeader")["id"]


def test_data_file_class_record(records):
    record = without(class_named(records, "ZelDataFIle"), "id")
    assert record == {
        "name": "ZelDataFIle",
        "module": None,
        "doc": "Main Class for reading Zel data files.",
        "getters": [
            {"name": "location", "type": type_expr("pathlib.Path", "pathlib"), "doc": ""}
        ],
        "setters": [],
        "bases": [],
        **NO_FLAGS,
        "subclass": False,
    }


def test_data_file_methods_record(records):
    (methods,) = records["methods"]
    record = without(methods, "class_id")
    path = type_expr("builtins.str | os.PathLike | pathlib.Path", "builtins", "os", "pathlib")
    array = type_expr("numpy.typing.NDArray[numpy.float64]", "numpy", "numpy.typing")
    assert record == {
        "attrs": [],
        "getters": [{"name": "header", "type": type_expr("typing.Any", "typing"), "doc": ""}],
        "setters": [],
        "methods": [
            {
                "name": "__new__",
                "kind": "constructor",
                "args": [{"name": "location", "type": path}],
                "returns": type_expr("ZelDataFIle"),
                # The class is written "ZelDataFile" here, unlike its name.
                "doc": "Creating a new ZelDataFile, requires the location to where the file is"
                " stored.",
            },
            {
                "name": "get_channel_data",
                "kind": "instance",
                "args": [
                    {"name": "name", "type": TEXT},
                    {"name": "segment", "type": type_expr("builtins.int", "builtins")},
                    {"name": "unit_type", "type": TEXT},
                ],
                "returns": array,
                "doc": "",
            },
            {"name": "get_channels", "kind": "instance", "args": [], "returns": TEXTS, "doc": ""},
            {
                "name": "get_channel_units",
                "kind": "instance",
                "args": [{"name": "channel_name", "type": TEXT}],
                "returns": TEXTS,
                "doc": "",
            },
        ],
        "file": "src/lib",
        "line": 88,
        "column": 1,
    }


def test_header_class_record(records):
    record = without(class_named(records, "ZelHeader"), "id")
    assert record == {
        "name": "ZelHeader",
        "module": None,
        "doc": "",
        "getters": [],
        "setters": [],
        "bases": [],
        **NO_FLAGS,
        "subclass": False,
    }


def write_stub(generator, *exposed):
    done = run(generator, *[arg for name in exposed for arg in ("--expose", name)])
    assert done.returncode == 0, done.stderr
    # Stubs are never run, but tools on the oldest supported Python must parse them.
    return done.stdout, ast.parse(done.stdout, feature_version=(3, 9))


def test_stub_declares_the_exposed_class_as_its_records_describe_it(generator, records):
    text, tree = write_stub(generator, "ZelDataFIle")
    classes = [node for node in tree.body if isinstance(node, ast.ClassDef)]
    assert [c.name for c in classes] == ["ZelDataFIle"]
    (cls,) = classes
    assert [ast.unparse(d) for d in cls.decorator_list] == ["typing.final"]
    assert ast.get_docstring(cls) == "Main Class for reading Zel data files."

    record = class_named(records, "ZelDataFIle")
    (methods,) = records["methods"]
    getters = record["getters"] + methods["getters"]
    constructor, *others = methods["methods"]
    defs = [node for node in cls.body if isinstance(node, ast.FunctionDef)]
    assert [d.name for d in defs] == (
        [constructor["name"]] + [g["name"] for g in getters] + [m["name"] for m in others]
    )
    new, properties, plain = defs[0], defs[1 : 1 + len(getters)], defs[1 + len(getters) :]

    def signature(node):
        params = [(a.arg, a.annotation and ast.unparse(a.annotation)) for a in node.args.args]
        return params, ast.unparse(node.returns)

    def expected(first, method):
        params = [(a["name"], a["type"]["text"]) for a in method["args"]]
        return [(first, None)] + params, method["returns"]["text"]

    assert signature(new) == expected("cls", constructor)
    assert ast.get_docstring(new) == constructor["doc"]
    for node, getter in zip(properties, getters):
        assert [ast.unparse(d) for d in node.decorator_list] == ["property"]
        assert signature(node) == ([("self", None)], getter["type"]["text"])
    for node, method in zip(plain, others):
        assert node.decorator_list == []
        assert signature(node) == expected("self", method)
        assert ast.get_docstring(node) is None

    # Exactly the modules that the annotations name, and typing for the decorator.
    wanted = {"typing"}
    for member in getters + [a for m in methods["methods"] for a in m["args"]]:
        wanted.update(member["type"]["imports"])
    for method in methods["methods"]:
        wanted.update(method["returns"]["imports"])
    imports = [a.name for node in tree.body if isinstance(node, ast.Import) for a in node.names]
    assert sorted(imports) == sorted(wanted)
    assert not [node for node in tree.body if isinstance(node, ast.ImportFrom)]

    assert "__all__ = ['ZelDataFIle']" in [ast.unparse(node) for node in tree.body]
    assert "ZelHeader" not in text


def test_stub_leaves_out_what_the_module_does_not_expose(generator):
    # Which classes are written is the caller's word alone: the header class has a record and
    # appears only when asked for.
    _, tree = write_stub(generator, "ZelHeader", "ZelDataFIle")
    classes = [node.name for node in tree.body if isinstance(node, ast.ClassDef)]
    assert classes == ["ZelDataFIle", "ZelHeader"]


def test_a_name_without_a_class_record_is_an_error(generator):
    done = run(generator, "--expose", "ZelDataFIle", "--expose", "ZelDataFile")
    assert done.returncode != 0
    assert "no class record describes ZelDataFile" in done.stderr
    assert done.stdout == ""
