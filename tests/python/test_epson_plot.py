"""epson-plot on recordings with and without event rows, and a figure that keeps every label."""

from __future__ import annotations

import pathlib

import pytest

import epson_plot
from telemetry_peer import TelemetryPeer

HEADER = ("host_time,sequence,J1,J2,J3,J4,J5,J6,X,Y,Z,U,V,W,stat,system_error,control_device,"
          "robot_info,ctrl_info")


def recording(tmp_path: pathlib.Path, with_events: bool) -> pathlib.Path:
    """Twenty samples 10 ms apart with J1 and J6 equal, a status row, and, in the current format,
    three event rows (one before the first sample, two close together)."""
    rows = [HEADER + (",event" if with_events else "")]
    tail = "," if with_events else ""
    if with_events:
        rows.append('99.98,,,,,,,,,,,,,,,,,,,"armed, ""go"" next"')
    for i in range(20):
        joints = f"{i},{i / 2},0,0,90,{i}"
        rows.append(f"{100 + i * 0.01:.3f},{i + 1},{joints},{350 + i},0,505,0,0,180,,,,,{tail}")
        if i == 10:
            rows.append(f"100.101,,,,,,,,,,,,,,524288,0,21,0,768{tail}")
            if with_events:
                rows += ['100.102,,,,,,,,,,,,,,,,,,,"pause"',
                         '100.1025,,,,,,,,,,,,,,,,,,,"continue with a text far too long to show"']
    path = tmp_path / "run.csv"
    path.write_text("\n".join(rows) + "\n", encoding="utf-8")
    return path


@pytest.mark.parametrize("with_events", [True, False], ids=["events", "before-events"])
def test_reads_samples_and_events_of_either_format(tmp_path: pathlib.Path,
                                                   with_events: bool) -> None:
    run = epson_plot.read_run(recording(tmp_path, with_events))
    assert (len(run.time), run.missed, run.columns["J6"][-1]) == (20, 0, 19.0)
    assert run.time[0] == 0.0
    expected = [(-0.02, 'armed, "go" next'), (0.102, "pause"),
                (0.1025, "continue with a text far too long to show")]
    assert [(round(t, 4), text) for t, text in run.events] == (expected if with_events else [])


def test_close_events_share_a_shortened_label() -> None:
    events = [(0.0, "start"), (1.0, "pause"), (1.01, "continue\nnow"), (2.0, "x" * 40)]
    labels = epson_plot.event_labels(events, span=2.0)
    assert labels == [(0.0, "start"), (1.0, "pause, continue now"),
                      (2.0, "x" * (epson_plot.LABEL_CHARS - 1) + "\u2026")]


def test_figure_labels_events_keeps_every_label_inside_and_tells_joints_apart(
    tmp_path: pathlib.Path,
) -> None:
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    figure = epson_plot.draw_run(epson_plot.read_run(recording(tmp_path, True)), "run")
    renderer = FigureCanvasAgg(figure).get_renderer()
    figure.draw(renderer)
    # Everything drawn, the 3-D axis names included, lies within the image.
    inside = figure.get_tightbbox(renderer)
    assert (inside.x0 >= 0 and inside.y0 >= 0 and inside.x1 <= figure.bbox_inches.x1
            and inside.y1 <= figure.bbox_inches.y1), inside.bounds
    joints = figure.axes[0]
    shown = [label.get_text() for child in joints.child_axes
             for label in child.get_xticklabels()]
    assert shown == ['armed, "go" next', "pause, continue with a text fa\u2026"]
    lines = [line for line in joints.get_lines() if line.get_label() in epson_plot.JOINTS]
    styles = [(line.get_linestyle(), line.get_linewidth()) for line in lines]
    assert len(set(styles)) == len(epson_plot.JOINTS)
    # A joint drawn later is narrower, so one lying on an earlier joint leaves it visible.
    assert all(a[1] > b[1] for a, b in zip(styles, styles[1:]))


def test_reads_the_event_rows_the_recorder_writes(telemetry_peer: TelemetryPeer,
                                                  tmp_path: pathlib.Path) -> None:
    import _tandrel

    receiver = _tandrel.EthernetReceiveInterface()
    receiver.connect("127.0.0.1", telemetry_peer.port)
    path = tmp_path / "run.csv"
    try:
        with receiver.record(str(path)) as recording:
            receiver.wait_for_next_sample(timeout=2.0)
            recording.mark('say "hi",\r\nthen go')
            receiver.wait_for_next_sample(timeout=2.0)
    finally:
        receiver.disconnect()
    run = epson_plot.read_run(path)
    assert [text for _, text in run.events] == ['say "hi",  then go']  # CR and LF: spaces
    assert 0.0 < run.events[0][0] < run.time[-1]


def test_reads_whatever_the_recorder_writes_across_a_reconnect_and_a_cut_off_end(
    telemetry_peer: TelemetryPeer, tmp_path: pathlib.Path
) -> None:
    import _tandrel

    receiver = _tandrel.EthernetReceiveInterface()
    path, empty = tmp_path / "run.csv", tmp_path / "empty.csv"
    longest = "\u00e9\u2028\",\x00" * 819 + "z"  # 4096 characters: quotes, separators, NUL
    try:
        with receiver.record(str(empty)):
            pass  # no sample, no event: a header alone
        with receiver.record(str(path)) as recording:
            for _ in range(2):  # the second connect() restarts the sequence at 1
                receiver.connect("127.0.0.1", telemetry_peer.port)
                receiver.wait_for_next_sample(timeout=2.0)
                receiver.wait_for_next_sample(timeout=2.0)
            recording.mark(longest)
            receiver.wait_for_next_sample(timeout=2.0)
    finally:
        receiver.disconnect()
    whole = path.read_bytes()
    path.write_bytes(whole[:-20])  # a writer stopped in the middle of its last row

    run = epson_plot.read_run(path)
    assert run.missed == 0 and run.unreadable == 1
    assert [text for _, text in run.events] == [epson_plot.RECONNECT,
                                                longest.replace("\x00", " ")]
    restart = run.sequence.index(1, 1)
    assert run.events[0][0] == run.time[restart] and run.sequence[restart - 1] > 1

    for recorded in (path, empty):
        image = tmp_path / f"{recorded.stem}.png"
        assert epson_plot.main([str(recorded), "-o", str(image)]) == 0
        assert image.read_bytes().startswith(b"\x89PNG")
    assert len(epson_plot.read_run(empty).time) == 0


@pytest.mark.parametrize(("sequences", "missed"), [
    ([1, 2, 3], 0), ([1, 2, 5], 2), ([4, 5, 1, 2], 0), ([4, 5, 3, 4], 2), ([7, 7], 6), ([1], 0),
])
def test_missed_samples_count_gaps_and_the_start_of_each_connection(sequences: list[int],
                                                                     missed: int) -> None:
    assert epson_plot.Run(sequence=sequences).missed == missed
