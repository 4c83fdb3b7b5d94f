"""Draw a telemetry recording: joint angles and TCP position against time, and the TCP path.

    epson-plot RECORDING.csv -o run.png

A recording is what ``EthernetReceiveInterface.record()`` writes. Needs matplotlib
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


@dataclass
class Run:
    """The sample rows of a recording, column by column; time starts at the first sample."""

    time: list[float] = field(default_factory=list)
    sequence: list[int] = field(default_factory=list)
    columns: dict[str, list[float]] = field(default_factory=dict)

    @property
    def missed(self) -> int:
        """Samples the receiver published but the recording lacks (gaps in the sequence)."""
        return sum(b - a - 1 for a, b in zip(self.sequence, self.sequence[1:]))


def read_run(path: pathlib.Path) -> Run:
    """Reads the sample rows of a recording; status rows (no sequence) are left out."""
    run = Run(columns={name: [] for name in JOINTS + POSITION})
    with path.open(newline="") as file:
        for row in csv.DictReader(file):
            if not row.get("sequence"):
                continue
            run.time.append(float(row["host_time"]))
            run.sequence.append(int(row["sequence"]))
            for name in run.columns:
                run.columns[name].append(float(row[name]))
    if not run.time:
        raise ValueError(f"{path} holds no sample rows")
    start = run.time[0]
    run.time = [t - start for t in run.time]
    return run


def plot_run(run: Run, title: str, output: pathlib.Path) -> None:
    """Writes the three views of a run to an image file (its suffix picks the format)."""
    import matplotlib

    matplotlib.use("Agg")  # files only: no display needed
    from matplotlib import pyplot as plt

    figure = plt.figure(figsize=(13, 8), layout="constrained")
    grid = figure.add_gridspec(2, 2, width_ratios=(1.3, 1))
    joints = figure.add_subplot(grid[0, 0])
    for name in JOINTS:
        joints.plot(run.time, run.columns[name], label=name)
    joints.set(title="Joint angles", xlabel="time [s]", ylabel="angle [deg]")
    joints.legend(ncols=3, fontsize="small")

    position = figure.add_subplot(grid[1, 0], sharex=joints)
    for name in POSITION:
        position.plot(run.time, run.columns[name], label=name)
    position.set(title="TCP position", xlabel="time [s]", ylabel="position [mm]")
    position.legend(ncols=3, fontsize="small")

    path = figure.add_subplot(grid[:, 1], projection="3d")
    path.plot(run.columns["X"], run.columns["Y"], run.columns["Z"], color="tab:blue")
    path.scatter(*(run.columns[n][:1] for n in POSITION), color="tab:green", label="start")
    path.scatter(*(run.columns[n][-1:] for n in POSITION), color="tab:red", label="end")
    path.set(title="TCP path", xlabel="X [mm]", ylabel="Y [mm]", zlabel="Z [mm]")
    # One scale on all three axes: a path flat in Z stays flat instead of blowing up its noise.
    half = max(max(max(v) - min(v) for v in (run.columns[n] for n in POSITION)) / 2, 1.0)
    for name, set_limits in zip(POSITION, (path.set_xlim, path.set_ylim, path.set_zlim)):
        values = run.columns[name]
        middle = (max(values) + min(values)) / 2
        set_limits(middle - half, middle + half)
    path.set_box_aspect((1, 1, 1))
    path.legend(fontsize="small")

    summary = f"{len(run.time)} samples over {run.time[-1]:.2f} s"
    if run.missed:
        summary += f", {run.missed} missed"
    figure.suptitle(f"{title}: {summary}")
    figure.savefig(output, dpi=100)
    plt.close(figure)


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
    print(f"epson-plot: {output} ({len(run.time)} samples, {run.missed} missed)")
    return 0
