"""The SPEL+ subset the virtual controller executes.

Statements: `Print` with comma-separated items, `Motor On|Off`, `Power Low|High`, `Reset`,
`Speed n`, `Accel a[, d]`, `SpeedS v`, `AccelS a[, d]`, `TLSet n, <point>`, `TLClr n`, `Tool n`,
`XYLimMode 0|1`, `XYLim x0,x1,y0,y1,z0,z1` (all zero: no limit), `P<n> = <point>` (n 0..999;
`P<n> = Here` teaches), `SavePoints "<file>"`, `LoadPoints "<file>"` (point_table.py), and the
motions `Go`, `Move`, `Jump3` and the refused `Jump` (spel_motion.py).

I/O statements (cell_io.py): `On b`, `Off b`, `Out p, v`, `OutW p, v`, `MemOn b`, `MemOff b`,
`Wait Sw(b)|MemSw(b)|Oport(b) [= On|Off|1|0] [, seconds]`, which runs like a motion.

Print items: `Stat(n)`, `SysErr`, `EStopOn`, `SafetyOn`, `TeachOn`, `CtrlDev`, `RobotInfo(n)`,
`CtrlInfo(n)`, `Power`, `Motor`, `AccelMax(1|2)`, `Speed`, `Accel(1|2)`, `SpeedS`, `AccelS(1|2)`,
`Tool`, `TLDef(n)`, `Agl(j)`, `PAgl(<point>, j)`, `CX..CW(<point>)`, `Hand`, `Elbow`, `Wrist`,
`J4Flag` and `J6Flag` of a point, `XYLimMode`, numbers, and the I/O: `Sw(b)`, `Oport(b)`,
`MemSw(b)` and `TW` (booleans), `In(p)`, `Out(p)`, `InW(p)`, `OutW(p)` (integers).

Points and their postures: spel_points.py. `Go ... LJM` and `LJM(p, ref)` choose the solution
nearest the current or reference joints, whatever the point's flags.

A text in double quotes is one token; parallel processing `!...!` is taken out of a statement
before it is parsed, unless it lies in a text. Booleans print as True/False; numbers print in
the shortest text that reads back exactly.
"""

from __future__ import annotations

import math
import re
import time
from typing import List, Optional, Tuple, Union

from . import errors
from .cell_io import CellIO, Wait
from .errors import SpelError
from .point_table import check_number
from .robot import ACCEL_MAX, CONTROL_DEVICE, MAX_ACCELS, MAX_SPEEDS, Job, Robot
from .spel_motion import MotionStatements
from .spel_points import POSE_AXES, POSTURE_FUNCTIONS, PointParser

_TOKEN = re.compile(r"\s*(?:(\d+\.?\d*(?:[eE][+-]?\d+)?|\.\d+(?:[eE][+-]?\d+)?)"
                    r"|([A-Za-z_][A-Za-z0-9_]*)|(\"[^\"]*\")|(\S))")
_TEXT = re.compile(r'"[^"]*"')
_VERBS = {"PRINT", "MOTOR", "POWER", "RESET", "SPEED", "ACCEL", "SPEEDS", "ACCELS", "TLSET",
          "TLCLR", "TOOL", "XYLIMMODE", "XYLIM", "GO", "MOVE", "JUMP", "JUMP3", "ON", "OFF", "OUT",
          "OUTW", "MEMON", "MEMOFF", "WAIT", "SAVEPOINTS", "LOADPOINTS"}
# I/O functions: the bank and the width of what their argument numbers.
_IO_FUNCTIONS = {"SW": ("inputs", "bit"), "OPORT": ("outputs", "bit"), "MEMSW": ("memory", "bit"),
                 "IN": ("inputs", "byte"), "OUT": ("outputs", "byte"),
                 "INW": ("inputs", "word"), "OUTW": ("outputs", "word")}
_BIT_STATES = {"ON": 1, "OFF": 0, "1": 1, "0": 0}


def format_number(value: Union[int, float, bool]) -> str:
    if isinstance(value, bool):
        return "True" if value else "False"
    if isinstance(value, int):
        return str(value)
    if value.is_integer() and abs(value) < 1e15:
        return str(int(value))
    return repr(value)


def _tokenize(text: str) -> List[str]:
    tokens = []
    pos = 0
    text = text.rstrip()
    while pos < len(text):
        m = _TOKEN.match(text, pos)
        if m is None or m.end() == pos:
            break
        tokens.append(m.group(1) or m.group(2) or m.group(3) or m.group(4))
        pos = m.end()
    return tokens


class _Parser(PointParser):
    def __init__(self, tokens: List[str], robot: Robot, io: CellIO) -> None:
        self.t = tokens
        self.i = 0
        self.robot = robot
        self.io = io

    # token helpers
    def peek(self, ahead: int = 0) -> Optional[str]:
        j = self.i + ahead
        return self.t[j] if j < len(self.t) else None

    def word(self) -> str:
        tok = self.peek()
        return tok.upper() if tok else ""

    def word_at(self, ahead: int) -> str:
        tok = self.peek(ahead)
        return tok.upper() if tok else ""

    def take(self) -> str:
        tok = self.peek()
        if tok is None:
            raise SpelError(errors.SYNTAX)
        self.i += 1
        return tok

    def expect(self, tok: str) -> None:
        if self.take().upper() != tok.upper():
            raise SpelError(errors.SYNTAX)

    def at_end(self) -> bool:
        return self.i >= len(self.t)

    def end(self) -> None:
        if not self.at_end():
            raise SpelError(errors.SYNTAX)

    # numbers
    def number(self) -> float:
        sign = 1.0
        while self.peek() in ("-", "+"):
            if self.take() == "-":
                sign = -sign
        tok = self.take()
        if tok == "(":
            value = self.number()
            self.expect(")")
            return sign * value
        try:
            return sign * float(tok)
        except ValueError:
            value = self.function_value(tok)
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise SpelError(errors.SYNTAX) from None
            return sign * float(value)

    def integer(self) -> int:
        value = self.number()
        if not value.is_integer():
            raise SpelError(errors.OUT_OF_RANGE)
        return int(value)

    def numbers(self, count: int) -> List[float]:
        values = [self.number()]
        while len(values) < count:
            self.expect(",")
            values.append(self.number())
        return values

    def value_list(self, read) -> list:
        """One or more comma-separated values up to the end of the statement."""
        values = [read()]
        while self.peek() == ",":
            self.take()
            values.append(read())
        self.end()
        return values

    def call_args(self, count: int) -> List[float]:
        self.expect("(")
        values = self.numbers(count)
        self.expect(")")
        return values

    def call_int(self) -> int:
        self.expect("(")
        n = self.integer()
        self.expect(")")
        return n

    def io_integer(self, code: int) -> int:
        """A bit, port or value: a fraction is out of range with the I/O's own code."""
        value = self.number()
        if not value.is_integer():
            raise SpelError(code)
        return int(value)

    def io_port(self, width: str) -> int:
        port = self.io_integer(errors.IO_NUMBER)
        self.io.check_port(width, port)
        return port

    def io_function(self, name: str) -> Tuple[str, str, int]:
        """Bank, width and port of `Sw(8)`, `In(1)`, ... with its name already taken."""
        bank, width = _IO_FUNCTIONS[name]
        self.expect("(")
        port = self.io_port(width)
        self.expect(")")
        return bank, width, port

    # Print items
    def function_value(self, tok: str) -> Union[int, float, bool]:
        r = self.robot
        w = tok.upper()
        simple = {
            "SYSERR": lambda: r.system_error,
            "ESTOPON": lambda: r.estop,
            "SAFETYON": lambda: r.safeguard_open,
            "TEACHON": lambda: r.teach,
            "CTRLDEV": lambda: CONTROL_DEVICE,
            "POWER": lambda: 1 if r.power_high else 0,
            "MOTOR": lambda: 1 if r.motors_on else 0,
            "TOOL": lambda: r.tool,
            "XYLIMMODE": lambda: r.xylim_mode,
            "SPEEDS": lambda: r.speeds,
        }
        if w in simple and self.peek() != "(":
            return simple[w]()
        if w == "TW" and self.peek() != "(":
            return self.io.timed_out
        if w in _IO_FUNCTIONS:
            bank, width, port = self.io_function(w)
            value = self.io.read(bank, width, port, time.monotonic())
            return bool(value) if width == "bit" else value
        if w == "SPEED" and self.peek() != "(":
            return r.speed
        if w in ("STAT", "ROBOTINFO", "CTRLINFO"):
            self.call_int()
            return {"STAT": r.stat_word, "ROBOTINFO": r.robot_info,
                    "CTRLINFO": r.ctrl_info}[w]()
        if w in ("ACCELMAX", "ACCEL", "ACCELS"):
            n = self.call_int()
            if n not in (1, 2):
                raise SpelError(errors.OUT_OF_RANGE)
            source = {"ACCELMAX": ACCEL_MAX, "ACCEL": r.accel, "ACCELS": r.accels}[w]
            return source[n - 1]
        if w == "TLDEF":
            n = self.call_int()
            if not 1 <= n <= 15:
                raise SpelError(errors.OUT_OF_RANGE)
            return n in r.tools
        if w == "AGL":
            j = self.call_int()
            if not 1 <= j <= 6:
                raise SpelError(errors.OUT_OF_RANGE)
            return r.current_joints()[j - 1]
        if w == "PAGL":
            self.expect("(")
            p = self.point()
            self.expect(",")
            j = self.integer()
            self.expect(")")
            if not 1 <= j <= 6:
                raise SpelError(errors.OUT_OF_RANGE)
            return self.resolve(p)[j - 1]
        if w in POSTURE_FUNCTIONS:
            return self.posture_value(POSTURE_FUNCTIONS[w])
        if len(w) == 2 and w[0] == "C" and w[1] in POSE_AXES:
            self.expect("(")
            p = self.point()
            self.expect(")")
            return p.pose[POSE_AXES[w[1]]]
        raise SpelError(errors.SYNTAX)

    def print_items(self) -> str:
        values = []
        while True:
            sign = 1
            while self.peek() in ("-", "+"):
                if self.take() == "-":
                    sign = -sign
            tok = self.take()
            try:
                value: Union[int, float, bool] = float(tok)
            except ValueError:
                value = self.function_value(tok)
            if sign < 0:
                if isinstance(value, bool):
                    raise SpelError(errors.SYNTAX)
                value = -value
            values.append(format_number(value))
            if self.at_end():
                return " ".join(values)
            self.expect(",")


class Interpreter(MotionStatements):
    """Runs one statement against the robot and the cell; call with the robot lock held."""

    def __init__(self, robot: Robot, io: Optional[CellIO] = None) -> None:
        self.robot = robot
        self.io = io if io is not None else CellIO()

    def execute(self, statement: str) -> Union[None, str, Job]:
        """None for a plain statement, the printed text for Print, a Job to run for Go, Move,
        Jump3 and Wait."""
        # Texts are blanked out first, so a "!" in a file name is no parallel processing.
        parallel = re.search(r"!.*!", _TEXT.sub(lambda m: " " * len(m.group()), statement))
        if parallel:
            statement = statement[:parallel.start()] + statement[parallel.end():]
        tokens = _tokenize(statement)
        if not tokens:
            raise SpelError(errors.SYNTAX)
        p = _Parser(tokens, self.robot, self.io)
        verb = p.take().upper()
        if verb in _VERBS:
            return getattr(self, "_" + verb.lower())(p)
        if re.fullmatch(r"P\d+", verb) and p.peek() == "=":
            p.take()
            n = int(verb[1:])
            check_number(n)
            point = p.point()
            p.end()
            self.robot.points.set(n, point.pose, p.resolve(point))
            return None
        raise SpelError(errors.SYNTAX)

    @staticmethod
    def _file_name(p: _Parser) -> str:
        text = p.take()
        p.end()
        if len(text) < 2 or not (text.startswith('"') and text.endswith('"')):
            raise SpelError(errors.SYNTAX)
        return text[1:-1]

    def _savepoints(self, p: _Parser) -> None:
        self.robot.points.save(self._file_name(p))

    def _loadpoints(self, p: _Parser) -> None:
        self.robot.points.load(self._file_name(p))

    def _print(self, p: _Parser) -> str:
        return p.print_items()

    def _motor(self, p: _Parser) -> None:
        w = p.take().upper()
        p.end()
        r = self.robot
        if w == "ON":
            if r.estop:
                raise SpelError(errors.ESTOP)
            if r.safeguard_open:
                raise SpelError(errors.SAFEGUARD)
            if r.system_error:
                raise SpelError(errors.ERROR_PENDING)
            r.motors_on = True
        elif w == "OFF":
            r.motors_on = False
        else:
            raise SpelError(errors.SYNTAX)
        return None

    def _power(self, p: _Parser) -> None:
        w = p.take().upper()
        p.end()
        if w not in ("LOW", "HIGH"):
            raise SpelError(errors.SYNTAX)
        self.robot.power_high = w == "HIGH"
        return None

    def _reset(self, p: _Parser) -> None:
        p.end()
        if self.robot.estop:
            raise SpelError(errors.ESTOP)
        self.robot.system_error = 0
        return None

    def _speed(self, p: _Parser) -> None:
        values = p.value_list(p.integer)  # depart and approach speeds are accepted, ignored
        if len(values) > 3 or not all(1 <= v <= 100 for v in values):
            raise SpelError(errors.OUT_OF_RANGE)
        self.robot.speed = values[0]
        return None

    def _accel(self, p: _Parser) -> None:
        values = p.value_list(p.integer)
        if len(values) == 1:
            values.append(values[0])
        if len(values) > 6 or not all(1 <= v <= m for v, m in zip(values, ACCEL_MAX)):
            raise SpelError(errors.OUT_OF_RANGE)
        self.robot.accel = values[:2]
        return None

    def _speeds(self, p: _Parser) -> None:
        values = p.value_list(p.number)
        if len(values) > 3 or not all(0.0 < v <= MAX_SPEEDS for v in values):
            raise SpelError(errors.OUT_OF_RANGE)
        self.robot.speeds = values[0]
        return None

    def _accels(self, p: _Parser) -> None:
        values = p.value_list(p.number)
        if len(values) == 1:
            values.append(values[0])
        if len(values) > 6 or not all(0.0 < v <= MAX_ACCELS for v in values):
            raise SpelError(errors.OUT_OF_RANGE)
        self.robot.accels = values[:2]
        return None

    def _tlset(self, p: _Parser) -> None:
        n = p.integer()
        p.expect(",")
        point = p.point()
        p.end()
        if not 1 <= n <= 15:
            raise SpelError(errors.OUT_OF_RANGE)
        self.robot.tools[n] = list(point.pose)
        return None

    def _tlclr(self, p: _Parser) -> None:
        n = p.integer()
        p.end()
        if not 1 <= n <= 15:
            raise SpelError(errors.OUT_OF_RANGE)
        # Clearing the selected slot leaves it selected, acting as the bare flange.
        self.robot.tools.pop(n, None)
        return None

    def _tool(self, p: _Parser) -> None:
        n = p.integer()
        p.end()
        if not 0 <= n <= 15:
            raise SpelError(errors.OUT_OF_RANGE)
        if n and n not in self.robot.tools:
            raise SpelError(errors.UNDEFINED)
        self.robot.tool = n
        return None

    def _xylimmode(self, p: _Parser) -> None:
        n = p.integer()
        p.end()
        if n not in (0, 1):
            raise SpelError(errors.OUT_OF_RANGE)
        self.robot.xylim_mode = n
        return None

    def _xylim(self, p: _Parser) -> None:
        values = p.numbers(6)
        p.end()
        if any(values[2 * i] > values[2 * i + 1] for i in range(3)):
            raise SpelError(errors.OUT_OF_RANGE)
        self.robot.xylim = values
        return None

    # --- I/O ------------------------------------------------------------------------------

    def _switch(self, p: _Parser, bank: str, on: bool) -> None:
        bit = p.io_port("bit")
        p.end()
        self.io.write(bank, "bit", bit, int(on), time.monotonic())

    def _on(self, p: _Parser) -> None:
        self._switch(p, "outputs", True)

    def _off(self, p: _Parser) -> None:
        self._switch(p, "outputs", False)

    def _memon(self, p: _Parser) -> None:
        self._switch(p, "memory", True)

    def _memoff(self, p: _Parser) -> None:
        self._switch(p, "memory", False)

    def _out_port(self, p: _Parser, width: str) -> None:
        port = p.io_port(width)
        p.expect(",")
        value = p.io_integer(errors.IO_VALUE)
        p.end()
        self.io.write("outputs", width, port, value, time.monotonic())

    def _out(self, p: _Parser) -> None:
        self._out_port(p, "byte")

    def _outw(self, p: _Parser) -> None:
        self._out_port(p, "word")

    def _wait(self, p: _Parser) -> Wait:
        name = p.take().upper()
        if name not in _IO_FUNCTIONS or _IO_FUNCTIONS[name][1] != "bit":
            raise SpelError(errors.SYNTAX)
        bank, _, bit = p.io_function(name)
        state = 1
        if p.peek() == "=":
            p.take()
            state = _BIT_STATES.get(p.take().upper(), -1)
            if state < 0:
                raise SpelError(errors.SYNTAX)
        deadline = None
        if p.peek() == ",":
            p.take()
            seconds = p.number()
            if not 0.0 <= seconds < math.inf:
                raise SpelError(errors.OUT_OF_RANGE)
            deadline = time.monotonic() + seconds
        p.end()
        return Wait(self.io, bank, bit, bool(state), deadline)
