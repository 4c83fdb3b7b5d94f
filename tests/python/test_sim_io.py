"""The virtual controller's cell I/O, in process: statements, ports over bits, Wait, gripper."""

import threading
import time

import pytest

from epson_sim import VirtualController
from epson_sim.__main__ import _console, main
from epson_sim.errors import SpelError
from epson_sim.robot import Job


class Cell:
    """Runs statements as `$Execute` would, a job (Wait) to its end, without sockets."""

    def __init__(self, vc):
        self.vc = vc

    def ex(self, statement):
        """The printed text, None, or "!<code>"; a Wait blocks until it ends."""
        robot = self.vc.robot
        with robot.lock:
            try:
                result = self.vc._interp.execute(statement)
            except SpelError as exc:
                return f"!{exc.code}"
            if not isinstance(result, Job):
                return result
            robot.begin(result)
        code = robot.run(result)
        return None if code is None else f"!{code}"

    def timed(self, statement):
        t0 = time.monotonic()
        reply = self.ex(statement)
        return reply, time.monotonic() - t0

    def later(self, seconds, action):
        timer = threading.Timer(seconds, action)
        timer.start()
        return timer


@pytest.fixture
def cell():
    return Cell(VirtualController(gripper=(8, 9, 0.2)))


@pytest.mark.parametrize("statements, query, expected", [
    # Byte port n is bits 8n..8n+7, word port n bits 16n..16n+15, least significant first.
    (["Out 1,15"], "Oport(7),Oport(8),Oport(11),Oport(12),Out(0),Out(1),OutW(0)",
     "False True True False 0 15 3840"),
    (["OutW 1,4660"], "Out(2),Out(3),Oport(16),Oport(18),Oport(21),OutW(1)",
     "52 18 False True True 4660"),
    (["On 511", "On 0"], "Out(63),OutW(31),Out(0),Oport(511)", "128 32768 1 True"),
    (["Out 2,255", "Off 17"], "Out(2),Oport(16),Oport(17)", "253 True False"),
    (["OutW 0,65535", "Out 0,0"], "OutW(0)", "65280"),
    (["MemOn 3", "MemOn 511"], "MemSw(3),MemSw(4),MemSw(511),Oport(3)", "True False True False"),
    (["MemOn 3", "MemOff 3"], "MemSw(3)", "False"),
    ([], "Sw(0),In(63),InW(31),TW", "False 0 0 False"),
])
def test_statements_map_ports_onto_bits(cell, statements, query, expected):
    for statement in statements:
        assert cell.ex(statement) is None, statement
    assert cell.ex(f"Print {query}") == expected


def test_inputs_come_from_the_cell_and_read_through_every_width(cell):
    for bit in (8, 10, 23, 511):
        cell.vc.set_input(bit, True)
    assert cell.ex("Print Sw(8),Sw(9),In(1),In(2),InW(0),InW(1),In(63)") == \
        "True False 5 128 1280 128 128"
    cell.vc.set_input(10, False)
    assert cell.ex("Print In(1)") == "1"
    assert cell.ex("Out 1,0") is None and cell.ex("Print In(1)") == "1"  # outputs are apart
    with pytest.raises(ValueError):
        cell.vc.set_input(512, True)
    with pytest.raises(ValueError):
        cell.vc.set_input(True, True)


@pytest.mark.parametrize("statement, reply", [
    ("On 512", "!50"), ("Off -1", "!50"), ("On 8.5", "!50"), ("MemOn 512", "!50"),
    ("Out 64,0", "!50"), ("OutW 32,0", "!50"), ("Out 64,256", "!50"),
    ("Out 1,256", "!51"), ("Out 1,-1", "!51"), ("Out 1,1.5", "!51"), ("OutW 1,65536", "!51"),
    ("Print Sw(512)", "!50"), ("Print Oport(-1)", "!50"), ("Print MemSw(600)", "!50"),
    ("Print In(64)", "!50"), ("Print Out(64)", "!50"), ("Print InW(32)", "!50"),
    ("Print OutW(32)", "!50"), ("Wait Sw(512) = On, 1", "!50"),
    ("Wait Sw(8) = On, -1", "!21"), ("Wait Sw(8) = On, 1e400", "!21"),
    ("Wait Sw(8) = Maybe, 1", "!20"), ("Wait In(1) = On, 1", "!20"), ("Wait 1", "!20"),
    ("On 8, 1", "!20"), ("Out 1", "!20"), ("Print TW(1)", "!20"),
])
def test_out_of_range_and_malformed_io_fails_and_changes_nothing(cell, statement, reply):
    assert cell.ex(statement) == reply
    assert cell.ex("Print OutW(0),OutW(1),MemSw(0),TW") == "0 0 False False"


@pytest.mark.parametrize("statement, setup, took, tw", [
    ("Wait Sw(3) = On, 2", lambda vc: vc.set_input(3, True), 0.0, "False"),
    ("Wait Sw(3) = Off, 2", None, 0.0, "False"),
    ("Wait Sw(3) = 1, 0.3", None, 0.3, "True"),
    ("Wait Sw(3), 0", None, 0.0, "True"),
    ("Wait MemSw(3) = Off, 0.3", lambda vc: vc._interp.execute("MemOn 3"), 0.3, "True"),
    ("Wait MemSw(3) = On, 2", lambda vc: vc._interp.execute("MemOn 3"), 0.0, "False"),
    ("Wait Oport(5) = On, 2", lambda vc: vc._interp.execute("On 5"), 0.0, "False"),
])
def test_wait_returns_when_the_bit_holds_or_the_timeout_passes_and_tw_tells(
        cell, statement, setup, took, tw):
    cell.ex("Wait Sw(4) = On, 0")  # TW True before, so a False below was set by this wait
    if setup:
        setup(cell.vc)
    reply, elapsed = cell.timed(statement)
    assert reply is None
    assert took - 0.01 < elapsed < took + 0.1
    assert cell.ex("Print TW") == tw


@pytest.mark.parametrize("statement", ["Wait Sw(6) = On, 5", "Wait Sw(6)"])
def test_wait_sees_an_input_switched_while_it_runs(cell, statement):
    timer = cell.later(0.25, lambda: cell.vc.set_input(6, True))
    reply, elapsed = cell.timed(statement)
    timer.join()
    assert reply is None and 0.24 < elapsed < 0.4
    assert cell.ex("Print TW") == "False"


def test_gripper_input_follows_its_output_after_the_delay_while_a_wait_runs(cell):
    assert cell.ex("On 8") is None
    reply, took = cell.timed("Wait Sw(9) = On, 2")
    assert reply is None and 0.19 < took < 0.3 and cell.ex("Print TW") == "False"
    assert cell.ex("Off 8") is None
    assert cell.ex("Print Sw(9)") == "True"  # not yet
    reply, took = cell.timed("Wait Sw(9) = Off, 2")
    assert reply is None and 0.19 < took < 0.3
    # A byte write that switches the gripper's bit drives it too; one that keeps it does not.
    assert cell.ex("Out 1,1") is None
    time.sleep(0.1)
    assert cell.ex("Out 1,3") is None
    assert cell.ex("Wait Sw(9) = On, 2") is None
    assert cell.vc.state()["inputs_on"] == [9] and cell.vc.state()["outputs_on"] == [8, 9]


def test_gripper_replays_a_short_pulse_in_order(cell):
    assert cell.ex("On 8") is None
    time.sleep(0.05)
    assert cell.ex("Off 8") is None
    assert cell.ex("Wait Sw(9) = On, 1") is None  # on at 0.2 s ...
    reply, took = cell.timed("Wait Sw(9) = Off, 1")  # ... off at 0.25 s
    assert reply is None and took < 0.1 and cell.ex("Print TW") == "False"


def test_aborting_a_wait_ends_it_with_the_code_and_keeps_tw(cell):
    def abort():
        with cell.vc.robot.lock:
            assert cell.vc.robot.abort(36)

    cell.ex("Wait Sw(1) = On, 0")
    timer = cell.later(0.1, abort)
    reply, took = cell.timed("Wait Sw(1) = On, 5")
    timer.join()
    assert reply == "!36" and took < 0.3
    assert cell.ex("Print TW") == "True"


@pytest.mark.parametrize("wiring", [(512, 9, 0.1), (8, -1, 0.1), (8, 9, -0.1),
                                    (8, 9, float("inf")), (8.0, 9, 0.1), (True, 9, 0.1)])
def test_gripper_wiring_is_checked(wiring):
    with pytest.raises(ValueError):
        VirtualController(gripper=wiring)


@pytest.mark.parametrize("text", ["8,9", "8,9,x", "8,512,0.1", "a,9,0.1"])
def test_gripper_option_refuses_bad_wiring(text, capsys):
    with pytest.raises(SystemExit) as exit_:
        main(["--port", "0", "--telemetry-port", "0", "--gripper", text])
    assert exit_.value.code == 2 and "--gripper" in capsys.readouterr().err


def test_console_switches_inputs(cell):
    done = threading.Event()
    assert _console(cell.vc, done, "input 8 on") == "ok"
    assert _console(cell.vc, done, "INPUT 9 ON") == "ok"
    assert cell.ex("Print In(1)") == "3"
    assert _console(cell.vc, done, "input 8 off") == "ok"
    assert "inputs on [9] outputs on []" in _console(cell.vc, done, "state")
    assert _console(cell.vc, done, "input 8").startswith("unknown operator command")
    with pytest.raises(ValueError):
        _console(cell.vc, done, "input 512 on")
