"""Files the zel command writes: complete, or not written at all.

Every output is written to a temporary file in its destination's folder, flushed to disk, and
only then renamed over the destination. Several outputs of one command are renamed together
once all of them are complete; when anything fails (a read, a full disk, Ctrl-C) the
temporary files are removed and what stood at the destinations stays as it was.
"""

from __future__ import annotations

import contextlib
import os
import secrets
import signal
import stat
import tempfile
import threading
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import BinaryIO, final

from ._errors import ZelFileError

# Characters a name taken from a file keeps in a file name; every other character becomes
# %XX for each byte of its UTF-8 encoding, "%" itself included, so that the mapping is
# reversible and two different names never give the same file name.
_SAFE_PUNCTUATION = frozenset("-_.+=@,")


class OutputError(OSError):
    """An output that cannot be written: ``str()`` gives ``"PATH: message"``."""

    def __init__(self, path: str, message: str) -> None:
        super().__init__(message)
        self.filename = path
        self.message = message

    def __str__(self) -> str:
        return f"{self.filename}: {self.message}"


def safe_name(name: str) -> str:
    """`name` (a channel's name, say) as one path component that stays in its folder.

    Letters, digits and ``- _ . + = @ ,`` stay as they are; any other character (``/``,
    NUL, control characters, blanks, ``%``) becomes ``%XX`` for each byte of its UTF-8
    encoding, and so does a leading ``.``: the result is never ``.``, ``..`` or a hidden
    file, holds no ``/``, and differs for different names. The empty name becomes ``%``.
    """
    if not name:
        return "%"
    parts: list[str] = []
    for index, char in enumerate(name):
        keep = (char.isalnum() and char.isprintable()) or (char in _SAFE_PUNCTUATION)
        if keep and not (index == 0 and char == "."):
            parts.append(char)
        else:
            parts.extend(f"%{byte:02X}" for byte in char.encode("utf-8", "surrogatepass"))
    return "".join(parts)


def _identity(status: os.stat_result) -> tuple[int, int]:
    return status.st_dev, status.st_ino


def destination(path: str, inputs: Iterable[tuple[int, int]] = ()) -> str:
    """The file to write for the output `path`, checked before any work is done.

    A symbolic link is followed, so that its target is replaced and the link kept. Fails in
    plain words when the folder is missing, when `path` is a folder, and when it is one of
    the `inputs` (given as (device, inode): names can differ for the same file).
    """
    target = os.path.realpath(path) if os.path.islink(path) else path
    folder = os.path.dirname(target) or os.curdir
    if not os.path.isdir(folder):
        if os.path.lexists(folder):
            raise OutputError(path, f"cannot write: {folder} is not a folder")
        raise OutputError(path, f"cannot write: there is no folder {folder}")
    try:
        status = os.stat(target)
    except FileNotFoundError:
        return target
    except OSError as error:
        raise OutputError(path, f"cannot write: {error.strerror or error}") from None
    if stat.S_ISDIR(status.st_mode):
        raise OutputError(path, "is a folder; give the name of a file to write")
    if _identity(status) in set(inputs):
        raise OutputError(path, "is the file being read; write the output to another file")
    return target


@dataclass
class _Staged:
    destination: str  # what the user named, as errors show it
    target: str  # the file replaced in the end (a link's target)
    temporary: str
    stream: BinaryIO | None  # None once closed, or for writers that take a name


@final
class Outputs:
    """Outputs written beside their destinations and put in place together.

        with Outputs(inputs=[(dev, ino)]) as outputs:
            with outputs.file("a.npy") as stream:
                stream.write(...)
            netcdf_path = outputs.path("b.nc")    # for writers that open a name themselves
            write_netcdf(netcdf_path)
        # here both are in place; after an exception neither is, and no temporary is left

    An OSError raised while an output is written (other than an error about the data file
    being read) becomes an OutputError naming that output.
    """

    def __init__(self, inputs: Iterable[tuple[int, int]] = ()) -> None:
        self._inputs = tuple(inputs)
        self._staged: list[_Staged] = []

    def __enter__(self) -> Outputs:
        return self

    def __exit__(self, kind: object, error: object, trace: object) -> None:
        if error is None:
            self._commit()
        else:
            self._discard()

    def check(self, path: str) -> None:
        """Fails now, before any work, when `path` cannot be written (see destination)."""
        destination(path, self._inputs)

    def _stage(self, path: str) -> _Staged:
        target = destination(path, self._inputs)
        folder, base = os.path.split(target)
        # Ctrl-C lands before the temporary file exists or after it is listed for discarding,
        # never in between, where it would be left behind.
        with _signals_held():
            try:
                handle, temporary = tempfile.mkstemp(prefix=f".{_stem(base)}.", suffix=".part",
                                                     dir=folder or os.curdir)
            except OSError as error:
                raise OutputError(path, f"cannot write: {error.strerror or error}") from None
            staged = _Staged(path, target, temporary, os.fdopen(handle, "wb"))
            self._staged.append(staged)
        return staged

    @contextlib.contextmanager
    def file(self, path: str) -> Iterator[BinaryIO]:
        """A binary stream whose bytes become `path` when every output is complete."""
        staged = self._stage(path)
        assert staged.stream is not None
        with self.writing(path):
            yield staged.stream

    def path(self, path: str) -> str:
        """The name of a temporary file that becomes `path`, for writers that open a name."""
        staged = self._stage(path)
        assert staged.stream is not None
        staged.stream.close()
        staged.stream = None
        return staged.temporary

    @contextlib.contextmanager
    def writing(self, path: str) -> Iterator[None]:
        """Errors of the system while `path` is written are errors about `path`."""
        try:
            yield
        except (ZelFileError, OutputError):
            raise
        except OSError as error:
            raise OutputError(path, f"cannot write: {error.strerror or error}") from None

    # --- the end --------------------------------------------------------------------------

    def _commit(self) -> None:
        try:
            for staged in self._staged:
                with self.writing(staged.destination):
                    _flush_to_disk(staged)
                    os.chmod(staged.temporary, _mode(staged.target))
        except BaseException:
            self._discard()
            raise
        with _signals_held():
            self._replace_all()
        for folder in {os.path.dirname(s.target) or os.curdir for s in self._staged}:
            _sync_folder(folder)

    def _replace_all(self) -> None:
        """Renames every temporary file over its destination, or, when one rename fails,
        puts back what the earlier renames replaced."""
        done: list[tuple[_Staged, str | None]] = []
        try:
            for staged in self._staged:
                backup = _backup(staged.target)
                try:
                    os.replace(staged.temporary, staged.target)
                except OSError as error:
                    if backup is not None:
                        os.unlink(backup)
                    raise OutputError(staged.destination,
                                      f"cannot write: {error.strerror or error}") from None
                done.append((staged, backup))
        except BaseException:
            for staged, backup in reversed(done):
                with contextlib.suppress(OSError):
                    if backup is None:
                        os.unlink(staged.target)
                    else:
                        os.replace(backup, staged.target)
            self._discard()
            raise
        for _, backup in done:
            if backup is not None:
                with contextlib.suppress(OSError):
                    os.unlink(backup)

    def _discard(self) -> None:
        for staged in self._staged:
            if staged.stream is not None:
                with contextlib.suppress(OSError):
                    staged.stream.close()
                staged.stream = None
            with contextlib.suppress(OSError):
                os.unlink(staged.temporary)
        self._staged.clear()


def _flush_to_disk(staged: _Staged) -> None:
    if staged.stream is not None:
        staged.stream.flush()
        os.fsync(staged.stream.fileno())
        staged.stream.close()
        staged.stream = None
    else:
        handle = os.open(staged.temporary, os.O_RDONLY)
        try:
            os.fsync(handle)
        finally:
            os.close(handle)


def _mode(target: str) -> int:
    """The permissions of the file being replaced, else those a new file gets (umask)."""
    try:
        return stat.S_IMODE(os.stat(target).st_mode)
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


def _stem(base: str, limit: int = 80) -> str:
    """The start of `base`, whole characters, that takes at most `limit` bytes on disk: the
    names made from it fit the file system's limit (255 bytes) whatever the characters."""
    size = 0
    for end, char in enumerate(base):
        size += len(os.fsencode(char))
        if size > limit:
            return base[:end]
    return base


def _backup(target: str) -> str | None:
    """A second name (hard link) for the file at `target`, to put it back if a later rename
    fails; None when there is no file there or the file system has no hard links."""
    if not os.path.lexists(target):
        return None
    folder, base = os.path.split(target)
    for _ in range(100):
        name = os.path.join(folder, f".{_stem(base)}.{secrets.token_hex(6)}.old")
        try:
            os.link(target, name, follow_symlinks=False)
            return name
        except FileExistsError:
            continue
        except OSError:
            return None
    return None


def _sync_folder(folder: str) -> None:
    # The renames themselves reach the disk only with the folder's own entries.
    try:
        handle = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(handle)
    except OSError:
        pass
    finally:
        os.close(handle)


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """Holds back SIGINT and SIGTERM for a step that must not be cut in two: Ctrl-C lands
    before or after it (the renames of every output, a temporary file's creation and
    listing)."""
    held = {signal.SIGINT, signal.SIGTERM}
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)
