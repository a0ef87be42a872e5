"""What a data file holds: its channels, their units and segments, and its grid."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

from ._errors import ZelFileError, choice_error

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

    def as_json(self) -> dict[str, Any]:
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

    def as_json(self) -> dict[str, Any]:
        return {"file": self.file, "members": self.members, "grid": self.grid,
                "segments": list(self.segments),
                "channels": [channel.as_json() for channel in self.channels]}

    @classmethod
    def from_engine(cls, path: str, raw: tuple[int, list[tuple[Any, ...]]]) -> FileInfo:
        """The summary from what the native reader reports: (member count, [(name, data
        type, base unit, units, {segment: members}), ...]), sorted here."""
        total, listed = raw
        channels = tuple(
            ChannelInfo(name, data_type, base, tuple(sorted(set(units))),
                        dict(sorted(members.items())))
            for name, data_type, base, units, members in sorted(listed, key=lambda c: c[0]))
        counts = {count for channel in channels for count in channel.members.values()}
        grid = None
        if len(counts) == 1:
            (count,) = counts
            if math.isqrt(count) ** 2 == count:
                grid = math.isqrt(count)
        return cls(path, total, grid, channels)
