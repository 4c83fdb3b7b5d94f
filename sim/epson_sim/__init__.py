"""A virtual Epson robot controller for development and tests without a robot.

It speaks the Remote Ethernet command protocol on one TCP port and pushes telemetry on another,
with a simulated 6-axis arm behind them (kinematics and postures in `epson_sim.kinematics`,
motions in `epson_sim.motion` and `epson_sim.robot`, the SPEL+ subset in `epson_sim.spel`, its
points in `epson_sim.spel_points` and its motion statements in `epson_sim.spel_motion`, the point
table and its files in `epson_sim.point_table`, the cell's inputs, outputs, memory bits and
gripper in `epson_sim.cell_io`, error codes in `epson_sim.errors`).

In-process use::

    with VirtualController(port=0, telemetry_port=0, password=None, gripper=(8, 9, 0.3)) as vc:
        robot = _tandrel.Tandrel("127.0.0.1", vc.port, vc.telemetry_port)
        vc.set_emergency_stop(True)  # operator controls act at once
        vc.set_input(10, True)       # so do sensors

Command channel (lines end in CR LF): `$Login,<password>` -> `#Login` (any password when none is
configured), `$Logout` -> `#Logout`, `$Execute,"<statement>"` -> `#Execute,0`, or
`#Execute,"<values>"` for `Print` (values separated by blanks), `$Pause` / `$Continue` ->
`#Pause` / `#Continue`, `$Reset` -> `#Reset,0`, `$Abort` -> `#Abort,0`, `$GetStatus` ->
`#GetStatus,<flags>,<code>` (eleven 0/1 flags: Test, Teach, Auto, Warning, SError, Safeguard,
EStop, Error, Paused, Running, Ready; the pending error as four digits). A `Go`, `Move` or
`Jump3` replies when the motion ends, a `Wait` when its bit holds or its timeout passes. As on a real
controller, one `$Execute` runs at a time, and meanwhile only `$Abort`, `$GetStatus`, `$Login`
and `$Logout` are accepted, from any client (`execute_accepts_pause=True` lets `$Pause` and
`$Continue` act on a running motion, as before). Failures reply `!<command>,<code>` (codes in
`epson_sim.errors`). With `remote_timeout_s`, a logged-in client quiet for that long is cut off
and its statement aborted. While silent (`set_silent`) the controller reads and acts on every
line but answers none.

Telemetry channel: while a receiver is connected, a sample packet
"J1agl=..;...;J6agl=..;X=..;Y=..;Z=..;U=..;V=..;W=.." at the configured rate (default 100 Hz,
up to 1 kHz), and a status packet "STAT=..;SYSERR=..;CTRLDEV=..;ROBOTINFO=..;CTRLINFO=.." once a
second and whenever the status changes. Packets end in CR LF (or CR alone, configurable).

Status words (also answered by `Stat(0)`, `RobotInfo(0)` and `CtrlInfo(1)`):
    STAT      bit 16 motion running, 17 paused, 18 error pending, 19 teach mode,
              20 Emergency Stop, 21 Power Low, 22 safeguard open, 23 motors on
    ROBOTINFO bit 0 error pending, 2 motors on, 3 Power High, 4 moving, 5 paused
    CTRLINFO  bit 0 ready (no error, no E-stop), 8 Emergency Stop, 9 safeguard open, 10 error
    CTRLDEV   21
"""

from .controller import VirtualController

__all__ = ["VirtualController"]
