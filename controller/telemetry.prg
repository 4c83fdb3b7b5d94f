' telemetry.prg: the telemetry task of the Epson driver (Tandrel, EthernetReceiveInterface).
'
' Serves the controller's TCP/IP port #201 (its TCP/IP port number, 2000 by default, is set in
' the controller's TCP/IP settings, with CRLF or CR as the terminator). It waits for a receiver,
' then sends one sample every TELEMETRY_PERIOD seconds, as two packets:
'     X=..;Y=..;Z=..;U=..;V=..;W=..          the position (RealPos: mm and degrees)
'     J1agl=..;J2agl=..; .. ;J6agl=..        the joint angles (degrees)
' and a status packet STAT=..;SYSERR=..;CTRLDEV=..;ROBOTINFO=..;CTRLINFO=.. first, whenever a
' status word changes, and otherwise after every STATUS_EVERY samples. When the receiver leaves
' it closes the port and waits for the next one; nothing a receiver does stops the task.
'
' Start EpsonTelemetry as a background task (or with Xqt EpsonTelemetry, NoEmgAbort), so that
' neither a Pause nor an Emergency Stop halts it. It only reads: it never moves the robot and
' never writes an output.

#define TELEMETRY_PERIOD 0.004   ' seconds between samples: 250 Hz
#define STATUS_EVERY 25          ' a status packet at least every 25 samples (0.1 s)

Function EpsonTelemetry
    Long samples, statWord, robotWord, ctrlWord, errNo
    Long lastStat, lastRobot, lastCtrl, lastErr
    Double due, late
    String pose$, joints$, status$

    OnErr GoTo Lost
    Do
        OpenNet #201 As Server
        WaitNet #201
        lastStat = -1
        samples = 0
        due = 0
        TmReset 0
        Do
            If ChkNet(201) < 0 Then
                Exit Do
            EndIf

            ' Read everything before the first Print, so the packets show one instant.
            statWord = Stat(0)
            robotWord = RobotInfo(0)
            ctrlWord = CtrlInfo(1)
            errNo = SysErr
            pose$ = "X=" + Str$(CX(RealPos)) + ";Y=" + Str$(CY(RealPos))
            pose$ = pose$ + ";Z=" + Str$(CZ(RealPos)) + ";U=" + Str$(CU(RealPos))
            pose$ = pose$ + ";V=" + Str$(CV(RealPos)) + ";W=" + Str$(CW(RealPos))
            joints$ = "J1agl=" + Str$(Agl(1)) + ";J2agl=" + Str$(Agl(2))
            joints$ = joints$ + ";J3agl=" + Str$(Agl(3)) + ";J4agl=" + Str$(Agl(4))
            joints$ = joints$ + ";J5agl=" + Str$(Agl(5)) + ";J6agl=" + Str$(Agl(6))

            If statWord <> lastStat Or robotWord <> lastRobot Or ctrlWord <> lastCtrl Or errNo <> lastErr Or samples >= STATUS_EVERY Then
                status$ = "STAT=" + Str$(statWord) + ";SYSERR=" + Str$(errNo)
                status$ = status$ + ";CTRLDEV=" + Str$(CtrlDev) + ";ROBOTINFO=" + Str$(robotWord)
                status$ = status$ + ";CTRLINFO=" + Str$(ctrlWord)
                Print #201, status$
                lastStat = statWord
                lastRobot = robotWord
                lastCtrl = ctrlWord
                lastErr = errNo
                samples = 0
            EndIf
            Print #201, pose$
            Print #201, joints$
            samples = samples + 1

            ' Keep to the period on average: wait for the next due time, and after falling
            ' more than 0.1 s behind start counting again instead of sending a burst.
            due = due + TELEMETRY_PERIOD
            late = Tmr(0) - due
            If late < 0 Then
                Wait -late
            ElseIf late > 0.1 Then
                due = 0
                TmReset 0
            EndIf
        Loop
Closed:
        CloseNet #201
    Loop

Lost:
    ' The receiver left while a packet was sent: close the port and wait for the next one.
    EResume Closed
Fend
