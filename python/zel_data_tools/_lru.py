"""A small thread-safe map that keeps its most recently used entries and forgets the rest.

Every instance starts empty, with a fresh lock, in a forked child: another thread of the
parent may have held the lock at the fork, and what the entries hold (open files, say) is the
parent's.
"""

from __future__ import annotations

import os
import threading
import weakref
from collections import OrderedDict
from collections.abc import Callable, Hashable
from typing import Generic, TypeVar

K = TypeVar("K", bound=Hashable)
V = TypeVar("V")

_every: weakref.WeakSet[Lru[Hashable, object]] = weakref.WeakSet()


class Lru(Generic[K, V]):
    """At most `limit` entries; `get` and `put` make an entry the most recent, and `put` drops
    the least recent ones past the limit."""

    def __init__(self, limit: int) -> None:
        self.limit = limit
        self._lock = threading.Lock()
        self._entries: OrderedDict[K, V] = OrderedDict()
        _every.add(self)  # type: ignore[arg-type]

    def get(self, key: K, usable: Callable[[V], bool] = lambda value: True) -> V | None:
        """The entry of `key` when there is one and `usable` accepts it, else None."""
        with self._lock:
            value = self._entries.get(key)
            if value is None or not usable(value):
                return None
            self._entries.move_to_end(key)
            return value

    def put(self, key: K, value: V) -> None:
        with self._lock:
            self._entries[key] = value
            self._entries.move_to_end(key)
            while len(self._entries) > self.limit:
                self._entries.popitem(last=False)

    def discard(self, keep: Callable[[K], bool]) -> None:
        """Drops every entry whose key `keep` refuses."""
        with self._lock:
            for key in [key for key in self._entries if not keep(key)]:
                del self._entries[key]

    def any_key(self, test: Callable[[K], bool]) -> bool:
        with self._lock:
            return any(test(key) for key in self._entries)

    def __len__(self) -> int:
        with self._lock:
            return len(self._entries)

    def clear(self) -> None:
        with self._lock:
            self._entries.clear()

    def _start_afresh(self) -> None:
        self._lock = threading.Lock()
        self._entries = OrderedDict()


def _afresh_in_child() -> None:
    for cache in list(_every):
        cache._start_afresh()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_afresh_in_child)
