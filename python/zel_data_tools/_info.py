"""What a data file holds: its channels, their units and segments, and its grid."""

from __future__ import annotations

import math
from collections.abc import Sequence
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
    # segment -> samples per position, from the member sizes in the directory: (fewest, most,
    # positions with fewer than SAMPLES)
    samples: dict[int, tuple[int, int, int]] = field(default_factory=dict)

    @classmethod
    def from_engine(cls, name: str, data_type: str | None, base_unit: str | None,
                    units: Sequence[str], members: dict[int, int],
                    samples: dict[int, tuple[int, int, int]]) -> ChannelInfo:
        """The channel from what the native reader reports of it, sorted here."""
        return cls(name, data_type, base_unit, tuple(sorted(set(units))),
                   dict(sorted(members.items())), dict(sorted(samples.items())))

    @property
    def segments(self) -> tuple[int, ...]:
        return tuple(sorted(self.members))

    def unit(self, file: str, unit: str | None) -> str:
        """`unit` checked against the channel's units; its base unit when `unit` is None.
        Errors name `file`."""
        if unit is None:
            if self.base_unit is None:
                raise ZelFileError(file, f"channel {self.name!r} names no base unit")
            return self.base_unit
        if unit not in self.units:
            raise choice_error(file, "unit", unit, self.units, f" for channel {self.name!r}")
        return unit

    def segment(self, file: str, segment: int | None) -> int:
        """`segment` checked against the channel's segments; its first when None. Errors
        name `file`."""
        present = self.segments
        if segment is None:
            if not present:
                raise ZelFileError(file, f"channel {self.name!r} has no data members")
            return present[0]
        if segment not in present:
            raise choice_error(file, "segment", segment, present, f" for channel {self.name!r}")
        return segment

    def sample_range(self) -> tuple[int, int, int] | None:
        """(fewest, most, short positions) over every segment; None without members."""
        if not self.samples:
            return None
        counts = self.samples.values()
        return (min(c[0] for c in counts), max(c[1] for c in counts), sum(c[2] for c in counts))

    def segment_problem(self, segment: int) -> str | None:
        """Why the channel's values in `segment` cannot be laid out on a square grid of
        SAMPLES samples per position, or None when they can."""
        count = self.members.get(segment, 0)
        if math.isqrt(count) ** 2 != count:
            return f"segment {segment} has {count} members, which is no square grid"
        most = self.samples.get(segment, (0, 0, 0))[1]
        if most > SAMPLES:
            return (f"segment {segment} has a position of {most} samples, more than the "
                    f"{SAMPLES} a position holds")
        return None

    def side(self, file: str, segment: int) -> int:
        """The grid side of `segment`; an error naming `file` when its members are no square
        or a position holds more than SAMPLES samples."""
        problem = self.segment_problem(segment)
        if problem is not None:
            raise ZelFileError(file, f"channel {self.name!r} {problem}")
        return math.isqrt(self.members.get(segment, 0))

    def layout_problem(self) -> str | None:
        """The first segment's problem (see segment_problem), or None when every segment
        lays out."""
        for segment in self.segments:
            problem = self.segment_problem(segment)
            if problem is not None:
                return problem
        return None

    def as_json(self) -> dict[str, Any]:
        return {"name": self.name, "data_type": self.data_type, "base_unit": self.base_unit,
                "units": list(self.units), "segments": list(self.segments),
                "samples": {str(segment): {"fewest": fewest, "most": most, "short": short}
                            for segment, (fewest, most, short) in sorted(self.samples.items())}}


@dataclass(frozen=True)
class FileInfo:
    """A data file's summary, as ``zel info`` shows it. Every sequence is sorted."""

    file: str
    members: int  # every member of the archive, header and directories included
    grid: int | None  # the grid side, None when the channels' member counts disagree
    channels: tuple[ChannelInfo, ...]
    # Whether the channels' header lines end in a carriage return (CRLF): the reader keeps it
    # in every value, so channel names end in "\r" and no member name matches them.
    header_crlf: bool = False

    @property
    def samples_each(self) -> int | None:
        """The samples every position of every channel holds, when that is one number (a
        read fills positions up to SAMPLES with NaN, and cannot lay out more); else None."""
        ranges = [c.sample_range() for c in self.channels if c.members]
        counts = {(r[0], r[1]) for r in ranges if r is not None}
        if len(counts) == 1:
            ((fewest, most),) = counts
            if fewest == most:
                return fewest
        return None

    def crlf_warning(self) -> str | None:
        """A sentence about CRLF line ends, for the tools' warnings; None without them."""
        if not self.header_crlf:
            return None
        return ("the header's lines end in a carriage return, as Windows writes them: names "
                "and values keep it, so channel names end in \\r and no data member matches "
                "them; save the header with plain line feeds")

    @property
    def segments(self) -> tuple[int, ...]:
        return tuple(sorted({s for channel in self.channels for s in channel.members}))

    @property
    def channel_names(self) -> tuple[str, ...]:
        return tuple(channel.name for channel in self.channels)

    def find_channel(self, name: str) -> ChannelInfo | None:
        """The channel called `name`, or None when there is none."""
        return next((channel for channel in self.channels if channel.name == name), None)

    def channel(self, name: str) -> ChannelInfo:
        """The channel called `name`; ZelFileError naming the channels when there is none."""
        found = self.find_channel(name)
        if found is not None:
            return found
        error = choice_error(self.file, "channel", name, self.channel_names)
        crlf = self.crlf_warning()
        if crlf is not None and name + "\r" in self.channel_names:
            raise ZelFileError(self.file, f"{error.message} ({crlf})", error.choices)
        raise error

    def unit(self, channel: str, unit: str | None) -> str:
        """`unit` checked against the channel's units; its base unit when `unit` is None."""
        return self.channel(channel).unit(self.file, unit)

    def segment(self, channel: str, segment: int | None) -> int:
        """`segment` checked against the channel's segments; its first when None."""
        return self.channel(channel).segment(self.file, segment)

    def side(self, channel: str, segment: int) -> int:
        """The grid side of one channel and segment; an error when its members are no square
        or a position holds more than SAMPLES samples."""
        return self.channel(channel).side(self.file, segment)

    def as_json(self) -> dict[str, Any]:
        return {"file": self.file, "members": self.members, "grid": self.grid,
                "samples_each": self.samples_each, "header_crlf": self.header_crlf,
                "segments": list(self.segments),
                "channels": [channel.as_json() for channel in self.channels]}

    @classmethod
    def from_engine(cls, path: str, raw: tuple[int, list[tuple[Any, ...]]],
                    samples: dict[str, dict[int, tuple[int, int, int]]] | None = None,
                    header_crlf: bool = False) -> FileInfo:
        """The summary from what the native reader reports: (member count, [(name, data
        type, base unit, units, {segment: members}), ...]) and the sample counts by channel
        and segment, sorted here."""
        total, listed = raw
        samples = samples or {}
        channels = tuple(
            ChannelInfo.from_engine(name, data_type, base, units, members, samples.get(name, {}))
            for name, data_type, base, units, members in sorted(listed, key=lambda c: c[0]))
        counts = {count for channel in channels for count in channel.members.values()}
        grid = None
        if len(counts) == 1:
            (count,) = counts
            if math.isqrt(count) ** 2 == count:
                grid = math.isqrt(count)
        return cls(path, total, grid, channels, header_crlf)
