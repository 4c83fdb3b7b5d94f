"""The cell's I/O: standard inputs and outputs, memory bits, a gripper, and `Wait` on a bit.

Each bank holds BITS bits. Byte port n covers bits 8n..8n+7 and word port n bits 16n..16n+15,
the lowest bit the least significant, so `Out 1,15` switches outputs 8 to 11 on and 12 to 15
off, and `Sw(8)` reads what `In(1) And 1` would.

Inputs come from the cell, never from a statement: `VirtualController.set_input` (a sensor)
and the wired gripper set them. The gripper's input follows its output after a delay, as a
transport delay: every switch of the output is replayed on the input that much later, in
order. Due switches are applied lazily, whenever the I/O is read under the robot lock, so the
state at a given moment is the same whoever looks; a running `Wait` asks for the next due
time and sleeps no longer than that.

Guarded by `Robot.lock`, like the rest of the controller's state.
"""

from __future__ import annotations

import collections
from typing import Deque, List, NamedTuple, Optional, Tuple

from . import errors
from .errors import SpelError
from .robot import Job

BITS = 512
BANKS = ("inputs", "outputs", "memory")
WIDTHS = {"bit": 1, "byte": 8, "word": 16}


class Gripper(NamedTuple):
    output: int
    input: int
    delay_s: float


def parse_gripper(text: str) -> Gripper:
    """ "G,H,SECONDS" as the command line gives it; ValueError when malformed or out of range."""
    parts = text.split(",")
    if len(parts) != 3:
        raise ValueError(f"gripper must be OUTPUT,INPUT,SECONDS, not {text!r}")
    return check_gripper((int(parts[0]), int(parts[1]), float(parts[2])))


def check_gripper(wiring: Tuple[int, int, float]) -> Gripper:
    output, input_, delay = wiring
    for name, bit in (("output", output), ("input", input_)):
        if isinstance(bit, bool) or not isinstance(bit, int) or not 0 <= bit < BITS:
            raise ValueError(f"gripper {name} bit must be an int in 0..{BITS - 1}")
    delay = float(delay)
    if not 0.0 <= delay < float("inf"):
        raise ValueError("gripper delay must be a finite number of seconds, 0 or more")
    return Gripper(output, input_, delay)


class CellIO:
    def __init__(self, gripper: Optional[Gripper] = None) -> None:
        self.banks = {name: 0 for name in BANKS}  # one int per bank, bit n is bit n
        self.gripper = gripper
        self._due: Deque[Tuple[float, bool]] = collections.deque()  # gripper input switches
        self.timed_out = False  # TW: the last Wait ended on its timeout

    # --- numbers, checked as the statements give them ------------------------------------

    @staticmethod
    def check_port(width: str, port: int) -> int:
        """The first bit of the port; `errors.IO_NUMBER` outside the bank."""
        bits = WIDTHS[width]
        if not 0 <= port < BITS // bits:
            raise SpelError(errors.IO_NUMBER)
        return port * bits

    # --- state -----------------------------------------------------------------------------

    def settle(self, now: float) -> None:
        """Applies the gripper's switches that are due by now."""
        while self._due and self._due[0][0] <= now:
            _, on = self._due.popleft()
            self._write("inputs", self.gripper.input, 1, int(on))

    def next_due(self) -> Optional[float]:
        return self._due[0][0] if self._due else None

    def on_bits(self, bank: str, now: float) -> List[int]:
        self.settle(now)
        word = self.banks[bank]
        return [b for b in range(BITS) if word >> b & 1]

    def read(self, bank: str, width: str, port: int, now: float) -> int:
        first = self.check_port(width, port)
        self.settle(now)
        return (self.banks[bank] >> first) & ((1 << WIDTHS[width]) - 1)

    def write(self, bank: str, width: str, port: int, value: int, now: float) -> None:
        first = self.check_port(width, port)
        if not 0 <= value < 1 << WIDTHS[width]:
            raise SpelError(errors.IO_VALUE)
        self.settle(now)
        g = self.gripper
        before = self.banks["outputs"] >> g.output & 1 if g else 0
        self._write(bank, first, WIDTHS[width], value)
        if g and bank == "outputs" and self.banks["outputs"] >> g.output & 1 != before:
            self._due.append((now + g.delay_s, not before))
            self.settle(now)  # no delay: the input follows at once

    def _write(self, bank: str, first: int, bits: int, value: int) -> None:
        mask = ((1 << bits) - 1) << first
        self.banks[bank] = self.banks[bank] & ~mask | value << first


class Wait(Job):
    """`Wait <bit function>(n) = On|Off[, seconds]`: ends when the bit reads so (TW False), when
    the timeout passes (TW True), or on an abort (TW kept). No timeout: it waits for ever."""

    def __init__(self, io: CellIO, bank: str, bit: int, on: bool,
                 deadline: Optional[float]) -> None:
        super().__init__()
        self.io = io
        self.bank = bank
        self.bit = bit
        self.on = on
        self.deadline = deadline
        self.timed_out = False

    def step(self, now: float) -> Optional[float]:
        if self.error is not None:
            return 0.0
        if self.io.read(self.bank, "bit", self.bit, now) == self.on:
            return 0.0
        if self.deadline is not None and now >= self.deadline:
            self.timed_out = True
            return 0.0
        wakes = [t - now for t in (self.deadline, self.io.next_due()) if t is not None]
        return min(wakes) if wakes else None

    def end(self, robot, now: float) -> None:
        if self.error is None:
            self.io.timed_out = self.timed_out
