"""Point expressions of the SPEL+ subset, their posture flags and the posture functions.

Points: `XY(x,y,z,u,v,w)`, `Here`, `P<n>` (0..999), `TLSet(n)`, `XYLim(1)` (minimum corner),
`XYLim(2)` (maximum corner), `AglToPls(j1,...,j6)`, `LJM(<point>[, <reference>])`, a point in
parentheses; each followed by any of offsets such as `+Z(50)` or `-X(10.5)` and posture flags
`/R` or `/L` (Hand), `/A` or `/B` (Elbow), `/NF` or `/F` (Wrist), `/J4F0` or `/J4F1`,
`/J6F<0..127>`, in any order, each kind once. The flags mean what kinematics.py says.

Which joints a point stands for:
- `AglToPls`, `Here` and `LJM` carry exact joints; a flag that names another posture, or an
  offset, leaves only their hand, elbow and wrist (and the flags written) to keep.
- `P<n>` keeps the hand, elbow and wrist of the joints it was set with and, among the
  solutions that have them (and the flags written), the one nearest those joints.
- `XY` and the others keep the flags written and take the first solution in posture order
  (shoulder in front, elbow above, wrist not flipped, J4 and J6 nearest zero).
Posture functions: `Hand(p)` 1 Righty, 2 Lefty; `Elbow(p)` 1 Above, 2 Below; `Wrist(p)`
1 NoFlip, 2 Flip; `J4Flag(p)` 0 or 1; `J6Flag(p)` 0..127: the posture of the joints the point
stands for.
"""

from __future__ import annotations

import re
from typing import Dict, List, Optional, Tuple

from . import errors
from . import kinematics as kin
from .errors import SpelError
from .motion import LineTarget

POSE_AXES = {"X": 0, "Y": 1, "Z": 2, "U": 3, "V": 4, "W": 5}
_WORD_FLAGS = {"R": ("hand", 1), "L": ("hand", 2), "A": ("elbow", 1), "B": ("elbow", 2),
               "NF": ("wrist", 1), "F": ("wrist", 2)}
_TURN_FLAG = re.compile(r"J([46])F(\d+)")
_TURN_FLAG_MAX = {"4": 1, "6": 127}
_BRANCH = ("hand", "elbow", "wrist")
POSTURE_FUNCTIONS = {"HAND": "hand", "ELBOW": "elbow", "WRIST": "wrist", "J4FLAG": "j4flag",
                     "J6FLAG": "j6flag"}


class Point:
    """A TCP pose and what picks its joints: exact joints, or the attributes it must have
    (flags, keyed as kinematics.POSTURE_KEYS) and joints whose nearest solution it prefers."""

    def __init__(self, pose: List[float], joints: Optional[List[float]] = None,
                 exact: bool = False, flags: Optional[Dict[str, int]] = None) -> None:
        self.pose = pose
        self.joints = joints
        self.exact = exact
        self.flags = dict(flags or {})

    @classmethod
    def of_joints(cls, pose: List[float], joints: List[float], exact: bool) -> "Point":
        """A point set with these joints: their hand, elbow and wrist are its attributes."""
        posture = kin.posture(joints)
        return cls(pose, list(joints), exact, {k: posture[k] for k in _BRANCH})

    def moved(self, pose: List[float]) -> "Point":
        return Point(pose, self.joints, False, self.flags)

    def with_flags(self, written: Dict[str, int]) -> "Point":
        if self.exact and all(kin.posture(self.joints)[k] == v for k, v in written.items()):
            return Point(self.pose, self.joints, True, {**self.flags, **written})
        return Point(self.pose, self.joints, False, {**self.flags, **written})


class PointParser:
    """Point expressions for the statement parser, which supplies the token helpers, the
    numbers and `robot`."""

    def point(self) -> Point:
        p = self.point_primary()
        written: Dict[str, int] = {}
        while True:
            if self.peek() in ("+", "-") and self.word_at(1) in POSE_AXES \
                    and self.peek(2) == "(":
                sign = 1.0 if self.take() == "+" else -1.0
                axis = POSE_AXES[self.take().upper()]
                self.expect("(")
                delta = self.number()
                self.expect(")")
                pose = list(p.pose)
                pose[axis] += sign * delta
                p = p.moved(pose)
            elif self.peek() == "/":
                self.take()
                key, value = self.posture_flag()
                if key in written:
                    raise SpelError(errors.SYNTAX)
                written[key] = value
            else:
                break
        return p.with_flags(written) if written else p

    def posture_flag(self) -> Tuple[str, int]:
        word = self.take().upper()
        if word in _WORD_FLAGS:
            return _WORD_FLAGS[word]
        m = _TURN_FLAG.fullmatch(word)
        if m is None:
            raise SpelError(errors.SYNTAX)
        value = int(m.group(2))
        if value > _TURN_FLAG_MAX[m.group(1)]:
            raise SpelError(errors.OUT_OF_RANGE)
        return f"j{m.group(1)}flag", value

    def point_primary(self) -> Point:
        r = self.robot
        w = self.word()
        if w == "(":
            self.take()
            p = self.point()
            self.expect(")")
            return p
        tok = self.take()
        if w == "XY":
            return Point(self.call_args(6))
        if w == "HERE":
            return Point.of_joints(r.here(), r.current_joints(), exact=True)
        if w == "TLSET":
            n = self.call_int()
            return Point(list(self.tool_definition(n)))
        if w == "XYLIM":
            n = self.call_int()
            if n not in (1, 2):
                raise SpelError(errors.OUT_OF_RANGE)
            lim = r.xylim
            k = n - 1
            return Point([lim[k], lim[2 + k], lim[4 + k], 0.0, 0.0, 0.0])
        if w == "AGLTOPLS":
            joints = self.call_args(6)
            if not kin.within_limits(joints):
                raise SpelError(errors.OUT_OF_RANGE)
            return Point.of_joints(kin.forward(joints, r.tool_pose()), joints, exact=True)
        if w == "LJM":
            self.expect("(")
            target = self.point()
            if self.peek() == ",":
                self.take()
                ref = self.point()
            else:
                ref = Point(r.here(), r.current_joints(), exact=True)
            self.expect(")")
            joints = kin.solve(target.pose, r.tool_pose(), nearest=self.resolve(ref))
            if joints is None:
                raise SpelError(errors.UNREACHABLE)
            return Point.of_joints(target.pose, joints, exact=True)
        m = re.fullmatch(r"P(\d+)", w)
        if m:
            pose, joints = r.points.get(int(m.group(1)))
            return Point.of_joints(pose, joints, exact=False)
        raise SpelError(errors.SYNTAX)

    def tool_definition(self, n: int) -> List[float]:
        if n == 0:
            return [0.0] * 6
        if not 1 <= n <= 15:
            raise SpelError(errors.OUT_OF_RANGE)
        if n not in self.robot.tools:
            raise SpelError(errors.UNDEFINED)
        return self.robot.tools[n]

    def resolve(self, p: Point, nearest: Optional[List[float]] = None) -> List[float]:
        """Joints for the point: exact, nearest the given joints whatever its flags (LJM), or
        the solution with its attributes (see the module docstring)."""
        r = self.robot
        if nearest is not None:
            joints = kin.solve(p.pose, r.tool_pose(), nearest=nearest)
        elif p.exact:
            return list(p.joints)
        else:
            reference = p.joints if p.joints is not None else r.current_joints()
            joints = kin.solve_posture(p.pose, r.tool_pose(), p.flags, reference,
                                       nearest=p.joints is not None)
        if joints is None:
            raise SpelError(errors.UNREACHABLE)
        return joints

    @staticmethod
    def line_target(p: Point) -> LineTarget:
        """Where a straight line to the point must arrive: with its hand, elbow and wrist (no
        line changes them without a singularity between), or on its exact joints. The J4 and
        J6 flags are the line's to settle, as it turns those joints on its way."""
        return LineTarget(list(p.pose), {k: v for k, v in p.flags.items() if k in _BRANCH},
                          list(p.joints) if p.exact else None)

    def posture_value(self, key: str) -> int:
        """`Hand(<point>)` and its kin, with the name taken."""
        self.expect("(")
        p = self.point()
        self.expect(")")
        return kin.posture(self.resolve(p))[key]
