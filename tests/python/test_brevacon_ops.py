"""Python members of the controller, tool, state, motion and workspace operations of
``_brevacon.Brevacon``, driven against the scripted fake controller."""

from __future__ import annotations

import locale
import re
import threading
import time

import pytest

import _brevacon
from fake_controller import FakeController

Brevacon = _brevacon.Brevacon
EpsonPowerMode = _brevacon.EpsonPowerMode
PtpMotionLimits = _brevacon.PtpMotionLimits
HOST = "127.0.0.1"

STATE_QUERY = (
    "Print Agl(1),Agl(2),Agl(3),Agl(4),Agl(5),Agl(6),"
    "CX(Here),CY(Here),CZ(Here),CU(Here),CV(Here),CW(Here)"
)
BOUNDS_QUERY = (
    "Print CX(XYLim(1)),CX(XYLim(2)),CY(XYLim(1)),CY(XYLim(2)),CZ(XYLim(1)),CZ(XYLim(2))"
)


def execute(statement: str) -> str:
    return f'$Execute,"{statement}"'


def printed(text: str) -> str:
    return f'#Execute,"{text}"'


def definition_query(slot: int) -> str:
    return "Print " + ",".join(f"C{axis}(TLSet({slot}))" for axis in "XYZUVW")


def first_doc_line(obj: object) -> str:
    """First line of a docstring, skipping the signature line pybind11 puts before it."""
    doc = obj.__doc__ or ""
    name = getattr(obj, "__name__", "")
    if name and doc.startswith(name + "("):
        doc = doc.split("\n\n", 1)[1] if "\n\n" in doc else ""
    return doc.strip().splitlines()[0] if doc.strip() else ""


def parameters(method: object) -> list[tuple[str, str | None]]:
    """(name, default text or None) of each parameter after self, from pybind11's signature."""
    signature = method.__doc__.splitlines()[0]
    inner = signature[signature.index("(") + 1 : signature.rindex(") ->")]
    result = []
    for part in re.split(r", (?=\w+: )", inner)[1:]:
        name = part.split(":", 1)[0]
        default = part.split(" = ", 1)[1] if " = " in part else None
        result.append((name, default))
    return result


@pytest.fixture
def fake(fake_controller: FakeController) -> FakeController:
    return fake_controller


@pytest.fixture
def robot(fake: FakeController):
    """A client logged in to the fake; logged out again unless the test ended the session."""
    client = Brevacon()
    fake.login()
    client.connect(HOST, fake.port)
    yield client
    if client.is_logged_in():
        fake.logout()
    client.disconnect()


def expect_nothing_sent(fake: FakeController, robot: Brevacon) -> None:
    """A harmless exchange: any line the call before it wrote would break the strict script."""
    fake.respond(execute("Reset"), "#Execute")
    robot.reset_controller()


# --- registration -------------------------------------------------------------------------------

DOCUMENTED_ORDER = [
    "connect", "disconnect", "is_connected", "is_logged_in", "motor_on_error",
    "is_emergency_stopped", "get_controller_status", "reset_controller", "motor_on",
    "motor_off", "pause", "continue_motion", "get_power_mode", "get_ptp_motion_limits",
    "add_safety_cuboid", "set_power_mode", "tl_set", "tl_clear", "set_tool", "get_tool",
    "is_tool_defined", "get_tool_definition", "get_tcp_offset", "set_tcp_offset",
    "restore_tcp_offset", "inverse_kinematics", "go", "move", "get_state",
]  # fmt: skip


def test_methods_are_registered_in_the_documented_order() -> None:
    registered = [name for name in Brevacon.__dict__ if name in DOCUMENTED_ORDER]
    assert registered == DOCUMENTED_ORDER


@pytest.mark.parametrize(
    ("name", "expected"),
    [
        ("motor_on_error", []),
        ("get_controller_status", []),
        ("pause", []),
        ("continue_motion", []),
        ("get_ptp_motion_limits", []),
        ("add_safety_cuboid", [("min_corner_mm", None), ("max_corner_mm", None)]),
        ("set_power_mode", [("mode", None)]),
        ("tl_set", [("tool_num", None), ("tool_def_point", None)]),
        ("tl_clear", [("tool_num", None)]),
        ("set_tool", [("tool_num", None)]),
        ("is_tool_defined", [("tool_num", None)]),
        ("get_tool_definition", [("tool_num", None)]),
        ("set_tcp_offset", [("pose", None)]),
        ("restore_tcp_offset", []),
        (
            "inverse_kinematics",
            [
                ("cartesian_pose", None),
                ("least_joint_motion", "True"),
                ("reference_joint_positions", "None"),
            ],
        ),
        (
            "go",
            [
                ("destination", None), ("cp", "False"), ("ljm", "False"),
                ("orientation_flag", "None"), ("search_expression", "None"),
                ("parallel_processing", "None"), ("sync", "False"), ("speed_percent", "None"),
                ("acceleration_percent", "None"), ("deceleration_percent", "None"),
            ],
        ),
        (
            "move",
            [
                ("destination", None), ("rot", "False"), ("ecp", "False"), ("cp", "False"),
                ("search_expression", "None"), ("parallel_processing", "None"), ("sync", "False"),
                ("speed_mm_s", "None"), ("acceleration_mm_s2", "None"),
            ],
        ),
        ("get_state", []),
    ],
)  # fmt: skip
def test_parameter_names_and_defaults(name: str, expected: list) -> None:
    assert parameters(getattr(Brevacon, name)) == expected


@pytest.mark.parametrize(
    ("name", "first_line"),
    [
        ("motor_on_error", "Return the error from the most recent explicit motor-on attempt."),
        ("is_emergency_stopped", "Return whether Emergency Stop is active."),
        ("get_controller_status", "Read raw Epson controller status fields."),
        ("reset_controller", "Clear the current controller error with SPEL+ ``Reset``."),
        ("motor_on", "Turn the Epson robot motors on."),
        ("motor_off", "Turn the Epson robot motors off."),
        ("pause", "Pause active Epson tasks and robot motion."),
        ("continue_motion", "Continue paused Epson tasks and robot motion."),
        ("get_power_mode", "Read the current Epson servo power mode."),
        ("get_ptp_motion_limits", "Read maximum SPEL+ point-to-point motion settings."),
        ("add_safety_cuboid", "Set the Epson controller's allowed Cartesian workspace."),
        ("set_power_mode", "Set and verify the Epson servo power mode."),
        ("tl_set", "Define a native Epson Tool with SPEL+ ``TLSet``."),
        ("tl_clear", "Clear a native Epson Tool definition."),
        ("set_tool", "Select the Tool used by subsequent Epson motion."),
        ("get_tool", "Return the selected Epson Tool number."),
        ("is_tool_defined", "Return whether an Epson Tool slot has a definition."),
        ("get_tool_definition", "Read a native Epson Tool definition."),
        ("get_tcp_offset", "Read the selected controller TCP in Quorvin units."),
        ("set_tcp_offset", "Set the active controller TCP in Quorvin units."),
        ("restore_tcp_offset", "Restore the controller Tool state saved by ``set_tcp_offset``."),
        ("inverse_kinematics", "Solve inverse kinematics on the connected Epson controller."),
        ("go", "Execute a point-to-point SPEL+ ``Go`` motion."),
        ("move", "Execute a straight-line Cartesian SPEL+ ``Move`` motion."),
        ("get_state", "Read joint positions and TCP pose in one controller request."),
    ],
)
def test_method_docstring_first_lines(name: str, first_line: str) -> None:
    assert first_doc_line(getattr(Brevacon, name)) == first_line


# --- EpsonPowerMode and PtpMotionLimits ---------------------------------------------------------


def test_power_mode_members_stay_inside_the_enumeration() -> None:
    assert int(EpsonPowerMode.LOW) == 0
    assert int(EpsonPowerMode.HIGH) == 1
    assert set(EpsonPowerMode.__members__) == {"LOW", "HIGH"}
    for name in ("LOW", "HIGH"):
        assert not hasattr(_brevacon, name)
    assert first_doc_line(EpsonPowerMode) == "Epson controller servo power mode."
    doc = EpsonPowerMode.__doc__
    assert "LOW : Low speed and servo stiffness." in doc
    assert "HIGH : Full configured speed and servo stiffness." in doc


def test_ptp_motion_limits_come_only_from_the_controller(fake, robot) -> None:
    assert first_doc_line(PtpMotionLimits) == "Maximum Epson SPEL+ point-to-point motion settings."
    with pytest.raises(TypeError):
        PtpMotionLimits()
    fake.respond(execute("Print AccelMax(1),AccelMax(2)"), printed("120,80"))
    limits = robot.get_ptp_motion_limits()
    assert type(limits) is PtpMotionLimits
    assert (limits.speed_percent, limits.acceleration_percent, limits.deceleration_percent) == (
        100, 120, 80,
    )  # fmt: skip
    for field in ("speed_percent", "acceleration_percent", "deceleration_percent"):
        with pytest.raises(AttributeError):
            setattr(limits, field, 1)
    fake.respond(execute("Print AccelMax(1),AccelMax(2)"), printed("0,80"))
    with pytest.raises(RuntimeError, match='^Failed to parse positive AccelMax limits .*: "0,80"$'):
        robot.get_ptp_motion_limits()


@pytest.mark.parametrize(
    ("mode", "word", "read_back"), [("LOW", "Low", "0"), ("HIGH", "High", "1")]
)
def test_power_mode_round_trip(fake, robot, mode: str, word: str, read_back: str) -> None:
    fake.respond(execute(f"Power {word}"), "#Execute").respond(
        execute("Print Power"), printed(read_back)
    )
    fake.respond(execute("Print Power"), printed(read_back))
    assert robot.set_power_mode(mode=EpsonPowerMode.__members__[mode]) is None
    result = robot.get_power_mode()
    assert type(result) is EpsonPowerMode and result == EpsonPowerMode.__members__[mode]


# --- results ------------------------------------------------------------------------------------


def test_result_types(fake, robot) -> None:
    fake.respond(execute("Print Tool"), printed("3"))
    fake.respond(execute("Print TLDef(3)"), printed("1"))
    fake.respond(execute("Print TLDef(3)"), printed("1"))
    fake.respond(execute(definition_query(3)), printed("10,-20,150,45,30,90"))
    fake.respond(execute("Print EStopOn"), printed("0"))
    fake.respond(
        execute("Print Stat(0),SysErr,EStopOn,SafetyOn,TeachOn,CtrlDev,RobotInfo(0),CtrlInfo(1)"),
        printed("1,0,True,0,0,21,0x10,3"),
    )
    tool = robot.get_tool()
    assert tool == 3 and type(tool) is int
    assert robot.is_tool_defined(tool_num=3) is True
    definition = robot.get_tool_definition(3)
    assert definition == [10.0, -20.0, 150.0, 45.0, 30.0, 90.0]
    assert all(type(v) is float for v in definition)
    assert robot.is_emergency_stopped() is False
    status = robot.get_controller_status()
    assert status == {
        "stat": 1, "system_error": 0, "emergency_stopped": 1, "safeguard_open": 0,
        "teach_mode": 0, "control_device": 21, "robot_info": 16, "ctrl_info": 3,
    }  # fmt: skip
    assert type(status) is dict
    assert robot.motor_on_error() == ""


def test_get_state_returns_two_lists_of_six_floats(fake, robot) -> None:
    fake.respond(execute(STATE_QUERY), printed("1,2,3,4,5,6,400,0,300,0,90,180"))
    state = robot.get_state()
    assert list(state) == ["joint_positions", "tcp_pose"]
    assert state["joint_positions"] == [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]
    assert state["tcp_pose"] == [400.0, 0.0, 300.0, 0.0, 90.0, 180.0]
    for values in state.values():
        assert type(values) is list and all(type(v) is float for v in values)


def test_get_state_during_a_motion_fails_at_once_without_blocking(fake, robot) -> None:
    fake.expect(execute("Go P1"))
    motion = threading.Thread(target=robot.go, args=("P1", False, False, None, None, None, False))
    motion.start()
    try:
        assert fake.wait_for_lines(2)
        worst = 0.0
        for _ in range(20):
            start = time.perf_counter()
            with pytest.raises(RuntimeError, match=r"^getState\(\) skipped: a motion command"):
                robot.get_state()
            worst = max(worst, time.perf_counter() - start)
        assert worst < 0.05
        print(f"get_state refusal during a motion from Python: worst of 20 {worst * 1e3:.3f} ms")
    finally:
        fake.reply("#Execute")
        motion.join(10)
    fake.respond(execute(STATE_QUERY), printed("0,0,0,0,0,0,0,0,0,0,0,0"))
    assert robot.get_state()["tcp_pose"] == [0.0] * 6


# --- exceptions ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda r: r.tl_clear(16), "Tool number must be between 1 and 15"),
        (lambda r: r.tl_clear(0), "Tool number must be between 1 and 15"),
        (lambda r: r.tl_set(0, "P1"), "Tool number must be between 1 and 15"),
        (lambda r: r.is_tool_defined(16), "Tool number must be between 1 and 15"),
        (lambda r: r.get_tool_definition(-1), "Tool number must be between 1 and 15"),
        (lambda r: r.set_tool(16), "Tool number must be between 0 and 15"),
        (lambda r: r.set_tool(-1), "Tool number must be between 0 and 15"),
    ],
)
def test_tool_numbers_out_of_range_raise_index_error(fake, robot, call, message: str) -> None:
    with pytest.raises(IndexError) as caught:
        call(robot)
    assert str(caught.value) == message
    expect_nothing_sent(fake, robot)


@pytest.mark.parametrize(
    "call",
    [
        lambda r: r.set_point(1000, _brevacon.Pose(400, 0, 300, 0, 90, 180)),
        lambda r: r.get_point(-1),
        lambda r: r.teach_point(1000),
    ],
)
def test_point_numbers_out_of_range_raise_index_error(fake, robot, call) -> None:
    with pytest.raises(IndexError, match=r"^Point number must be between 0 and 999, not "):
        call(robot)
    expect_nothing_sent(fake, robot)


NAN = float("nan")
INF = float("inf")


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda r: r.tl_set(3, ""), "TLSet tool_def_point must not be empty"),
        (
            lambda r: r.tl_set(3, 'P1"'),
            "TLSet tool_def_point must not contain quotes or line endings",
        ),
        (lambda r: r.set_tcp_offset([0, 0, 0, 0, 0]), "TCP offset must contain exactly 6 values"),
        (lambda r: r.set_tcp_offset([0, 0, NAN, 0, 0, 0]), "TCP offset values must be finite"),
        (lambda r: r.set_tcp_offset((0, 0, 0, 0, 0, INF)), "TCP offset values must be finite"),
        (
            lambda r: r.inverse_kinematics([1, 2, 3, 4, 5]),
            "cartesian_pose must contain exactly 6 values [X, Y, Z, U, V, W]",
        ),
        (
            lambda r: r.inverse_kinematics([1] * 6, least_joint_motion=False,
                                           reference_joint_positions=[0] * 6),
            "reference_joint_positions requires least_joint_motion",
        ),
        (
            lambda r: r.inverse_kinematics([1] * 6, reference_joint_positions=[0] * 7),
            "reference_joint_positions must contain exactly 6 values",
        ),
        (
            lambda r: r.go("", False, False, None, None, None, False),
            "Go destination must not be empty",
        ),
        (
            lambda r: r.go("P1", False, False, 1, None, None, False),
            "orientation_flag can only be used when LJM is enabled",
        ),
        (
            lambda r: r.go("P1", False, False, None, None, None, False, speed_percent=101),
            "speed_percent must be between 1 and 100",
        ),
        (
            lambda r: r.go("P1", False, False, None, None, None, False, deceleration_percent=5),
            "deceleration_percent requires acceleration_percent",
        ),
        (
            lambda r: r.go("P1\r\nGo P9", False, False, None, None, None, False),
            "destination must not contain quotes or line endings",
        ),
        (
            lambda r: r.move("P2", False, False, False, None, None, False, speed_mm_s=NAN),
            "speed_mm_s must be finite and positive",
        ),
        (
            lambda r: r.move("P2", False, False, False, "", None, False),
            "search_expression must not be empty",
        ),
        (
            lambda r: r.move("P2", False, False, False, None, 'Print "x"', False),
            "parallel_processing must not contain quotes or line endings",
        ),
        (
            lambda r: r.add_safety_cuboid([0, 0], [1, 1, 1]),
            "Safety cuboid corners must each have 3 coordinates",
        ),
        (
            lambda r: r.add_safety_cuboid([0, 0, 0], [1, 0, 1]),
            "Safety cuboid corners must be finite and strictly ordered on every axis",
        ),
        (
            lambda r: r.start_move(_brevacon.Pose(0, 0, INF, 0, 0, 0)),
            "destination must contain only finite values",
        ),
        (lambda r: r.jump3("P1", "P2", "P3", arch=8), "arch must be from 0 to 7, not 8"),
        (lambda r: r.start_jump("P1", lim_z=NAN), "lim_z must be finite"),
        (lambda r: r.set_point(1, _brevacon.Pose(NAN, 0, 0, 0, 0, 0)),
         "pose must contain only finite values"),
        (lambda r: r.save_points(""), "file must not be empty"),
        (
            lambda r: r.load_points('cell.pts" Reset "'),
            "file must not contain quotes, line endings or other control characters",
        ),
    ],
)  # fmt: skip
def test_bad_arguments_raise_value_error_and_send_nothing(fake, robot, call, message) -> None:
    with pytest.raises(ValueError) as caught:
        call(robot)
    assert str(caught.value) == message
    expect_nothing_sent(fake, robot)
    # A rejected motion leaves no motion pending behind it.
    fake.respond(execute(STATE_QUERY), printed(",".join(["0"] * 12)))
    robot.get_state()


@pytest.mark.parametrize(
    "call",
    [
        lambda r: r.go("P1", speed_percent=True),
        lambda r: r.go("P1", ljm=True, orientation_flag=False),
        lambda r: r.go("P1", speed_percent=50.0),
        lambda r: r.go("P1", acceleration_percent=30, deceleration_percent=True),
        lambda r: r.move("P2", speed_mm_s=True),
        lambda r: r.move("P2", acceleration_mm_s2="100"),
        lambda r: r.set_power_mode(1),
        lambda r: r.tl_clear("3"),
        lambda r: r.set_tool(3.0),
        lambda r: r.set_tcp_offset("abcdef"),
        lambda r: r.add_safety_cuboid([0, 0, 0], None),
        lambda r: r.go("P1", False, False, None, None, None, False, speed_percent=2**40),
        lambda r: r.start_go("P1", speed_percent=True),
        lambda r: r.jump3("P1", "P2", "P3", arch=True),
        # True would name P1: a point number is an int, as every other number is
        lambda r: r.set_point(True, _brevacon.Pose(400, 0, 300, 0, 90, 180)),
        lambda r: r.get_point(False),
        lambda r: r.teach_point(1.0),
    ],
)
def test_unconvertible_arguments_raise_type_error(fake, robot, call) -> None:
    with pytest.raises(TypeError):
        call(robot)
    expect_nothing_sent(fake, robot)


def test_error_replies_raise_runtime_error_with_the_reply(fake, robot) -> None:
    fake.respond(execute("Reset"), "!Execute,2")
    with pytest.raises(RuntimeError) as caught:
        robot.reset_controller()
    assert str(caught.value) == 'Remote command failed: !Execute,2 (command: $Execute,"Reset")'

    query = "Print PAgl(LJM(XY(1,2,3,4,5,6),Here),1)"
    fake.respond(execute(query), "!Execute,4023")
    with pytest.raises(RuntimeError) as caught:
        robot.inverse_kinematics([1, 2, 3, 4, 5, 6])
    assert str(caught.value) == (
        f"Epson controller IK query failed for joint 1 ({query}): "
        f"Remote command failed: !Execute,4023 (command: {execute(query)})"
    )

    fake.respond(execute("Motor On"), "!Execute,4001")
    with pytest.raises(RuntimeError):
        robot.motor_on()
    assert robot.motor_on_error() == (
        'Remote command failed: !Execute,4001 (command: $Execute,"Motor On")'
    )
    assert robot.is_logged_in() is True


# --- statements ---------------------------------------------------------------------------------


def test_go_with_the_seven_required_arguments_sends_a_plain_go(fake, robot) -> None:
    fake.respond(execute("Go P1"), "#Execute")
    assert robot.go("P1", False, False, None, None, None, False) is None


def test_keyword_arguments_reach_the_controller(fake, robot) -> None:
    for statement in ("Speed 50", "Accel 30, 20", "Go P1 CP LJM 2 Till Sw(1) !On 1! SYNC"):
        fake.respond(execute(statement), "#Execute")
    robot.go(
        destination="P1", cp=True, ljm=True, orientation_flag=2,
        search_expression="Till Sw(1)", parallel_processing="On 1", sync=True,
        speed_percent=50, acceleration_percent=30, deceleration_percent=20,
    )  # fmt: skip
    for statement in ("SpeedS 250.00000000000000000", "AccelS 1000.00000000000000000",
                      "Move P2 ROT ECP CP"):  # fmt: skip
        fake.respond(execute(statement), "#Execute")
    robot.move(
        destination="P2", rot=True, ecp=True, cp=True, search_expression=None,
        parallel_processing=None, sync=False, speed_mm_s=250, acceleration_mm_s2=1000.0,
    )  # fmt: skip
    fake.respond(execute("TLSet 4, P10"), "#Execute").respond(execute("TLClr 4"), "#Execute")
    robot.tl_set(tool_num=4, tool_def_point="P10")
    robot.tl_clear(tool_num=4)
    fake.respond(execute("Tool 0"), "#Execute")
    robot.set_tool(tool_num=0)


def test_tcp_offset_round_trip_and_restore(fake, robot) -> None:
    fake.respond(execute("Print Tool"), printed("2"))
    fake.respond(execute("Print TLDef(15)"), printed("0"))
    fake.respond(execute("TLSet 15, XY(10,-20,150,45,0,90)"), "#Execute")
    fake.respond(execute("Tool 15"), "#Execute")
    fake.respond(execute("Print TLDef(15)"), printed("1"))
    fake.respond(execute(definition_query(15)), printed("10,-20,150,45,0,90"))
    fake.respond(execute("Print Tool"), printed("15"))
    assert robot.set_tcp_offset(pose=[0.01, -0.02, 0.15, 90, 0, 45]) is None

    fake.respond(execute("Print Tool"), printed("15"))
    fake.respond(execute("Print TLDef(15)"), printed("1"))
    fake.respond(execute(definition_query(15)), printed("10,-20,150,45,0,90"))
    offset = robot.get_tcp_offset()
    assert offset == pytest.approx([0.01, -0.02, 0.15, 90, 0, 45], abs=1e-12)

    # disconnect puts slot 15 and the selection back before logging out
    fake.respond(execute("Print TLDef(15)"), printed("1"))
    fake.respond(execute("TLClr 15"), "#Execute")
    fake.respond(execute("Tool 2"), "#Execute")
    fake.logout()
    robot.disconnect()


# --- locale -------------------------------------------------------------------------------------

DECIMAL_COMMA_LOCALES = ("de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "nl_NL.UTF-8")


@pytest.fixture
def decimal_comma_locale():
    """The process locale switched to one that writes 0,5; restored afterwards."""
    saved = locale.setlocale(locale.LC_ALL)
    for name in DECIMAL_COMMA_LOCALES:
        try:
            locale.setlocale(locale.LC_ALL, name)
        except locale.Error:
            continue
        if locale.localeconv()["decimal_point"] == ",":
            break
    else:
        locale.setlocale(locale.LC_ALL, saved)
        pytest.skip(
            "no locale with a decimal comma is installed (tried "
            + ", ".join(DECIMAL_COMMA_LOCALES) + "); install one with the locales package"
        )
    try:
        assert locale.str(0.5) == "0,5"
        yield
    finally:
        locale.setlocale(locale.LC_ALL, saved)


@pytest.mark.usefixtures("decimal_comma_locale")
def test_number_texts_ignore_a_decimal_comma_locale(fake, robot) -> None:
    # Tool point, 15 significant digits
    fake.respond(execute("Print Tool"), printed("0"))
    fake.respond(execute("Print TLDef(15)"), printed("0"))
    fake.respond(execute("TLSet 15, XY(0.1,0,100,123.456789012346,1e-05,-0)"), "#Execute")
    fake.respond(execute("Tool 15"), "#Execute")
    fake.respond(execute("Print TLDef(15)"), printed("1"))
    fake.respond(execute(definition_query(15)), printed("0.1,0,100,123.456789012346,1e-05,-0"))
    fake.respond(execute("Print Tool"), printed("15"))
    robot.set_tcp_offset([0.0001, 0, 0.1, -0.0, 1e-05, 123.456789012345678])

    # SpeedS and AccelS, 17 decimals
    fake.respond(execute("SpeedS 0.10000000000000001"), "#Execute")
    fake.respond(execute("AccelS 2500.50000000000000000"), "#Execute")
    fake.respond(execute("Move P2"), "#Execute")
    robot.move("P2", False, False, False, None, None, False, 0.1, 2500.5)

    # Inverse-kinematics point and its result, 17 significant digits
    point = "LJM(XY(0.10000000000000001,-0.5,300,0,90,180),AglToPls(0,0,0,0,1.5,0))"
    for joint in range(1, 7):
        fake.respond(execute(f"Print PAgl({point},{joint})"), printed(f"{joint}.25"))
    joints = robot.inverse_kinematics([0.1, -0.5, 300, 0, 90, 180], True, [0, 0, 0, 0, 1.5, 0])
    assert joints == [1.25, 2.25, 3.25, 4.25, 5.25, 6.25]

    # XYLim bounds
    fake.respond(execute("XYLimMode 1"), "#Execute")
    fake.respond(execute("XYLim -0.5,0.5,-1.25,1.25,0,600.75"), "#Execute")
    fake.respond(execute("Print XYLimMode"), printed("1"))
    fake.respond(execute(BOUNDS_QUERY), printed("-0.5,0.5,-1.25,1.25,0.001,600.75"))
    robot.add_safety_cuboid([-0.5, -1.25, 0], [0.5, 1.25, 600.75])

    # Parsing of state and tool definition
    fake.respond(execute(STATE_QUERY), printed("0.5,1.5,2.5,3.5,4.5,5.5,6.5,7.5,8.5,9.5,10.5,11.5"))
    state = robot.get_state()
    assert state["joint_positions"] + state["tcp_pose"] == [i + 0.5 for i in range(12)]
    fake.respond(execute("Print TLDef(3)"), printed("1"))
    fake.respond(execute(definition_query(3)), printed("1.5,-2.5,3.25,0.5,0,90.125"))
    assert robot.get_tool_definition(3) == [1.5, -2.5, 3.25, 0.5, 0.0, 90.125]

    fake.respond(execute("Print TLDef(15)"), printed("1"))
    fake.respond(execute("TLClr 15"), "#Execute")
    fake.respond(execute("Tool 0"), "#Execute")
    robot.restore_tcp_offset()
