"""examples/pick_and_place.py against the virtual controller, with and without a gripper."""

import os
import subprocess
import sys

import pytest

import _brevacon
import epson_sim
from epson_sim import VirtualController

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")
sys.path.insert(0, EXAMPLES)
import pick_and_place as example  # noqa: E402 - the examples are no package


def run(*args):
    paths = [os.path.dirname(_brevacon.__file__),
             os.path.dirname(os.path.dirname(epson_sim.__file__))]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
    return subprocess.run([sys.executable, os.path.join(EXAMPLES, "pick_and_place.py"), *args],
                          env=env, capture_output=True, text=True, timeout=60.0, check=False)


def test_runs_end_to_end_with_the_gripper_wired():
    done = run()
    assert done.returncode == 0, done.stderr
    lines = [line for line in done.stdout.splitlines() if not line.startswith(("Conn", "Disc"))]
    assert lines == ["start taught as P900, place stored as P901 (420, 150, 250, 0, 0, 180)",
                     "above the part: go (420, -150, 330, 0, 0, 180)",
                     "  gripper closed: input 9 on",
                     "over to the place: jump3 up to (420, -150, 330, 0, 0, 180), across to "
                     "P901 +Z(80), down to P901",
                     "  gripper open: input 9 off",
                     "part placed; back at P900"]


def test_fails_clearly_without_a_gripper():
    done = run("--no-gripper", "--grip-timeout", "0.2", "--output", "3", "--input", "4")
    assert done.returncode == 1
    assert "pick and place failed: the gripper did not close: input 4 was not on 0.2 s after " \
           "output 3 switched on; the robot stopped 80 mm above (420, -150, 250, 0, 0, 180)" \
           in done.stderr
    assert "Traceback" not in done.stderr


@pytest.mark.parametrize("stuck, up_at", [
    ("close", example.PICK),   # no gripper wired: the input never comes
    ("open", example.PLACE),   # the input stuck on: closing passes, opening never does
    (None, None),              # a gripper wired: placed, and back where the robot started
])
def test_the_part_is_placed_or_a_stuck_gripper_opened_above_it(monkeypatch, stuck, up_at):
    monkeypatch.setattr(example, "GO_SPEED_PERCENT", 100)  # the path matters here, not its pace
    monkeypatch.setattr(example, "MOVE_SPEED_MM_S", 1000.0)
    wired = (8, 9, 0.05) if stuck is None else None
    with VirtualController(gripper=wired) as vc, _brevacon.Brevacon() as arm:
        vc.set_input(9, stuck == "open")
        arm.connect("127.0.0.1", vc.port)
        arm.motor_on()
        arm.set_power_mode(_brevacon.EpsonPowerMode.HIGH)
        start = vc.state()["joints"]
        said = []
        if stuck is None:
            example.pick_and_place(arm, example.Gripper(8, 9, 1.0), point=20, say=said.append)
            assert said[-1] == "part placed; back at P20"
            assert vc.state()["joints"] == pytest.approx(start, abs=1e-6)  # the taught P20
            assert arm.get_point(21) == example.PLACE
            return
        with pytest.raises(example.GripperError, match=f"did not {stuck}: input 9"):
            example.pick_and_place(arm, example.Gripper(8, 9, 0.1), say=said.append)
        assert not vc.get_output(8)
        assert vc.state()["pose"][:3] == pytest.approx(
            [up_at.x, up_at.y, up_at.z + example.CLEARANCE_MM], abs=1e-6)
        assert not any(line.startswith("part placed") for line in said)
