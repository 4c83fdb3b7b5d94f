"""The virtual controller's postures, exact joint targets, Jump3, the refused Jump and the point
table with its files, over raw loopback sockets (helpers from test_virtual_controller)."""

import json
import os
import random
import threading
import time

import pytest

from epson_sim import VirtualController, kinematics as kin
from test_virtual_controller import logged_in, motors_on, pose_query, xy

HOME = [0.0, 0.0, 0.0, 0.0, 90.0, 0.0]
FLAGS = "Hand({p}),Elbow({p}),Wrist({p}),J4Flag({p}),J6Flag({p})"


def flags_text(values):
    hand, elbow, wrist, j4, j6 = values
    return (f"/{'R' if hand == 1 else 'L'} /{'A' if elbow == 1 else 'B'} "
            f"/{'NF' if wrist == 1 else 'F'} /J4F{j4} /J6F{j6}")


def agl(joints):
    return "AglToPls(" + ",".join(repr(float(q)) for q in joints) + ")"


def joints_of(client, point):
    return [float(client.query(f"PAgl({point},{j})")) for j in range(1, 7)]


@pytest.fixture
def vc():
    with VirtualController(port=0, telemetry_port=0) as controller:
        yield controller


@pytest.fixture
def moving(vc):
    client = motors_on(logged_in(vc.port))
    yield client
    client.close()


def watch(vc, statement_client, statement):
    """Runs the statement, sampling the robot every few ms; returns the reply and the poses."""
    seen, done = [], threading.Event()

    def sample():
        while not done.is_set():
            seen.append(vc.state()["pose"])
            time.sleep(0.004)

    watcher = threading.Thread(target=sample)
    watcher.start()
    try:
        reply = statement_client.ex(statement)
    finally:
        done.set()
        watcher.join()
    return reply, seen


# --- postures -----------------------------------------------------------------------------

def test_every_posture_read_from_joints_selects_those_joints():
    rng = random.Random(11)
    branches = set()
    for _ in range(400):
        q = [rng.uniform(lo, hi) for lo, hi in kin.JOINT_LIMITS]
        posture = kin.posture(q)
        branches.add((posture["hand"], posture["elbow"], posture["wrist"]))
        back = kin.solve_posture(kin.forward(q), None, posture, [0.0] * 6, nearest=False)
        assert back == pytest.approx(q, abs=1e-6), posture
    assert len(branches) == 8  # every hand, elbow and wrist occurs, so each flag selects


@pytest.mark.parametrize("joints, expected", [
    (HOME, (1, 1, 1, 0, 0)),
    ([20, 10, 20, 30, -40, 10], (1, 1, 2, 0, 0)),       # J5 < 0 flips the wrist
    ([0, 30, 120, 0, 45, 0], (1, 2, 1, 0, 0)),          # the elbow below
    ([0, -70, -30, 0, 60, 0], (2, 2, 1, 0, 0)),         # reaching back over the shoulder
    ([0, -40, 130, 0, 60, 0], (2, 1, 1, 0, 0)),
    ([10, 15, 5, 185, 50, 200], (1, 1, 1, 1, 1)),
    ([-10, 15, 5, -185, 50, -200], (1, 1, 1, 1, 1)),
    ([10, 15, 5, 180, 50, 180], (1, 1, 1, 0, 0)),       # +180 is still flag 0 ...
    ([10, 15, 5, -180, 50, -180], (1, 1, 1, 1, 1)),     # ... -180 is flag 1
    ([5, 10, 10, -170, -30, 350], (1, 1, 2, 0, 1)),
])
def test_posture_functions_and_flags_round_trip_over_the_wire(vc, moving, joints, expected):
    values = tuple(int(v) for v in moving.query(FLAGS.format(p=agl(joints))).split())
    assert values == expected
    point = xy(kin.forward(joints)) + " " + flags_text(values)
    assert joints_of(moving, point) == pytest.approx(joints, abs=1e-6)


def test_go_to_a_pose_with_the_flags_of_here_keeps_the_configuration(vc, moving):
    target = [25, -50, 140, 170, -60, -190]  # Lefty, elbow above, flipped, J6 a turn out
    assert moving.ex(f"Go {agl(target)}") == "#Execute,0"
    flags = moving.query(FLAGS.format(p="Here"))
    pose = moving.query(pose_query("Here")).replace(" ", ",")
    assert moving.ex("Go P0") == "#Execute,0"
    reply = moving.ex(f"Go XY({pose}) " + flags_text(int(v) for v in flags.split()))
    assert reply == "#Execute,0"
    assert vc.state()["joints"] == pytest.approx(target, abs=1e-6)


@pytest.mark.parametrize("point, code", [
    ("XY(350,0,505,0,0,180) /R /L", 20),
    ("XY(350,0,505,0,0,180) /X", 20),
    ("XY(350,0,505,0,0,180) /J1F0", 20),
    ("XY(350,0,505,0,0,180) /J4F2", 21),
    ("XY(350,0,505,0,0,180) /J6F128", 21),
    ("XY(350,0,505,0,0,180) /J6F2", 40),   # a second turn out is beyond J6's limits
    ("XY(350,0,505,0,0,180) /L /A", 40),
])
def test_bad_or_unreachable_flags_are_refused(moving, point, code):
    assert moving.ex(f"Print PAgl({point},1)") == f"!Execute,{code}"


# --- exact joints -------------------------------------------------------------------------

def test_go_and_move_to_agltopls_end_exactly_on_the_joints(vc, moving):
    first = [10.1, 20.2, 30.3, 40.4, 50.5, 60.6]
    assert moving.ex(f"Go {agl(first)}") == "#Execute,0"
    assert vc.state()["joints"] == first
    second = [12.3, 25.7, 22.1, 44.4, 55.5, 64.6]
    start, end = kin.forward(first)[:3], kin.forward(second)[:3]
    reply, seen = watch(vc, moving, f"Move {agl(second)}")
    assert reply == "#Execute,0"
    assert vc.state()["joints"] == second
    for pose in seen:  # on the straight line between the two TCP positions
        along = sum((p - a) * (b - a) for p, a, b in zip(pose, start, end)) / \
            sum((b - a) ** 2 for a, b in zip(start, end))
        nearest = [a + (b - a) * along for a, b in zip(start, end)]
        assert pose[:3] == pytest.approx(nearest, abs=0.05)


def test_move_cannot_end_in_other_joints_than_its_line_reaches(vc, moving):
    # The same pose a turn of J6 away: a straight line keeps J6 near where it was.
    assert moving.ex(f"Move {agl([0, 0, 0, 0, 90, 360])}") == "!Execute,43"
    assert moving.ex("Move Here /L") == "!Execute,43"
    assert moving.ex("Move Here /NF /F") == "!Execute,20"
    assert vc.state()["joints"] == HOME
    # A line settles J4 and J6 itself: turning the flange across J6 = 180 is no refusal, though
    # the flags written are those of the start.
    assert moving.ex(f"Go {agl([0, 0, 0, 0, 90, 175])}") == "#Execute,0"
    flags = "/R /A /NF /J4F0 /J6F0"
    assert moving.ex(f"Move Here +U(10) {flags}") == "#Execute,0"
    assert moving.ex(f"Move Here -U(20) {flags}") == "#Execute,0"
    assert abs(vc.state()["joints"][5]) == pytest.approx(185, abs=1e-6)


# --- Jump3 and Jump -----------------------------------------------------------------------

def test_jump3_rises_spans_and_comes_straight_down(vc, moving):
    start, dest = kin.forward(HOME), kin.forward([30, 20, 10, 0, 60, 0])  # from P0 to P1
    reply, seen = watch(vc, moving, "Jump3 Here +Z(50), P1 +Z(80), P1 C2")
    assert reply == "#Execute,0"
    assert vc.state()["joints"] == pytest.approx([30, 20, 10, 0, 60, 0], abs=1e-9)

    def above(pose, base, height):
        return pose[:2] == pytest.approx(base[:2], abs=0.01) and \
            base[2] - 1e-6 <= pose[2] <= base[2] + height + 1e-6

    phases = ["rise" if above(p, start, 50) else "fall" if above(p, dest, 80) else "span"
              for p in seen]
    order = [phase for i, phase in enumerate(phases) if i == 0 or phases[i - 1] != phase]
    assert order == ["rise", "span", "fall"], order
    rise = [p[2] for p, phase in zip(seen, phases) if phase == "rise"]
    fall = [p[2] for p, phase in zip(seen, phases) if phase == "fall"]
    assert rise == sorted(rise) and rise[-1] == pytest.approx(start[2] + 50, abs=0.5)
    assert fall == sorted(fall, reverse=True) and fall[0] == pytest.approx(dest[2] + 80, abs=0.5)
    span = [p[:3] for p, phase in zip(seen, phases) if phase == "span"]
    assert len(rise) > 5 and len(fall) > 5 and len(span) > 5
    # The span is joint-interpolated: it bows away from the chord between its ends.
    a, b = [start[0], start[1], start[2] + 50], [dest[0], dest[1], dest[2] + 80]
    chord = [y - x for x, y in zip(a, b)]
    length = sum(c * c for c in chord) ** 0.5
    def off_chord(p):
        t = sum((x - y) * c for x, y, c in zip(p, a, chord)) / length
        return sum((x - y - c * t / length) ** 2 for x, y, c in zip(p, a, chord)) ** 0.5
    assert max(off_chord(p) for p in span) > 1.0


def test_jump3_is_aborted_and_paused_like_any_motion():
    with VirtualController(port=0, telemetry_port=0, execute_accepts_pause=True) as vc:
        client = motors_on(logged_in(vc.port))
        assert client.ex("SpeedS 100") == "#Execute,0"
        client.send('$Execute,"Jump3 Here +Z(60), P1 +Z(60), P1"')
        time.sleep(0.3)
        assert client.cmd("$Pause") == "#Pause"
        held = vc.state()["pose"]
        time.sleep(0.2)
        assert vc.state()["pose"] == held and vc.state()["paused"]
        assert client.cmd("$Continue") == "#Continue"
        time.sleep(0.1)
        assert client.cmd("$Abort") == "#Abort,0"
        assert client.read() == "!Execute,36"  # the one reply of the statement
        stopped = vc.state()["joints"]
        assert stopped != pytest.approx(HOME) and stopped != pytest.approx([30, 20, 10, 0, 60, 0])
        assert client.cmd("$GetStatus") == "#GetStatus,00100000001,0000"
        client.close()


@pytest.mark.parametrize("statement, reply", [
    ("Jump P1", "!Execute,44"),
    ("Jump P1 C0 LimZ -10 Till Sw(1) = On !D10; On 1! SYNC", "!Execute,44"),
    ("Jump XY(400,0,300,0,0,180) /R", "!Execute,44"),
    ("Jump P1 C8", "!Execute,21"),
    ("Jump P1 LimZ", "!Execute,20"),
    ("Jump3 Here +Z(50), P1", "!Execute,20"),
    ("Jump3 Here +Z(50), P1, P1 LimZ 10", "!Execute,20"),
    ("Jump3 Here +Z(50), P1 +Z(50), P1 C9", "!Execute,21"),
    ("Jump3 Here +Z(50), P77, P1", "!Execute,22"),
])
def test_jump_is_refused_as_on_a_six_axis_arm(vc, moving, statement, reply):
    assert moving.ex(statement) == reply
    assert vc.state()["joints"] == HOME


# --- the point table ----------------------------------------------------------------------

def test_points_are_set_taught_and_read_back(vc, moving):
    lefty = [0, -40, 130, 0, 60, 0]
    pose = kin.forward(lefty)
    assert moving.ex(f"P999 = {xy(pose)} /L /A") == "#Execute,0"
    assert moving.numbers(pose_query("P999")) == pytest.approx(pose, abs=1e-9)
    assert moving.query(FLAGS.format(p="P999")) == "2 1 1 0 0"
    assert moving.ex(f"Go {agl([15, 10, 10, 20, 50, -30])}") == "#Execute,0"
    assert moving.ex("P12 = Here") == "#Execute,0"
    assert moving.ex("Go P999") == "#Execute,0"
    assert vc.state()["joints"] == pytest.approx(lefty, abs=1e-6)
    assert moving.ex("Go P12") == "#Execute,0"
    assert vc.state()["joints"] == pytest.approx([15, 10, 10, 20, 50, -30], abs=1e-6)
    assert moving.ex("Print CX(P500)") == "!Execute,22"
    assert moving.ex("Print CX(P1000)") == "!Execute,21"
    assert moving.ex("P1000 = Here") == "!Execute,21"


def test_points_saved_and_loaded_in_the_controllers_folder(moving, vc):
    assert moving.ex(f"P7 = {agl([5, 5, 5, 5, 60, 5])}") == "#Execute,0"
    saved = moving.query(pose_query("P7") + "," + FLAGS.format(p="P7"))
    assert moving.ex('SavePoints "cell-1_a.pts"') == "#Execute,0"
    with open(os.path.join(vc.points_dir, "cell-1_a.pts"), encoding="utf-8") as f:
        assert json.load(f)["format"] == "epson_sim points"
    assert moving.ex("P7 = P1") == "#Execute,0"
    assert moving.ex("P8 = Here") == "#Execute,0"
    assert moving.ex('LoadPoints "cell-1_a.pts"') == "#Execute,0"
    assert moving.query(pose_query("P7") + "," + FLAGS.format(p="P7")) == saved
    assert moving.ex("Print CX(P8)") == "!Execute,22"  # loading replaces the whole table


@pytest.mark.parametrize("statement, reply", [
    ('SavePoints "../escape.pts"', "!Execute,23"),
    ('SavePoints "a/b.pts"', "!Execute,23"),
    ('SavePoints "a\\b.pts"', "!Execute,23"),
    ('SavePoints ".."', "!Execute,23"),
    ('SavePoints "."', "!Execute,23"),
    ('SavePoints ""', "!Execute,23"),
    ('SavePoints "two words"', "!Execute,23"),
    ('SavePoints "a!b!"', "!Execute,23"),  # a text is no parallel processing
    ('SavePoints "' + "x" * 256 + '"', "!Execute,23"),
    ('LoadPoints "missing.pts"', "!Execute,24"),
    ("SavePoints cell.pts", "!Execute,20"),
    ('SavePoints "a"b"', "!Execute,20"),
    ('SavePoints "cell.pts" "more"', "!Execute,20"),
])
def test_point_file_names_are_plain_names_in_the_folder(vc, moving, statement, reply):
    assert moving.ex(statement) == reply
    assert os.listdir(vc.points_dir) == []


def test_a_file_that_is_not_a_point_file_loads_nothing(vc, moving):
    before = moving.query(pose_query("P1"))
    for name, content in [("text.pts", "P1 = XY(1,2,3,4,5,6)"),
                          ("nan.pts", '{"format": "epson_sim points", "version": 1, "points": '
                                      '[{"number": 1, "pose": [NaN, 0, 0, 0, 0, 0], '
                                      '"joints": [0, 0, 0, 0, 90, 0]}]}')]:
        with open(os.path.join(vc.points_dir, name), "w", encoding="utf-8") as f:
            f.write(content)
        assert moving.ex(f'LoadPoints "{name}"') == "!Execute,24"
    assert moving.query(pose_query("P1")) == before


def test_points_dir_is_the_callers_to_keep_and_the_default_is_removed(tmp_path):
    with VirtualController(port=0, telemetry_port=0, points_dir=str(tmp_path / "pts")) as kept:
        client = logged_in(kept.port)
        assert client.ex('SavePoints "a.pts"') == "#Execute,0"
        client.close()
    assert (tmp_path / "pts" / "a.pts").exists()
    with VirtualController(port=0, telemetry_port=0) as scratch:
        folder = scratch.points_dir
        client = logged_in(scratch.port)
        assert client.ex('SavePoints "a.pts"') == "#Execute,0"
        client.close()
    assert not os.path.exists(folder)
