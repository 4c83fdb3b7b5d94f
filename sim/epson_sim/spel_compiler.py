"""The statement half of the program reader (spel_program.py): it turns each statement of a
function into instructions, closures `ins(task) -> next index` (-1 ends the function), and the
block statements into jumps between labels that are placed as the lines go by."""

from __future__ import annotations

from typing import Callable, Dict, List, Optional

from .spel_program import (_TYPES, Function, Label, Program, SpelProgramError, Var, _Line,
                           converter, number, tokenize)
from .spel_task import BAD_RESUME, FUNCTIONS, SpelRuntimeError

_SUBSET = "outside the virtual controller's SPEL+ subset"


class Compiler:
    def __init__(self, path: str, text: str) -> None:
        self.path = path
        self.text = text.splitlines()
        self.defines: Dict[str, object] = {}
        self.globals: Dict[str, Var] = {}
        self.functions: Dict[str, Function] = {}
        self.fn: Optional[Function] = None
        self.locals: Dict[str, Var] = {}
        self.labels: Dict[str, Label] = {}
        self.blocks: List[list] = []

    def program(self) -> Program:
        for n, raw in enumerate(self.text, 1):
            tokens, bad = tokenize(raw)
            if bad is not None:
                raise SpelProgramError(self.path, n, bad, "not a word of SPEL+")
            if tokens:
                line = _Line(self, n, tokens)
                (self.top if self.fn is None else self.statement)(line)
        if self.fn is not None:
            raise SpelProgramError(self.path, len(self.text), self.fn.name,
                                   "Function without Fend")
        return Program(self.path, self.functions, list(self.globals.values()), self.defines,
                       len(self.text))

    # --- outside functions ------------------------------------------------------------------

    def top(self, line: _Line) -> None:
        word = line.peek()
        if word == "#" and line.peek(1) == "DEFINE":
            line.i = 2
            name = line.name()
            negative = line.peek() == "-" and bool(line.take())
            tok = line.take()
            if tok.kind not in ("num", "str") or (negative and tok.kind == "str"):
                line.i -= 1
                raise line.fail("a #define holds a number or a \"text\" in the subset")
            line.end()
            self._new_name(line, name, self.defines)
            value = number(tok.text) if tok.kind == "num" else tok.text[1:-1]
            self.defines[name.upper()] = -value if negative else value
        elif word == "GLOBAL":
            line.take()
            self.declare(line, self.globals, "g")
        elif word == "FUNCTION":
            line.take()
            name = line.name()
            line.end()
            self._new_name(line, name, self.functions)
            self.fn = self.functions[name.upper()] = Function(name)
            self.locals, self.labels, self.blocks = {}, {}, []
        else:
            raise line.fail(f"outside a Function only #define, Global and Function are in the "
                            f"subset; statement {_SUBSET}", line.t[0].text)

    def _new_name(self, line: _Line, name: str, table: dict) -> None:
        up = name.upper()
        if up in table or up in FUNCTIONS or up in self.defines or up in self.globals:
            raise line.fail("this name is taken already", name)

    def declare(self, line: _Line, table: Dict[str, Var], scope: str) -> None:
        kind = line.take().up
        if kind not in _TYPES:
            line.i -= 1
            raise line.fail(f"a type of the subset expected: {', '.join(_TYPES).title()}")
        while True:
            name = line.name()
            if (kind == "STRING") != name.endswith("$"):
                raise line.fail("String variables, and only they, end in $", name)
            self._new_name(line, name, table)
            slots = self.fn.locals if scope == "l" else table
            table[name.upper()] = Var(kind, scope, len(slots))
            if scope == "l":
                self.fn.locals.append(table[name.upper()])
            if line.peek() != ",":
                break
            line.take()
        line.end()

    # --- expressions' names -----------------------------------------------------------------

    def variable(self, line: _Line, name: str) -> Optional[Var]:
        return self.locals.get(name.upper()) or self.globals.get(name.upper())

    def reference(self, line: _Line, tok):
        var = self.variable(line, tok.text)
        if var is not None:
            return self.getter(var), "str" if var.kind == "STRING" else "num"
        if tok.up in self.defines:
            defines, key = self.defines, tok.up
            return (lambda fr: defines[key]), "str" if isinstance(defines[key], str) else "num"
        if tok.up in FUNCTIONS:
            shape, kind, impl = FUNCTIONS[tok.up]
            args = line.call_args(shape, tok.text)
            if not args:
                return (lambda fr: impl(fr)), kind
            (a,) = args
            if isinstance(a, str):  # a point
                return (lambda fr: impl(fr, a)), kind
            return (lambda fr: impl(fr, a(fr))), kind
        raise line.fail("not a declared variable, a #define or a function of the subset",
                        tok.text)

    @staticmethod
    def getter(var: Var) -> Callable:
        slot = var.slot
        return (lambda fr: fr.l[slot]) if var.scope == "l" else (lambda fr: fr.g[slot])

    @staticmethod
    def setter(var: Var) -> Callable:
        slot, conv = var.slot, converter(var.kind)

        def set_local(fr, value):
            fr.l[slot] = conv(value)

        def set_global(fr, value):
            fr.g[slot] = conv(value)
        return set_local if var.scope == "l" else set_global

    # --- inside functions -------------------------------------------------------------------

    def emit(self, line: _Line, ins: Callable) -> None:
        self.fn.code.append(ins)
        self.fn.lines.append(line.n)

    def next_pc(self) -> int:
        return len(self.fn.code) + 1

    def place(self, label: Label) -> None:
        label.pc = len(self.fn.code)

    def label(self, line: _Line, name: str, defining: bool = False) -> Label:
        lab = self.labels.setdefault(name.upper(), Label(name, line.n))
        if defining:
            if lab.pc >= 0:
                raise line.fail("this label is placed already", name)
            self.place(lab)
        return lab

    def condition(self, line: _Line) -> Callable:
        f, kind = line.expr()
        if kind == "str":
            raise line.fail("a condition or a number is needed here")
        return f

    def block(self, line: _Line, *kinds: str) -> list:
        for b in reversed(self.blocks):
            if b[0] in kinds:
                return b
        raise line.fail(f"no open {' or '.join(k.title() for k in kinds)} for this",
                        line.t[0].text)

    def statement(self, line: _Line) -> None:
        first = line.t[0]
        if len(line.t) == 2 and first.kind == "name" and line.t[1].text == ":":
            self.label(line, first.text, defining=True)
            return
        word = first.up
        handler = getattr(self, "_s_" + word.lower(), None) if first.kind == "name" else None
        if word in _TYPES:
            self.declare(line, self.locals, "l")
        elif handler is not None:
            line.take()
            handler(line)
        elif first.kind == "name" and line.peek(1) == "=":
            self._assign(line)
        else:
            raise line.fail(f"statement {_SUBSET}", first.text)

    def _assign(self, line: _Line) -> None:
        name = line.name()
        var = self.variable(line, name)
        if var is None:
            raise line.fail("not a declared variable", name)
        line.expect("=")
        f, kind = line.expr()
        line.end()
        if kind != ("str" if var.kind == "STRING" else "num"):
            raise line.fail(f"a {var.kind.title()} variable cannot take this value", name)
        put, nxt = self.setter(var), self.next_pc()
        self.emit(line, lambda fr: put(fr, f(fr)) or nxt)

    def _s_fend(self, line: _Line) -> None:
        line.end()
        if self.blocks:
            b = self.blocks[-1]
            raise SpelProgramError(self.path, b[-1], b[0].title(), "block not closed before Fend")
        self.emit(line, lambda fr: -1)
        for lab in self.labels.values():
            if lab.pc < 0:
                raise SpelProgramError(self.path, lab.line, lab.name, "label not placed")
        self.fn = None

    def _s_if(self, line: _Line) -> None:
        cond = self.condition(line)
        line.expect("THEN")
        if line.i < len(line.t):
            raise line.fail("the subset has the block If only: the statement on its own line")
        other, end, nxt = Label("Else", line.n), Label("EndIf", line.n), self.next_pc()
        self.emit(line, lambda fr: nxt if cond(fr) else other.pc)
        self.blocks.append(["IF", other, end, line.n])

    def _s_elseif(self, line: _Line) -> None:
        b = self.block(line, "IF")
        if b is not self.blocks[-1] or b[1] is None:
            raise line.fail("ElseIf out of place", "ElseIf")
        cond = self.condition(line)
        line.expect("THEN")
        line.end()
        end = b[2]
        self.emit(line, lambda fr: end.pc)
        self.place(b[1])
        b[1], nxt = Label("Else", line.n), self.next_pc()
        other = b[1]
        self.emit(line, lambda fr: nxt if cond(fr) else other.pc)

    def _s_else(self, line: _Line) -> None:
        line.end()
        b = self.block(line, "IF")
        if b is not self.blocks[-1] or b[1] is None:
            raise line.fail("Else out of place", "Else")
        end = b[2]
        self.emit(line, lambda fr: end.pc)
        self.place(b[1])
        b[1] = None

    def _s_endif(self, line: _Line) -> None:
        line.end()
        b = self.block(line, "IF")
        if b is not self.blocks[-1]:
            raise line.fail("EndIf out of place", "EndIf")
        if b[1] is not None:
            self.place(b[1])
        self.place(b[2])
        self.blocks.pop()

    def _loop_test(self, line: _Line, stay: Optional[Callable], leave: Label) -> None:
        """`While c` or `Until c` after Do or Loop: go to leave.pc when the loop is over."""
        until = line.take().up == "UNTIL"
        cond = self.condition(line)
        line.end()
        nxt = self.next_pc()
        if stay is None:
            self.emit(line, lambda fr: leave.pc if bool(cond(fr)) == until else nxt)
        else:
            self.emit(line, lambda fr: (fr.tick() or stay()) if bool(cond(fr)) != until
                      else nxt)

    def _s_do(self, line: _Line) -> None:
        top, end = Label("Do", line.n), Label("Loop", line.n)
        self.place(top)
        if line.peek() in ("WHILE", "UNTIL"):
            self._loop_test(line, None, end)
        line.end()
        self.blocks.append(["DO", top, end, line.n])

    def _s_loop(self, line: _Line) -> None:
        b = self.block(line, "DO")
        if b is not self.blocks[-1]:
            raise line.fail("Loop out of place", "Loop")
        top = b[1]
        if line.peek() in ("WHILE", "UNTIL"):
            self._loop_test(line, lambda: top.pc, b[2])
        else:
            line.end()
            self.emit(line, lambda fr: fr.tick() or top.pc)
        self.place(b[2])
        self.blocks.pop()

    def _s_for(self, line: _Line) -> None:
        name = line.name()
        var = self.variable(line, name)
        if var is None or var.kind == "STRING":
            raise line.fail("a declared number variable expected", name)
        line.expect("=")
        parts = []
        for word in ("TO", "STEP"):
            f, kind = line.expr()
            line._want(kind, "num", name)
            parts.append(f)
            if line.peek() != word:
                break
            line.take()
        else:
            f, kind = line.expr()
            line._want(kind, "num", "Step")
            parts.append(f)
        line.end()
        if len(parts) < 2:
            raise line.fail("For needs To")
        start, limit = parts[0], parts[1]
        step = parts[2] if len(parts) > 2 else (lambda fr: 1)
        hidden = [Var("DOUBLE", "l", len(self.fn.locals) + i) for i in range(2)]
        self.fn.locals.extend(hidden)
        lim, st = hidden[0].slot, hidden[1].slot
        put, get, nxt = self.setter(var), self.getter(var), self.next_pc()

        def begin(fr):
            put(fr, start(fr))
            fr.l[lim], fr.l[st] = limit(fr), step(fr)
            return nxt
        self.emit(line, begin)
        top, end, cont = Label("For", line.n), Label("Next", line.n), Label("Next", line.n)
        self.place(top)
        nxt = self.next_pc()
        self.emit(line, lambda fr: nxt if (get(fr) <= fr.l[lim] if fr.l[st] >= 0
                                           else get(fr) >= fr.l[lim]) else end.pc)
        self.blocks.append(["FOR", end, cont, top, var, st, line.n])

    def _s_next(self, line: _Line) -> None:
        b = self.block(line, "FOR")
        if b is not self.blocks[-1]:
            raise line.fail("Next out of place", "Next")
        end, cont, top, var, step = b[1:6]
        if line.i < len(line.t) and self.variable(line, line.name()) is not var:
            raise line.fail("Next names another variable than its For", line.t[1].text)
        line.end()
        self.place(cont)
        put, get = self.setter(var), self.getter(var)
        self.emit(line, lambda fr: put(fr, get(fr) + fr.l[step]) or fr.tick() or top.pc)
        self.place(end)
        self.blocks.pop()

    def _s_exit(self, line: _Line) -> None:
        what = line.take().up
        line.end()
        if what == "FUNCTION":
            self.emit(line, lambda fr: -1)
            return
        if what not in ("DO", "FOR"):
            raise line.fail(f"Exit {what.title()} {_SUBSET}", what)
        end = self.block(line, what)[1 if what == "FOR" else 2]
        self.emit(line, lambda fr: end.pc)

    def _s_goto(self, line: _Line) -> None:
        lab = self.label(line, line.name())
        line.end()
        self.emit(line, lambda fr: fr.tick() or lab.pc)

    def _s_onerr(self, line: _Line) -> None:
        line.expect("GOTO")
        lab = self.label(line, line.name())
        line.end()
        nxt = self.next_pc()

        def arm(fr):
            fr.handler = lab
            return nxt
        self.emit(line, arm)

    def _s_eresume(self, line: _Line) -> None:
        lab, after = None, 0
        if line.peek() == "NEXT":
            line.take()
            after = 1
        elif line.i < len(line.t):
            lab = self.label(line, line.name())
        line.end()

        def resume(fr):
            if not fr.in_handler:
                raise SpelRuntimeError(BAD_RESUME, "EResume outside an error handler")
            fr.in_handler = False
            return lab.pc if lab is not None else fr.err_pc + after
        self.emit(line, resume)

    def _number_statement(self, line: _Line, act: Callable) -> None:
        f, kind = line.expr()
        line._want(kind, "num", line.t[0].text)
        line.end()
        nxt = self.next_pc()
        self.emit(line, lambda fr: act(fr, f(fr)) or nxt)

    def _s_wait(self, line: _Line) -> None:
        self._number_statement(line, lambda fr, s: fr.wait(s))

    def _s_tmreset(self, line: _Line) -> None:
        self._number_statement(line, lambda fr, n: fr.tm_reset(n))

    def _port_statement(self, line: _Line, act: Callable) -> None:
        p = line.port()
        line.end()
        nxt = self.next_pc()
        self.emit(line, lambda fr: act(fr, p) or nxt)

    def _s_opennet(self, line: _Line) -> None:
        p = line.port()
        line.expect("AS")
        if line.peek() != "SERVER":
            raise line.fail(f"the virtual controller serves: As Server only, the rest {_SUBSET}")
        line.take()
        line.end()
        nxt = self.next_pc()
        self.emit(line, lambda fr: fr.opennet(p) or nxt)

    def _s_waitnet(self, line: _Line) -> None:
        self._port_statement(line, lambda fr, p: fr.waitnet(p))

    def _s_closenet(self, line: _Line) -> None:
        self._port_statement(line, lambda fr, p: fr.closenet(p))

    def _s_print(self, line: _Line) -> None:
        if line.peek() != "#":
            raise line.fail(f"Print to a port (Print #201, ...) only; the rest {_SUBSET}")
        p = line.port()
        line.expect(",")
        f, kind = line.expr()
        if line.i < len(line.t):
            raise line.fail("one expression per Print # in the subset: join texts with +")
        fmt = FUNCTIONS["STR$"][2]
        text = f if kind == "str" else (lambda fr: fmt(fr, f(fr)))
        nxt = self.next_pc()
        self.emit(line, lambda fr: fr.print_(p, text(fr)) or nxt)
