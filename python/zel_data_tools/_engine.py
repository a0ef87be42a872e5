"""A stand-in for the native reader while it is built: the same interface over the module.

Temporary: the compiled zel_data_tools._engine replaces this file.
"""

from __future__ import annotations

import os
import threading

import zel_data_reader

from ._quiet import quiet

_lock = threading.Lock()


def _flat(node, prefix=""):
    stack = [(prefix, node)]
    while stack:
        at, node = stack.pop()
        for key, value in node.items():
            dotted = f"{at}.{key}" if at else key
            if isinstance(value, dict):
                stack.append((dotted, value))
            else:
                yield dotted, value


class Archive:
    def __init__(self, path: str) -> None:
        self._data = zel_data_reader.ZelDataFIle(path)
        self._path = path
        status = os.stat(path)
        self.identity = (status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns,
                         status.st_ctime_ns)
        self.closed = False

    def close(self) -> None:
        self._data = None
        self.closed = True

    def header_items(self):
        return list(_flat(self._data.header))

    def info(self):
        from . import _members

        total, by_reading = _members.count(self._path)
        data = self._data
        channels = []
        for name in set(data.get_channels()):
            entry = None
            for item in (data.header.get("lcd-info") or {}).values():
                if isinstance(item, dict) and (item.get("channel") or {}).get("name") == name:
                    entry = item
                    break
            entry = entry or {}
            base = ((entry.get("conversion-set") or {}).get("conversions") or {}).get("base")
            try:
                with quiet():
                    units = set(data.get_channel_units(name))
            except OSError:
                units = set()
            if isinstance(base, str):
                units.add(base)
            raw = name.encode()
            members = {s: n for (s, c), n in by_reading.items() if c == raw}
            data_type = entry.get("type") if isinstance(entry.get("type"), str) else None
            channels.append((name, data_type, base if isinstance(base, str) else None,
                             tuple(units), members))
        return total, channels

    def read(self, channel, segments, unit, row_start, row_step, row_count, threads, out):
        for index, segment in enumerate(segments):
            with _lock, quiet():
                values = self._data.get_channel_data(channel, segment, unit)
            rows = values[row_start:row_start + row_step * row_count:row_step] \
                if row_step > 0 else values[[row_start + row_step * k for k in range(row_count)]]
            out.reshape((len(segments), row_count, *values.shape[1:]))[index] = rows
