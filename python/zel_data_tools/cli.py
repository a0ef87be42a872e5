"""The ``zel`` command: look into a Zel data file, export its channels, plot them.

    zel info FILE [--json]
    zel header FILE [--prefix KEY] [--json]
    zel export FILE [CHANNEL...] [--segment S...] [--unit U] -o OUT
    zel plot FILE CHANNEL [--segment S] [--unit U] [--stat STAT] -o OUT.png

Exit status: 0 on success, 1 when the file or a name in it is wrong, 2 on a usage error.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import sys
import traceback
from importlib import metadata

from ._describe import SAMPLES, FileInfo, describe
from ._errors import UsageError, ZelFileError
from ._quiet import quiet

EXPORT_FORMATS = (".npy", ".npz", ".csv", ".nc")
STATS = ("mean", "min", "max", "std", "ptp")


def _version() -> str:
    try:
        return metadata.version("zel-data-reader")
    except metadata.PackageNotFoundError:
        return "unknown"


def _shown(text: str) -> str:
    """`text` as it stands, or quoted with escapes when blanks or control characters would
    hide what it is."""
    if text and text == text.strip() and text.isprintable():
        return text
    return json.dumps(text, ensure_ascii=False)


def _natural(text: str):
    """Sort key that puts "lcd-info.2" before "lcd-info.10"."""
    return [(0, int(part), part) if part.isdigit() else (1, 0, part)
            for part in re.split(r"([0-9]+)", text)]


def _joined(items) -> str:
    return ", ".join(str(item) for item in items) or "-"


# --- info ---------------------------------------------------------------------------------


def _info_table(info: FileInfo) -> str:
    if info.grid is not None:
        grid = f"{info.grid} x {info.grid} positions, {SAMPLES} samples each"
    else:
        grid = "irregular: the channels' member counts differ (see members below)"
    lines = [
        f"file      {info.file}",
        f"members   {info.members}",
        f"grid      {grid}",
        f"segments  {_joined(info.segments)}",
        "",
    ]
    head: tuple[str, ...] = ("channel", "data type", "base unit", "units", "segments")
    rows: list[tuple[str, ...]] = [(_shown(c.name), c.data_type or "?", c.base_unit or "?",
             _joined(_shown(u) for u in c.units), _joined(c.segments)) for c in info.channels]
    if info.grid is None:
        head += ("members per segment",)
        rows = [row + (_joined(f"{s}:{n}" for s, n in c.members.items()),)
                for row, c in zip(rows, info.channels)]
    widths = [max(len(row[i]) for row in [head, *rows]) for i in range(len(head))]
    for row in [head, *rows]:
        lines.append("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    if not rows:
        lines.append("(the header lists no channels)")
    return "\n".join(lines)


def run_info(args) -> int:
    info = describe(args.file)
    if args.json:
        print(json.dumps(info.as_json(), indent=2, ensure_ascii=False))
    else:
        print(_info_table(info))
    return 0


# --- header -------------------------------------------------------------------------------


def _open(path: str):
    import zel_data_reader

    from ._errors import file_error

    try:
        return zel_data_reader.ZelDataFIle(path)
    except OSError as error:
        raise file_error(path, error) from None


def _tree_lines(node: dict, depth: int = 0):
    for key in sorted(node, key=_natural):
        value = node[key]
        pad = "  " * depth
        if isinstance(value, dict):
            yield f"{pad}{_shown(key)}"
            yield from _tree_lines(value, depth + 1)
        else:
            yield f"{pad}{_shown(key)} = {_shown(value)}"


def _sorted_tree(node):
    if isinstance(node, dict):
        return {key: _sorted_tree(node[key]) for key in sorted(node, key=_natural)}
    return node


def run_header(args) -> int:
    node = _open(args.file).header
    if args.prefix is not None:
        walked: list[str] = []
        for key in args.prefix.split("."):
            if not isinstance(node, dict):
                raise ZelFileError(args.file, f"header key {'.'.join(walked)!r} is a value, "
                                   f"it has no key {key!r} below it")
            if key not in node:
                where = f" below {'.'.join(walked)!r}" if walked else ""
                keys = sorted(node, key=_natural)
                raise ZelFileError(
                    args.file, f"no header key {key!r}{where}; the keys there are "
                    f"{_joined(_shown(k) for k in keys)}", tuple(keys))
            node = node[key]
            walked.append(key)
    if args.json:
        print(json.dumps(_sorted_tree(node), indent=2, ensure_ascii=False))
    elif isinstance(node, dict):
        for line in _tree_lines(node):
            print(line)
    else:
        print(node)
    return 0


# --- export and plot ----------------------------------------------------------------------


def run_export(args) -> int:
    from ._export import export

    return export(args)


def run_plot(args) -> int:
    from ._plot import plot

    return plot(args)


# --- the command line ---------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--debug", action="store_true",
                        help="show the traceback of an error instead of one line")

    parser = argparse.ArgumentParser(
        prog="zel", description="Look into Zel data files, export their channels, plot them.",
        epilog="Run 'zel COMMAND --help' for a command's options.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    info = commands.add_parser(
        "info", parents=[common], help="channels, units, segments, grid and member count",
        description="Show the file's channels (data type, base unit, units, segments), the "
        "segments present, the grid side and the member count. Every list is sorted.")
    info.add_argument("file", metavar="FILE")
    info.add_argument("--json", action="store_true",
                      help="print one JSON object instead of the table")
    info.set_defaults(run=run_info)

    header = commands.add_parser(
        "header", parents=[common], help="the header tree, sorted and indented",
        description="Show the header tree, sorted and indented, or what stands under one "
        "dotted key. Texts with blanks at their ends or control characters are quoted.")
    header.add_argument("file", metavar="FILE")
    header.add_argument("--prefix", metavar="KEY",
                        help="only the value or the tree under this dotted key, "
                        "such as lcd-info.0.conversion-set")
    header.add_argument("--json", action="store_true", help="print JSON instead of the tree")
    header.set_defaults(run=run_header)

    export = commands.add_parser(
        "export", parents=[common], help="channels as .npy, .npz, .csv or .nc",
        description="Write channels to OUT, whose extension chooses the format: .npy (one "
        "array of shape (rows, columns, samples) per channel and segment; with several, put "
        "{channel} and {segment} into OUT), .npz (every array, named CHANNEL/SEGMENT), .csv "
        "(one line per grid position with channel, segment, unit, row and column) or .nc "
        "(netCDF through xarray; needs the [xarray] extra).")
    export.add_argument("file", metavar="FILE")
    export.add_argument("channels", metavar="CHANNEL", nargs="*",
                        help="channels to export (default: all)")
    export.add_argument("--segment", metavar="S", type=int, nargs="+", dest="segments",
                        help="segments to export (default: every segment of each channel)")
    export.add_argument("--unit", metavar="U",
                        help="unit of every exported channel (default: each one's base unit)")
    export.add_argument("-o", "--output", metavar="OUT", required=True,
                        help="output file: .npy, .npz, .csv or .nc")
    export.set_defaults(run=run_export)

    plot = commands.add_parser(
        "plot", parents=[common], help="a heat map over the grid and a few traces",
        description="Draw a heat map of one per-position statistic of a channel over the "
        "grid, beside the traces of a few positions. Needs the [plot] extra (matplotlib).")
    plot.add_argument("file", metavar="FILE")
    plot.add_argument("channel", metavar="CHANNEL")
    plot.add_argument("--segment", metavar="S", type=int,
                      help="segment to plot (default: the channel's first)")
    plot.add_argument("--unit", metavar="U", help="unit (default: the channel's base unit)")
    plot.add_argument("--stat", choices=STATS, default="mean",
                      help="statistic over each position's samples (default: mean)")
    plot.add_argument("--position", metavar="ROW,COLUMN", action="append", dest="positions",
                      type=_position, help="a position whose trace to draw (repeatable; "
                      "default: the centre and the positions of the lowest and highest value)")
    plot.add_argument("--dpi", type=int, default=100,
                      help="pixels per inch; the picture is 11 x 4.5 inches (default: 100)")
    plot.add_argument("-o", "--output", metavar="OUT", required=True,
                      help="picture file: .png, .svg or .pdf")
    plot.set_defaults(run=run_plot)
    return parser


def _position(text: str) -> tuple[int, int]:
    try:
        row, column = (int(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected ROW,COLUMN such as 3,4, not {text!r}") from None
    return row, column


def _check(parser: argparse.ArgumentParser, args) -> None:
    """Usage errors that argparse cannot see, before the file is opened."""
    if args.command == "export":
        if os.path.splitext(args.output)[1].lower() not in EXPORT_FORMATS:
            parser.error(f"export: OUT must end in {', '.join(EXPORT_FORMATS)}: {args.output}")
    if args.command == "plot":
        if os.path.splitext(args.output)[1].lower() not in (".png", ".svg", ".pdf"):
            parser.error(f"plot: OUT must end in .png, .svg or .pdf: {args.output}")
        if args.dpi < 10 or args.dpi > 1000:
            parser.error("plot: --dpi must lie between 10 and 1000")


def main(argv: list[str] | None = None) -> int:
    """Runs the zel command; returns its exit status (argparse exits with 2 by itself)."""
    parser = build_parser()
    args, extras = parser.parse_known_args(argv)
    if extras and args.command == "export" and not any(e.startswith("-") for e in extras):
        args.channels += extras  # channels after an option: zel export FILE --unit U a b
    elif extras:
        parser.error(f"unrecognized arguments: {' '.join(extras)}")
    _check(parser, args)
    try:
        # The module writes diagnostic lines to descriptor 1; they must never mix into what
        # the command prints (--json output above all).
        with quiet():
            status = args.run(args)
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
        print(f"zel: error: {_message(error)}", file=sys.stderr)
        return 2 if isinstance(error, UsageError) else 1


def _message(error: Exception) -> str:
    if isinstance(error, (ZelFileError, UsageError, ImportError)):  # MissingExtra among them
        return str(error)
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        return f"{error.filename}: {error.strerror}"
    if isinstance(error, OSError):
        return str(error)
    text = str(error)
    hint = " (run with --debug for the traceback)"
    return f"internal error: {type(error).__name__}{': ' + text if text else ''}{hint}"


if __name__ == "__main__":
    sys.exit(main())
