"""zel plot: a heat map of a per-position statistic over the grid, beside a few traces."""

from __future__ import annotations

import os
import warnings

import numpy as np
import zel_data_reader

from ._describe import SAMPLES, describe
from ._errors import MissingExtra, ZelFileError, file_error

WIDTH, HEIGHT = 11.0, 4.5  # inches; the picture is WIDTH * dpi by HEIGHT * dpi pixels


def statistic(values: np.ndarray, stat: str) -> np.ndarray:
    """The statistic of each position's samples, NaN fill ignored; NaN where all are NaN."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN positions give NaN
        if stat == "ptp":
            return np.nanmax(values, axis=-1) - np.nanmin(values, axis=-1)
        return {"mean": np.nanmean, "min": np.nanmin, "max": np.nanmax,
                "std": np.nanstd}[stat](values, axis=-1)


def default_positions(grid: np.ndarray) -> list[tuple[int, ...]]:
    """The centre, then where the statistic is lowest and highest."""
    side = grid.shape[0]
    positions: list[tuple[int, ...]] = [(side // 2, side // 2)]
    if np.isfinite(grid).any():
        masked = np.where(np.isfinite(grid), grid, np.nan)
        for index in (np.nanargmin(masked), np.nanargmax(masked)):
            position = tuple(int(i) for i in np.unravel_index(index, grid.shape))
            if position not in positions:
                positions.append(position)
    return positions


def plot(args) -> int:
    try:
        import matplotlib

        matplotlib.use("Agg")  # no window: a command-line tool only writes files
        from matplotlib import patheffects
        from matplotlib.figure import Figure
    except ImportError:
        raise MissingExtra("zel plot needs matplotlib: pip install 'zel-data-reader[plot]'") \
            from None

    try:
        data = zel_data_reader.ZelDataFIle(args.file)
    except OSError as error:
        raise file_error(args.file, error) from None
    info = describe(data)
    channel = args.channel
    unit = info.unit(channel, args.unit)
    segment = info.segment(channel, args.segment)
    try:
        values = data.get_channel_data(channel, segment, unit)
    except OSError as error:
        raise file_error(args.file, error) from None
    side = values.shape[0]
    grid = statistic(values, args.stat)
    positions = args.positions or default_positions(grid)
    for row, column in positions:
        if not (0 <= row < side and 0 <= column < side):
            raise ZelFileError(args.file, f"no position ({row}, {column}) in the {side} x "
                               f"{side} grid; rows and columns run from 0 to {side - 1}")

    fig = Figure(figsize=(WIDTH, HEIGHT), dpi=args.dpi, constrained_layout=True)
    heat_axes, trace_axes = fig.subplots(1, 2, gridspec_kw={"width_ratios": [1.0, 1.25]})
    cmap = matplotlib.colormaps["viridis"].copy()
    cmap.set_bad("lightgrey")  # positions without any value
    image = heat_axes.imshow(np.ma.masked_invalid(grid), origin="upper",
                             interpolation="nearest", cmap=cmap)
    empty = " (grey: positions without samples)" if np.isnan(grid).any() else ""
    heat_axes.set_xlabel(f"grid column{empty}")
    heat_axes.set_ylabel("grid row (row 0 at the top)")
    heat_axes.set_title(f"{args.stat} of {channel}, segment {segment}")
    colorbar = fig.colorbar(image, ax=heat_axes, shrink=0.9)
    colorbar.set_label(f"{args.stat} of {channel} [{unit}]")

    samples = np.arange(SAMPLES)
    for number, (row, column) in enumerate(positions, start=1):
        (line,) = trace_axes.plot(samples, values[row, column], linewidth=1.2,
                                  label=f"{number}: ({row}, {column})")
        heat_axes.plot(column, row, marker="o", markersize=9, markerfacecolor="none",
                       markeredgecolor=line.get_color(), markeredgewidth=2)
        heat_axes.annotate(str(number), (column, row), xytext=(6, 6),
                           textcoords="offset points", color="white", fontweight="bold",
                           path_effects=[patheffects.withStroke(linewidth=2, foreground="black")])
    trace_axes.set_xlabel("sample")
    trace_axes.set_ylabel(f"{channel} [{unit}]")
    trace_axes.set_title(f"traces of {len(positions)} positions")
    trace_axes.legend(title="(row, column)", fontsize="small")
    trace_axes.grid(True, alpha=0.3)
    fig.suptitle(f"{os.path.basename(args.file)}: {channel} in {unit}, segment {segment}")

    fig.savefig(args.output, dpi=args.dpi)
    width, height = round(WIDTH * args.dpi), round(HEIGHT * args.dpi)
    shown = ", ".join(f"({r}, {c})" for r, c in positions)
    print(f"wrote {args.output} ({width} x {height} pixels): {args.stat} of {channel} in "
          f"{unit} over the {side} x {side} grid, segment {segment}; traces of {shown}")
    return 0
