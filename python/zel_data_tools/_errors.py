"""Errors that name the file and, where a name or number was wrong, the valid choices."""

from __future__ import annotations

import os
from collections.abc import Iterable


class ZelFileError(OSError):
    """An error about one data file: ``str()`` gives ``"PATH: message"``.

    It is an OSError, as the module's own errors are, so that code catching OSError around
    zel_data_reader catches these too. ``filename`` is the path; ``choices`` holds the valid
    names or numbers when the error is about one that the file does not have, else None.
    """

    def __init__(self, path: str | os.PathLike, message: str,
                 choices: tuple | None = None) -> None:
        super().__init__(message)
        self.filename = os.fspath(path)
        self.message = message
        self.choices = choices

    def __str__(self) -> str:
        return f"{self.filename}: {self.message}"

    def __reduce__(self):
        # Rebuilt from its own fields, so that it survives a trip between Dask processes.
        return (type(self), (self.filename, self.message, self.choices))


def file_error(path: str | os.PathLike, error: OSError) -> ZelFileError:
    """The module's (or the system's) error about `path`, with the path in front."""
    if isinstance(error, ZelFileError):
        return error
    message = error.strerror if error.strerror and error.filename else str(error)
    return ZelFileError(path, message)


def _listed(choices: Iterable) -> str:
    texts = [str(choice) for choice in choices]
    return ", ".join(texts) if texts else "none"


def choice_error(path: str | os.PathLike, what: str, given, choices: Iterable,
                 where: str = "") -> ZelFileError:
    """``PATH: no channel 'x'; the channels are a, b`` and the like."""
    choices = tuple(choices)
    shown = repr(given) if isinstance(given, str) else str(given)
    return ZelFileError(
        path, f"no {what} {shown}{where}; the {what}s are {_listed(choices)}", choices)


class UsageError(Exception):
    """A command line that cannot work, found only once the file is known: exit status 2."""


class MissingExtra(ImportError):
    """A command or function that needs an optional dependency that is not installed."""
