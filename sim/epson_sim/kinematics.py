"""Kinematic model of the virtual arm: a 6-axis anthropomorphic robot with a spherical wrist.

Geometry (standard Denavit-Hartenberg, A_i = Rz(theta_i) Tz(d_i) Tx(a_i) Rx(alpha_i), mm/deg):

    joint  theta         d      a      alpha
    J1     q1            320    100    -90     base rotation about the vertical axis
    J2     q2 - 90       0      250      0     shoulder; q2 > 0 leans the upper arm forward
    J3     q3            0      0      -90     elbow; q3 = -90 stretches the arm straight
    J4     q4            250    0       90     forearm roll
    J5     q5            0      0      -90     wrist bend
    J6     q6            65     0        0     flange roll

The flange frame is DH frame 6; a selected Tool is applied on top of it (TCP = flange * tool).
With all joints at 0 the arm stands upright with the forearm pointing along +X and the flange at
(415, 0, 570). The joints (0, 0, 0, 0, 90, 0) point the flange straight down at (350, 0, 505).

Poses are [X, Y, Z, U, V, W] in mm and degrees with R = Rz(U) Ry(V) Rx(W).

Joint limits (degrees): J1 +-170, J2 +-160, J3 -80..160, J4 +-190, J5 +-135, J6 +-360. A position
has up to eight arm and wrist solutions (shoulder in front of or behind the base axis, elbow on
either side of the line from the shoulder to the wrist centre, wrist flipped or not; the J3 range
leaves both elbows only to positions near the shoulder), each with its J4 and J6 alternatives 360
degrees apart.

Postures, as SPEL+ names a point's attributes (`posture()`):
    Hand   1 Righty: the wrist centre is in front of the J1 axis (on the side J1 faces);
           2 Lefty: behind it, the arm reaching back over its shoulder.
    Elbow  1 Above, 2 Below: Righty with J3 in [-90, 90) (J3 = -90 stretches the arm) is
           Above, Lefty with J3 there is Below. That is the elbow's side of the line from the
           shoulder to the wrist centre whenever the wrist centre is farther out than the
           shoulder; it is told by J3 so that no flag changes without a singularity between.
    Wrist  1 NoFlip: J5 >= 0; 2 Flip: J5 < 0.
    J4Flag 0 for J4 in (-180, 180], 1 beyond.
    J6Flag n for J6 in (-180 - 360n, -180 - 360(n-1)] or (180 + 360(n-1), 180 + 360n]; 0 for
           (-180, 180]. With J6 within +-360 it is 0 or 1.
Those five pick one solution: `solutions()` filtered by them (`matches()`), so a point written
with the posture of some joints comes back as exactly those joints.
"""

from __future__ import annotations

import math
from typing import Dict, Iterable, List, Mapping, Optional, Sequence

D1, A1, A2, D4, D6 = 320.0, 100.0, 250.0, 250.0, 65.0
DH = (  # (theta offset, d, a, alpha) in mm and degrees
    (0.0, D1, A1, -90.0),
    (-90.0, 0.0, A2, 0.0),
    (0.0, 0.0, 0.0, -90.0),
    (0.0, D4, 0.0, 90.0),
    (0.0, 0.0, 0.0, -90.0),
    (0.0, D6, 0.0, 0.0),
)
JOINT_LIMITS = ((-170.0, 170.0), (-160.0, 160.0), (-80.0, 160.0),
                (-190.0, 190.0), (-135.0, 135.0), (-360.0, 360.0))

Matrix = List[List[float]]  # 4x4 homogeneous transform, row major

_EPS = 1e-9
# The inverse kinematics is exact to about 1e-10 degrees: a joint that close to a flag's
# boundary counts as on it, so a posture read back from joints selects those same joints.
_FLAG_EPS = 1e-7
POSTURE_KEYS = ("hand", "elbow", "wrist", "j4flag", "j6flag")


def _matmul(a: Matrix, b: Matrix) -> Matrix:
    return [[sum(a[i][k] * b[k][j] for k in range(4)) for j in range(4)] for i in range(4)]


def _dh(theta: float, d: float, a: float, alpha: float) -> Matrix:
    ct, st = math.cos(theta), math.sin(theta)
    ca, sa = math.cos(alpha), math.sin(alpha)
    return [[ct, -st * ca, st * sa, a * ct],
            [st, ct * ca, -ct * sa, a * st],
            [0.0, sa, ca, d],
            [0.0, 0.0, 0.0, 1.0]]


def identity() -> Matrix:
    return [[1.0 if i == j else 0.0 for j in range(4)] for i in range(4)]


def invert(t: Matrix) -> Matrix:
    """Inverse of a rigid transform."""
    r = [[t[j][i] for j in range(3)] for i in range(3)]
    p = [-sum(r[i][k] * t[k][3] for k in range(3)) for i in range(3)]
    return [r[0] + [p[0]], r[1] + [p[1]], r[2] + [p[2]], [0.0, 0.0, 0.0, 1.0]]


def pose_to_matrix(pose: Sequence[float]) -> Matrix:
    x, y, z, u, v, w = pose
    cu, su = math.cos(math.radians(u)), math.sin(math.radians(u))
    cv, sv = math.cos(math.radians(v)), math.sin(math.radians(v))
    cw, sw = math.cos(math.radians(w)), math.sin(math.radians(w))
    return [[cu * cv, cu * sv * sw - su * cw, cu * sv * cw + su * sw, x],
            [su * cv, su * sv * sw + cu * cw, su * sv * cw - cu * sw, y],
            [-sv, cv * sw, cv * cw, z],
            [0.0, 0.0, 0.0, 1.0]]


def matrix_to_pose(t: Matrix) -> List[float]:
    r20 = max(-1.0, min(1.0, t[2][0]))
    v = math.atan2(-r20, math.hypot(t[0][0], t[1][0]))
    if math.hypot(t[0][0], t[1][0]) < 1e-12:
        # V = +-90 deg: only U -+ W is defined; report it all as U with W = 0.
        u = math.atan2(-t[0][1], t[1][1])
        w = 0.0
    else:
        u = math.atan2(t[1][0], t[0][0])
        w = math.atan2(t[2][1], t[2][2])
    pose = [t[0][3], t[1][3], t[2][3], math.degrees(u), math.degrees(v), math.degrees(w)]
    # Rounding noise would make a half-turn angle flicker between -180 and 180 and print
    # values like 4e-15; fold both far below the 1e-6 accuracy the model promises.
    for i in (3, 5):
        if abs(abs(pose[i]) - 180.0) < 1e-9:
            pose[i] = 180.0
    return [0.0 if abs(c) < 1e-9 else c for c in pose]


def flange_transform(joints: Sequence[float], upto: int = 6) -> Matrix:
    t = identity()
    for q, (offset, d, a, alpha) in zip(list(joints)[:upto], DH):
        t = _matmul(t, _dh(math.radians(q + offset), d, a, math.radians(alpha)))
    return t


def forward(joints: Sequence[float], tool: Optional[Sequence[float]] = None) -> List[float]:
    """TCP pose of the joint vector, with the tool pose applied to the flange when given."""
    t = flange_transform(joints)
    if tool is not None:
        t = _matmul(t, pose_to_matrix(tool))
    return matrix_to_pose(t)


def within_limits(joints: Sequence[float]) -> bool:
    return all(lo - 1e-9 <= q <= hi + 1e-9 for q, (lo, hi) in zip(joints, JOINT_LIMITS))


def _wrap(angle: float) -> float:
    """Angle in degrees mapped into (-180, 180]."""
    a = math.fmod(angle, 360.0)
    if a <= -180.0:
        a += 360.0
    elif a > 180.0:
        a -= 360.0
    return a


def _turn_variants(angle: float, lo: float, hi: float) -> List[float]:
    base = _wrap(angle)
    turns = [base + k * 360.0 for k in (0, -1, 1)]
    return sorted((a for a in turns if lo - 1e-9 <= a <= hi + 1e-9), key=abs)


def solutions(pose: Sequence[float], tool: Optional[Sequence[float]] = None,
              reference: Optional[Sequence[float]] = None) -> List[List[float]]:
    """Every joint vector within the limits that puts the TCP at the pose.

    The reference joints only settle the free angles at singular positions (J1 when the wrist
    centre is on the base axis, J4 when J5 is 0). Solutions come in posture order: shoulder front
    before back, wrist no-flip (J5 >= 0) before flip, J4/J6 turn nearest zero first.
    """
    target = pose_to_matrix(pose)
    if tool is not None:
        target = _matmul(target, invert(pose_to_matrix(tool)))
    ref = list(reference) if reference is not None else [0.0] * 6
    wx = target[0][3] - D6 * target[0][2]
    wy = target[1][3] - D6 * target[1][2]
    wz = target[2][3] - D6 * target[2][2]
    radial = math.hypot(wx, wy)
    phi = math.degrees(math.atan2(wy, wx)) if radial > _EPS else ref[0]
    found: List[List[float]] = []
    for q1, r in ((phi, radial - A1), (phi + 180.0, -radial - A1)):
        s = wz - D1
        k = (A2 * A2 + D4 * D4 - (r * r + s * s)) / (2.0 * A2 * D4)
        if k > 1.0 + 1e-12 or k < -1.0 - 1e-12:
            continue
        base_q3 = math.degrees(math.asin(max(-1.0, min(1.0, k))))
        for q3 in sorted({base_q3, 180.0 - base_q3}, key=abs):
            q3 = _wrap(q3)
            s3, c3 = math.sin(math.radians(q3)), math.cos(math.radians(q3))
            a_, b_ = A2 - D4 * s3, D4 * c3
            q2 = math.degrees(math.atan2(a_ * r - b_ * s, b_ * r + a_ * s))
            arm = [_wrap(q1), q2, q3]
            r03 = flange_transform(arm + [0.0, 0.0, 0.0], upto=3)
            # Wrist rotation R36 = R03^T R06 = Rz(q4) Ry(-q5) Rz(q6).
            m = [[sum(r03[k2][i] * target[k2][j] for k2 in range(3)) for j in range(3)]
                 for i in range(3)]
            sin_b = math.hypot(m[0][2], m[1][2])
            if sin_b < 1e-9:
                q4 = ref[3]
                q6 = math.degrees(math.atan2(m[1][0], m[0][0])) - q4
                wrists = [(q4, 0.0, q6)] if m[2][2] > 0 else []
            else:
                b = math.atan2(sin_b, m[2][2])
                wrists = [
                    (math.degrees(math.atan2(m[1][2], m[0][2])), -math.degrees(b),
                     math.degrees(math.atan2(m[2][1], -m[2][0]))),
                    (math.degrees(math.atan2(-m[1][2], -m[0][2])), math.degrees(b),
                     math.degrees(math.atan2(-m[2][1], m[2][0]))),
                ]
                wrists.sort(key=lambda w: w[1] < 0)  # no-flip (J5 >= 0) first
            for q4, q5, q6 in wrists:
                for v4 in _turn_variants(q4, *JOINT_LIMITS[3]):
                    for v6 in _turn_variants(q6, *JOINT_LIMITS[5]):
                        candidate = [0.0 if abs(q) < 1e-12 else q for q in arm + [v4, q5, v6]]
                        if within_limits(candidate):
                            found.append(candidate)
    return found


def solve(pose: Sequence[float], tool: Optional[Sequence[float]] = None,
          nearest: Optional[Sequence[float]] = None) -> Optional[List[float]]:
    """One IK solution: the one nearest `nearest` (least joint motion), else the first posture.

    Returns None when the pose is unreachable within the joint limits.
    """
    found = solutions(pose, tool, reference=nearest)
    if not found:
        return None
    if nearest is None:
        return found[0]
    return min(found, key=lambda q: joint_distance(q, nearest))


def joint_distance(a: Iterable[float], b: Iterable[float]) -> float:
    return sum((x - y) ** 2 for x, y in zip(a, b))


def rotation_angle_between(a: Matrix, b: Matrix) -> float:
    """Angle in degrees of the rotation that takes frame a to frame b."""
    rel = [[sum(a[k][i] * b[k][j] for k in range(3)) for j in range(3)] for i in range(3)]
    skew = math.sqrt((rel[2][1] - rel[1][2]) ** 2 + (rel[0][2] - rel[2][0]) ** 2
                     + (rel[1][0] - rel[0][1]) ** 2)
    # atan2 keeps small angles exact where acos of the trace would lose half the digits.
    return math.degrees(math.atan2(skew / 2.0, (rel[0][0] + rel[1][1] + rel[2][2] - 1.0) / 2.0))


def interpolate_pose(a: Matrix, b: Matrix, s: float) -> Matrix:
    """Straight line between the positions, shortest rotation between the orientations."""
    rel = [[sum(a[k][i] * b[k][j] for k in range(3)) for j in range(3)] for i in range(3)]
    angle = math.acos(max(-1.0, min(1.0, (rel[0][0] + rel[1][1] + rel[2][2] - 1.0) / 2.0)))
    if angle < 1e-12:
        r = [row[:3] for row in a[:3]]
    else:
        axis = [rel[2][1] - rel[1][2], rel[0][2] - rel[2][0], rel[1][0] - rel[0][1]]
        norm = math.sqrt(sum(c * c for c in axis))
        if norm < 1e-9:  # half turn: take the axis from the diagonal
            i = max(range(3), key=lambda k: rel[k][k])
            axis = [math.sqrt(max(0.0, (rel[i][i] + 1) / 2)) if j == i
                    else rel[j][i] / (2 * math.sqrt(max(1e-12, (rel[i][i] + 1) / 2)))
                    for j in range(3)]
            norm = math.sqrt(sum(c * c for c in axis))
        x, y, z = (c / norm for c in axis)
        t = angle * s
        c, sn, cc = math.cos(t), math.sin(t), 1 - math.cos(t)
        step = [[c + x * x * cc, x * y * cc - z * sn, x * z * cc + y * sn],
                [y * x * cc + z * sn, c + y * y * cc, y * z * cc - x * sn],
                [z * x * cc - y * sn, z * y * cc + x * sn, c + z * z * cc]]
        r = [[sum(a[i][k] * step[k][j] for k in range(3)) for j in range(3)] for i in range(3)]
    p = [a[i][3] + (b[i][3] - a[i][3]) * s for i in range(3)]
    return [r[0] + [p[0]], r[1] + [p[1]], r[2] + [p[2]], [0.0, 0.0, 0.0, 1.0]]


def turn_flag(angle: float) -> int:
    """J4Flag or J6Flag of a joint angle: 0 within (-180, 180], then one more per turn out."""
    boundary = 180.0 + 360.0 * round((angle - 180.0) / 360.0)
    if abs(angle - boundary) < _FLAG_EPS:
        angle = boundary
    if -180.0 < angle <= 180.0:
        return 0
    if angle > 180.0:
        return math.ceil((angle - 180.0) / 360.0)
    return math.floor((-angle - 180.0) / 360.0) + 1


def posture(joints: Sequence[float]) -> Dict[str, int]:
    """The point attributes of the joints, keyed by POSTURE_KEYS, valued as Hand(), Elbow(),
    Wrist(), J4Flag() and J6Flag() answer them (see the module docstring)."""
    wrist_centre = flange_transform(joints, upto=4)
    q1 = math.radians(joints[0])
    reach = wrist_centre[0][3] * math.cos(q1) + wrist_centre[1][3] * math.sin(q1)
    righty = reach >= 0.0
    elbow_up_side = -90.0 <= _wrap(joints[2]) < 90.0
    return {"hand": 1 if righty else 2, "elbow": 1 if elbow_up_side == righty else 2,
            "wrist": 1 if joints[4] >= 0.0 else 2, "j4flag": turn_flag(joints[3]),
            "j6flag": turn_flag(joints[5])}


def matches(joints: Sequence[float], flags: Mapping[str, int]) -> bool:
    """True when the joints have every attribute the flags name (the others are free)."""
    if not flags:
        return True
    have = posture(joints)
    return all(have[k] == v for k, v in flags.items())


def solve_posture(pose: Sequence[float], tool: Optional[Sequence[float]],
                  flags: Mapping[str, int], reference: Optional[Sequence[float]],
                  nearest: bool) -> Optional[List[float]]:
    """The solution with the given attributes: the one nearest the reference joints when
    `nearest`, else the first in posture order; the reference also settles singular angles.
    None when no solution within the limits has them."""
    found = [q for q in solutions(pose, tool, reference=reference) if matches(q, flags)]
    if not found:
        return None
    if nearest and reference is not None:
        return min(found, key=lambda q: joint_distance(q, reference))
    return found[0]
