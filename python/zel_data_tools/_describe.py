"""What a data file holds: its channels, their units and segments, and its grid."""

from __future__ import annotations

import math
import os
from dataclasses import dataclass, field

import zel_data_reader

from ._errors import ZelFileError, choice_error, file_error
from ._quiet import quiet

SAMPLES = 100  # values per grid position in every array the module returns


@dataclass(frozen=True)
class ChannelInfo:
    """One channel: its header description and the members present for it."""

    name: str
    data_type: str | None  # None when the header's entry has no readable "type"
    base_unit: str | None  # None when the header's entry names no base unit
    units: tuple[str, ...]  # every unit it can be read in, base unit included, sorted
    members: dict[int, int] = field(default_factory=dict)  # segment -> member count

    @property
    def segments(self) -> tuple[int, ...]:
        return tuple(sorted(self.members))

    def as_json(self) -> dict:
        return {"name": self.name, "data_type": self.data_type, "base_unit": self.base_unit,
                "units": list(self.units), "segments": list(self.segments)}


@dataclass(frozen=True)
class FileInfo:
    """A data file's summary, as ``zel info`` shows it. Every sequence is sorted."""

    file: str
    members: int  # every member of the archive, header and directories included
    grid: int | None  # the grid side, None when the channels' member counts disagree
    channels: tuple[ChannelInfo, ...]

    @property
    def segments(self) -> tuple[int, ...]:
        return tuple(sorted({s for channel in self.channels for s in channel.members}))

    @property
    def channel_names(self) -> tuple[str, ...]:
        return tuple(channel.name for channel in self.channels)

    def channel(self, name: str) -> ChannelInfo:
        """The channel called `name`; ZelFileError naming the channels when there is none."""
        for channel in self.channels:
            if channel.name == name:
                return channel
        raise choice_error(self.file, "channel", name, self.channel_names)

    def unit(self, channel: str, unit: str | None) -> str:
        """`unit` checked against the channel's units; its base unit when `unit` is None."""
        info = self.channel(channel)
        if unit is None:
            if info.base_unit is None:
                raise ZelFileError(self.file, f"channel {channel!r} names no base unit")
            return info.base_unit
        if unit not in info.units:
            raise choice_error(self.file, "unit", unit, info.units, f" for channel {channel!r}")
        return unit

    def segment(self, channel: str, segment: int | None) -> int:
        """`segment` checked against the channel's segments; its first when None."""
        present = self.channel(channel).segments
        if segment is None:
            if not present:
                raise ZelFileError(self.file, f"channel {channel!r} has no data members")
            return present[0]
        if segment not in present:
            raise choice_error(self.file, "segment", segment, present,
                               f" for channel {channel!r}")
        return segment

    def side(self, channel: str, segment: int) -> int:
        """The grid side of one channel and segment; an error when its members are no square."""
        count = self.channel(channel).members.get(segment, 0)
        side = math.isqrt(count)
        if side * side != count:
            raise ZelFileError(
                self.file, f"channel {channel!r} segment {segment} has {count} members, "
                "which is no square grid")
        return side

    def as_json(self) -> dict:
        return {"file": self.file, "members": self.members, "grid": self.grid,
                "segments": list(self.segments),
                "channels": [channel.as_json() for channel in self.channels]}


def _entries_by_name(header: dict) -> dict[str, dict]:
    """Channel name -> its lcd-info entry; of entries sharing a name, the lowest key's."""
    entries = header.get("lcd-info")
    found: dict[str, dict] = {}
    if not isinstance(entries, dict):
        return found
    for key in sorted(entries):
        entry = entries[key]
        channel = entry.get("channel") if isinstance(entry, dict) else None
        name = channel.get("name") if isinstance(channel, dict) else None
        if isinstance(name, str):
            found.setdefault(name, entry)
    return found


def _path(entry: dict, *keys: str) -> str | None:
    node: object = entry
    for key in keys:
        if not isinstance(node, dict):
            return None
        node = node.get(key)
    return node if isinstance(node, str) else None


def _count_members(path: str):
    try:
        from . import _members
    except ImportError as error:
        # The package imported from a source tree (Python started in the repository's root)
        # has no compiled part; everything else of it works there.
        raise ImportError(
            f"zel_data_tools._members is missing in {os.path.dirname(__file__)}: this looks "
            "like the source tree; run from another folder to use the installed package"
        ) from error
    return _members.count(path)


def describe(path_or_file) -> FileInfo:
    """The summary of a data file, given as a path or as an open ``ZelDataFIle``.

    The members are counted in one walk of the central directory by the tools' own
    extension; no member's data is read. Raises ZelFileError (an OSError) naming the file
    when it cannot be opened or its channels cannot be listed.
    """
    if isinstance(path_or_file, zel_data_reader.ZelDataFIle):
        data, path = path_or_file, os.fspath(path_or_file.location)
    else:
        path = os.fspath(path_or_file)
        try:
            data = zel_data_reader.ZelDataFIle(path)
        except OSError as error:
            raise file_error(path, error) from None
    try:
        total, by_reading = _count_members(path)
        names = sorted(set(data.get_channels()))
        entries = _entries_by_name(data.header)
        channels = []
        for name in names:
            entry = entries.get(name, {})
            base = _path(entry, "conversion-set", "conversions", "base")
            try:
                with quiet():
                    units = set(data.get_channel_units(name))
            except OSError:
                units = set()  # no conversion steps: only the base unit reads
            if base is not None:
                units.add(base)
            raw = name.encode("utf-8")
            members = {segment: count for (segment, channel), count in by_reading.items()
                       if channel == raw}
            channels.append(ChannelInfo(name, _path(entry, "type"), base,
                                        tuple(sorted(units)), dict(sorted(members.items()))))
    except OSError as error:
        raise file_error(path, error) from None
    counts = {count for channel in channels for count in channel.members.values()}
    grid = None
    if len(counts) == 1:
        (count,) = counts
        if math.isqrt(count) ** 2 == count:
            grid = math.isqrt(count)
    return FileInfo(path, total, grid, tuple(channels))
