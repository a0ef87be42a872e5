"""The module and its class as Python sees them: import, class surface, argument binding and
conversion, the borrow guard, and descriptors and references around construction."""

from __future__ import annotations

import copy
import importlib
import inspect
import os
import pathlib
import pickle
import subprocess
import sys
import textwrap
import weakref

import numpy as np
import pytest
from zel_archive import write_zel

import zel_data_reader
from zel_data_reader import ZelDataFIle

Py_TPFLAGS_HEAPTYPE = 1 << 9
Py_TPFLAGS_BASETYPE = 1 << 10
Py_TPFLAGS_HAVE_GC = 1 << 14


@pytest.fixture
def path(tmp_path) -> pathlib.Path:
    return write_zel(tmp_path / "a.zel", "a=1\nb.c=2\n")


@pytest.fixture
def data_file(path) -> ZelDataFIle:
    return ZelDataFIle(path)


class Stop(Exception):
    """Raised by a segment's __index__ to end a call before its work begins."""


class StopIndex:
    def __index__(self):
        raise Stop


def run_python(script: str, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script), *args],
        capture_output=True,
        text=True,
        timeout=60,
        cwd=pathlib.Path(__file__).parent,
    )


# --- The module ----------------------------------------------------------------------------


def test_importing_again_or_reloading_gives_the_same_module():
    module = zel_data_reader
    assert importlib.import_module("zel_data_reader") is module
    assert importlib.reload(module) is module
    del sys.modules["zel_data_reader"]
    try:
        assert importlib.import_module("zel_data_reader") is module
    finally:
        sys.modules["zel_data_reader"] = module
    assert module.__all__ == ["ZelDataFIle"]
    assert module.ZelDataFIle is ZelDataFIle
    assert module.__doc__ is None
    assert [name for name in dir(module) if not name.startswith("_")] == ["ZelDataFIle"]


def test_importing_warns_of_nothing():
    done = run_python(
        """
        import warnings
        warnings.simplefilter("error")
        import zel_data_reader
        import pydoc
        pydoc.render_doc(zel_data_reader)
        print(zel_data_reader.ZelDataFIle.__module__)
        """
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == "zel_data_reader\n" and done.stderr == ""


def test_second_interpreter_gets_import_error():
    done = run_python(
        """
        import os
        import zel_data_reader
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            try:
                import _interpreters as interpreters  # Python 3.13 and newer
            except ImportError:
                print("unavailable")
                raise SystemExit
        # An interpreter that shares the process's settings, as the old embedding API made them.
        for config in ({"isolated": False}, {"config": "legacy"}, {}):
            try:
                interpreter = interpreters.create(**config)
                break
            except (TypeError, ValueError):
                continue
        read, write = os.pipe()
        interpreters.run_string(interpreter, f'''
        import os
        try:
            import zel_data_reader
            outcome = "imported"
        except ImportError as error:
            outcome = "ImportError"
        os.write({write}, outcome.encode())
        ''')
        interpreters.destroy(interpreter)
        print(os.read(read, 100).decode())
        import importlib
        assert importlib.reload(zel_data_reader) is zel_data_reader
        """
    )
    assert done.returncode == 0, done.stderr
    if done.stdout == "unavailable\n":
        pytest.skip("this Python has no subinterpreter module")
    assert done.stdout == "ImportError\n"


# --- The class -----------------------------------------------------------------------------


def test_class_names_flags_and_docstrings():
    cls = ZelDataFIle
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (
        "ZelDataFIle",
        "ZelDataFIle",
        "zel_data_reader",
    )
    assert cls.__bases__ == (object,)
    assert cls.__doc__ == "Main Class for reading Zel data files."
    assert cls.__text_signature__ == "(location)"
    assert str(inspect.signature(cls)) == "(location)"
    assert cls.__flags__ & Py_TPFLAGS_HEAPTYPE
    assert not cls.__flags__ & (Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC)
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    assert cls.__init__ is object.__init__  # no separate initialiser
    assert [name for name in dir(cls) if not name.startswith("_")] == [
        "get_channel_data",
        "get_channel_units",
        "get_channels",
        "header",
        "location",
    ]
    assert not hasattr(cls, "__enter__") and not hasattr(cls, "close")
    signatures = {
        "get_channels": "($self)",
        "get_channel_units": "($self, channel_name)",
        "get_channel_data": "($self, name, segment, unit_type)",
    }
    for name, signature in signatures.items():
        method = getattr(cls, name)
        assert method.__text_signature__ == signature
        assert method.__doc__ is None
    data_parameters = inspect.signature(cls.get_channel_data).parameters.values()
    assert [(p.name, p.kind, p.default) for p in data_parameters][1:] == [
        (name, inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty)
        for name in ("name", "segment", "unit_type")
    ]
    assert cls.location.__doc__ is None and cls.header.__doc__ is None


def test_no_subclasses_weak_references_or_new_attributes(data_file):
    with pytest.raises(TypeError):

        class Sub(ZelDataFIle):
            pass

    with pytest.raises(TypeError):
        weakref.ref(data_file)
    with pytest.raises(AttributeError):
        data_file.extra = 1
    with pytest.raises(AttributeError):
        data_file.__dict__  # noqa: B018
    # No way around the constructor: an instance exists only fully built.
    for copy_of in (copy.copy, copy.deepcopy, pickle.dumps):
        with pytest.raises(TypeError):
            copy_of(data_file)
    for name in ("location", "header"):
        with pytest.raises(AttributeError):
            setattr(data_file, name, pathlib.Path("elsewhere"))
        with pytest.raises(AttributeError):
            delattr(data_file, name)


def test_foreign_receiver_is_refused(data_file):
    for call in (
        lambda: ZelDataFIle.get_channels(object()),
        lambda: ZelDataFIle.get_channel_units("x", "gauge"),
        lambda: ZelDataFIle.get_channel_data(1, "gauge", 0, "volt"),
        lambda: ZelDataFIle.location.__get__(pathlib.Path("a")),
        lambda: ZelDataFIle.header.__get__(object()),
    ):
        with pytest.raises(TypeError):
            call()
    assert ZelDataFIle.location.__get__(data_file) == data_file.location


# --- The constructor and location ----------------------------------------------------------


class PathLike:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


class Text(str):
    pass


@pytest.mark.parametrize(
    "convert",
    [str, pathlib.Path, Text, lambda p: PathLike(str(p))],
    ids=["str", "Path", "str-subclass", "PathLike"],
)
def test_location_is_taken_through_the_path_protocol(path, convert):
    for data_file in (ZelDataFIle(convert(path)), ZelDataFIle(location=convert(path))):
        location = data_file.location
        assert type(location) is type(pathlib.Path(path)) and location == pathlib.Path(path)


def test_location_is_kept_as_given(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write_zel(tmp_path / "r.zel", "a=1\n")
    assert ZelDataFIle("r.zel").location == pathlib.Path("r.zel")
    assert ZelDataFIle("./r.zel").location == pathlib.Path("./r.zel")


@pytest.mark.parametrize(
    "name", ["µ-°C.zel", os.fsdecode(b"caf\xe9-\xff.zel")], ids=["utf-8", "undecodable"]
)
def test_location_round_trips_names_in_any_encoding(tmp_path, name):
    path = write_zel(tmp_path / name, "a=1\n")
    location = ZelDataFIle(str(path)).location
    assert location == path and os.fsencode(location) == os.fsencode(path)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        (("a", "b"), {}),
        ((), {"path": "a"}),
        (("a",), {"location": "a"}),
        ((), {"location": "a", "x": 1}),
    ],
    ids=["missing", "surplus", "unknown-keyword", "twice", "extra-keyword"],
)
def test_constructor_binding_errors(path, args, kwargs):
    args = tuple(str(path) if a == "a" else a for a in args)
    kwargs = {k: str(path) if v == "a" else v for k, v in kwargs.items()}
    with pytest.raises(TypeError) as caught:
        ZelDataFIle(*args, **kwargs)
    assert type(caught.value) is TypeError
    assert "ZelDataFIle.__new__()" in str(caught.value)


@pytest.mark.parametrize(
    "location",
    [b"a.zel", bytearray(b"a.zel"), 3, None, PathLike(b"a.zel"), PathLike(3), [1]],
    ids=["bytes", "bytearray", "int", "None", "fspath-bytes", "fspath-int", "list"],
)
def test_location_of_wrong_type_is_a_type_error_naming_it(location):
    with pytest.raises(TypeError) as caught:
        ZelDataFIle(location)
    assert type(caught.value) is TypeError
    assert "location" in str(caught.value)


def test_type_error_from_fspath_is_renamed_and_keeps_its_cause():
    cause = KeyError("inner cause")

    class Bad:
        def __fspath__(self):
            raise TypeError("no path here") from cause

    with pytest.raises(TypeError) as caught:
        ZelDataFIle(Bad())
    assert "location" in str(caught.value) and "no path here" in str(caught.value)
    assert caught.value.__cause__ is cause


def test_other_errors_from_fspath_pass_unchanged():
    error = ValueError("refused")

    class Bad:
        def __fspath__(self):
            raise error

    with pytest.raises(ValueError) as caught:
        ZelDataFIle(Bad())
    assert caught.value is error


def test_unencodable_and_nul_locations(tmp_path):
    with pytest.raises(UnicodeEncodeError):
        ZelDataFIle(str(tmp_path / "\ud800.zel"))
    # A NUL would cut the name short in the system call and name another file.
    write_zel(tmp_path / "a", "a=1\n")
    with pytest.raises(ValueError):
        ZelDataFIle(str(tmp_path / "a") + "\0.zel")


# --- Method arguments ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("x", 0), {}),
        (("x", 0, "u", 1), {}),
        (("x", 0, "u"), {"segment": 1}),
        (("x", 0), {"unit": "u"}),
        ((), {"name": "x", "segment": 0}),
    ],
    ids=["missing", "surplus", "twice", "unknown-keyword", "keywords-missing"],
)
def test_channel_data_binding_errors(data_file, args, kwargs):
    with pytest.raises(TypeError) as caught:
        data_file.get_channel_data(*args, **kwargs)
    assert type(caught.value) is TypeError
    assert "ZelDataFIle.get_channel_data()" in str(caught.value)


def test_get_channels_takes_no_arguments(data_file):
    for args, kwargs in (((1,), {}), ((), {"x": 1})):
        with pytest.raises(TypeError):
            data_file.get_channels(*args, **kwargs)


def test_all_three_channel_data_arguments_bind_by_keyword(data_file):
    with pytest.raises(Stop):
        data_file.get_channel_data(unit_type="u", segment=StopIndex(), name="x")
    with pytest.raises(Stop):
        data_file.get_channel_data("x", unit_type="u", segment=StopIndex())


class Int(int):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "name, segment, unit_type, exception, names",
    [
        (1, 0, "u", TypeError, "name"),
        (b"x", 1.5, 2, TypeError, "name"),  # arguments convert in order: the first fault counts
        ("x", 1.5, 2, TypeError, "segment"),
        ("x", "1", "u", TypeError, "segment"),
        ("x", None, "u", TypeError, "segment"),
        ("x", np.float64(1.0), "u", TypeError, "segment"),
        ("x", Index(1.0), "u", TypeError, "segment"),
        ("x", 256, "u", OverflowError, None),
        ("x", -1, "u", OverflowError, None),
        ("x", Index(300), "u", OverflowError, None),
        ("x", 2**70, "u", OverflowError, None),
        ("x", -(2**70), "u", OverflowError, None),
        ("x", 0, None, TypeError, "unit_type"),
        ("x\ud800", 0, "u", UnicodeEncodeError, None),
        ("x", 0, "u\udc80", UnicodeEncodeError, None),
    ],
)
def test_channel_data_argument_conversion_errors(
    data_file, name, segment, unit_type, exception, names
):
    with pytest.raises(exception) as caught:
        data_file.get_channel_data(name, segment, unit_type)
    assert type(caught.value) is exception
    if names is not None:
        assert names in str(caught.value)


@pytest.mark.parametrize(
    "segment", [0, 255, True, False, Int(7), Index(200), np.uint8(3), np.int64(255)]
)
def test_integer_like_segments_are_accepted(data_file, segment):
    # A bad unit_type stops the call right after segment has been converted.
    with pytest.raises(TypeError, match="unit_type"):
        data_file.get_channel_data(Text("x"), segment, 1)


def test_type_error_from_index_is_renamed_and_keeps_its_cause(data_file):
    cause = LookupError("why")

    class Bad:
        def __index__(self):
            raise TypeError("not today") from cause

    with pytest.raises(TypeError) as caught:
        data_file.get_channel_data("x", Bad(), "u")
    assert "segment" in str(caught.value) and "not today" in str(caught.value)
    assert caught.value.__cause__ is cause


# --- Borrows -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "inner, message",
    [
        (lambda f: f.get_channels(), "Already mutably borrowed"),
        (lambda f: f.get_channel_units("x"), "Already mutably borrowed"),
        (lambda f: f.location, "Already mutably borrowed"),
        (lambda f: f.header, "Already mutably borrowed"),
        (lambda f: f.get_channel_data("x", 0, "u"), "Already borrowed"),
    ],
    ids=["get_channels", "get_channel_units", "location", "header", "get_channel_data"],
)
def test_calls_from_inside_channel_data_meet_its_exclusive_borrow(data_file, inner, message):
    seen = []

    class Reentrant:
        def __index__(self):
            for _ in range(2):  # a refused call changes nothing
                with pytest.raises(RuntimeError) as caught:
                    inner(data_file)
                assert type(caught.value) is RuntimeError and caught.value.args == (message,)
            seen.append(caught.value)
            raise caught.value

    with pytest.raises(RuntimeError) as outer:
        data_file.get_channel_data("x", Reentrant(), "u")
    assert outer.value is seen[0]  # not rewrapped: it is no TypeError
    # Every borrow has been released.
    assert data_file.header == {"a": "1", "b": {"c": "2"}}
    with pytest.raises(Stop):
        data_file.get_channel_data("x", StopIndex(), "u")


def test_objects_do_not_share_borrows(path, data_file):
    other = ZelDataFIle(path)
    seen = []

    class UsesOther:
        def __index__(self):
            seen.append(other.location)
            with pytest.raises(Stop):
                other.get_channel_data("x", StopIndex(), "u")
            raise Stop

    with pytest.raises(Stop):
        data_file.get_channel_data("x", UsesOther(), "u")
    assert seen == [pathlib.Path(path)]


def test_shared_borrows_nest_and_refuse_an_exclusive_one(path):
    # The location getter holds a shared borrow while it calls pathlib's Path, which it takes
    # from pathlib on first use.
    done = run_python(
        """
        import pathlib, sys
        from zel_data_reader import ZelDataFIle

        data_file = ZelDataFIle(sys.argv[1])
        # Path() picks its concrete class by comparing itself with pathlib.Path.
        real, entered, seen = type(pathlib.Path()), [], []

        def hook(text):
            if not entered:
                entered.append(text)
                seen.append(data_file.location == real(sys.argv[1]))
                seen.append(data_file.header == {"a": "1", "b": {"c": "2"}})
                try:
                    data_file.get_channel_data("x", 0, "u")
                except RuntimeError as error:
                    seen.append(str(error))
            return real(text)

        pathlib.Path = hook
        seen.append(data_file.location == real(sys.argv[1]))
        print(seen)
        """,
        str(path),
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == "[True, True, 'Already borrowed', True]\n"


# --- Descriptors and references ------------------------------------------------------------


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def attempt(call, times: int = 50) -> None:
    for _ in range(times):
        try:
            call()
        except Exception:
            pass


def failing_paths(tmp_path) -> dict[str, pathlib.Path]:
    (tmp_path / "text.zel").write_text("no archive\n")
    (tmp_path / "directory").mkdir()
    bad_crc = bytearray((write_zel(tmp_path / "crc.zel", "a=1\n")).read_bytes())
    bad_crc[bad_crc.rfind(b"PK\x01\x02") + 16] ^= 1  # the central record's CRC-32
    (tmp_path / "crc.zel").write_bytes(bytes(bad_crc))
    return {
        "missing": tmp_path / "missing.zel",
        "directory": tmp_path / "directory",
        "not-zip": tmp_path / "text.zel",
        "crc": tmp_path / "crc.zel",
        "no-header": write_zel(tmp_path / "none.zel", None, [("x", b"1")]),
        "bad-line": write_zel(tmp_path / "line.zel", "no equals\n"),
        "bad-utf8": write_zel(tmp_path / "utf8.zel", b"a=\xff\n"),
    }


def test_failed_construction_leaves_no_descriptor_open(tmp_path):
    for name, path in failing_paths(tmp_path).items():
        with pytest.raises(OSError):
            ZelDataFIle(path)
        before = open_descriptors()
        attempt(lambda path=path: ZelDataFIle(path))
        assert open_descriptors() == before, name


def test_each_object_holds_one_descriptor_until_it_is_dropped(path):
    ZelDataFIle(path)
    before = open_descriptors()
    objects = [ZelDataFIle(path) for _ in range(20)]
    assert open_descriptors() == before + 20
    objects.pop()
    assert open_descriptors() == before + 19
    del objects
    assert open_descriptors() == before
    attempt(lambda: ZelDataFIle(path).location, 200)
    assert open_descriptors() == before


def test_construction_and_calls_leak_no_references(tmp_path, path):
    text = str(path)
    like = PathLike(text)
    cause = KeyError("cause")

    class BadPath:
        def __fspath__(self):
            raise TypeError("bad") from cause

    bad_path = BadPath()
    bad_index = Index(1.5)
    data_file = ZelDataFIle(path)
    calls = [
        lambda: ZelDataFIle(text),
        lambda: ZelDataFIle(like),
        lambda: ZelDataFIle(location=text),
        lambda: ZelDataFIle(bad_path),
        lambda: data_file.location,
        lambda: data_file.get_channel_data(text, bad_index, text),
        lambda: data_file.get_channel_data(text, 300, text),
        lambda: data_file.get_channel_data(name=text, segment=0, unit_type=bad_index),
    ] + [lambda p=p: ZelDataFIle(p) for p in failing_paths(tmp_path).values()]
    watched = [ZelDataFIle, text, like, cause, bad_path, bad_index, pathlib.Path, data_file]
    for call in calls:
        attempt(call, 1)
    before = [sys.getrefcount(o) for o in watched]
    for call in calls:
        attempt(call, 100)
    assert [sys.getrefcount(o) for o in watched] == before
