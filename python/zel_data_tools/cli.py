"""The ``zel`` command: look into Zel data files, export their channels, plot them.

    zel info FILE... [--json]
    zel header FILE [--prefix KEY] [--json]
    zel export FILE [CHANNEL...] [--segment S[,S...]]... [--unit [CHANNEL=]U]... -o OUT
    zel plot FILE CHANNEL [--segment S] [--unit U] [--stat STAT] -o PICTURE

Exit status: 0 on success, 1 when a file or a name in it is wrong, 2 on a usage error,
130 when interrupted. Every error is one line on standard error: ``zel: error: ...``.
"""

from __future__ import annotations

import argparse
import itertools
import os
import re
import sys
import traceback
from collections.abc import Iterable, Iterator, Sequence
from importlib import metadata
from typing import Any, NoReturn, Optional

from ._describe import describe
from ._errors import UsageError, ZelFileError
from ._file import ZelFile
from ._info import SAMPLES, ChannelInfo, FileInfo
from ._output import OutputError
from ._text import escaped, json_string, json_text, shown

# Levels of the header tree shown indented; deeper keys are shown dotted, on one line, at
# this depth, so that the output grows with the header, not with the square of its depth.
INDENTED_LEVELS = 40


def _version() -> str:
    try:
        return metadata.version("zel-data-reader")
    except metadata.PackageNotFoundError:
        return "unknown"


def _natural(text: str) -> list[tuple[int, int, str]]:
    """Sort key that puts "lcd-info.2" before "lcd-info.10"."""
    return [(0, int(part), part) if part.isascii() and part.isdigit() else (1, 0, part)
            for part in re.split(r"([0-9]+)", text)]


def _joined(items: Iterator[object] | Sequence[object]) -> str:
    return ", ".join(str(item) for item in items) or "-"


def _ascii_only() -> bool:
    """Whether standard output cannot take all of Unicode (a locale that is not UTF-8)."""
    encoding = (getattr(sys.stdout, "encoding", None) or "ascii").lower().replace("-", "")
    return encoding not in ("utf8", "utf8sig")


def _error(message: str) -> None:
    print(f"zel: error: {escaped(message)}", file=sys.stderr)


def _warn(message: str) -> None:
    print(f"zel: warning: {escaped(message)}", file=sys.stderr)


def _say(line: str) -> None:
    print(line)


# --- info ---------------------------------------------------------------------------------


def _samples_text(channel: ChannelInfo) -> str:
    """A channel's samples per position: "100", or the range and the positions short."""
    found = channel.sample_range()
    if found is None:
        return "-"
    fewest, most, short = found
    if fewest == most:
        return str(fewest)
    positions = sum(channel.members.values())
    return f"{fewest} to {most} ({short} of {positions} positions short)"


def _info_table(info: FileInfo) -> str:
    if info.grid is not None:
        each = info.samples_each
        if each == SAMPLES:
            grid = f"{info.grid} x {info.grid} positions, {each} samples each"
        elif each is not None:
            why = (f"reads fill them up to {SAMPLES} with NaN" if each < SAMPLES else
                   f"more than the {SAMPLES} a position holds: they cannot be read")
            grid = f"{info.grid} x {info.grid} positions, {each} samples each ({why})"
        else:
            grid = (f"{info.grid} x {info.grid} positions, samples per position vary (see "
                    "samples below)")
    elif not any(channel.members for channel in info.channels):
        grid = "none: no channel has data members"
    else:
        grid = "irregular: the channels' member counts differ (see members below)"
    lines = [
        f"file      {escaped(info.file)}",
        f"members   {info.members}",
        f"grid      {grid}",
        f"segments  {_joined(info.segments)}",
    ]
    crlf = info.crlf_warning()
    if crlf is not None:
        lines.append(f"header    {crlf}")
    lines.append("")
    head: tuple[str, ...] = ("channel", "data type", "base unit", "units", "segments")
    rows: list[tuple[str, ...]] = [
        (shown(c.name), shown(c.data_type or "?"), shown(c.base_unit or "?"),
         _joined([shown(u) for u in c.units]), _joined(c.segments)) for c in info.channels]
    if info.samples_each != SAMPLES and any(c.members for c in info.channels):
        head += ("samples",)
        rows = [row + (_samples_text(c),) for row, c in zip(rows, info.channels)]
    if info.grid is None:
        head += ("members per segment",)
        rows = [row + (_joined([f"{s}:{n}" for s, n in c.members.items()]),)
                for row, c in zip(rows, info.channels)]
    widths = [max(len(row[i]) for row in [head, *rows]) for i in range(len(head))]
    for row in [head, *rows]:
        lines.append("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    if not rows:
        lines.append("(the header lists no channels)")
    return "\n".join(lines)


def run_info(args: argparse.Namespace) -> int:
    """One table per file (a blank line between), or JSON: one object for one file, an array
    of them for several. A file that cannot be read is reported and the others shown."""
    status = 0
    found: list[FileInfo] = []
    for path in args.files:
        try:
            found.append(describe(path, args.storage_options or None))
        except OSError as error:
            if args.debug:
                traceback.print_exc()
            _error(_message(error))
            status = 1
    if args.json:
        value: object = [info.as_json() for info in found]
        if len(args.files) == 1:
            if not found:
                return status
            value = found[0].as_json()
        print(json_text(value, ascii_only=_ascii_only()))
    else:
        print("\n\n".join(_info_table(info) for info in found), end="\n" if found else "")
    return status


# --- header -------------------------------------------------------------------------------


def _no_key(path: str, header: dict[str, str], prefix: str) -> ZelFileError:
    """No key begins with `prefix`: name the keys found below its longest existing node."""
    parts = prefix.split(".")
    for depth in range(len(parts) - 1, -1, -1):
        node = ".".join(parts[:depth])
        start = node + "." if node else ""
        below = {key[len(start):].split(".", 1)[0] for key in header if key.startswith(start)}
        if below or not node:
            where = f"the keys below {node!r} are" if node else "the top-level keys are"
            keys = sorted(below, key=_natural)
            return ZelFileError(path, f"no header key begins with {prefix!r}; {where} "
                                f"{_joined([shown(k) for k in keys])}", tuple(keys))
    raise AssertionError("unreachable: the loop ends at the root")


Step = tuple[int, str, Optional[str]]  # (depth, name, value; None for a map)


def tree_lines(steps: Iterable[Step]) -> Iterator[str]:
    """The header as an indented tree, one line per map and per value, from the engine's walk
    in natural order (no recursion, and nothing kept but the maps folded below the deepest
    indented level)."""
    last = INDENTED_LEVELS - 1
    folded: list[str] = []  # the maps at or below the last indented level, on the current path
    for depth, name, value in steps:
        if depth < last:
            yield "  " * depth + (shown(name) if value is None
                                  else f"{shown(name)} = {shown(value)}")
            continue
        del folded[depth - last:]
        if value is None:
            folded.append(name)
        else:
            yield "  " * last + f"{shown('.'.join([*folded, name]))} = {shown(value)}"


def json_tree(steps: Iterable[Step], ascii_only: bool = False) -> Iterator[str]:
    """The header as nested JSON objects, written piece by piece from the engine's walk
    (json.dumps of a deep dict would recurse). Indentation stops growing at INDENTED_LEVELS."""
    def pad(depth: int) -> str:
        return "\n" + "  " * min(depth, INDENTED_LEVELS)

    yield "{"
    opened = 0  # the maps open now
    first, empty = True, True
    for depth, name, value in steps:
        while opened > depth:
            opened -= 1
            yield pad(opened + 1) + "}"
            first = False
        key = ("" if first else ",") + pad(opened + 1) + json_string(name, ascii_only)
        if value is None:
            yield key + ": {"
            opened += 1
            first = True
        else:
            yield key + ": " + json_string(value, ascii_only)
            first = False
        empty = False
    while opened:
        opened -= 1
        yield pad(opened + 1) + "}"
    yield "}" if empty else "\n}"


def run_header(args: argparse.Namespace) -> int:
    prefix = args.prefix or ""
    out = sys.stdout
    with ZelFile(args.file, args.storage_options or None) as data:
        # Streamed: a header of a million keys never stands whole in Python objects.
        steps = data.header_walk(prefix)
        first = next(steps, None)
        if first is None and prefix:
            raise _no_key(args.file, data.header, prefix)
        walked = itertools.chain([] if first is None else [first], steps)
        if args.json:
            for piece in json_tree(walked, _ascii_only()):
                out.write(piece)
            out.write("\n")
        else:
            for line in tree_lines(walked):
                out.write(line + "\n")
    return 0


# --- export and plot ----------------------------------------------------------------------


def run_export(args: argparse.Namespace) -> int:
    from ._export import ExportRequest, export

    request = ExportRequest(
        file=args.file, output=args.output, channels=args.channels,
        segments=None if args.segments is None else [s for group in args.segments
                                                     for s in group],
        unit=args.unit_all, units=args.unit_by_channel, format=args.format,
        storage_options=args.storage_options)
    return export(request, report=_say, warn=_warn)


def run_plot(args: argparse.Namespace) -> int:
    from ._plot import PlotRequest, plot

    request = PlotRequest(file=args.file, channel=args.channel, output=args.output,
                          segment=args.segment, unit=args.unit, stat=args.stat,
                          positions=args.positions, dpi=args.dpi,
                          storage_options=args.storage_options)
    return plot(request, report=_say)


# --- the command line ---------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    """argparse, with every error on one line and no usage text before it."""

    def error(self, message: str) -> NoReturn:
        command = self.prog.split(" ", 1)[1] if " " in self.prog else ""
        hint = f" (see 'zel {command} --help')" if command else " (see 'zel --help')"
        self.exit(2, f"zel: error: {escaped(message)}{hint}\n")


def _segments(text: str) -> list[int]:
    try:
        return [int(part) for part in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected a segment number or numbers joined by commas, such as 0 or 0,2, "
            f"not {text!r}") from None


def _segment(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected a segment number, such as 0 or 1, not {text!r} ('zel info FILE' "
            "lists the segments)") from None


def _position(text: str) -> tuple[int, int]:
    try:
        row, column = (int(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected ROW,COLUMN such as 3,4, not {text!r}") from None
    return row, column


def _dpi(text: str) -> int:
    try:
        dpi = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, not {text!r}") from None
    if not 10 <= dpi <= 1000:
        raise argparse.ArgumentTypeError(f"must lie between 10 and 1000, not {dpi}")
    return dpi


class _StorageOption(argparse.Action):
    """--storage-option KEY=VALUE, gathered into one dict; dotted keys make nested ones
    (client_kwargs.endpoint_url=...)."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        import json

        key, equals, text = str(values).partition("=")
        if not equals or not key:
            raise argparse.ArgumentError(self, f"expected KEY=VALUE, not {values!r}")
        try:
            value: Any = json.loads(text)
        except ValueError:
            value = text
        options = dict(getattr(namespace, self.dest, None) or {})
        *parents, last = key.split(".")
        level = options
        for part in parents:
            level = level.setdefault(part, {})
            if not isinstance(level, dict):
                raise argparse.ArgumentError(self, f"{part!r} is set to a value already")
        level[last] = value
        setattr(namespace, self.dest, options)


def _stat(text: str) -> str:
    return "range" if text == "ptp" else text  # "ptp", NumPy's word, still accepted


def build_parser() -> argparse.ArgumentParser:
    from ._plot import STATS

    debug_help = "show the traceback of an error instead of one line"
    common = _Parser(add_help=False)
    # Before or after the command: the command's own default must not undo `zel --debug`.
    common.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                        help=debug_help)
    common.add_argument("--storage-option", dest="storage_options", metavar="KEY=VALUE",
                        action=_StorageOption, default={},
                        help="an fsspec storage option for a FILE given as a URL (S3, HTTP(S) "
                        "and the other fsspec protocols), such as anon=true or "
                        "endpoint_url=...; repeatable. "
                        "VALUE is read as JSON when it can be (true, 3, {...}), else as text")

    parser = _Parser(
        prog="zel", description="Look into Zel data files, export their channels, plot them.",
        epilog="Run 'zel COMMAND --help' for a command's options. --debug goes before or "
        "after COMMAND.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    parser.add_argument("--debug", action="store_true", help=debug_help)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    info = commands.add_parser(
        "info", parents=[common], help="channels, units, segments, grid and member count",
        description="Show each file's channels (data type, base unit, units, segments), the "
        "segments present, the grid side and the member count. Every list is sorted.")
    info.add_argument("files", metavar="FILE", nargs="+")
    info.add_argument("--json", action="store_true",
                      help="print JSON instead of tables: one object for one FILE, an array "
                      "of objects for several")
    info.set_defaults(run=run_info, command_parser=info)

    header = commands.add_parser(
        "header", parents=[common], help="the header tree, sorted and indented",
        description="Show the header tree, sorted and indented. Texts with blanks at their "
        "ends or invisible characters are quoted with escapes.")
    header.add_argument("file", metavar="FILE")
    header.add_argument("--prefix", metavar="KEY",
                        help="only the keys whose dotted name begins with KEY, such as "
                        "lcd-info.0.conversion-set or grid.st")
    header.add_argument("--json", action="store_true",
                        help="print nested JSON objects instead of the tree")
    header.set_defaults(run=run_header, command_parser=header)

    export = commands.add_parser(
        "export", parents=[common], help="channels as .npy, .npz, .csv or .nc",
        description="Write channels to OUT, whose extension (any case) or --format chooses "
        "the format: .npy (one array of shape (rows, columns, samples); with several, put "
        "{channel} and {segment} into OUT), .npz (every array, named CHANNEL/SEGMENT), .csv "
        "(one line per grid position with channel, segment, unit, row and column) or .nc "
        "(netCDF, zlib-compressed; needs the [xarray] extra). Channel names in file names "
        "and .npz keys keep letters, digits and - _ . + = @ , and write any other character "
        "(and a leading dot) as %XX per UTF-8 byte. OUT is written whole or not at all.")
    export.add_argument("file", metavar="FILE")
    export.add_argument("channels", metavar="CHANNEL", nargs="*",
                        help="channels to export (default: all)")
    export.add_argument("--segment", metavar="S", type=_segments, action="append",
                        dest="segments", help="segment(s) to export, such as 0 or 0,2; "
                        "repeatable (default: every segment of each channel)")
    export.add_argument("--unit", metavar="[CHANNEL=]U", action="append", dest="units",
                        default=[], help="unit of one channel (gauge=force, repeatable) or "
                        "of every other channel (force) (default: each one's base unit)")
    export.add_argument("--format", choices=("npy", "npz", "csv", "nc"),
                        help="the format, whatever OUT's extension; needed with -o -")
    export.add_argument("-o", "--output", metavar="OUT", required=True,
                        help="output file, or - for standard output (.npy or .csv)")
    export.set_defaults(run=run_export, command_parser=export)

    plot = commands.add_parser(
        "plot", parents=[common], help="a heat map over the grid and a few traces",
        description="Draw a heat map of one per-position statistic of a channel over the "
        "grid (row 0 at the bottom, as xarray draws it), beside the traces of a few "
        "positions. Positions with fewer than 100 samples are marked. Needs the [plot] "
        "extra (matplotlib).")
    plot.add_argument("file", metavar="FILE")
    plot.add_argument("channel", metavar="CHANNEL")
    plot.add_argument("--segment", metavar="S", type=_segment,
                      help="segment to plot (default: the channel's first)")
    plot.add_argument("--unit", metavar="U", help="unit (default: the channel's base unit)")
    plot.add_argument("--stat", type=_stat, choices=STATS, default="mean",
                      help="statistic over each position's samples: mean, min, max, std, "
                      "range (max - min; ptp is accepted too) or count (samples present) "
                      "(default: mean)")
    plot.add_argument("--position", metavar="ROW,COLUMN", action="append", dest="positions",
                      type=_position, help="a position whose trace to draw (repeatable; "
                      "default: the centre and the positions of the lowest and highest value)")
    plot.add_argument("--dpi", type=_dpi, default=100,
                      help="pixels per inch, 10 to 1000; the picture is 11 x 4.5 inches "
                      "(default: 100)")
    plot.add_argument("-o", "--output", metavar="PICTURE", required=True,
                      help="picture file; its extension chooses the format (.png, .jpg, "
                      ".svg, .pdf and whatever else matplotlib writes)")
    plot.set_defaults(run=run_plot, command_parser=plot)
    return parser


def _units(texts: list[str]) -> tuple[str | None, dict[str, str]]:
    """--unit values: (the unit of every channel not named, {channel: unit})."""
    plain: str | None = None
    by_channel: dict[str, str] = {}
    for text in texts:
        channel, equals, unit = text.partition("=")
        if not equals:
            if plain is not None and plain != text:
                raise UsageError(f"--unit {plain} and --unit {text}: give one unit for the "
                                 "other channels, and CHANNEL=UNIT for single channels")
            plain = text
        elif by_channel.get(channel, unit) != unit:
            raise UsageError(f"--unit gives channel {channel!r} two units: "
                             f"{by_channel[channel]} and {unit}")
        else:
            by_channel[channel] = unit
    return plain, by_channel


def _check(args: argparse.Namespace) -> None:
    """Usage errors that argparse cannot see, before the file is opened."""
    if args.command == "export":
        from ._export import output_format

        args.unit_all, args.unit_by_channel = _units(args.units)
        output_format(args.output, args.format)
    if args.command == "plot":
        from ._plot import picture_format

        picture_format(args.output)


def _reconfigure_output() -> None:
    # Texts from files may hold anything; what standard output cannot encode is escaped
    # rather than ending the command.
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            try:
                reconfigure(errors="backslashreplace")
            except (ValueError, OSError):
                pass


def main(argv: list[str] | None = None) -> int:
    """Runs the zel command; returns its exit status (argparse exits with 2 by itself)."""
    _reconfigure_output()
    parser = build_parser()
    args, extras = parser.parse_known_args(argv)
    if extras and args.command == "export" and not any(e.startswith("-") for e in extras):
        args.channels += extras  # channels after an option: zel export FILE --unit U a b
    elif extras:
        # Named by the command's own parser, so that the hint points to its help.
        args.command_parser.error(f"unrecognized arguments: {' '.join(extras)}")
    try:
        _check(args)
        status: int = args.run(args)
        sys.stdout.flush()
        return status
    except KeyboardInterrupt:
        print("zel: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of our output went away (zel header FILE | head): not an error of ours.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return 1
    except Exception as error:  # noqa: BLE001 (one line, never a traceback, unless --debug)
        if args.debug:
            traceback.print_exc()
        _error(_message(error))
        return 2 if isinstance(error, UsageError) else 1


def _message(error: BaseException) -> str:
    if isinstance(error, (ZelFileError, OutputError, UsageError, ImportError)):
        return str(error)  # MissingExtra is an ImportError
    if isinstance(error, OSError) and error.filename is not None:
        return f"{os.fsdecode(error.filename)}: {error.strerror or error}"
    if isinstance(error, OSError):
        return str(error)
    text = str(error)
    hint = " (run with --debug for the traceback)"
    return f"internal error: {type(error).__name__}{': ' + text if text else ''}{hint}"


if __name__ == "__main__":
    sys.exit(main())
