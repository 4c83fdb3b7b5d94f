"""The receiver as an application uses it from Python: waiting, iterating, Ctrl-C, recording."""

from __future__ import annotations

import csv
import os
import pathlib
import signal
import threading
import time

import pytest

import _brevacon
import _tandrel
from telemetry_peer import TelemetryPeer


@pytest.fixture
def receiver(telemetry_peer: TelemetryPeer) -> _tandrel.EthernetReceiveInterface:
    receiver = _tandrel.EthernetReceiveInterface()
    receiver.connect("127.0.0.1", telemetry_peer.port)
    yield receiver
    receiver.disconnect()


def test_wait_and_iterate_see_each_new_sample_and_its_sequence(
    receiver: _tandrel.EthernetReceiveInterface,
) -> None:
    latest = receiver.get_sample()
    sample = receiver.wait_for_next_sample(timeout=2.0)
    assert sample.sequence > latest.sequence
    assert abs(time.monotonic() - sample.host_time) < 1.0

    sequences = []
    for sample in receiver.samples(timeout=2.0):
        sequences.append(sample.sequence)
        if len(sequences) == 3:
            threading.Timer(0.1, receiver.disconnect).start()
        time.sleep(0.05)  # slower than the 20 ms stream: the gaps show
    assert len(sequences) >= 3  # the loop ended with the disconnect
    steps = [b - a for a, b in zip(sequences, sequences[1:])]
    assert min(steps) >= 1 and max(steps) >= 2  # a loaded machine may slow the stream as well
    counters = receiver.counters()
    assert counters["samples_published"] >= sequences[-1]
    with pytest.raises(_brevacon.ConnectionLostError):
        receiver.wait_for_next_sample(timeout=1.0)


def test_ctrl_c_reaches_a_waiting_thread(
    receiver: _tandrel.EthernetReceiveInterface, telemetry_peer: TelemetryPeer
) -> None:
    telemetry_peer.packet = b""  # the stream goes quiet
    threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        receiver.wait_for_next_sample(timeout=10.0)
    assert time.monotonic() - started < 0.2 + 0.3
    with pytest.raises(_brevacon.TimeoutError, match="within 100 ms"):
        receiver.wait_for_next_sample(timeout=0.1)


def test_record_writes_rows_until_the_block_ends(
    receiver: _tandrel.EthernetReceiveInterface, tmp_path: pathlib.Path
) -> None:
    path = tmp_path / "run.csv"
    with receiver.record(str(path)) as recording:
        assert receiver.is_recording() and recording.path == str(path)
        time.sleep(0.3)
    assert not receiver.is_recording()
    with path.open() as file:
        rows = list(csv.DictReader(file))
    assert len(rows) == receiver.counters()["recorded_rows"] >= 10
    sequences = [int(row["sequence"]) for row in rows]
    assert sequences == list(range(sequences[0], sequences[0] + len(rows)))
    with pytest.raises(RuntimeError, match="Cannot open"):
        receiver.record(str(tmp_path / "missing" / "run.csv"))


def test_a_recording_outlives_connect_keeps_to_its_handle_marks_events_and_reports_a_full_disk(
    telemetry_peer: TelemetryPeer, tmp_path: pathlib.Path
) -> None:
    receiver = _tandrel.EthernetReceiveInterface()
    first = receiver.record(str(tmp_path / "first.csv"))  # before connect, as a script may
    receiver.connect("127.0.0.1", telemetry_peer.port)
    assert receiver.is_recording()
    first.mark('pause "P1"')
    receiver.wait_for_next_sample(timeout=2.0)
    first.stop()
    with receiver.record(str(tmp_path / "second.csv")):
        first.stop()  # a stale handle leaves the running recording alone
        assert receiver.is_recording()
        with pytest.raises(RuntimeError, match="has ended"):
            first.mark("late")
    with (tmp_path / "first.csv").open() as file:
        rows = list(csv.DictReader(file))
    assert [row["event"] for row in rows if row["event"]] == ['pause "P1"']
    assert len(rows) >= 2 and rows[0]["sequence"] and not rows[0]["event"]

    written = receiver.counters()["recorded_rows"]
    full = receiver.record("/dev/full")
    deadline = time.monotonic() + 5.0
    while receiver.is_recording() and time.monotonic() < deadline:
        time.sleep(0.02)
    counters = receiver.counters()
    assert not receiver.is_recording()
    assert "/dev/full" in counters["recording_error"] and counters["recorded_rows"] == written
    with pytest.raises(RuntimeError, match="/dev/full"):
        full.stop()
    receiver.disconnect()


def test_epson_plot_draws_a_recording_and_counts_missed_samples(tmp_path: pathlib.Path) -> None:
    import epson_plot

    recording = tmp_path / "run.csv"
    rows = ["host_time,sequence,J1,J2,J3,J4,J5,J6,X,Y,Z,U,V,W,stat,system_error,control_device,"
            "robot_info,ctrl_info"]
    for i, sequence in enumerate([1, 2, 3, 6, 7]):  # 4 and 5 missing
        rows.append(f"{10 + i * 0.001},{sequence},{i},0,0,0,90,0,{350 + i},0,505,0,0,180,,,,,")
    rows.append("10.010,,,,,,,,,,,,,,524288,0,21,0,768")  # a status row
    recording.write_text("\n".join(rows) + "\n")
    run = epson_plot.read_run(recording)
    assert (len(run.time), run.missed, run.columns["X"][-1]) == (5, 2, 354.0)
    image = tmp_path / "run.png"
    assert epson_plot.main([str(recording), "-o", str(image)]) == 0
    assert image.read_bytes().startswith(b"\x89PNG")
