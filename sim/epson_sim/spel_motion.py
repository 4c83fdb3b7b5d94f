"""The motion statements of the SPEL+ subset, as the Interpreter's methods.

`Go <point> [CP] [LJM [n]] [Till|Find|Sense ...] [SYNC]`,
`Move <point> [ROT] [ECP] [CP] [Till|Find|Sense ...] [SYNC]` and
`Jump3 <depart>, <approach>, <destination> [C<0..7>] [CP] [Till|Find|Sense ...] [SYNC]`, each
also with parallel processing `!...!` (taken out before the statement is parsed). CP, SYNC, ECP,
ROT, the arch, search clauses and parallel processing are accepted and have no effect; a search
condition is not evaluated.

`Jump <point> [C<0..7>] [LimZ <z>] [...]` is parsed as the reference writes it and then refused
with 44: it is the arch motion of SCARA and Cartesian robots, and this is a 6-axis arm, whose
reference counterpart is Jump3.
"""

from __future__ import annotations

import re
from typing import Dict, Set, Union

from . import errors
from .errors import SpelError
from .motion import Motion
from .robot import Robot

SEARCH_WORDS = {"TILL", "FIND", "SENSE"}
_ARCH = re.compile(r"C(\d+)")
ARCH_MAX = 7


class MotionStatements:
    robot: Robot

    def _modifiers(self, p, allowed: Set[str]) -> Dict[str, Union[bool, int, float]]:
        """The words after a motion's points. "ARCH" in `allowed` admits C0..C7."""
        found: Dict[str, Union[bool, int, float]] = {}

        def ends_search(word: str) -> bool:
            return word in allowed or ("ARCH" in allowed and _ARCH.fullmatch(word) is not None)

        while not p.at_end():
            w = p.take().upper()
            if w in SEARCH_WORDS:
                # The search condition runs to the next modifier word; it is not evaluated.
                while not p.at_end() and not ends_search(p.word()):
                    p.take()
                continue
            arch = _ARCH.fullmatch(w) if "ARCH" in allowed else None
            if arch is not None:
                w = "ARCH"
            if w not in allowed or w in found:
                raise SpelError(errors.SYNTAX)
            found[w] = True
            if arch is not None:
                if int(arch.group(1)) > ARCH_MAX:
                    raise SpelError(errors.OUT_OF_RANGE)
                found[w] = int(arch.group(1))
            elif w == "LIMZ":
                found[w] = p.number()
            elif w == "LJM" and not p.at_end() and p.word() not in allowed:
                found["LJM_FLAG"] = p.integer()
        return found

    def _go(self, p) -> Motion:
        r = self.robot
        dest = p.point()
        mods = self._modifiers(p, {"CP", "LJM", "SYNC"} | SEARCH_WORDS)
        r.check_can_move()
        return r.plan_go(p.resolve(dest, nearest=r.current_joints() if "LJM" in mods else None))

    def _move(self, p) -> Motion:
        r = self.robot
        dest = p.point()
        self._modifiers(p, {"ROT", "ECP", "CP", "SYNC"} | SEARCH_WORDS)
        r.check_can_move()
        return r.plan_move(p.line_target(dest))

    def _jump3(self, p) -> Motion:
        r = self.robot
        depart = p.point()
        p.expect(",")
        approach = p.point()
        p.expect(",")
        dest = p.point()
        self._modifiers(p, {"ARCH", "CP", "SYNC"} | SEARCH_WORDS)
        r.check_can_move()
        return r.plan_jump3(p.line_target(depart), p.resolve(approach), p.line_target(dest))

    def _jump(self, p) -> None:
        p.point()
        self._modifiers(p, {"ARCH", "LIMZ", "CP", "SYNC"} | SEARCH_WORDS)
        raise SpelError(errors.NOT_THIS_ROBOT)
