"""Cell I/O from Python: arguments of the wrong kind are refused before anything is sent, and a
wait releases the interpreter lock."""

from __future__ import annotations

import threading
import time

import pytest

import _brevacon
from fake_controller import FakeController


def test_wrong_kinds_and_ranges_send_nothing(fake_controller: FakeController) -> None:
    fake_controller.login()
    robot = _brevacon.Brevacon()
    robot.connect("127.0.0.1", fake_controller.port)
    calls = {
        TypeError: [
            lambda: robot.set_output(True, True),  # a bool is no bit number
            lambda: robot.set_output(8, 1),  # nor an int a state
            lambda: robot.set_memory_bit(3, 0),
            lambda: robot.wait_input(8, 1, 1.0),
            lambda: robot.set_output_byte(1, False),
            lambda: robot.get_input(8.0),
        ],
        ValueError: [
            lambda: robot.set_output(-1, True),
            lambda: robot.get_input(2**40),
            lambda: robot.set_output_byte(1, 256),
            lambda: robot.set_output_word(1, -1),
            lambda: robot.wait_memory_bit(3, True, 0.0),
            lambda: robot.wait_input(8, True, float("nan")),
            lambda: robot.wait_input(8, True, 301.0),
        ],
    }
    for error, bad_calls in calls.items():
        for call in bad_calls:
            with pytest.raises(error):
                call()
    fake_controller.respond('$Execute,"Reset"', "#Execute").logout()
    robot.reset_controller()  # the first line the fake sees after the login
    robot.disconnect()


def test_a_wait_releases_the_interpreter_lock(fake_controller: FakeController) -> None:
    fake_controller.login()
    fake_controller.expect('$Execute,"Wait Sw(8) = On, 2"').wait(0.5).reply("#Execute")
    fake_controller.respond('$Execute,"Print TW"', '#Execute,"0"').logout()
    robot = _brevacon.Brevacon()
    robot.connect("127.0.0.1", fake_controller.port)
    ticks = 0
    done = threading.Event()

    def count() -> None:
        nonlocal ticks
        while not done.is_set():
            ticks += 1
            time.sleep(0.01)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        assert robot.wait_input(8, True, 2.0) is True
    finally:
        done.set()
        counter.join()
    assert ticks >= 20  # the counter ran through the half-second wait
    robot.disconnect()
