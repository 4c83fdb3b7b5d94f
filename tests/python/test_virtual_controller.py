"""The virtual controller alone, over raw loopback sockets."""

import math
import random
import socket
import threading
import time

import pytest

from epson_sim import VirtualController, kinematics as kin

TIMEOUT = 5.0


class Client:
    """A bare command-channel client: one line out, one line back."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.file = self.sock.makefile("rb")

    def send(self, line):
        self.sock.sendall(line.encode() + b"\r\n")

    def read(self):
        raw = self.file.readline()
        assert raw.endswith(b"\r\n"), raw
        return raw[:-2].decode()

    def cmd(self, line):
        self.send(line)
        return self.read()

    def ex(self, statement):
        return self.cmd(f'$Execute,"{statement}"')

    def query(self, expression):
        reply = self.ex(f"Print {expression}")
        assert reply.startswith('#Execute,"') and reply.endswith('"'), reply
        return reply[len('#Execute,"'):-1]

    def numbers(self, expression):
        return [float(v) for v in self.query(expression).split()]

    def close(self):
        self.file.close()
        self.sock.close()


def pose_query(point):
    return ",".join(f"C{a}({point})" for a in "XYZUVW")


def xy(values):
    return "XY(" + ",".join(repr(float(v)) for v in values) + ")"


@pytest.fixture
def vc():
    with VirtualController(port=0, telemetry_port=0, telemetry_rate_hz=200) as controller:
        yield controller


@pytest.fixture
def compat_vc():
    """A controller that lets `$Pause` and `$Continue` act on a running `$Execute`."""
    with VirtualController(port=0, telemetry_port=0, telemetry_rate_hz=200,
                           execute_accepts_pause=True) as controller:
        yield controller


@pytest.fixture
def compat_moving(compat_vc):
    c = motors_on(logged_in(compat_vc.port))
    yield c
    c.close()


def logged_in(port):
    c = Client(port)
    assert c.cmd("$Login,x") == "#Login"
    return c


@pytest.fixture
def client(vc):
    c = logged_in(vc.port)
    yield c
    c.close()


def motors_on(client):
    for statement in ("Motor On", "Power High", "Speed 100", "Accel 100, 100", "SpeedS 500",
                      "AccelS 5000"):
        assert client.ex(statement) == "#Execute,0"
    return client


@pytest.fixture
def moving(client):
    """A logged-in client with the motors on at full power."""
    return motors_on(client)


def timed_motion(client, statement):
    start = time.monotonic()
    reply = client.ex(statement)
    return reply, time.monotonic() - start


# --- protocol forms -------------------------------------------------------------------------

@pytest.mark.parametrize("configured, sent, reply", [
    (None, "", "#Login"),
    (None, "anything", "#Login"),
    ("abc", "abc", "#Login"),
    ("abc", "abd", "!Login,13"),
    ("abc", "", "!Login,13"),
    ("abc", "abc ", "!Login,13"),
])
def test_login_enforces_configured_password(configured, sent, reply):
    with VirtualController(port=0, telemetry_port=0, password=configured) as vc:
        c = Client(vc.port)
        assert c.cmd(f"$Login,{sent}") == reply
        expected = "#Execute" if reply == "#Login" else "!Execute,11"
        assert c.ex("Print Tool").split(",")[0] == expected.split(",")[0]
        c.close()


@pytest.mark.parametrize("line", ['$Execute,"Print Tool"', "$Pause", "$Continue", "$Logout",
                                  "$Abort", "$GetStatus", "$Reset"])
def test_commands_before_login_are_refused(vc, line):
    c = Client(vc.port)
    name = line[1:].split(",")[0]
    assert c.cmd(line) == f"!{name},11"
    c.close()


def test_logout_ends_the_session(client):
    assert client.cmd("$Logout") == "#Logout"
    assert client.ex("Print Tool") == "!Execute,11"
    assert client.cmd("$Login,again") == "#Login"


@pytest.mark.parametrize("line, reply", [
    ("hello", "!Error,10"),
    ("", "!Error,10"),
    ("$Frobnicate", "!Frobnicate,11"),
    ("$getstatus", "!getstatus,11"),
    ("$Execute,Print Tool", "!Execute,12"),
    ('$Execute,"', "!Execute,12"),
    ("$Execute", "!Execute,12"),
    ("$Pause,now", "!Pause,12"),
    ("$Abort,", "!Abort,12"),
    ("$GetStatus,1", "!GetStatus,12"),
    ("$Reset,1", "!Reset,12"),
    ("$Pause", "!Pause,20"),
    ("$Continue", "!Continue,20"),
    ("$Abort", "!Abort,20"),
    ('$Execute,"Frobnicate 3"', "!Execute,20"),
    ('$Execute,"Print Tool Tool"', "!Execute,20"),
    ('$Execute,"Print CX(XY(1,2,3))"', "!Execute,20"),
    ('$Execute,"Speed 0"', "!Execute,21"),
    ('$Execute,"Speed 101"', "!Execute,21"),
    ('$Execute,"Accel 121, 10"', "!Execute,21"),
    ('$Execute,"SpeedS 0"', "!Execute,21"),
    ('$Execute,"Tool 16"', "!Execute,21"),
    ('$Execute,"Tool 7"', "!Execute,22"),
    ('$Execute,"TLClr 0"', "!Execute,21"),
    ('$Execute,"Print TLDef(16)"', "!Execute,21"),
    ('$Execute,"Print CX(TLSet(9))"', "!Execute,22"),
    ('$Execute,"Print Agl(0)"', "!Execute,21"),
    ('$Execute,"XYLimMode 2"', "!Execute,21"),
    ('$Execute,"XYLim 10,0,0,1,0,1"', "!Execute,21"),
    ('$Execute,"Go P99"', "!Execute,22"),
    ('$Execute,"Go P1"', "!Execute,30"),
    ('$Execute,"Move P1 BOGUS"', "!Execute,20"),
])
def test_error_replies(client, line, reply):
    assert client.cmd(line) == reply
    assert client.query("Tool") == "0"  # the session survives every error


def test_status_query_answers_eight_values_with_words_for_booleans(vc, client):
    values = client.query("Stat(0),SysErr,EStopOn,SafetyOn,TeachOn,CtrlDev,RobotInfo(0),"
                          "CtrlInfo(1)").split()
    assert len(values) == 8
    assert values[1:6] == ["0", "False", "False", "False", "21"]
    vc.set_emergency_stop(True)
    vc.set_teach_mode(True)
    stat, _, estop, _, teach, _, _, ctrl = client.query(
        "Stat(0),SysErr,EStopOn,SafetyOn,TeachOn,CtrlDev,RobotInfo(0),CtrlInfo(1)").split()
    assert (estop, teach) == ("True", "True")
    assert int(stat) >> 19 & 1 and int(ctrl) >> 8 & 1


@pytest.mark.parametrize("statement, query, expected", [
    ("Power High", "Power", "1"),
    ("Power Low", "Power", "0"),
    ("Speed 42", "Speed", "42"),
    ("Accel 30, 20", "Accel(1),Accel(2)", "30 20"),
    ("Accel 30", "Accel(1),Accel(2)", "30 30"),
    ("SpeedS 250.00000000000000000", "SpeedS", "250"),
    ("AccelS 0.10000000000000001", "AccelS(1),AccelS(2)", "0.1 0.1"),
    ("XYLimMode 1", "XYLimMode", "1"),
    ("XYLim -500,500,-400,400,0,600",
     "CX(XYLim(1)),CX(XYLim(2)),CY(XYLim(1)),CY(XYLim(2)),CZ(XYLim(1)),CZ(XYLim(2))",
     "-500 500 -400 400 0 600"),
    ("XYLim -0.10000000000000001,1e-05,0,1,0,1", "CX(XYLim(1)),CX(XYLim(2))", "-0.1 1e-05"),
])
def test_settings_read_back(client, statement, query, expected):
    assert client.ex(statement) == "#Execute,0"
    assert client.query(query) == expected


def test_print_separates_values_so_that_both_separators_parse(client):
    text = client.query("AccelMax(1),AccelMax(2)")
    assert text == "120 120"
    assert [int(v) for v in text.replace(",", " ").split()] == [120, 120]


# --- tools --------------------------------------------------------------------------------

def test_tool_slot_life_cycle(client):
    six = pose_query("TLSet(15)")
    assert client.query("TLDef(15)") == "False"
    assert client.ex("TLSet 15, XY(10,-20,150,45,0,90)") == "#Execute,0"
    assert client.query("TLDef(15)") == "True"
    assert client.query(six) == "10 -20 150 45 0 90"
    assert client.ex("TLSet 15, XY(123.456789012346,1e-05,-0,0,0,0)") == "#Execute,0"
    assert client.numbers(six) == [123.456789012346, 1e-05, 0, 0, 0, 0]
    assert client.ex("Tool 15") == "#Execute,0"
    assert client.query("Tool") == "15"
    assert client.ex("TLClr 15") == "#Execute,0"
    assert client.query("TLDef(15)") == "False"
    assert client.ex("Tool 15") == "!Execute,22"
    assert client.ex("Tool 0") == "#Execute,0"


def test_here_applies_the_selected_tool(client):
    flange = client.numbers(pose_query("Here"))
    assert client.ex("Tool 1") == "#Execute,0"  # the predefined 120 mm gripper
    tcp = client.numbers(pose_query("Here"))
    # The flange points down at the home position: the tool reaches 120 mm further down.
    assert tcp[2] == pytest.approx(flange[2] - 120.0, abs=1e-9)
    assert tcp[:2] == pytest.approx(flange[:2], abs=1e-9)
    joints = client.numbers(",".join(f"Agl({j})" for j in range(1, 7)))
    assert kin.forward(joints, [0, 0, 120, 0, 0, 0]) == pytest.approx(tcp, abs=1e-9)


# --- kinematics ---------------------------------------------------------------------------

def random_joints(rng):
    return [rng.uniform(lo, hi) for lo, hi in kin.JOINT_LIMITS]


@pytest.mark.parametrize("tool", [None, [0, 0, 120, 0, 0, 0], [15, -30, 80, 20, -35, 170]])
def test_every_ik_solution_maps_back_to_the_pose(tool):
    rng = random.Random(7)
    for _ in range(200):
        joints = random_joints(rng)
        pose = kin.forward(joints, tool)
        found = kin.solutions(pose, tool, reference=joints)
        assert found, joints
        assert min(kin.joint_distance(q, joints) for q in found) < 1e-12
        for q in found:
            assert kin.within_limits(q)
            back = kin.forward(q, tool)
            assert back[:3] == pytest.approx(pose[:3], abs=1e-9)
            assert kin.rotation_angle_between(kin.pose_to_matrix(back),
                                              kin.pose_to_matrix(pose)) < 1e-9


@pytest.mark.parametrize("pose", [
    [400, 0, 300, 0, 0, 180],
    [350, 200, 250, -30, 10, 170],
    [300, -150, 600, 90, 45, 0],
    [400, 0, 300, 0, 90, 180],       # V = 90: U and W share one degree of freedom
    [0.1, 380, 320.5, 12.5, -20, 150],
])
def test_pagl_and_fk_round_trip_over_the_wire(client, pose):
    point = xy(pose)
    joints = [float(client.query(f"PAgl({point},{j})")) for j in range(1, 7)]
    back = client.numbers(pose_query("AglToPls(" + ",".join(repr(q) for q in joints) + ")"))
    assert back[:3] == pytest.approx(pose[:3], abs=1e-6)
    assert kin.rotation_angle_between(kin.pose_to_matrix(back), kin.pose_to_matrix(pose)) < 1e-6


def test_ljm_picks_the_solution_nearest_the_reference(client):
    point = xy([400, 0, 300, 0, 0, 180])
    plain = [float(client.query(f"PAgl({point},{j})")) for j in range(1, 7)]
    assert plain[5] == pytest.approx(0.0, abs=1e-9)
    ref = "AglToPls(0,0,0,0,45,350)"
    near = [float(client.query(f"PAgl(LJM({point},{ref}),{j})")) for j in range(1, 7)]
    assert near[5] == pytest.approx(360.0)  # the same flange angle one turn further
    assert near[:5] == pytest.approx(plain[:5])
    flip_ref = "AglToPls(0,0,0,170,-40,170)"
    flipped = [float(client.query(f"PAgl(LJM({point},{flip_ref}),{j})")) for j in range(1, 7)]
    assert flipped[3] == pytest.approx(180.0) and flipped[5] == pytest.approx(180.0)
    assert flipped[4] == pytest.approx(-plain[4])


@pytest.mark.parametrize("point", [
    "XY(4000,0,300,0,0,180)",          # out of reach
    "XY(-400,0,300,180,0,180)",        # behind the base: J1 limit, too far over the shoulder
    "AglToPls(0,0,0,0,180,0)",         # J5 beyond its limit
])
def test_unreachable_points_fail(client, point):
    assert client.ex(f"Print PAgl({point},1)").startswith("!Execute,")


# --- motion -------------------------------------------------------------------------------

@pytest.mark.parametrize("power, expected", [("High", 0.183), ("Low", 0.583)])
def test_go_takes_the_time_of_its_trapezoid(moving, power, expected):
    # J1 10 deg at Speed 50, Accel 100: triangular at 1200 deg/s^2 (High); Low caps both at 10 %.
    assert moving.ex(f"Power {power}") == "#Execute,0"
    assert moving.ex("Speed 50") == "#Execute,0"
    reply, took = timed_motion(moving, "Go AglToPls(10,0,0,0,90,0)")
    assert reply == "#Execute,0"
    assert expected - 0.03 < took < expected + 0.15
    assert moving.numbers("Agl(1),Agl(5)") == pytest.approx([10, 90])


def test_move_is_a_timed_straight_line(vc, moving):
    assert moving.ex("SpeedS 200") == "#Execute,0"
    assert moving.ex("AccelS 2000") == "#Execute,0"
    start = moving.numbers(pose_query("Here"))
    seen = []
    done = threading.Event()

    def watch():
        while not done.is_set():
            seen.append(vc.state()["pose"])
            time.sleep(0.01)

    watcher = threading.Thread(target=watch)
    watcher.start()
    reply, took = timed_motion(moving, "Move Here +Y(100)")
    done.set()
    watcher.join()
    assert reply == "#Execute,0"
    assert 0.57 < took < 0.75  # 10 mm ramps at each end, 80 mm at 200 mm/s
    end = moving.numbers(pose_query("Here"))
    assert end[1] == pytest.approx(start[1] + 100, abs=1e-6)
    for pose in seen:  # every intermediate TCP stays on the line, orientation kept
        assert pose[0] == pytest.approx(start[0], abs=0.05)
        assert pose[2] == pytest.approx(start[2], abs=0.05)
    assert len(seen) > 20


def test_pause_holds_the_motion_and_continue_resumes_it(compat_vc, compat_moving):
    vc, moving = compat_vc, compat_moving
    # J1 20 deg at Speed 10 (30 deg/s) and Accel 100 (1200 deg/s^2): 0.025 s ramps, 0.692 s.
    assert moving.ex("Speed 10") == "#Execute,0"
    t_send = time.monotonic()
    moving.send('$Execute,"Go AglToPls(20,0,0,0,90,0)"')
    time.sleep(0.2)
    t_pause = time.monotonic()
    assert moving.cmd("$Pause") == "#Pause"  # answered while the motion's reply is outstanding
    assert time.monotonic() - t_pause < 0.05
    assert moving.cmd("$Pause") == "!Pause,20"
    held = vc.state()["joints"][0]
    time.sleep(0.4)
    assert vc.state()["joints"][0] == held
    assert vc.state()["paused"]
    assert 0 < held < 20
    t_continue = time.monotonic()
    assert moving.cmd("$Continue") == "#Continue"
    assert moving.cmd("$Continue") == "!Continue,20"
    assert moving.read() == "#Execute,0"
    took = time.monotonic() - t_send
    paused_for = t_continue - t_pause
    assert 0.692 + paused_for - 0.03 < took < 0.692 + paused_for + 0.1
    assert vc.state()["joints"][0] == pytest.approx(20)


@pytest.mark.parametrize("statement, joints", [
    ("Go P1 CP", [30, 20, 10, 0, 60, 0]),
    ("Go P2 LJM 1", [-30, 20, 10, 0, 60, 0]),
    ("Go P3 CP LJM 2 Till Sw(1) = On !D10; On 1! SYNC", [0, 40, 10, 0, 40, 0]),
    ("Go Here", [0, 0, 0, 0, 90, 0]),
    ("Move P0 ROT ECP CP SYNC", [0, 0, 0, 0, 90, 0]),
    ("Move Here +X(20) -Z(20.5) Find Sw(3) = On", None),
    ("Go (P1) +Z(10)", None),
])
def test_motion_modifiers_are_accepted_and_the_destination_parsed(vc, moving, statement,
                                                                  joints):
    assert moving.ex(statement) == "#Execute,0"
    if joints is not None:
        assert vc.state()["joints"] == pytest.approx(joints, abs=1e-9)
    elif statement.startswith("Move"):
        assert vc.state()["pose"][:3] == pytest.approx([370, 0, 484.5], abs=1e-6)
    else:
        assert vc.state()["pose"][:3] == pytest.approx(
            [a + b for a, b in zip(kin.forward([30, 20, 10, 0, 60, 0])[:3], [0, 0, 10])],
            abs=1e-6)


@pytest.mark.parametrize("accepts_pause", [False, True])
def test_during_an_execute_only_abort_status_login_and_logout_pass(accepts_pause):
    """One controller, one execution: every other command, from any client, is answered 21;
    the compatibility option lets only `$Pause` and `$Continue` through."""
    with VirtualController(port=0, telemetry_port=0, execute_accepts_pause=accepts_pause) as vc:
        mover, other = motors_on(logged_in(vc.port)), logged_in(vc.port)
        assert mover.ex("Speed 10") == "#Execute,0"
        mover.send('$Execute,"Go AglToPls(15,0,0,0,90,0)"')
        time.sleep(0.05)
        for c in (mover, other):
            assert c.ex("Print Tool") == "!Execute,21"
            assert c.cmd("$Reset") == "!Reset,21"
            assert c.cmd("$GetStatus").startswith("#GetStatus,00100000010,")
        assert other.cmd("$Logout") == "#Logout"
        assert other.cmd("$Login,x") == "#Login"
        assert mover.cmd("$Login,again") == "#Login"
        if accepts_pause:
            assert other.cmd("$Pause") == "#Pause"
            assert mover.cmd("$Continue") == "#Continue"
        else:
            assert (other.cmd("$Pause"), mover.cmd("$Continue")) == ("!Pause,21", "!Continue,21")
        assert mover.read() == "#Execute,0"  # a second client's lines never ended it
        assert mover.cmd("$Pause") == "!Pause,20"  # nothing runs now
        mover.close()
        other.close()


def test_a_second_client_logs_in_and_aborts_the_first_clients_motion(vc, moving):
    assert moving.ex("Speed 10") == "#Execute,0"
    moving.send('$Execute,"Go AglToPls(30,0,0,0,90,0)"')
    time.sleep(0.1)
    other = logged_in(vc.port)
    assert other.cmd("$Abort") == "#Abort,0"
    assert moving.read() == "!Execute,36"
    assert other.cmd("$Abort") == "!Abort,20"
    other.close()


@pytest.mark.parametrize("operate, reply", [
    (lambda vc: vc.inject_error(4100), "#Reset,0"),
    (lambda vc: None, "#Reset,0"),  # Auto and Ready: accepted with nothing to clear
    (lambda vc: vc.set_teach_mode(True), "!Reset,20"),  # Auto off
    (lambda vc: vc.set_emergency_stop(True), "!Reset,20"),  # still pressed
])
def test_remote_reset_needs_auto_and_ready_and_clears_the_error(vc, client, operate, reply):
    operate(vc)
    before = client.cmd("$GetStatus")
    assert before.split(",")[1][-1] == "1"  # Ready: an error or an E-stop does not clear it
    assert client.cmd("$Reset") == reply
    if reply == "#Reset,0":
        assert client.cmd("$GetStatus") == "#GetStatus,00100000001,0000"
    else:
        assert client.cmd("$GetStatus") == before


def test_remote_timeout_cuts_off_a_quiet_client_and_brakes_its_motion():
    said = []
    with VirtualController(port=0, telemetry_port=0, remote_timeout_s=0.5,
                           console=said.append) as vc:
        quiet, chatty, stranger = motors_on(logged_in(vc.port)), logged_in(vc.port), Client(vc.port)
        assert quiet.ex("Speed 10") == "#Execute,0"
        t0 = time.monotonic()
        quiet.send('$Execute,"Go AglToPls(60,0,0,0,90,0)"')  # two seconds
        for _ in range(30):  # the chatty client keeps its session by talking
            assert chatty.cmd("$GetStatus").startswith("#GetStatus,")
            if not vc.state()["busy"]:
                break
            time.sleep(0.1)
        assert quiet.file.readline() == b""  # closed, the aborted motion's reply dropped
        assert 0.45 < time.monotonic() - t0 < 1.5
        rest = vc.state()["joints"][0]
        assert 0 < rest < 60
        time.sleep(0.1)
        assert vc.state()["joints"][0] == rest
        assert chatty.cmd("$GetStatus") == "#GetStatus,00100000001,0000"
        assert stranger.cmd("$GetStatus") == "!GetStatus,11"  # never logged in: not cut off
        assert len(said) == 1 and "remote timeout" in said[0] and "aborted" in said[0]
        for c in (quiet, chatty, stranger):
            c.close()


@pytest.mark.parametrize("argv", [["--remote-timeout", "-1"], ["--remote-timeout", "inf"]])
def test_command_line_refuses_a_bad_remote_timeout(argv, capsys):
    from epson_sim.__main__ import main
    assert main(argv) == 1
    assert "remote_timeout_s" in capsys.readouterr().err


def start_slow_go(vc, client):
    assert client.ex("Speed 10") == "#Execute,0"
    client.send('$Execute,"Go AglToPls(30,0,0,0,90,0)"')  # about a second
    time.sleep(0.1)


@pytest.mark.parametrize("setup, flags, code", [
    (lambda vc, c: None, "00100000001", "0000"),
    (start_slow_go, "00100000010", "0000"),
    (lambda vc, c: (start_slow_go(vc, c), c.cmd("$Pause")), "00100000100", "0000"),
    (lambda vc, c: vc.set_emergency_stop(True), "00100010001", "0000"),
    (lambda vc, c: vc.set_safeguard_open(True), "00100100001", "0000"),
    (lambda vc, c: vc.set_teach_mode(True), "01000000001", "0000"),
    (lambda vc, c: vc.inject_error(77), "00100001001", "0077"),
])
def test_get_status_answers_flags_and_error_code_at_once(compat_vc, compat_moving, setup, flags,
                                                         code):
    vc, moving = compat_vc, compat_moving
    setup(vc, moving)
    t0 = time.monotonic()
    assert moving.cmd("$GetStatus") == f"#GetStatus,{flags},{code}"
    assert time.monotonic() - t0 < 0.05


@pytest.mark.parametrize("case", ["cruising", "paused", "E-stop during the ramp"])
def test_abort_is_answered_at_once_and_the_motion_fails_once_at_rest(compat_vc, compat_moving,
                                                                    case):
    vc, moving = compat_vc, compat_moving
    # J1 90 deg at Speed 20 (60 deg/s), Accel 10 (120 deg/s^2): stopping takes 0.5 s, 15 deg.
    assert moving.ex("Speed 20") == "#Execute,0"
    assert moving.ex("Accel 10, 10") == "#Execute,0"
    moving.send('$Execute,"Go AglToPls(90,0,0,0,90,0)"')
    time.sleep(0.8)  # cruising since 0.5 s
    if case == "paused":
        assert moving.cmd("$Pause") == "#Pause"
    at_abort = vc.state()["joints"][0]
    t0 = time.monotonic()
    assert moving.cmd("$Abort") == "#Abort,0"
    assert time.monotonic() - t0 < 0.05
    if case == "E-stop during the ramp":
        time.sleep(0.1)  # 5.4 deg into the ramp
        vc.set_emergency_stop(True)
    assert moving.read() == "!Execute,36"
    took = time.monotonic() - t0
    rest = vc.state()
    assert not rest["busy"]
    expected_took, travel, slack = {"cruising": (0.5, 15.0, 0.5), "paused": (0.0, 0.0, 1e-9),
                                    "E-stop during the ramp": (0.1, 5.4, 2.0)}[case]
    assert expected_took - 0.01 < took < expected_took + 0.08
    assert rest["joints"][0] == pytest.approx(at_abort + travel, abs=slack)
    time.sleep(0.1)
    assert vc.state()["joints"] == rest["joints"]
    assert moving.cmd("$Abort") == "!Abort,20"


@pytest.mark.parametrize("accepts_pause", [False, True])
def test_a_wait_runs_like_a_motion_and_abort_ends_it(accepts_pause):
    vc = VirtualController(port=0, telemetry_port=0, execute_accepts_pause=accepts_pause)
    with vc:
        client = logged_in(vc.port)
        wait_and_abort(vc, client)
        client.close()


def wait_and_abort(vc, client):
    client.send('$Execute,"Wait Sw(8) = On, 5"')
    time.sleep(0.05)
    assert client.cmd("$GetStatus") == "#GetStatus,00100000010,0000"  # Running, not Ready
    for line in ('$Execute,"Print TW"', "$Pause", "$Continue"):  # a Wait never pauses
        assert client.cmd(line) == f"!{line[1:].split(',')[0]},21"
    other = Client(vc.port)
    assert other.cmd("$Login,x") == "#Login"
    assert other.ex("On 1") == "!Execute,21"
    other.close()
    t0 = time.monotonic()
    assert client.cmd("$Abort") == "#Abort,0"
    assert client.read() == "!Execute,36"
    assert time.monotonic() - t0 < 0.1
    assert client.cmd("$Abort") == "!Abort,20"
    client.send('$Execute,"Wait Sw(8) = On, 5"')
    time.sleep(0.05)
    vc.set_input(8, True)
    assert client.read() == "#Execute,0"
    assert client.query("TW") == "False"


@pytest.mark.parametrize("operate, reply", [
    (lambda vc: vc.set_emergency_stop(True), "!Execute,31"),
    (lambda vc: vc.set_teach_mode(True), "!Execute,33"),
    (lambda vc: vc.inject_error(4100), "!Execute,34"),
    (lambda vc: vc.set_safeguard_open(True), None),  # it stops the arm, not the cell
])
def test_safety_inputs_end_a_wait_except_the_safeguard(vc, client, operate, reply):
    client.send('$Execute,"Wait Sw(8) = On, 0.4"')
    time.sleep(0.1)
    operate(vc)
    if reply:
        assert client.read() == reply
    else:
        assert client.read() == "#Execute,0"
        assert client.query("TW") == "True"


def test_silent_controller_acts_on_lines_but_answers_none_until_told(vc, moving):
    from epson_sim.__main__ import _console
    tel = socket.create_connection(("127.0.0.1", vc.telemetry_port), timeout=TIMEOUT)
    try:
        assert _console(vc, threading.Event(), "silence") == "ok"
        for line in ('$Execute,"Speed 42"', "$GetStatus", "hello",
                     '$Execute,"Go AglToPls(5,0,0,0,90,0)"'):
            moving.send(line)
        moving.sock.settimeout(0.6)
        with pytest.raises(socket.timeout):  # open, and quiet
            moving.sock.recv(1)
        moving.sock.settimeout(TIMEOUT)
        assert vc.state()["joints"][0] == pytest.approx(5)
        tel.recv(65536)
        assert tel.recv(65536)  # telemetry flows on
        assert _console(vc, threading.Event(), "answer") == "ok"
        assert moving.query("Speed") == "42"  # nothing held back answers first
    finally:
        tel.close()


def test_an_internal_fault_answers_99_and_the_session_goes_on(vc, client, monkeypatch):
    def fail(statement):
        raise RuntimeError(statement)

    monkeypatch.setattr(vc._interp, "execute", fail)
    assert client.ex("Print Tool") == "!Execute,99"
    monkeypatch.undo()
    assert client.query("Tool") == "0"


@pytest.mark.parametrize("operate, code", [
    (lambda vc: vc.set_emergency_stop(True), 31),
    (lambda vc: vc.set_safeguard_open(True), 32),
    (lambda vc: vc.set_teach_mode(True), 33),
    (lambda vc: vc.inject_error(4100), 34),
])
def test_safety_inputs_fail_a_running_motion_and_refuse_the_next(vc, moving, operate, code):
    assert moving.ex("Speed 10") == "#Execute,0"
    moving.send('$Execute,"Go AglToPls(30,0,0,0,90,0)"')
    time.sleep(0.2)
    t0 = time.monotonic()
    operate(vc)
    assert moving.read() == f"!Execute,{code}"
    assert time.monotonic() - t0 < 0.1
    stopped = vc.state()["joints"][0]
    assert 0 < stopped < 30
    assert moving.ex("Go P0") == f"!Execute,{code}"
    time.sleep(0.1)
    assert vc.state()["joints"][0] == stopped


def test_emergency_stop_switches_the_motors_off_until_released(vc, moving):
    vc.set_emergency_stop(True)
    assert moving.query("EStopOn") == "True"
    assert moving.ex("Motor On") == "!Execute,31"
    assert moving.ex("Reset") == "!Execute,31"
    vc.set_emergency_stop(False)
    assert moving.ex("Go P0") == "!Execute,30"
    assert moving.ex("Motor On") == "#Execute,0"


def test_reset_clears_an_injected_error(vc, moving):
    vc.inject_error(4242)
    assert moving.query("SysErr") == "4242"
    assert moving.ex("Motor On") == "!Execute,34"
    assert moving.ex("Reset") == "#Execute,0"
    assert moving.query("SysErr") == "0"
    assert moving.ex("Motor On") == "#Execute,0"


@pytest.mark.parametrize("start, mode, statement, reply", [
    ("XY(400,0,300,0,0,180)", 1, "Go XY(450,50,250,0,0,180)", "#Execute,0"),
    ("XY(400,0,300,0,0,180)", 1, "Go XY(400,300,300,0,0,180)", "!Execute,41"),
    ("XY(400,0,300,0,0,180)", 0, "Go XY(400,300,300,0,0,180)", "!Execute,41"),
    ("XY(400,0,300,0,0,180)", 1, "Move Here -Z(250)", "!Execute,41"),
    ("XY(400,0,300,0,0,180)", 0, "Move Here +Z(150)", "!Execute,41"),
    # From home, above the box, into it: only strict checking looks at the path.
    ("P0", 0, "Move XY(400,0,300,0,0,180)", "#Execute,0"),
    ("P0", 1, "Move XY(400,0,300,0,0,180)", "!Execute,41"),
    ("P0", 1, "Go XY(400,0,300,0,0,180)", "!Execute,41"),
])
def test_xylim_box(vc, moving, start, mode, statement, reply):
    assert moving.ex(f"Go {start}") == "#Execute,0"
    assert moving.ex(f"XYLimMode {mode}") == "#Execute,0"
    assert moving.ex("XYLim 300,500,-200,200,100,400") == "#Execute,0"
    before = vc.state()["joints"]
    assert moving.ex(statement) == reply
    if reply != "#Execute,0":
        assert vc.state()["joints"] == before  # refused before it moved


def test_no_xylim_box_when_all_bounds_are_zero(moving):
    assert moving.ex("XYLimMode 1") == "#Execute,0"
    assert moving.ex("Go XY(400,300,300,0,0,180)") == "#Execute,0"


# --- telemetry ----------------------------------------------------------------------------

def read_telemetry(port, seconds, end=b"\r\n"):
    sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
    data = b""
    deadline = time.monotonic() + seconds
    try:
        while time.monotonic() < deadline:
            sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                chunk = sock.recv(65536)
            except socket.timeout:
                break
            if not chunk:
                break
            data += chunk
    finally:
        sock.close()
    packets = data.split(end)
    return [p.decode() for p in packets[:-1]]


def fields(packet):
    return dict(f.split("=", 1) for f in packet.split(";"))


def test_telemetry_samples_carry_twelve_fields_at_the_rate(vc):
    packets = read_telemetry(vc.telemetry_port, 0.9)
    # The shipped program sends a sample as a position packet and a joint packet.
    samples = [{**fields(a), **fields(b)} for a, b in zip(packets, packets[1:])
               if a.startswith("X=") and b.startswith("J1agl=")]
    assert len(samples) == pytest.approx(180, rel=0.15)
    keys = list("XYZUVW") + [f"J{j}agl" for j in range(1, 7)]
    assert all(list(s) == keys for s in samples)
    assert [float(samples[-1][k]) for k in keys] == pytest.approx(
        [350, 0, 505, 0, 0, 180, 0, 0, 0, 0, 90, 0])
    assert packets[0].startswith("STAT=")  # first, then after every 25 samples
    statuses = len([p for p in packets if p.startswith("STAT=")])
    assert statuses == pytest.approx(1 + len(samples) / 25, abs=1)
    assert all(p.startswith(("STAT=", "X=", "J1agl=")) for p in packets)


@pytest.mark.parametrize("rate", [10, 1000])
def test_telemetry_rate_is_configurable(rate):
    with VirtualController(port=0, telemetry_port=0, telemetry_rate_hz=rate) as vc:
        packets = read_telemetry(vc.telemetry_port, 0.5)
    samples = [p for p in packets if p.startswith("J1agl=")]
    assert len(samples) == pytest.approx(rate * 0.5, rel=0.2, abs=2)


def test_telemetry_with_cr_only_line_ends():
    with VirtualController(port=0, telemetry_port=0, telemetry_line_end="\r") as vc:
        packets = read_telemetry(vc.telemetry_port, 0.2, end=b"\r")
    assert packets and all("\n" not in p for p in packets)


def test_status_packet_follows_a_status_change_at_once(vc):
    collected = []
    reader = threading.Thread(
        target=lambda: collected.extend(read_telemetry(vc.telemetry_port, 0.5)))
    reader.start()
    time.sleep(0.2)
    vc.set_emergency_stop(True)
    vc.set_safeguard_open(True)
    reader.join()
    status = [fields(p) for p in collected if p.startswith("STAT=")]
    assert list(status[0]) == ["STAT", "SYSERR", "CTRLDEV", "ROBOTINFO", "CTRLINFO"]
    last = int(status[-1]["CTRLINFO"])
    assert last >> 8 & 1 and last >> 9 & 1
    assert int(status[0]["CTRLINFO"]) >> 8 & 1 == 0
    assert int(status[-1]["STAT"]) >> 20 & 1


def test_telemetry_samples_follow_a_motion(vc, moving):
    assert moving.ex("Speed 20") == "#Execute,0"
    collected = []
    reader = threading.Thread(
        target=lambda: collected.extend(read_telemetry(vc.telemetry_port, 1.2)))
    reader.start()
    time.sleep(0.1)
    assert moving.ex("Go AglToPls(40,0,0,0,90,0)") == "#Execute,0"
    reader.join()
    j1 = [float(fields(p)["J1agl"]) for p in collected if p.startswith("J1agl=")]
    assert j1[0] == pytest.approx(0) and j1[-1] == pytest.approx(40)
    assert all(b >= a for a, b in zip(j1, j1[1:]))
    assert len({round(v, 3) for v in j1}) > 10
    status = [int(fields(p)["STAT"]) for p in collected if p.startswith("STAT=")]
    assert any(s >> 16 & 1 for s in status) and not status[-1] >> 16 & 1


def test_drop_telemetry_closes_and_holds_off_receivers(vc):
    sock = socket.create_connection(("127.0.0.1", vc.telemetry_port), timeout=TIMEOUT)
    assert sock.recv(4096)
    vc.drop_telemetry(hold_s=0.3)
    deadline = time.monotonic() + TIMEOUT
    while sock.recv(65536) and time.monotonic() < deadline:
        pass
    sock.close()
    early = read_telemetry(vc.telemetry_port, 0.1)
    assert early == []
    time.sleep(0.3)
    assert read_telemetry(vc.telemetry_port, 0.1)


# --- life cycle ---------------------------------------------------------------------------

def test_stop_closes_everything_and_ends_a_motion():
    vc = VirtualController(port=0, telemetry_port=0).start()
    c = Client(vc.port)
    tel = socket.create_connection(("127.0.0.1", vc.telemetry_port), timeout=TIMEOUT)
    try:
        c.cmd("$Login,x")
        c.ex("Motor On")
        c.send('$Execute,"Go P1"')  # Speed 5: several seconds
        assert tel.recv(100)
        t0 = time.monotonic()
        vc.stop()
        assert time.monotonic() - t0 < 1.0
        assert not [t for t in threading.enumerate() if t.name.startswith("epson-sim")]
        assert c.file.readline() in (b"!Execute,36\r\n", b"")
        with pytest.raises(OSError):
            socket.create_connection(("127.0.0.1", vc.port), timeout=1)
    finally:
        tel.close()
        c.close()


@pytest.mark.parametrize("kwargs", [{"telemetry_rate_hz": 0}, {"telemetry_rate_hz": 1001},
                                    {"telemetry_line_end": "\n"}])
def test_rejects_bad_settings(kwargs):
    with pytest.raises(ValueError):
        VirtualController(**kwargs)


def test_profile_reaches_the_distance_in_its_duration():
    from epson_sim.robot import Profile
    for distance, speed, acc, dec in [(90, 150, 1200, 1200), (10, 150, 1200, 600), (0.5, 1, 1, 3)]:
        p = Profile(distance, speed, acc, dec)
        fractions = [p.fraction(p.duration * i / 100) for i in range(101)]
        assert fractions[0] == 0 and fractions[-1] == 1
        assert all(b >= a for a, b in zip(fractions, fractions[1:]))
        assert max(b - a for a, b in zip(fractions, fractions[1:])) * distance <= \
            speed * p.duration / 100 + 1e-9
    assert math.isclose(Profile(90, 150, 1200, 1200).duration, 90 / 150 + 150 / 1200)


def test_overlong_line_is_refused_and_the_connection_closed(vc):
    c = Client(vc.port)
    c.sock.sendall(b"$Login," + b"x" * (70 * 1024))
    assert c.read() == "!Error,12"
    assert c.file.readline() == b""
    c.close()


# --- command line -------------------------------------------------------------------------

@pytest.mark.parametrize("line, check", [
    ("estop on", lambda s, vc: s["status"]["CTRLINFO"] >> 8 & 1),
    ("safeguard open", lambda s, vc: s["status"]["CTRLINFO"] >> 9 & 1),
    ("teach on", lambda s, vc: s["status"]["STAT"] >> 19 & 1),
    ("error 77", lambda s, vc: s["status"]["SYSERR"] == 77),
    ("ERROR", lambda s, vc: s["status"]["SYSERR"] == 4100),
    ("rate 50", lambda s, vc: vc.telemetry_rate_hz == 50),
    ("silence", lambda s, vc: s["silent"]),
])
def test_operator_console_commands(vc, line, check):
    from epson_sim.__main__ import _console
    assert _console(vc, threading.Event(), line) == "ok"
    assert check(vc.state(), vc)


@pytest.mark.parametrize("line, answer", [
    ("bogus", "unknown operator command: bogus (try: help)"),
    ("estop maybe", "unknown operator command: estop maybe (try: help)"),
    ("answer now", "unknown operator command: answer now (try: help)"),
    ("", ""),
])
def test_operator_console_rejects_what_it_does_not_know(vc, line, answer):
    from epson_sim.__main__ import _console
    assert _console(vc, threading.Event(), line) == answer


def test_operator_console_rate_out_of_range_raises(vc):
    from epson_sim.__main__ import _console
    with pytest.raises(ValueError):
        _console(vc, threading.Event(), "rate 5000")


def test_command_line_program_serves_and_quits_on_request():
    import os
    import subprocess
    import sys
    env = dict(os.environ)
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(kin.__file__)))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
    proc = subprocess.Popen([sys.executable, "-m", "epson_sim", "--port", "0",
                             "--telemetry-port", "0", "--password", "pw", "--silent"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)

    def operator(command):
        proc.stdin.write(command + "\n")
        proc.stdin.flush()
        return proc.stdout.readline().strip()

    try:
        ready = proc.stdout.readline()
        assert ready.startswith("epson-sim listening: command 127.0.0.1:")
        port = int(ready.split("command 127.0.0.1:")[1].split(",")[0])
        c = Client(port)
        c.send("$Login,nope")
        c.sock.settimeout(0.3)
        with pytest.raises(socket.timeout):
            c.sock.recv(1)
        c.sock.settimeout(TIMEOUT)
        assert operator("answer") == "ok"
        assert c.cmd("$Login,nope") == "!Login,13"
        assert c.cmd("$Login,pw") == "#Login"
        assert operator("estop on") == "ok"
        assert c.query("EStopOn") == "True"
        c.close()
        proc.stdin.write("quit\n")
        proc.stdin.flush()
        assert proc.wait(5.0) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdin.close()
        proc.stdout.close()
