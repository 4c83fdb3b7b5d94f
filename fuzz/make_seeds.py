#!/usr/bin/env python3
"""Writes the seed corpora in fuzz/corpus/<harness>/ from the documented examples.

The texts are the ones the unit and exchange tests use (tests/unit, tests/command,
tests/canned_replies.txt) and the edge cases the protocol documents: replies, packets and values
a controller sends, and the arguments callers pass. Each seed is encoded the way its harness
reads its input (see the comment at the top of each harness). Run from anywhere:

    python3 fuzz/make_seeds.py
"""

import pathlib
import struct

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"


def f64(*values):
    return b"".join(struct.pack("<d", v) for v in values)


def i32(value):
    return struct.pack("<i", value)


def text(value):
    """A length-prefixed text, as ByteReader::text() reads it."""
    data = value.encode("latin-1") if isinstance(value, str) else value
    return bytes([len(data)]) + data


def raw(value):
    return value.encode("latin-1") if isinstance(value, str) else value


def write(harness, seeds):
    folder = CORPUS / harness
    folder.mkdir(parents=True, exist_ok=True)
    for old in folder.iterdir():
        old.unlink()
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


# --- command_protocol: selector byte (index in the harness's kTargets), then arguments --------
(STATUS_VALUE, STATUS, ESTOP, ACCEL_MAX, VALUE_LISTS, IK_JOINT, XYLIM_READ_BACK, EXECUTE_RESULT,
 ERROR_REPLY, ESCAPE, ROUTING, GO, MOVE, IK_POINT, XYLIM, TOOLS) = range(16)


def command_protocol():
    seeds = {}

    def add(name, selector, *parts):
        seeds[name] = bytes([selector]) + b"".join(raw(p) for p in parts)

    for i, value in enumerate([" 1 ", "TRUE", "True", "FALSE", "-2", "0x10", "0X1F", "010", "1 2",
                               " 7", "+5", "-0x10", "9223372036854775807", "-9223372036854775808",
                               "\t1\r\n", "", "abc", "1.0", "12a", "0x", "08", "-",
                               "9223372036854775808", "-9223372036854775809", "yes"]):
        add(f"status-value-{i}", STATUS_VALUE, value)
    for i, value in enumerate(["1,0,True,False,0,21,3,0x10", "1, 0 , TRUE,,false,0,21,3,16",
                               " 1 0 1 0 0 21 3 16 ", "1,0,0,0,0,21,3", "1,0,0,0,0,21,3,0,9",
                               "1,0,0,x,0,21,3,0", '"1 2"']):
        add(f"status-{i}", STATUS, value)
    for i, value in enumerate(["1", "-1", " True ", "0", "FALSE", "yes", "1 2", "99999999999"]):
        add(f"estop-{i}", ESTOP, value)
    for i, value in enumerate(["120, 80", "2147483647 1", "0,120", "120", "120,120,120",
                               "2147483648,1", "-5,10", "120,x", "120,120 units", ""]):
        add(f"accel-max-{i}", ACCEL_MAX, value)
    for i, value in enumerate(["1,2,3,4,5,6,7,8,9,10,11,12", "1 2 3 4 5 6 7 8 9 10 11 12",
                               "1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12", "1,2,3,4,5,6,7,8,9,10,11",
                               "1,2,3,x,5,6,7,8,9,10,11,12", "1,2,3,4,5,6", "1 2 3 4 5 6 mm",
                               "1,2,3,4,5", "1.5,2,3,4,5,6,7,8,9,10,11,12.25"]):
        add(f"value-lists-{i}", VALUE_LISTS, value)
    for i, value in enumerate(["12.5", "  -12.5  ", "12.5 deg", "", "1e999"]):
        add(f"ik-joint-{i}", IK_JOINT, i32(i + 1), value)
    bounds = f64(-500, 500, -400, 400, 0, 600)
    for i, value in enumerate(["1", " 1 ", "0", "1.5", "1 strict", "", "-500,500,-400,400,0,600",
                               "-500.004 500.004 -400 400 0.004 600", "-500,500,-400,400,0.005,600",
                               "-500,500,-400,400,0.006,600", "-500,500,-400,400,0",
                               "-500,500,-400,400,0,600,7"]):
        add(f"xylim-read-back-{i}", XYLIM_READ_BACK, bounds, value)
    for i, value in enumerate(['#Execute,"1 2 3"', '#Execute,""', '#Execute,"a\nb"',
                               '#Execute,"say "hi""', "#Execute,1", '#Execute,"1']):
        add(f"execute-result-{i}", EXECUTE_RESULT, value)
    for i, (secret, command, reply) in enumerate([
            ("", '$Execute,"Go P1"', "!Execute,99"), ("", "$Pause", "!Execute,99,detail"),
            ("", "$Pause", "!Execute,2"), ("", "$Pause", "!Execute"), ("", "$Pause", "!Execute,199"),
            ("hunter2", "$Login,hunter2", "!Login,11"), ("pw", "$Login,pw", "!Login,11,pw"),
            ("", '$Execute,"Reset"', "!Execute,2\nsecond line")]):
        add(f"error-reply-{i}", ERROR_REPLY, text(secret), text(command), reply)
    for i, (secret, value) in enumerate([("", "plain text"), ("pw", "pw echoes pw"),
                                         ("", b"\xff\x00bad \xc3\xa9"), ("", "tab\tand\nline")]):
        add(f"escape-{i}", ESCAPE, text(secret), value)
    for i, (awaited, control, due, stale, reply) in enumerate([
            ("#Execute", "", [], 0, "#Execute"), ("#Execute", "#Pause", [], 0, "!99"),
            ("#Execute", "", ["#Pause"], 0, "#Pause"), ("#Execute", "", [], 1, '#Execute,"0"'),
            ("#Execute", "", [], 0, "#Pause")]):
        add(f"routing-{i}", ROUTING, text(awaited), text(control), bytes([len(due)]),
            *[text(d) for d in due], bytes([stale]), reply)

    # go: flags f (cp 1, ljm 2, sync 4, orientation 8, search 16, parallel 32, speed 64, accel 128),
    # flags g (decel 1), destination, then the present optional values in that order.
    add("go-plain", GO, b"\x00\x00", text("P1"))
    add("go-everything", GO, b"\xff\x00", text("P1"), i32(1), text("S"), text("Q"), i32(50), i32(30))
    add("go-accel-decel", GO, b"\x80\x01", text("P1"), i32(30), i32(20))
    add("go-speed-101", GO, b"\x42\x00", text("P1"), i32(101))
    add("go-line-break", GO, b"\x12\x00", text('P1\n$Execute,"Motor On'), text("S\r"))
    # move: flags (rot 1, ecp 2, cp 4, sync 8, search 16, parallel 32, speed 64, accel 128).
    add("move-settings", MOVE, b"\xc7", text("P2"), f64(250, 0.1))
    add("move-line-break", MOVE, b"\xc0", text("P2\r\nMotor Off"), f64(1.0, 1.0))
    add("move-zero-speed", MOVE, b"\x40", text("P2"), f64(0.0))
    add("move-too-small", MOVE, b"\x40", text("P2"), f64(4e-18))
    # ik point: flags (ljm 1, pose count in bits 1-3, reference 16, its count in bits 5-7).
    pose = f64(400, 0, 300, 0, 90, 180)
    add("ik-point-xy", IK_POINT, bytes([6 << 1]), pose)
    add("ik-point-ljm-here", IK_POINT, bytes([1 | 6 << 1]), pose)
    add("ik-point-ljm-reference", IK_POINT, bytes([1 | 6 << 1 | 16 | 6 << 5]), pose, f64(*[0] * 6))
    add("ik-point-digits", IK_POINT, bytes([6 << 1]), f64(0.1, -90, 1e-5, 1e17, 123.456, -0.0))
    add("ik-point-five", IK_POINT, bytes([1 | 5 << 1]), f64(1, 2, 3, 4, 5))
    # xylim: count of the low corner, plus 5 times the count of the high corner.
    add("xylim-box", XYLIM, bytes([3 + 5 * 3]), f64(-500, -400, 0), f64(500, 400, 600))
    add("xylim-tenth", XYLIM, bytes([3 + 5 * 3]), f64(0.1, 0, 0), f64(1, 1, 1))
    add("xylim-unordered", XYLIM, bytes([3 + 5 * 3]), f64(0, 0, 1), f64(1, 1, 1))
    # tools: tool number, allow zero, TCP pose, then a destination text.
    add("tools-tcp", TOOLS, i32(2), b"\x00", f64(0.01, -0.02, 0.15, 90, 0, 45), "P1")
    add("tools-flange", TOOLS, i32(0), b"\x01", f64(0, 0, 0, 0, 0, 0), 'P1\n$Execute,"Motor On"')
    add("tools-sixteen", TOOLS, i32(16), b"\x01", f64(1e-3, 1, 1e3, -0.0, 1e300, 5e-324), "P1")
    return seeds


VALUES = ["1", " 2.5", "4", "1.5mm", "3=4", "0x10", "-1.25e2", "-inf", "nan", "abc", "oops", "",
          "  ", "1e999", "-1e400", "4.9e-324", "2.4703282292062328e-324", "1e-400", "0x1p-1074",
          "0x1p-1075", "0x1.8p1023", "0x1p1024", "infinity", "INF", "nan(123)", "-nan", "0x",
          "0x.8", "0x1p", "+.5", ".e1", "1e+", "\t\n\v\f\r 7", "2.2250738585072011e-308"]


def telemetry_value():
    return {f"value-{i}": raw(v) for i, v in enumerate(VALUES)}


FULL_SAMPLE = "X=1;Y=2;Z=3;U=4;V=5;W=6;J1agl=11;J2agl=12;J3agl=13;J4agl=14;J5agl=15;J6agl=16"
STATUS_768 = "STAT=524288;SYSERR=0;CTRLDEV=21;ROBOTINFO=0;CTRLINFO=768"
PACKET_SEQUENCES = {
    "full-sample": [FULL_SAMPLE],
    "split-sample": ["X=1;Y=2;Z=3;U=4;V=5;W=6", "J1agl=11;J2agl=12;J3agl=13;J4agl=14;J5agl=15;J6agl=16"],
    "x-restarts": ["X=1;Y=2;Z=3", "X=7;U=4", "V=5;W=6;Y=2;Z=3;J1agl=1;J2agl=2;J3agl=3;J4agl=4;J5agl=5;J6agl=6"],
    "fields": ["", ";", ";;X=1;;", " X = 2.5", "J 1\tagl\v=4", "\nJ1agl=3;X=1", "x=1", "X=1;Y=7;X=2",
               "hello;X=1", " \t=abc;X=1", "X=1.5mm", "A=3=4", "X=0x10", "X=-1.25e2", "X=-inf", "X=nan"],
    "bad-values": ["X=1;Y=2", "Y=abc", "X=1;Y=2;Z=oops", "X=", "X=  ;Y=1", "X=1e999", "J1agl=-1e400"],
    "status": [STATUS_768, "STAT=524288;SYSERR=0;CTRLDEV=21;ROBOTINFO=0;CTRLINFO=256"],
    "status-without-ctrlinfo": ["STAT=1;SYSERR=0;CTRLDEV=21;ROBOTINFO=0;" + FULL_SAMPLE],
    "status-out-of-range": ["X=1;Y=2", "STAT=1e19;SYSERR=0;CTRLDEV=21;ROBOTINFO=0;CTRLINFO=nan"],
    "status-truncation": ["STAT=1.9;SYSERR=-1.9;CTRLDEV=-0.5;ROBOTINFO=9223372036854774784;"
                          "CTRLINFO=-9223372036854775808"],
    "crlf-line-ends": [FULL_SAMPLE, "\n" + FULL_SAMPLE, "\n" + STATUS_768],
}


def telemetry_packet():
    return {name: raw("\r".join(packets)) for name, packets in PACKET_SEQUENCES.items()}


def number_format():
    return {
        "printf-examples": f64(100, 0.1, 1e-05, -0.0, 123.456789012345678, -90, 1e16, 1e17),
        "fixed-examples": f64(0.0001, 0.00001, 250, 0.5, 1.5, 12.25),
        "limits": f64(5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, float("inf"),
                      float("-inf"), float("nan")),
        "rounding": f64(0.5e-17, 4.9999999999999996e-18, 9007199254740993, 1e22, 1e23, 2 / 3),
    }


# --- stream_framers: mode byte, then a program (0xFE B N repeats B (1 + (N & 15)) << (N >> 4)
# times; 0xFD X sends X). Mode bit 0: telemetry; bit 1: reset query / sample end marker;
# bits 6 and 7 together: a long stream.
STATUS_QUERY, RESET_QUERY, LONG = 0x00, 0x02, 0xC0
STATUS_END, SAMPLE_END = 0x01, 0x03


def repeat(byte, count):
    """A program that sends `byte` exactly `count` times."""
    out = b""
    for shift in range(15, -1, -1):
        while count >> shift:
            step = min(16, count >> shift)
            out += bytes([0xFE, ord(byte), shift << 4 | (step - 1)])
            count -= step << shift
    return out


def stream_framers():
    seeds = {}

    def add(name, mode, *parts):
        seeds[name] = bytes([mode]) + b"".join(raw(p) for p in parts)

    add("status-reply", STATUS_QUERY, '#Execute,"1 0 1 0 0 21 3 16"\r\n')
    add("status-multi-line", STATUS_QUERY, '#Execute,"1 0 0\r\n0 0 0x10\r\n1 2"\r\n')
    add("status-unquoted", STATUS_QUERY, "#Execute,1\r\n")
    add("status-wrong-count", STATUS_QUERY, '#Execute,""1 2""\r\n')
    add("status-two-replies", STATUS_QUERY, '#Execute,"1"\r\n#Execute,"0"\r\n')
    add("reset-ok", RESET_QUERY, "#Execute\r\n")
    add("reset-error-2", RESET_QUERY, "!Execute,2\r\n")
    add("reset-error-99", RESET_QUERY, "!Execute,99\r\n")
    add("reset-error-no-command", RESET_QUERY, "!99\r\n")
    add("reset-stray-pause", RESET_QUERY, "#Pause\r\n#Execute\r\n")
    add("reset-empty-line", RESET_QUERY, "\r\n")
    add("reset-open-quote", RESET_QUERY, '#Execute,"first line\r\n')
    add("reset-silence", RESET_QUERY, "")
    add("reset-lf-only", RESET_QUERY, "#Execute\n")
    add("reset-nul", RESET_QUERY, "#Execute\x00\r\n")
    mib = 1024 * 1024
    add("long-reply-at-cap", RESET_QUERY | LONG, "#Execute,", repeat("a", mib - 11), "\r\n")
    add("long-reply-past-cap", RESET_QUERY | LONG, "#Execute,", repeat("a", mib + 20000), "\r\n")
    add("long-open-quote", STATUS_QUERY | LONG, '#Execute,"', repeat("a", mib), '"\r\n')
    add("long-no-line-end", RESET_QUERY | LONG, repeat("#", mib + 1))
    add("long-quoted-lines", STATUS_QUERY | LONG, '#Execute,"', repeat("\n", 300000), '"\r\n')

    add("telemetry-sample", STATUS_END, FULL_SAMPLE + "\r")
    add("telemetry-status", SAMPLE_END, STATUS_768 + "\r")
    add("telemetry-split", STATUS_END, "X=1;Y=2;Z=3;U=4;V=5;W=6\rJ1agl=11;J2agl=12;J3agl=13\r",
        "J4agl=14;J5agl=15;J6agl=16\r")
    add("telemetry-crlf", SAMPLE_END, FULL_SAMPLE + "\r\n" + STATUS_768 + "\r\n")
    add("telemetry-bad-value", STATUS_END, "X=1;Y=2;Z=3;U=4;V=5;W=6\rY=abc\r",
        "J1agl=11;J2agl=12;J3agl=13;J4agl=14;J5agl=15;J6agl=16\r")
    add("telemetry-unterminated", SAMPLE_END, "STAT=7;SYSERR=0;CTRLDEV=21;ROBOTINFO=0;CTRLINFO=0")
    # A packet of 65535 bytes fits the 64 KiB buffer with its CR; one byte more does not.
    padded = FULL_SAMPLE + ";Q=1"
    add("telemetry-largest-packet", STATUS_END, padded, repeat(" ", 65535 - len(padded)), "\r")
    add("telemetry-oversized-packet", STATUS_END, padded, repeat(" ", 65536 - len(padded)),
        "\r" + FULL_SAMPLE.replace("=1", "=9") + "\r")
    add("telemetry-oversized-then-pending", STATUS_END, "X=1;Y=2;Z=3;U=4;V=5;W=6\r",
        repeat(" ", 70000), "\rJ1agl=11;J2agl=12;J3agl=13;J4agl=14;J5agl=15;J6agl=16\r")
    return seeds


if __name__ == "__main__":
    for harness, make in [("command_protocol", command_protocol),
                          ("telemetry_value", telemetry_value),
                          ("telemetry_packet", telemetry_packet),
                          ("number_format", number_format),
                          ("stream_framers", stream_framers)]:
        seeds = make()
        write(harness, seeds)
        print(f"{harness}: {len(seeds)} seeds")
