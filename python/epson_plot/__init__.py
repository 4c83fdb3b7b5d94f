"""Draw a telemetry recording: joint angles and TCP position against time, and the TCP path.

    epson-plot RECORDING.csv -o run.png

A recording is what ``EthernetReceiveInterface.record()`` writes; the events marked in it
(``Recording.mark()``) show as labelled vertical lines on the time plots, and so does each
reconnection the recording went through (its sample sequence starts again). Needs matplotlib
(``pip install epson-driver[plot]``).
"""

from __future__ import annotations

import argparse
import csv
import pathlib
import sys
from dataclasses import dataclass, field

JOINTS = ("J1", "J2", "J3", "J4", "J5", "J6")
POSITION = ("X", "Y", "Z")
# Events closer than this share one label (as a fraction of the run's duration), so labels never
# pile up; each still gets its own line.
LABEL_GAP = 0.05
LABEL_CHARS = 24
# The label of the line where a recording's sample sequence starts again.
RECONNECT = "reconnect"


@dataclass
class Run:
    """The sample rows of a recording, column by column, and its events (time, text); time
    starts at the first sample."""

    time: list[float] = field(default_factory=list)
    sequence: list[int] = field(default_factory=list)
    columns: dict[str, list[float]] = field(default_factory=dict)
    events: list[tuple[float, str]] = field(default_factory=list)
    # Rows left out because they do not hold what their kind needs: the last row of a recording
    # whose writer was stopped in the middle of it.
    unreadable: int = 0

    @property
    def duration(self) -> float:
        """Seconds from the first sample (or event) to the last sample (or event)."""
        return max([t for t, _ in self.events] + self.time[-1:], default=0.0)

    @property
    def missed(self) -> int:
        """Samples the receiver published but the recording lacks: the gaps in the sequence.
        Where the sequence starts again (a reconnection), the samples before the first one
        recorded of the new connection count too."""
        return sum(b - a - 1 if b > a else b - 1
                   for a, b in zip(self.sequence, self.sequence[1:]))


def read_run(path: pathlib.Path) -> Run:
    """Reads the sample and event rows of a recording; status rows are left out. Recordings
    from before events existed have no ``event`` column. A recording may hold no sample at all
    (it ended before the first came); a row cut short is counted in ``unreadable``. Raises
    ValueError for a file that is not a recording (no ``host_time`` column)."""
    run = Run(columns={name: [] for name in JOINTS + POSITION})
    with path.open(newline="", encoding="utf-8", errors="replace") as file:
        reader = csv.DictReader(file)
        if "host_time" not in (reader.fieldnames or []):
            raise ValueError(f"{path} is not a telemetry recording (no host_time column)")
        for row in reader:
            try:
                _add_row(run, row)
            except (TypeError, ValueError):
                run.unreadable += 1
    start = run.time[0] if run.time else min((t for t, _ in run.events), default=0.0)
    run.time = [t - start for t in run.time]
    run.events = sorted((t - start, text) for t, text in run.events)
    return run


def _add_row(run: Run, row: dict[str, str | None]) -> None:
    """Adds a sample or event row to the run; raises TypeError or ValueError, leaving the run
    as it was, for a row without what its kind needs."""
    host_time = float(row["host_time"])  # type: ignore[arg-type]
    if row.get("event"):
        run.events.append((host_time, str(row["event"])))
    if not row.get("sequence"):
        return
    sequence = int(row["sequence"])  # type: ignore[arg-type]
    values = {name: float(row[name]) for name in run.columns}  # type: ignore[arg-type]
    if run.sequence and sequence <= run.sequence[-1]:
        run.events.append((host_time, RECONNECT))
    run.time.append(host_time)
    run.sequence.append(sequence)
    for name, value in values.items():
        run.columns[name].append(value)


def event_labels(events: list[tuple[float, str]], span: float) -> list[tuple[float, str]]:
    """One label per group of events closer than LABEL_GAP of the span: at the group's first
    event, its texts joined, each shortened to LABEL_CHARS."""
    labels: list[tuple[float, str]] = []
    last = None
    for t, text in events:
        text = " ".join(text.split())
        if len(text) > LABEL_CHARS:
            text = text[:LABEL_CHARS - 1] + "\u2026"
        if last is not None and t - last <= LABEL_GAP * span:
            labels[-1] = (labels[-1][0], f"{labels[-1][1]}, {text}")
        else:
            labels.append((t, text))
        last = t
    return labels


def plot_lines(axes, time: list[float], columns: dict[str, list[float]], names) -> None:
    """Each column in its own colour, line style and width: the widths shrink from the first to
    the last, so a curve lying on an earlier one shows that one around it (in the demo J6 lies
    exactly on J1)."""
    for index, name in enumerate(names):
        axes.plot(time, columns[name], label=name, linestyle="--" if index % 2 else "-",
                  linewidth=4.2 - 2.6 * index / max(len(names) - 1, 1))


def draw_events(top, below, run: Run) -> None:
    """Each event as a vertical line through both time plots, labelled above the top one, where
    the labels cover no curve and the layout makes room for them."""
    if not run.events:
        return
    for axes in (top, below):
        for t, _ in run.events:
            axes.axvline(t, color="0.3", linestyle=":", linewidth=1.2, zorder=0.5)
    labels = event_labels(run.events, max(run.duration, 1e-9))
    ticks = top.secondary_xaxis("top")
    ticks.set_xticks([t for t, _ in labels], [text for _, text in labels], rotation=30,
                     ha="left", rotation_mode="anchor", fontsize="small")
    ticks.tick_params(length=4, color="0.3")


def draw_run(run: Run, title: str):
    """The figure of the three views of a run."""
    # A bare Figure draws with Agg and leaves pyplot's backend alone, in a host program too.
    from matplotlib.figure import Figure

    figure = Figure(figsize=(13, 8), layout="constrained")
    grid = figure.add_gridspec(2, 2, width_ratios=(1.3, 1))
    joints = figure.add_subplot(grid[0, 0])
    plot_lines(joints, run.time, run.columns, JOINTS)
    joints.set(title="Joint angles", xlabel="time [s]", ylabel="angle [deg]")
    # Legends beside the plots: inside they would cover a curve whatever the run.
    joints.legend(fontsize="small", loc="upper left", bbox_to_anchor=(1.01, 1))

    position = figure.add_subplot(grid[1, 0], sharex=joints)
    plot_lines(position, run.time, run.columns, POSITION)
    position.set(title="TCP position", xlabel="time [s]", ylabel="position [mm]")
    position.legend(fontsize="small", loc="upper left", bbox_to_anchor=(1.01, 1))
    draw_events(joints, position, run)

    path = figure.add_subplot(grid[:, 1], projection="3d")
    path.plot(run.columns["X"], run.columns["Y"], run.columns["Z"], color="tab:blue")
    path.scatter(*(run.columns[n][:1] for n in POSITION), color="tab:green", label="start")
    path.scatter(*(run.columns[n][-1:] for n in POSITION), color="tab:red", label="end")
    path.set_title("TCP path")
    # The 3-D tick labels sit on the axis lines; the padding keeps the axis names clear of them.
    for set_label, text in zip((path.set_xlabel, path.set_ylabel, path.set_zlabel), POSITION):
        set_label(f"{text} [mm]", labelpad=10)
    # One scale on all three axes: a path flat in Z stays flat instead of blowing up its noise.
    if run.time:
        half = max(max(max(v) - min(v) for v in (run.columns[n] for n in POSITION)) / 2, 1.0)
        for name, set_limits in zip(POSITION, (path.set_xlim, path.set_ylim, path.set_zlim)):
            values = run.columns[name]
            middle = (max(values) + min(values)) / 2
            set_limits(middle - half, middle + half)
    # Constrained layout sizes a 3-D axes by its box, not by the axis names drawn around the
    # cube, so the cube is drawn smaller than the box to keep "Z [mm]" inside the figure.
    path.set_box_aspect((1, 1, 1), zoom=0.88)
    path.legend(fontsize="small", loc="upper left")

    summary = f"{len(run.time)} samples over {run.duration:.2f} s"
    if run.missed:
        summary += f", {run.missed} missed"
    figure.suptitle(f"{title}: {summary}")
    return figure


def plot_run(run: Run, title: str, output: pathlib.Path) -> None:
    """Writes the three views of a run to an image file (its suffix picks the format)."""
    draw_run(run, title).savefig(output, dpi=100)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="epson-plot", description=__doc__.splitlines()[0])
    parser.add_argument("recording", type=pathlib.Path, help="CSV file written by record()")
    parser.add_argument("-o", "--output", type=pathlib.Path, help="image file (default: .png "
                        "next to the recording)")
    parser.add_argument("--title", help="figure title (default: the recording's name)")
    args = parser.parse_args(argv)
    output = args.output or args.recording.with_suffix(".png")
    try:
        run = read_run(args.recording)
    except (OSError, ValueError, KeyError) as error:
        print(f"epson-plot: {error}", file=sys.stderr)
        return 1
    try:
        plot_run(run, args.title or args.recording.name, output)
    except ModuleNotFoundError:
        print("epson-plot: matplotlib is not installed (pip install epson-driver[plot])",
              file=sys.stderr)
        return 1
    unreadable = f", {run.unreadable} unreadable rows left out" if run.unreadable else ""
    print(f"epson-plot: {output} ({len(run.time)} samples, {run.missed} missed{unreadable})")
    return 0
