"""Errors that name the file and, where a name or number was wrong, the valid choices."""

from __future__ import annotations

import errno as errnos
import os
from collections.abc import Iterable, Sequence
from typing import Any

HEADER_MEMBER = "shared-data/header.properties"


class ZelFileError(OSError):
    """An error about one data file: ``str()`` gives ``"PATH: message"``.

    It is an OSError, as the module's own errors are, so that code catching OSError around
    zel_data_reader catches these too. ``filename`` is the path; ``choices`` holds the valid
    names or numbers when the error is about one that the file does not have, else None;
    ``errno`` is the system's error number when the system refused the file, else None.
    A missing file is also a FileNotFoundError, a forbidden one a PermissionError, and so on
    for the other errors that Python maps to an OSError subclass.
    """

    def __init__(self, path: str | os.PathLike[str], message: str,
                 choices: tuple[Any, ...] | None = None, errno: int | None = None) -> None:
        super().__init__(message)
        self.filename = os.fspath(path)
        self.message = message
        self.strerror = message
        self.choices = choices
        self.errno = errno

    def __str__(self) -> str:
        return f"{self.filename}: {self.message}"

    def named(self, path: str | os.PathLike[str]) -> ZelFileError:
        """The same error about the same file, named as `path`."""
        return type(self)(path, self.message, self.choices, self.errno)

    def __reduce__(self) -> tuple[Any, ...]:
        # Rebuilt from its own fields, so that it survives a trip between Dask processes.
        return (type(self), (self.filename, self.message, self.choices, self.errno))


class ZelFileNotFoundError(ZelFileError, FileNotFoundError):
    """The file (or a folder on its path) does not exist."""


class ZelPermissionError(ZelFileError, PermissionError):
    """The system forbids reading the file."""


class ZelIsADirectoryError(ZelFileError, IsADirectoryError):
    """The path names a folder."""


class ZelNotADirectoryError(ZelFileError, NotADirectoryError):
    """A part of the path that should be a folder is a file."""


_BY_ERRNO: dict[int, type[ZelFileError]] = {
    errnos.ENOENT: ZelFileNotFoundError,
    errnos.EACCES: ZelPermissionError,
    errnos.EPERM: ZelPermissionError,
    errnos.EISDIR: ZelIsADirectoryError,
    errnos.ENOTDIR: ZelNotADirectoryError,
}

# The engine's kinds of error that the tools say in their own words, from the error's subject;
# the others keep the engine's text.
_WORDED = {
    "missing_key": lambda subject: f"the header has no key {subject!r}",
    "no_channel": lambda subject: f"no channel {subject!r} in the header",
}
_HEADER_ID = "shared-data header"  # the subject of a missing header member


def _in_our_words(error: OSError, text: str) -> str:
    kind, subject = getattr(error, "kind", None), getattr(error, "subject", None)
    if kind == "no_member" and subject == _HEADER_ID:
        return f"not a Zel data file: the archive has no member {HEADER_MEMBER}"
    worded = _WORDED.get(kind) if isinstance(kind, str) else None
    return worded(subject) if worded is not None else text


def file_error(path: str | os.PathLike[str], error: OSError) -> ZelFileError:
    """The engine's (or the system's) error about `path`, with the path in front.

    The system's refusals keep their kind and number: a missing file gives a
    ZelFileNotFoundError with errno ENOENT, which ``except FileNotFoundError`` catches as well
    as ``except ZelFileError``. The text is the system's, without the number.
    """
    if isinstance(error, ZelFileError):
        return error
    number = error.errno
    text = error.strerror if error.strerror else str(error)
    kind = _BY_ERRNO.get(number, ZelFileError) if number is not None else ZelFileError
    return kind(path, _in_our_words(error, text), None, number)


def check_unchanged(path: str, found: Sequence[int], expected: Sequence[int] | None) -> None:
    """ZelFileError naming `path` when the identity `found` of the file opened now is not the
    `expected` one of the file opened earlier (None: any file will do)."""
    if expected is not None and tuple(found) != tuple(expected):
        raise ZelFileError(path, "the file changed since it was opened (it was rewritten or "
                           "replaced); open it again to read what it holds now")


def _listed(choices: Iterable[object]) -> str:
    texts = [str(choice) for choice in choices]
    return ", ".join(texts) if texts else "none"


def choice_error(path: str | os.PathLike[str], what: str, given: object,
                 choices: Iterable[object], where: str = "") -> ZelFileError:
    """``PATH: no channel 'x'; the channels are a, b`` and the like."""
    listed = tuple(choices)
    shown = repr(given) if isinstance(given, str) else str(given)
    return ZelFileError(
        path, f"no {what} {shown}{where}; the {what}s are {_listed(listed)}", listed)


class UsageError(Exception):
    """A command line that cannot work, found only once the file is known: exit status 2."""


class MissingExtra(ImportError):
    """A command or function that needs an optional dependency that is not installed."""
