"""quiet(): silence the module's diagnostic lines on file descriptor 1."""

from __future__ import annotations

import contextlib
import io
import os
import sys
import threading
from collections.abc import Iterator

_lock = threading.Lock()
_depth = 0
_saved_fd = -1  # the descriptor that fd 1 pointed to before the outermost block
_saved_stdout: object = None  # sys.stdout before the outermost block, when it was swapped


def _stdout_is_fd1() -> bool:
    try:
        return sys.stdout is not None and sys.stdout.fileno() == 1
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        return False


def _enter() -> None:
    global _depth, _saved_fd, _saved_stdout
    with _lock:
        _depth += 1
        if _depth > 1:
            return
        swap = _stdout_is_fd1()
        if sys.stdout is not None:
            sys.stdout.flush()
        saved = os.dup(1)
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            try:
                os.dup2(devnull, 1)
            finally:
                os.close(devnull)
            if swap:
                # The caller's prints keep going where fd 1 went: a text stream of the same
                # kind on the saved descriptor.
                old = sys.stdout
                sys.stdout = open(  # noqa: SIM115 (closed when the block ends)
                    saved,
                    "w",
                    encoding=getattr(old, "encoding", None) or "utf-8",
                    errors=getattr(old, "errors", None) or "strict",
                    newline=None,
                    closefd=False,
                    buffering=1 if getattr(old, "line_buffering", False) else -1,
                )
                _saved_stdout = old
        except BaseException:
            os.dup2(saved, 1)
            os.close(saved)
            _depth -= 1
            raise
        _saved_fd = saved


def _exit() -> None:
    global _depth, _saved_fd, _saved_stdout
    with _lock:
        _depth -= 1
        if _depth > 0:
            return
        try:
            if _saved_stdout is not None:
                swapped, sys.stdout = sys.stdout, _saved_stdout
                _saved_stdout = None
                try:
                    swapped.flush()
                finally:
                    swapped.close()
            elif sys.stdout is not None:
                sys.stdout.flush()
        finally:
            os.dup2(_saved_fd, 1)
            os.close(_saved_fd)
            _saved_fd = -1


@contextlib.contextmanager
def quiet() -> Iterator[None]:
    """Silences zel_data_reader's diagnostic lines for the duration of a ``with`` block.

    The module writes a line to the process's file descriptor 1 when it converts through a
    chain of units and when it reads channel data, bypassing ``sys.stdout``. Inside the
    block, descriptor 1 points to the null device; ``sys.stdout`` is flushed first and, when
    it writes to descriptor 1, replaced for the block by a stream on a duplicate of the
    original descriptor, so that the caller's own ``print`` output still reaches the
    terminal, file or pipe it reached before.

    This acts on the whole process, not on one thread: anything else that writes to
    descriptor 1 meanwhile (other threads, C libraries, child processes started in the
    block) is silenced too. Blocks may be nested and may overlap between threads: the
    descriptor is restored when the last of them ends.

        >>> from zel_data_tools import quiet
        >>> with quiet():
        ...     values = data.get_channel_data("gauge", 0, "force")
    """
    _enter()
    try:
        yield
    finally:
        _exit()
