"""zel plot: a heat map of a per-position statistic over the grid, beside a few traces.

The grid is drawn as xarray's ``.plot()`` draws a (row, column) array: column across, row up,
row 0 at the bottom. Positions that hold fewer than 100 samples (their statistic stands on
fewer values) are marked, and each trace's legend entry says its role, its position and its
sample count.
"""

from __future__ import annotations

import dataclasses
import os
import warnings
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._errors import MissingExtra, UsageError, ZelFileError
from ._file import ZelFile
from ._info import SAMPLES
from ._output import Outputs
from ._remote import shown as shown_path
from ._text import escaped

WIDTH, HEIGHT = 11.0, 4.5  # inches; the picture is WIDTH * dpi by HEIGHT * dpi pixels
STATS = ("mean", "min", "max", "std", "range", "count")
WORDS = {"mean": "mean", "min": "lowest value", "max": "highest value",
         "std": "standard deviation", "range": "range (highest - lowest)",
         "count": "samples present"}
# The heat map's title, short enough to stay clear of the colour bar on any grid; the colour
# bar's label says the rest (WORDS).
TITLES = {"mean": "mean", "min": "lowest value", "max": "highest value",
          "std": "standard deviation", "range": "range", "count": "samples present"}
ROLES = {"mean": "mean", "min": "minimum", "max": "maximum", "std": "standard deviation",
         "range": "range", "count": "count"}  # "lowest ...", "highest ..."
RASTER = ("png", "jpg", "jpeg", "tif", "tiff", "webp", "raw", "rgba")

FloatArray = np.ndarray[Any, np.dtype[np.float64]]


@dataclass(frozen=True)
class PlotRequest:
    file: str
    channel: str
    output: str
    segment: int | None = None
    unit: str | None = None
    stat: str = "mean"
    positions: Sequence[tuple[int, int]] | None = None
    storage_options: Mapping[str, Any] | None = None  # for a FILE that is an fsspec URL
    dpi: int = 100


def _matplotlib() -> Any:
    try:
        import matplotlib

        matplotlib.use("Agg")  # no window: a command-line tool only writes files
        return matplotlib
    except ImportError:
        raise MissingExtra("zel plot needs matplotlib: pip install 'zel-data-reader[plot]'") \
            from None


def picture_format(output: str) -> str:
    """The picture format that `output`'s extension names, among those matplotlib writes."""
    _matplotlib()
    from matplotlib.figure import Figure

    formats = sorted(Figure().canvas.get_supported_filetypes())
    extension = os.path.splitext(output)[1].lower().lstrip(".")
    if extension not in formats:
        raise UsageError(f"plot: PICTURE must end in one of .{', .'.join(formats)}: "
                         f"{escaped(output)}")
    return extension


def statistic(values: FloatArray, stat: str) -> FloatArray:
    """The statistic of each position's samples, NaN fill ignored; NaN where all are NaN
    (but a count of 0)."""
    if stat == "count":
        counted: FloatArray = np.count_nonzero(~np.isnan(values), axis=-1).astype(np.float64)
        return counted
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN positions give NaN
        if stat == "range":
            result = np.nanmax(values, axis=-1) - np.nanmin(values, axis=-1)
        elif stat == "min":
            result = np.nanmin(values, axis=-1)
        elif stat == "max":
            result = np.nanmax(values, axis=-1)
        elif stat == "std":
            result = np.nanstd(values, axis=-1)
        else:
            result = np.nanmean(values, axis=-1)
    typed: FloatArray = np.asarray(result, dtype=np.float64)
    return typed


def default_positions(grid: FloatArray, stat: str) -> list[tuple[str, tuple[int, int]]]:
    """(role, position): the centre, then where the statistic is lowest and highest. A
    position with two roles is listed once, with both."""
    side = grid.shape[0]
    if side == 1:
        return [("the only position", (0, 0))]
    chosen: dict[tuple[int, int], list[str]] = {(side // 2, side // 2): ["centre"]}
    if np.isfinite(grid).any():
        masked = np.where(np.isfinite(grid), grid, np.nan)
        for role, index in ((f"lowest {ROLES[stat]}", np.nanargmin(masked)),
                            (f"highest {ROLES[stat]}", np.nanargmax(masked))):
            row, column = np.unravel_index(int(index), grid.shape)
            chosen.setdefault((int(row), int(column)), []).append(role)
    return [(", ".join(roles), position) for position, roles in chosen.items()]


def _counted(count: int, noun: str) -> str:
    """"1 position", "3 positions"."""
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


# Where a trace's number may stand beside its circle, in points from the circle's centre.
_LABEL_OFFSETS = ((6, 6), (-14, 6), (6, -14), (-14, -14), (10, -4), (-18, -4), (-4, 10),
                  (-4, -18))
_LABEL_CLEARANCE = 11.0  # points between two numbers' anchors


def label_offsets(positions: Sequence[tuple[int, int]], side: int,
                  cell: float) -> list[tuple[int, int]]:
    """An offset (in points) for the number of each trace's circle, so that numbers of
    neighbouring positions do not cover each other: each number goes to the first place,
    towards the grid's middle first, that keeps clear of the numbers already placed."""
    placed: list[tuple[float, float]] = []
    offsets: list[tuple[int, int]] = []
    for row, column in positions:
        inward = (1 if column <= side / 2 else -1, 1 if row <= side / 2 else -1)
        candidates = sorted(_LABEL_OFFSETS, key=lambda o: (o[0] * inward[0] < 0)
                            + (o[1] * inward[1] < 0))
        chosen = candidates[0]
        for dx, dy in candidates:
            x, y = column * cell + dx, row * cell + dy
            if all(abs(x - px) >= _LABEL_CLEARANCE or abs(y - py) >= _LABEL_CLEARANCE
                   for px, py in placed):
                chosen = (dx, dy)
                break
        placed.append((column * cell + chosen[0], row * cell + chosen[1]))
        offsets.append(chosen)
    return offsets


def _plain(text: str) -> str:
    """A text from the file as matplotlib shows it verbatim: "$" starts no formula."""
    return escaped(text).replace("$", r"\$")


def plot(request: PlotRequest, *, report: Callable[[str], None]) -> int:
    matplotlib = _matplotlib()
    from matplotlib import patheffects
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch
    from matplotlib.ticker import MaxNLocator

    kind = picture_format(request.output)
    options = dict(request.storage_options) if request.storage_options else None
    with ZelFile._for_info(request.file, options) as data:
        info = data.info
        info = dataclasses.replace(info, file=shown_path(request.file))  # errors name it as given
        channel = request.channel
        unit = info.unit(channel, request.unit)
        segment = info.segment(channel, request.segment)
        values = data.read(channel, segment, unit)
        identity = data.identity[:2]
    side = values.shape[0]
    stat = request.stat
    grid = statistic(values, stat)
    counts = np.count_nonzero(~np.isnan(values), axis=-1)
    if request.positions:
        traces = [("chosen", (row, column)) for row, column in request.positions]
    else:
        traces = default_positions(grid, stat)
    for _, (row, column) in traces:
        if not (0 <= row < side and 0 <= column < side):
            raise ZelFileError(shown_path(request.file), f"no position ({row}, {column}) in the "
                               f"{side} x {side} grid; rows and columns run from 0 to "
                               f"{side - 1}")

    name, unit_text = _plain(channel), _plain(unit)
    stat_unit = "samples" if stat == "count" else unit_text
    fig = Figure(figsize=(WIDTH, HEIGHT), dpi=request.dpi, constrained_layout=True)
    heat_axes, trace_axes = fig.subplots(1, 2, gridspec_kw={"width_ratios": [1.0, 1.25]})
    cmap = matplotlib.colormaps["viridis"].copy()
    cmap.set_bad("lightgrey")  # positions without any value
    image = heat_axes.imshow(np.ma.masked_invalid(grid), origin="lower",
                             interpolation="nearest", cmap=cmap)
    heat_axes.set_xlabel("grid column")
    heat_axes.set_ylabel("grid row (row 0 at the bottom)")
    heat_axes.set_title(f"{TITLES[stat]} per position", fontsize="medium")
    for axis in (heat_axes.xaxis, heat_axes.yaxis):
        axis.set_major_locator(MaxNLocator(nbins="auto", integer=True, min_n_ticks=1))
    colorbar = fig.colorbar(image, ax=heat_axes, shrink=0.9)
    colorbar.set_label(f"{WORDS[stat]} [{stat_unit}]")

    # Positions whose statistic stands on fewer samples than the others: a cross on each,
    # large enough to see on a grid of many small cells.
    cell = HEIGHT * 72 * 0.7 / side  # points per grid cell, roughly
    key: list[Any] = []
    short = np.argwhere((counts > 0) & (counts < SAMPLES))
    if len(short):
        heat_axes.plot(short[:, 1], short[:, 0], linestyle="none", marker="x",
                       markersize=max(5.0, 0.45 * cell), markeredgewidth=max(1.0, cell / 14),
                       color="red", clip_on=False)
        key.append(Line2D([], [], linestyle="none", marker="x", color="red",
                          label=f"fewer than {SAMPLES} samples "
                          f"({_counted(len(short), 'position')})"))
    empty = np.argwhere(counts == 0)
    if len(empty):
        label = f"no samples ({_counted(len(empty), 'position')})"
        if cell < 6:  # a grey cell of a pixel or two is lost: a square marks each one
            heat_axes.plot(empty[:, 1], empty[:, 0], linestyle="none", marker="s",
                           markersize=5.0, markerfacecolor="lightgrey",
                           markeredgecolor="black", markeredgewidth=0.8, clip_on=False)
            key.append(Line2D([], [], linestyle="none", marker="s", markersize=5.0,
                              markerfacecolor="lightgrey", markeredgecolor="black",
                              label=label))
        else:
            key.append(Patch(color="lightgrey", label=label))
    if key:
        heat_axes.legend(handles=key, loc="upper center", bbox_to_anchor=(0.5, -0.16),
                         fontsize="small", frameon=False)

    samples = np.arange(SAMPLES)
    offsets = label_offsets([position for _, position in traces], side, cell)
    for number, ((role, (row, column)), offset) in enumerate(zip(traces, offsets), start=1):
        count = int(counts[row, column])
        (line,) = trace_axes.plot(samples, values[row, column], linewidth=1.2,
                                  marker="." if count < SAMPLES else None, markersize=3,
                                  label=f"{number}: {role} ({row}, {column}), "
                                  f"{count} samples")
        heat_axes.plot(column, row, marker="o", markersize=9, markerfacecolor="none",
                       markeredgecolor=line.get_color(), markeredgewidth=2, clip_on=False)
        heat_axes.annotate(str(number), (column, row), xytext=offset,
                           textcoords="offset points", color="white", fontweight="bold",
                           annotation_clip=False,
                           path_effects=[patheffects.withStroke(linewidth=2, foreground="black")])
    trace_axes.set_xlabel("sample")
    trace_axes.set_ylabel(f"{name} [{unit_text}]")
    trace_axes.set_title(f"traces of {_counted(len(traces), 'position')}", fontsize="medium")
    trace_axes.legend(title="position (row, column)", fontsize="small", loc="upper left",
                      bbox_to_anchor=(1.02, 1.0), borderaxespad=0.0)
    trace_axes.grid(True, alpha=0.3)
    fig.suptitle(f"{_plain(os.path.basename(shown_path(request.file)))}: {name} in {unit_text}, "
                 f"segment {segment}")

    with Outputs(inputs=[identity]) as outputs, outputs.file(request.output) as stream:
        fig.savefig(stream, format=kind, dpi=request.dpi)
    if kind in RASTER:
        size = f"{round(WIDTH * request.dpi)} x {round(HEIGHT * request.dpi)} pixels"
    else:
        size = f"{WIDTH:g} x {HEIGHT:g} inches"
    shown = ", ".join(f"{role} ({r}, {c}) of {counts[r, c]} samples" for role, (r, c) in traces)
    report(f"wrote {escaped(request.output)} ({size}): {WORDS[stat]} of {escaped(channel)} "
           f"in {escaped(unit)} over the {side} x {side} grid, segment {segment}; "
           f"traces of {shown}")
    return 0
