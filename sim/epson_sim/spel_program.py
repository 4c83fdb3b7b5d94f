"""A strict reader of SPEL+ program files (.prg) for the subset the controller-side programs use.

`load(path)` reads a file and compiles it into a `Program`: a table of functions, each a flat
list of instructions (closures that return the index of the next one), so `GoTo`, `OnErr` and
`EResume` are plain jumps and a running task does no parsing. Everything outside the subset, and
every syntax error, raises `SpelProgramError` naming the file, the line and the word, before
anything runs: the shipped program and this reader cannot drift apart unnoticed.

The subset (case-insensitive words, one statement a line, `'` starts a comment):
- top level: `#define NAME <number or "text">`, `Global <type> name[, name]`,
  `Function name` ... `Fend`; types `Integer` (16 bits), `Long` (32 bits), `Real` (single
  precision), `Double`, `String` (names end in `$`, at most 255 characters);
- in a function: local declarations of the same types, `name = expression`, labels `name:`,
  `If c Then` / `ElseIf c Then` / `Else` / `EndIf`, `Do [While|Until c]` / `Loop [While|Until
  c]`, `For v = a To b [Step s]` / `Next [v]`, `Exit Do|For|Function`, `GoTo label`,
  `OnErr GoTo label`, `EResume [Next|label]`, `Wait seconds`, `TmReset n`,
  `OpenNet #p As Server`, `WaitNet #p`, `Print #p, expression`, `CloseNet #p`;
- expressions: numbers (also `&H` hexadecimal), "text", variables, constants, `+ - * /`,
  `Mod`, `+` on two strings, `= <> < > <= >=`, `And`, `Or`, `Not`, parentheses, and the
  functions of `spel_task.FUNCTIONS`.
"""

from __future__ import annotations

import re
import struct
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Tuple

from .spel_task import DIVIDE, OVERFLOW, POINTS, PORTS, SpelRuntimeError

MAX_STRING = 255
# Groups: hexadecimal, decimal number, "text", name (a $ ends a String's), operator.
_TOKEN = re.compile(r'\s*(?:(&[Hh][0-9A-Fa-f]+)'
                    r'|(\d+\.?\d*(?:[eE][+-]?\d+)?|\.\d+(?:[eE][+-]?\d+)?)'
                    r'|("[^"]*")|([A-Za-z_][A-Za-z0-9_]*\$?)|(<>|<=|>=|[-+*/=<>(),#:]))')
_LIMITS = {"INTEGER": (-32768, 32767), "LONG": (-2 ** 31, 2 ** 31 - 1)}
_TYPES = ("INTEGER", "LONG", "REAL", "DOUBLE", "STRING")
_COMPARE = {"=": lambda a, b: a == b, "<>": lambda a, b: a != b, "<": lambda a, b: a < b,
            ">": lambda a, b: a > b, "<=": lambda a, b: a <= b, ">=": lambda a, b: a >= b}
_ARITH = {"+": lambda a, b: a + b, "-": lambda a, b: a - b, "*": lambda a, b: a * b}


class SpelProgramError(ValueError):
    """A program the virtual controller cannot run: where, which word, and why."""

    def __init__(self, path: str, line: int, word: str, reason: str) -> None:
        super().__init__(f'{path}, line {line}, "{word}": {reason}')
        self.path, self.line, self.word, self.reason = path, line, word, reason


@dataclass
class Tok:
    text: str
    kind: str  # "num", "str", "name" or "op"

    @property
    def up(self) -> str:
        return self.text.upper()


def tokenize(text: str) -> Tuple[List[Tok], Optional[str]]:
    """The tokens of one line, comment removed, and the text of the first character no token
    starts with (None when the whole line was read)."""
    tokens: List[Tok] = []
    pos = 0
    while pos < len(text):
        if text[pos:].lstrip().startswith("'") or not text[pos:].strip():
            return tokens, None
        m = _TOKEN.match(text, pos)
        if m is None:
            return tokens, text[pos:].split()[0]
        kind = ("num", "num", "str", "name", "op")[m.lastindex - 1]
        tokens.append(Tok(m.group(m.lastindex), kind))
        pos = m.end()
    return tokens, None


def number(text: str):
    if text[:2] in ("&H", "&h"):
        return int(text[2:], 16)
    return float(text) if any(c in text for c in ".eE") else int(text)


def converter(kind: str) -> Callable:
    """What assigning to a variable of that type does to a value: a number out of its range, or
    a string too long, is an error of the running program."""
    if kind == "STRING":
        def text(value: str) -> str:
            if len(value) > MAX_STRING:
                raise SpelRuntimeError(OVERFLOW, f"string of {len(value)} characters")
            return value
        return text
    if kind in _LIMITS:
        lo, hi = _LIMITS[kind]

        def whole(value) -> int:
            n = int(round(value))
            if not lo <= n <= hi:
                raise SpelRuntimeError(OVERFLOW, f"{n} does not fit {kind.title()}")
            return n
        return whole
    if kind == "REAL":
        return lambda value: struct.unpack("f", struct.pack("f", value))[0]
    return float


@dataclass
class Var:
    kind: str       # one of _TYPES
    scope: str      # "g" or "l"
    slot: int


@dataclass
class Label:
    name: str
    line: int
    pc: int = -1


@dataclass
class Function:
    name: str
    code: List[Callable] = field(default_factory=list)
    lines: List[int] = field(default_factory=list)  # source line of each instruction
    locals: List[Var] = field(default_factory=list)


@dataclass
class Program:
    path: str
    functions: Dict[str, Function]
    globals: List[Var]
    defines: Dict[str, object]  # mutable: the virtual controller sets TELEMETRY_PERIOD
    last_line: int

    def initial(self, variables: List[Var]) -> list:
        return ["" if v.kind == "STRING" else 0 for v in variables]


class _Line:
    """One statement's tokens with a cursor; errors name this line and the word at fault."""

    def __init__(self, comp, number_: int, tokens: List[Tok]) -> None:
        self.c, self.n, self.t, self.i = comp, number_, tokens, 0

    def fail(self, reason: str, word: Optional[str] = None) -> SpelProgramError:
        if word is None:
            word = self.t[self.i].text if self.i < len(self.t) else "end of line"
        return SpelProgramError(self.c.path, self.n, word, reason)

    def peek(self, ahead: int = 0) -> str:
        j = self.i + ahead
        return self.t[j].up if j < len(self.t) else ""

    def take(self) -> Tok:
        if self.i >= len(self.t):
            raise self.fail("statement ends too early")
        self.i += 1
        return self.t[self.i - 1]

    def expect(self, word: str) -> None:
        if self.peek() != word:
            raise self.fail(f"{word} expected here")
        self.i += 1

    def end(self) -> None:
        if self.i < len(self.t):
            raise self.fail("unexpected word after the statement")

    def name(self) -> str:
        tok = self.take()
        if tok.kind != "name":
            self.i -= 1
            raise self.fail("a name expected here")
        return tok.text

    # --- expressions: (closure of the frame, "num" | "str" | "bool") ---------------------------

    def expr(self):
        return self._binary(0)

    _LEVELS = (("OR",), ("AND",), ("NOT",), tuple(_COMPARE), ("+", "-"), ("*", "/", "MOD"))

    def _binary(self, level: int):
        if level == 2:
            if self.peek() == "NOT":
                self.take()
                f, kind = self._binary(2)
                self._want(kind, "bool", "NOT")
                return (lambda fr: not f(fr)), "bool"
            return self._binary(3)
        if level == len(self._LEVELS):
            return self._unary()
        left, lk = self._binary(level + 1)
        while self.peek() in self._LEVELS[level]:
            op = self.take().up
            right, rk = self._binary(level + 1)
            left, lk = self._combine(op, left, lk, right, rk)
        return left, lk

    def _want(self, kind: str, wanted: str, word: str) -> None:
        if kind != wanted:
            raise self.fail(f"a {'number' if wanted == 'num' else wanted} is needed here", word)

    def _combine(self, op, a, ak, b, bk):
        if op in ("AND", "OR"):
            if ak != bk or ak == "str":
                raise self.fail("both sides must be conditions, or both numbers", op)
            if ak == "bool":
                return ((lambda fr: a(fr) and b(fr)) if op == "AND"
                        else (lambda fr: a(fr) or b(fr))), "bool"
            return ((lambda fr: int(a(fr)) & int(b(fr))) if op == "AND"
                    else (lambda fr: int(a(fr)) | int(b(fr)))), "num"
        if op in _COMPARE:
            if ak != bk or ak == "bool":
                raise self.fail("compares two numbers or two strings", op)
            cmp = _COMPARE[op]
            return (lambda fr: cmp(a(fr), b(fr))), "bool"
        if op == "+" and ak == bk == "str":
            return (lambda fr: a(fr) + b(fr)), "str"
        self._want(ak, "num", op)
        self._want(bk, "num", op)
        if op in _ARITH:
            fn = _ARITH[op]
            return (lambda fr: fn(a(fr), b(fr))), "num"
        def divide(fr):
            x, y = a(fr), b(fr)
            if y == 0:
                raise SpelRuntimeError(DIVIDE, "division by zero")
            return x / y if op == "/" else int(x) % int(y)
        return divide, "num"

    def _unary(self):
        if self.peek() in ("-", "+"):
            negative = self.take().text == "-"
            f, kind = self._unary()
            self._want(kind, "num", "-" if negative else "+")
            return ((lambda fr: -f(fr)) if negative else f), "num"
        return self._primary()

    def _primary(self):
        tok = self.take()
        if tok.text == "(":
            f = self.expr()
            self.expect(")")
            return f
        if tok.kind == "num":
            value = number(tok.text)
            return (lambda fr: value), "num"
        if tok.kind == "str":
            text = tok.text[1:-1]
            return (lambda fr: text), "str"
        if tok.kind != "name":
            self.i -= 1
            raise self.fail("an expression expected here")
        return self.c.reference(self, tok)

    def call_args(self, shape: str, word: str) -> list:
        """The arguments of a function: shape holds one letter each, n(umber) or p(oint)."""
        if not shape:
            return []
        self.expect("(")
        args = []
        for i, kind in enumerate(shape):
            if i:
                self.expect(",")
            if kind == "p":
                point = self.take().up
                if point not in POINTS:
                    self.i -= 1
                    raise self.fail("the subset reads the points Here and RealPos only")
                args.append(point)
            else:
                f, k = self.expr()
                self._want(k, "num", word)
                args.append(f)
        self.expect(")")
        return args

    def port(self) -> int:
        self.expect("#")
        tok = self.take()
        value = self.c.defines.get(tok.up, number(tok.text) if tok.kind == "num" else None)
        if value not in PORTS:
            self.i -= 1
            raise self.fail(f"port {min(PORTS)} to {max(PORTS)} expected")
        return int(value)


def load(path: str, text: Optional[str] = None) -> Program:
    """Reads and compiles a program file; raises SpelProgramError, or OSError for the file."""
    from .spel_compiler import Compiler  # the statement half, built on _Line

    if text is None:
        with open(path, encoding="utf-8") as file:
            text = file.read()
    return Compiler(path, text).program()
