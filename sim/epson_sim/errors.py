"""Error codes of the virtual controller, sent as "!<command>,<code>".

Remote commands:
    10  not allowed now: `$Pause` without a running motion, `$Continue` without a paused one,
        `$Execute` while a motion is still running
    11  malformed line or unknown remote command (also `$Execute` without a quoted statement)
    12  `$Login` with a wrong password
    13  not logged in

Statements (`!Execute,<code>`):
    20  statement or expression not understood
    21  value out of range (Speed 0, Tool 16, a joint outside its limits, ...)
    22  undefined Tool slot or point
    30  motors are off
    31  Emergency Stop active, or it stopped the motion
    32  safeguard open, or it opened during the motion
    33  teach mode: remote motion is refused
    34  a controller error is pending (clear it with `Reset`), or one stopped the motion
    36  the motion was aborted with `$Abort`
    40  target unreachable (no inverse-kinematics solution within the joint limits)
    41  target or path outside the `XYLim` box
    42  the straight line passes too close to a singularity
"""

NOT_ALLOWED = 10
BAD_COMMAND = 11
BAD_PASSWORD = 12
NOT_LOGGED_IN = 13
SYNTAX = 20
OUT_OF_RANGE = 21
UNDEFINED = 22
MOTORS_OFF = 30
ESTOP = 31
SAFEGUARD = 32
TEACH_MODE = 33
ERROR_PENDING = 34
ABORTED = 36
UNREACHABLE = 40
OUTSIDE_XYLIM = 41
SINGULARITY = 42


class SpelError(Exception):
    """A statement failed; the code goes into the error reply."""

    def __init__(self, code: int) -> None:
        super().__init__(code)
        self.code = code
