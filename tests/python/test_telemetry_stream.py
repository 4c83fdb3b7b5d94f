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
from telemetry_peer import FULL_SAMPLE, TelemetryPeer


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


def test_sample_readers_take_every_sample_once_in_order_each_from_its_own_place(
    receiver: _tandrel.EthernetReceiveInterface,
) -> None:
    reader, other = receiver.sample_reader(), receiver.sample_reader()
    taken: list[_tandrel.TelemetrySample] = []
    deadline = time.monotonic() + 5.0
    while len(taken) < 10 and time.monotonic() < deadline:
        taken += reader.take(timeout=2.0)
    sequences = [sample.sequence for sample in taken]
    assert len(sequences) >= 10
    assert sequences == list(range(sequences[0], sequences[0] + len(sequences)))
    assert sequences[0] > receiver.counters()["samples_published"] - len(sequences) - 2
    # What one reader took is still there for the other, which has missed nothing either.
    assert [s.sequence for s in other.take(timeout=0.0)][: len(sequences)] == sequences
    assert (reader.missed, other.missed) == (0, 0)
    assert repr(reader) == "<SampleReader missed=0>"


def test_a_reader_waits_without_the_interpreter_lock_for_one_thread_and_ctrl_c(
    receiver: _tandrel.EthernetReceiveInterface, telemetry_peer: TelemetryPeer
) -> None:
    reader = receiver.sample_reader()
    telemetry_peer.packet = b""  # the stream goes quiet
    time.sleep(0.1)
    reader.take(timeout=0.0)  # whatever came before the quiet

    outcome: dict[str, object] = {}
    waiting = threading.Thread(target=lambda: outcome.update(taken=reader.take(timeout=0.5)))
    started = time.monotonic()
    waiting.start()
    time.sleep(0.1)  # runs while the other thread waits: the lock was released
    with pytest.raises(RuntimeError, match="another thread"):
        reader.take(timeout=0.0)
    waiting.join()
    assert outcome["taken"] == [] and time.monotonic() - started >= 0.5

    threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        reader.take()  # no timeout: only a sample, a stop or Ctrl-C ends it
    assert time.monotonic() - started < 0.2 + 0.3

    telemetry_peer.packet = FULL_SAMPLE
    assert reader.take(timeout=2.0)
    receiver.wait_for_next_sample(timeout=2.0)
    receiver.disconnect()
    assert reader.take(timeout=0.0)  # what came before the disconnect
    with pytest.raises(_brevacon.ConnectionLostError):
        reader.take(timeout=1.0)


@pytest.mark.parametrize(("text", "error", "match"), [
    (b"pause", TypeError, "takes a str, not bytes"),
    (bytearray(b"pause"), TypeError, "not bytearray"),
    (None, TypeError, "not NoneType"),
    ("\u00e9" * 4097, ValueError, "at most 4096 characters; this text has 4097"),
])
def test_mark_takes_text_of_at_most_4096_characters(
    receiver: _tandrel.EthernetReceiveInterface, tmp_path: pathlib.Path, text: object,
    error: type[Exception], match: str,
) -> None:
    with receiver.record(str(tmp_path / "run.csv")) as recording:
        with pytest.raises(error, match=match):
            recording.mark(text)  # type: ignore[arg-type]
        recording.mark("\u00e9" * 4096)  # the longest: 8192 bytes of UTF-8
