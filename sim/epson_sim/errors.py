"""Error codes of the virtual controller, sent as "!<command>,<code>".

Remote commands (the numbers the real controller uses):
    10  the line does not begin with `$` (answered `!Error,10`)
    11  unknown remote command, or not logged in
    12  malformed command: `$Execute` without a quoted statement, an argument where none is
        allowed, a line longer than the controller reads
    13  `$Login` with a wrong password
    14  a number out of range
    15  no such parameter
    19  request timeout
        (14, 15 and 19 are never sent here: no remote command of the virtual controller takes
        a number or a parameter name, and none of them times out)
    20  controller not ready: `$Pause` without Running, `$Continue` without Paused, `$Pause`,
        `$Continue` or `$Reset` with Auto off (teach mode), `$Reset` with the Emergency Stop
        pressed, `$Abort` without a running `$Execute`
    21  an `$Execute` is still running: any command but `$Abort`, `$GetStatus`, `$Login` and
        `$Logout`, from any connection (`$Pause` and `$Continue` pass during a motion when the
        controller accepts them there)
    99  system error: the controller failed inside (the session goes on)

Statements (`!Execute,<code>`), the virtual controller's own numbering. 20 and 21 repeat two
remote codes: `!Execute,21` is either a value out of range or a refused second `$Execute`.
    20  statement or expression not understood
    21  value out of range (Speed 0, Tool 16, a joint outside its limits, ...)
    22  undefined Tool slot or point
    23  a point-file name that is not a plain file name: empty, longer than 255 characters, a
        character outside A-Z a-z 0-9 _ . -, or "..", or "." alone
    24  a point file that is missing, unreadable or not the virtual controller's point file, or
        that could not be written
    30  motors are off
    31  Emergency Stop active, or it stopped the motion or `Wait`
    32  safeguard open, or it opened during the motion
    33  teach mode: remote motion is refused; switching to it ends a motion or `Wait`
    34  a controller error is pending (clear it with `Reset`), or one stopped the motion or `Wait`
    36  the motion or `Wait` was aborted with `$Abort`
    40  target unreachable (no inverse-kinematics solution within the joint limits)
    41  target or path outside the `XYLim` box
    42  the straight line passes too close to a singularity
    43  a straight line (Move, Jump3's depart and approach) arrives in another posture than its
        destination's: another hand, elbow or wrist, or other joints than the exact ones of an
        AglToPls, Here or LJM point
    44  `Jump`: a statement of SCARA and Cartesian robots, which a 6-axis arm does not run
    50  I/O bit or port number outside its bank (bits 0..511, byte ports 0..63, word ports 0..31)
    51  value too large for its port (a byte 0..255, a word 0..65535), or negative
"""

# Remote commands.
NO_DOLLAR = 10
UNKNOWN_COMMAND = 11
NOT_LOGGED_IN = 11  # the controller does not tell these two apart
BAD_COMMAND = 12
BAD_PASSWORD = 13
NUMBER_OUT_OF_RANGE = 14
NO_SUCH_PARAMETER = 15
REQUEST_TIMEOUT = 19
NOT_READY = 20
EXECUTE_RUNNING = 21
SYSTEM_ERROR = 99

# Statements.
SYNTAX = 20
OUT_OF_RANGE = 21
UNDEFINED = 22
BAD_FILE_NAME = 23
POINT_FILE = 24
MOTORS_OFF = 30
ESTOP = 31
SAFEGUARD = 32
TEACH_MODE = 33
ERROR_PENDING = 34
ABORTED = 36
UNREACHABLE = 40
OUTSIDE_XYLIM = 41
SINGULARITY = 42
POSTURE_CHANGE = 43
NOT_THIS_ROBOT = 44
IO_NUMBER = 50
IO_VALUE = 51


class SpelError(Exception):
    """A statement failed; the code goes into the error reply."""

    def __init__(self, code: int) -> None:
        super().__init__(code)
        self.code = code
