"""quiet(): silence the module's diagnostic lines on file descriptor 1.

The module writes its lines to descriptor 1 itself, so the only way to silence them is to
point descriptor 1 at the null device for a while. What Python code prints meanwhile must not
go there: the text streams that write to descriptor 1 (sys.stdout, and the streams of
logging handlers) are taken out of the way for the block by stand-ins that write, in order,
to a duplicate of the original descriptor.

The order of the steps is what keeps every line:

  entry   1. duplicate descriptor 1 ("saved") and open the null device; nothing changed yet
          2. put stand-ins in place of the streams; until step 3 they pass everything to the
             stream they replace, which still writes to descriptor 1; a replaced stream that
             wrote through or by lines keeps what it is given in its buffer until the end of
             the block (a print() begun on it before the block may still be writing to it)
          3. under the switch lock, which every stand-in's write takes: flush the replaced
             streams, route the stand-ins to "saved", point descriptor 1 at the null device
  exit    1. under the switch lock: flush the stand-ins' output to "saved", point descriptor 1
             back at the original, route the stand-ins back to the streams they replaced
          2. put the original streams back as they were, close "saved"

A stand-in that someone still holds after the block keeps working: it writes to the stream it
replaced, and during a later block to that block's duplicate. Stand-ins are made once per
replaced stream and kept for the life of the process.
"""

from __future__ import annotations

import contextlib
import errno
import io
import logging
import os
import sys
import threading
from collections.abc import Iterator
from typing import Any, TextIO

_state_lock = threading.Lock()  # the depth and the redirection below
_switch = threading.RLock()  # held while the stand-ins' routes change and by their writes
_depth = 0
_redirection: _Redirection | None = None
# While a block is active: (replaced stream, its writer on the saved descriptor) pairs.
_routes: list[tuple[Any, TextIO]] = []


class _StandIn(io.TextIOBase):
    """Takes the place of a text stream on descriptor 1 during quiet() blocks.

    It passes on whole lines: print() writes its text and its line end in two calls, and a
    thread may be interrupted between them, so each thread's unfinished line waits here for
    its end (or for a flush), and lines of different threads never run into each other.
    """

    def __init__(self, replaced: Any) -> None:
        super().__init__()
        self._replaced = replaced
        self._unfinished: dict[int, str] = {}  # thread -> the start of its current line

    def _target(self) -> Any:
        for replaced, writer in _routes:
            if replaced is self._replaced:
                return writer
        return self._replaced

    def write(self, text: str) -> int:
        if not isinstance(text, str):
            raise TypeError(f"write() argument must be str, not {type(text).__name__}")
        with _switch:
            thread = threading.get_ident()
            pending = self._unfinished.pop(thread, "") + text
            end = pending.rfind("\n") + 1
            if end:
                self._target().write(pending[:end])
            if end < len(pending):
                self._unfinished[thread] = pending[end:]
        return len(text)

    def flush(self) -> None:
        with _switch:
            target = self._target()
            start = self._unfinished.pop(threading.get_ident(), "")
            if start:
                target.write(start)
            target.flush()

    def _pass_on_unfinished(self) -> None:
        """Writes every thread's unfinished line (the block ends: nothing may stay behind)."""
        with _switch:
            target = self._target()
            for thread in list(self._unfinished):
                target.write(self._unfinished.pop(thread))

    def writable(self) -> bool:
        return True

    def fileno(self) -> int:
        number: int = self._replaced.fileno()
        return number

    def isatty(self) -> bool:
        return bool(self._replaced.isatty())

    @property
    def encoding(self) -> Any:  # type: ignore[override]
        return self._replaced.encoding

    @property
    def errors(self) -> Any:  # type: ignore[override]
        return self._replaced.errors

    @property
    def buffer(self) -> Any:
        return self._target().buffer

    def __getattr__(self, name: str) -> Any:
        if name == "_replaced":  # not set yet (copy, pickle): no recursion
            raise AttributeError(name)
        return getattr(self._replaced, name)


# Every stand-in ever made, one per stream replaced, kept for the life of the process: print()
# holds no reference of its own to sys.stdout while it writes (CPython before 3.13), so a
# stand-in freed when the block ends would crash a thread printing through it.
_stand_ins: list[_StandIn] = []


def _stand_in_for(replaced: Any) -> _StandIn:
    for stand_in in _stand_ins:
        if stand_in._replaced is replaced:
            return stand_in
    stand_in = _StandIn(replaced)
    _stand_ins.append(stand_in)
    return stand_in


def _on_fd1(stream: Any) -> bool:
    try:
        return stream is not None and stream.fileno() == 1
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        return False


def _stream_handlers() -> list[logging.StreamHandler[Any]]:
    loggers: list[Any] = [logging.getLogger(), *list(logging.Logger.manager.loggerDict.values())]
    found: dict[int, logging.StreamHandler[Any]] = {}
    for logger in loggers:
        for handler in list(getattr(logger, "handlers", ())):
            if isinstance(handler, logging.StreamHandler) and _on_fd1(handler.stream):
                found[id(handler)] = handler
    return list(found.values())


def _root(stream: Any) -> Any:
    return stream._replaced if isinstance(stream, _StandIn) else stream


def _writer(replaced: Any, saved: int) -> TextIO:
    """A text stream on the saved descriptor that writes as `replaced` does."""
    writer = open(  # noqa: SIM115 (closed when the block ends)
        saved, "w", closefd=False,
        encoding=getattr(replaced, "encoding", None) or "utf-8",
        errors=getattr(replaced, "errors", None) or "strict")
    writer.reconfigure(line_buffering=bool(getattr(replaced, "line_buffering", False)),
                       write_through=bool(getattr(replaced, "write_through", False)))
    return writer


class _Redirection:
    """One outermost block's state: the saved descriptor and what was put in place."""

    def __init__(self) -> None:
        self.saved = -1  # a duplicate of descriptor 1; -1 when descriptor 1 was closed
        self.routes: list[tuple[Any, TextIO]] = []
        self.stdout: _StandIn | None = None
        self.handlers: list[tuple[logging.StreamHandler[Any], _StandIn]] = []
        self.stdout_replaced: Any = None
        # Replaced streams that wrote through or by lines: (stream, line_buffering, through).
        self.buffering: list[tuple[Any, bool, bool]] = []

    def enter(self) -> None:
        sys_stdout = sys.stdout
        if sys_stdout is not None:
            sys_stdout.flush()
        try:
            self.saved = os.dup(1)
        except OSError as error:
            if error.errno != errno.EBADF:
                raise
            self.saved = -1  # closed: during the block it is the null device, then closed again
        devnull = -1
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            if self.saved >= 0:
                self._prepare(sys_stdout)
            with _switch:
                for replaced, _ in self.routes:
                    replaced.flush()
                _routes.extend(self.routes)
                try:
                    if devnull != 1:
                        os.dup2(devnull, 1)
                except BaseException:
                    del _routes[len(_routes) - len(self.routes):]
                    raise
        except BaseException:
            self._put_back()
            if self.saved >= 0:
                os.close(self.saved)
            if devnull >= 0 and devnull != 1:
                os.close(devnull)
            raise
        if devnull != 1:
            os.close(devnull)

    def _prepare(self, sys_stdout: Any) -> None:
        """Writers on the saved descriptor and stand-ins in place (they pass through for now)."""
        streams = [sys_stdout] if _on_fd1(sys_stdout) else []
        handlers = _stream_handlers()
        streams += [handler.stream for handler in handlers]
        for stream in streams:
            replaced = _root(stream)
            if not any(replaced is known for known, _ in self.routes):
                self.routes.append((replaced, _writer(replaced, self.saved)))
        for replaced, _ in self.routes:
            # A thread may be in the middle of a print() to a replaced stream when the block
            # begins: what it writes after that waits in the stream's buffer until the end of
            # the block instead of going to the null device.
            line = bool(getattr(replaced, "line_buffering", False))
            through = bool(getattr(replaced, "write_through", False))
            if (line or through) and hasattr(replaced, "reconfigure"):
                replaced.reconfigure(line_buffering=False, write_through=False)
                self.buffering.append((replaced, line, through))
        if _on_fd1(sys_stdout) and not isinstance(sys_stdout, _StandIn):
            self.stdout, self.stdout_replaced = _stand_in_for(sys_stdout), sys_stdout
            sys.stdout = self.stdout
        for handler in handlers:
            if not isinstance(handler.stream, _StandIn):
                stand_in = _stand_in_for(handler.stream)
                handler.setStream(stand_in)
                self.handlers.append((handler, stand_in))

    def exit(self) -> None:
        try:
            with _switch:
                try:
                    for stand_in in _stand_ins:
                        with contextlib.suppress(OSError, ValueError):
                            stand_in._pass_on_unfinished()
                    for _, writer in self.routes:
                        with contextlib.suppress(OSError, ValueError):
                            writer.flush()
                finally:
                    if self.saved >= 0:
                        os.dup2(self.saved, 1)
                    else:
                        os.close(1)
                    del _routes[:]
                    for replaced, _ in self.routes:
                        # What was written to a replaced stream itself during the block, by
                        # someone who held it, goes out now if it is still in its buffer.
                        with contextlib.suppress(OSError, ValueError):
                            replaced.flush()
        finally:
            self._put_back()
            if self.saved >= 0:
                os.close(self.saved)

    def _put_back(self) -> None:
        if self.stdout is not None and sys.stdout is self.stdout:
            sys.stdout = self.stdout_replaced
        for handler, stand_in in self.handlers:
            if handler.stream is stand_in:
                handler.setStream(stand_in._replaced)
        for _, writer in self.routes:
            with contextlib.suppress(OSError, ValueError):
                writer.close()
        self.routes = []
        for replaced, line, through in self.buffering:
            with contextlib.suppress(OSError, ValueError):
                replaced.reconfigure(line_buffering=line, write_through=through)
        self.buffering = []


def _enter() -> None:
    global _depth, _redirection
    with _state_lock:
        if _depth == 0:
            redirection = _Redirection()
            redirection.enter()  # raises with nothing changed
            _redirection = redirection
        _depth += 1


def _exit() -> None:
    global _depth, _redirection
    with _state_lock:
        _depth -= 1
        if _depth > 0:
            return
        redirection, _redirection = _redirection, None
        if redirection is not None:
            redirection.exit()


@contextlib.contextmanager
def quiet() -> Iterator[None]:
    """Silences zel_data_reader's diagnostic lines for the duration of a ``with`` block.

    The module writes a line to the process's file descriptor 1 when it converts through a
    chain of units and when it reads channel data, bypassing ``sys.stdout``. Inside the
    block, descriptor 1 points to the null device, while what Python code prints keeps going
    where it went before, in order and from every thread: ``sys.stdout`` and the streams of
    ``logging`` handlers that wrote to descriptor 1 are replaced for the block by stand-ins
    that write to a duplicate of the original descriptor. (The tools' own reader,
    ``zel_data_tools.open``, writes nothing to descriptor 1 and needs no quiet().)

    What it cannot do: it acts on the whole process, on the descriptor, so whatever else
    writes to descriptor 1 meanwhile is silenced too: C libraries, child processes started
    in the block, ``os.write(1, ...)``, and writes to an original ``sys.stdout`` object (or
    ``sys.__stdout__``) that some code kept a reference to, other than logging handlers,
    when its buffer is flushed before the block ends. With unbuffered output (``python -u``,
    PYTHONUNBUFFERED) a write that another thread had already begun on the original stream
    when the block starts, and that reaches the system only after it, is silenced as well;
    buffered output, Python's default for pipes and files, keeps it.

    Blocks may be nested and may overlap between threads: the descriptor is restored when
    the last of them ends. When entering fails (no descriptor left, for example) the
    OSError is raised and nothing has changed.

        >>> from zel_data_tools import quiet
        >>> with quiet():
        ...     values = data.get_channel_data("gauge", 0, "force")
    """
    _enter()
    try:
        yield
    finally:
        _exit()
