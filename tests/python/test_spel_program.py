"""The SPEL+ program interpreter of the virtual controller, and the shipped telemetry program it
runs: strict loading, the statements' behaviour, and the stream the driver's receiver reads."""

import socket
import threading
import time

import pytest

import _brevacon  # noqa: F401 - before _tandrel, which hands out its Brevacon type
import _tandrel
from epson_sim import VirtualController
from epson_sim.__main__ import main
from epson_sim.spel_program import SpelProgramError, load
from epson_sim.spel_task import Task

ISSUE_EXAMPLE = """Function main
    OpenNet #201 As Server
    WaitNet #201
    Do
        Print #201, "X=1;Y=2;Z=3;U=4;V=5;W=6;J1agl=7;J2agl=8;J3agl=9;J4agl=10;J5agl=11;J6agl=12"
        Wait 0.01
    Loop
Fend
"""


def write(tmp_path, text, name="prog.prg"):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def run(text, model=None):
    """Runs main of a program without ports; returns its globals by name and what it said."""
    said = []
    program = load("t.prg", text)
    model = model or (lambda: ([10.0, 20.0, 30.0, 0.0, 90.0, 0.0], None,
                               {"STAT": 1 << 23, "SYSERR": 0, "CTRLDEV": 21, "ROBOTINFO": 4,
                                "CTRLINFO": 1}))
    task = Task(program, "main", model, {}, threading.Event(), said.append)
    task.run()
    names = [name for name in program_globals(text)]
    return dict(zip(names, task.g)), said


def program_globals(text):
    for line in text.splitlines():
        words = line.replace(",", " ").split()
        if words[:1] and words[0].lower() == "global":
            yield from words[2:]


# --- refused at start, with file, line and word ---------------------------------------------

@pytest.mark.parametrize("body, line, word", [
    ("    Frobnicate 3", 2, "Frobnicate"),                     # unknown statement
    ("    Integer i\n    i = Foo(1)", 3, "Foo"),                # unknown function
    ("    j = 1", 2, "j"),                                       # undeclared variable
    ("    Integer i\n    i = \"text\"", 3, "i"),                # wrong type
    ("    String s$\n    s$ = \"a\" + 1", 3, "+"),              # string plus number
    ("    Integer n$", 2, "n$"),                                 # $ on a number
    ("    String s", 2, "s"),                                    # no $ on a string
    ("    GoTo Nowhere", 2, "Nowhere"),                          # label never placed
    ("    OpenNet #201 As Client", 2, "Client"),                 # the virtual one serves
    ("    OpenNet #300 As Server", 2, "300"),                    # no such port number
    ("    Print \"hello\"", 2, "\"hello\""),                     # Print to the console
    ("    Print #201, \"a\"; \"b\"", 2, ";"),                    # not a SPEL+ word here
    ("    If 1 > 0 Then Wait 1", 2, "Wait"),                     # one-line If
    ("    Do", 2, "Do"),                                         # block left open
    ("    Loop", 2, "Loop"),                                     # nothing to close
    ("    Wait Sw(1) = On", 2, "Sw"),                            # a Wait on an input
    ("    Xqt other", 2, "Xqt"),                                 # tasks: outside the subset
    ("    Integer Agl", 2, "Agl"),                               # a function's name
    ("    Real x\n    x = CX(P1)", 3, "P1"),                     # points: Here and RealPos
])
def test_a_program_outside_the_subset_is_refused_at_start_naming_line_and_word(
        tmp_path, body, line, word):
    path = write(tmp_path, f"Function main\n{body}\nFend\n")
    with pytest.raises(SpelProgramError) as refused:
        VirtualController(port=0, telemetry_port=0, telemetry_program=path)
    error = refused.value
    assert (error.path, error.line, error.word) == (path, line, word)
    assert str(error).startswith(f'{path}, line {line}, "{word}": ')


@pytest.mark.parametrize("text, line, word", [
    ("Function main\nFend\nWait 1\n", 3, "Wait"),            # a statement outside a Function
    ("Function main\n    Wait 1\n", 2, "main"),             # no Fend
    ("Function other\nFend\n", 2, "main"),                   # nothing to start
    ("#define P\nFunction main\nFend\n", 1, "end of line"),  # a #define without a value
])
def test_program_structure_is_checked_at_start(tmp_path, text, line, word):
    path = write(tmp_path, text)
    with pytest.raises(SpelProgramError) as refused:
        VirtualController(port=0, telemetry_port=0, telemetry_program=path)
    assert (refused.value.line, refused.value.word) == (line, word)


def test_command_line_stops_at_start_on_a_bad_program(tmp_path, capsys):
    path = write(tmp_path, "Function main\n    Wait 1\n    Jump P1\nFend\n")
    assert main(["--telemetry-program", path, "--port", "0", "--telemetry-port", "0"]) == 1
    assert f'{path}, line 3, "Jump": statement outside' in capsys.readouterr().err


# --- what the statements do -----------------------------------------------------------------

@pytest.mark.parametrize("body, expected", [
    # For/Next with Step, and the variable's value after the loop
    ("For i = 1 To 10 Step 3\n n = n + i\n Next i", {"n": 22, "i": 13}),
    ("For i = 3 To 1 Step -1\n n = n * 10 + i\n Next", {"n": 321, "i": 0}),
    ("For i = 1 To 5\n If i = 3 Then\n Exit For\n EndIf\n n = n + 1\n Next", {"n": 2, "i": 3}),
    # Do While / Loop Until, ElseIf chains
    ("Do While n < 5\n n = n + 2\n Loop", {"n": 6}),
    ("Do\n n = n + 1\n Loop Until n >= 3", {"n": 3}),
    ("n = 7\n If n < 5 Then\n i = 1\n ElseIf n < 8 Then\n i = 2\n Else\n i = 3\n EndIf",
     {"i": 2}),
    # Integer is 16 bits, Long 32; And/Or are bitwise on numbers; Mod; hexadecimal
    ("n = &H7FFFFFFF And &HFF00 Or 3\n i = 17 Mod 5", {"n": 0xFF03, "i": 2}),
    ("r = 0.1\n d = 0.1", {"r": pytest.approx(0.100000001490116), "d": 0.1}),
    # strings: Str$ reads back exactly, Chr$, + joins
    ("s$ = Str$(2.5) + Chr$(59) + Str$(-3) + \";\" + Str$(1 / 3)",
     {"s$": "2.5;-3;0.3333333333333333"}),
    # the robot's values, one snapshot
    ("s$ = Str$(Agl(1)) + \",\" + Str$(CX(Here)) + \",\" + Str$(CtrlDev)",
     {"s$": None}),
])
def test_statements_and_functions(body, expected):
    text = ("Global Integer i\nGlobal Long n\nGlobal Real r\nGlobal Double d\nGlobal String s$\n"
            f"Function main\n{body}\nFend\n")
    values, said = run(text)
    assert not said
    for name, value in expected.items():
        if value is not None:
            assert values[name] == value, name
    if "s$" in expected and expected["s$"] is None:
        agl, x, device = values["s$"].split(",")
        assert (float(agl), device) == (10.0, "21") and float(x) != 0


def test_words_are_case_blind_and_a_quote_in_a_text_is_no_comment():
    values, said = run("global string s$\nFUNCTION Main\n  long n\n  do until N >= 2\n"
                       "    n = N + 1\n  LOOP\n  s$ = \"it's \" + str$(n) ' a comment\nfend\n")
    assert (values["s$"], said) == ("it's 2", [])


def test_port_functions_follow_the_receiver():
    """ChkNet: -3 before OpenNet, -1 without a receiver, the bytes a receiver sent, -1 for one
    that left; a Print # to one that left fails (at the latest the second) with error 5."""
    text = ("Global Long before, unconnected, waiting, left, e\nFunction main\n OnErr GoTo H\n"
            " before = ChkNet(201)\n OpenNet #201 As Server\n unconnected = ChkNet(201)\n"
            " WaitNet #201\n Wait 0.3\n waiting = ChkNet(201)\n CloseNet #201\n"
            " OpenNet #201 As Server\n WaitNet #201\n Wait 0.3\n left = ChkNet(201)\n"
            " Print #201, \"late\"\n Wait 0.1\n Print #201, \"later\"\n Exit Function\n"
            "H:\n e = Err\n EResume Next\nFend\n")
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(0.1)
    stop = threading.Event()

    def accept():
        for _ in range(100):  # ten seconds at most
            try:
                return listener.accept()[0]
            except socket.timeout:
                continue
        return None

    from epson_sim.spel_task import ServerPort
    port = ServerPort(accept, lambda sock: sock.close(), "\r\n")
    task = Task(load("t.prg", text), "main", lambda: ([0.0] * 6, None, {}), {201: port}, stop,
                print)
    runner = threading.Thread(target=task.run)
    runner.start()
    talker = socket.create_connection(listener.getsockname(), timeout=5.0)
    talker.sendall(b"hello")
    socket.create_connection(listener.getsockname(), timeout=5.0).close()  # leaves at once
    runner.join(5.0)
    stop.set()
    talker.close()
    listener.close()
    assert task.g == [-3, -1, 5, -1, 5]


@pytest.mark.parametrize("failing, err", [
    ("i = 40000", 2),           # Integer overflow
    ("n = 1 / 0", 3),           # division by zero
    ("r = Agl(7)", 4),          # no joint 7
    ("s$ = Chr$(300)", 4),
    ("r = Stat(1)", 4),         # a word the virtual controller does not model
])
def test_runtime_errors_reach_onerr_with_their_code_and_eresume_next_goes_on(failing, err):
    text = ("Global Integer i, e\nGlobal Long n\nGlobal Real r\nGlobal String s$, after$\n"
            "Function main\n OnErr GoTo Handler\n"
            f" {failing}\n after$ = \"went on\"\n Exit Function\n"
            "Handler:\n e = Err\n EResume Next\nFend\n")
    values, said = run(text)
    assert (values["e"], values["after$"], said) == (err, "went on", [])


def test_a_string_longer_than_255_characters_is_an_error_and_unhandled_stops_the_task():
    text = ("Global String s$\nFunction main\n Integer i\n For i = 1 To 300\n"
            "  s$ = s$ + \"x\"\n Next\nFend\n")
    values, said = run(text)
    assert len(values["s$"]) == 255
    assert said == ["telemetry program stopped: t.prg, line 5: error 2: "
                    "string of 256 characters"]


def test_eresume_to_a_label_and_a_second_error_in_the_handler_stops_the_task():
    values, said = run("Global Integer i\nFunction main\n OnErr GoTo H\n i = 1 / 0\n"
                       "Back:\n i = 5\n Exit Function\nH:\n EResume Back\nFend\n")
    assert (values["i"], said) == (5, [])
    values, said = run("Global Integer i\nFunction main\n OnErr GoTo H\n i = 1 / 0\n"
                       " Exit Function\nH:\n i = 1 / 0\nFend\n")
    assert said == ["telemetry program stopped: t.prg, line 7: error 3: division by zero"]


def test_a_loop_without_wait_still_ends_when_the_controller_stops(tmp_path):
    path = write(tmp_path, "Function main\n Long n\n Do\n  n = n + 1\n Loop\nFend\n")
    vc = VirtualController(port=0, telemetry_port=0, telemetry_program=path).start()
    time.sleep(0.1)
    t0 = time.monotonic()
    vc.stop()
    assert time.monotonic() - t0 < 1.0
    assert not [t for t in threading.enumerate() if t.name.startswith("epson-sim")]


# --- the stream the receiver reads ----------------------------------------------------------

def receive(vc, seconds):
    receiver = _tandrel.EthernetReceiveInterface()
    receiver.connect("127.0.0.1", vc.telemetry_port)
    try:
        receiver.wait_for_next_sample(timeout=5.0)
        before = receiver.counters()["samples_published"]
        time.sleep(seconds)
        counters = receiver.counters()
        status = receiver.get_controller_status() if receiver.has_controller_status() else None
        return receiver.get_sample(), status, counters, counters["samples_published"] - before
    finally:
        receiver.disconnect()


@pytest.mark.parametrize("rate", [250, 1000])
def test_the_shipped_program_streams_what_the_receiver_parses(rate):
    with VirtualController(port=0, telemetry_port=0, telemetry_rate_hz=rate) as vc:
        assert vc.program.defines["TELEMETRY_PERIOD"] == 1 / rate
        sample, status, counters, published = receive(vc, 1.0)
    assert published == pytest.approx(rate, rel=0.2)
    for failure in ("dropped_parse_failure", "dropped_oversize", "dropped_incomplete_status",
                    "dropped_non_finite"):
        assert counters[failure] == 0, failure
    # every packet parsed: a status packet, or half of a sample
    assert counters["packets_parsed"] == counters["packets_received"]
    assert counters["status_published"] >= published / 25
    assert list(sample.joints) == pytest.approx([0, 0, 0, 0, 90, 0])
    assert list(sample.pose) == pytest.approx([350, 0, 505, 0, 0, 180])
    assert (status["control_device"], status["emergency_stopped"]) == (21, 0)


def test_the_example_program_runs_and_the_receiver_reads_its_constant_sample(tmp_path):
    path = write(tmp_path, ISSUE_EXAMPLE)
    with VirtualController(port=0, telemetry_port=0, telemetry_program=path) as vc:
        sample, _, counters, published = receive(vc, 0.3)
    assert list(sample.pose) == [1, 2, 3, 4, 5, 6]
    assert list(sample.joints) == [7, 8, 9, 10, 11, 12]
    assert published >= 10 and counters["dropped_parse_failure"] == 0


def test_the_program_serves_one_receiver_after_another(tmp_path):
    """A receiver that leaves never stops the task: the next one is served."""
    with VirtualController(port=0, telemetry_port=0, telemetry_rate_hz=200,
                           status_interval_s=0.1) as vc:
        assert vc.program.defines["STATUS_EVERY"] == 20
        for _ in range(3):
            sock = socket.create_connection(("127.0.0.1", vc.telemetry_port), timeout=5.0)
            assert sock.recv(4096).startswith(b"STAT=")
            sock.close()
        vc.set_telemetry_rate(50)
        assert vc.program.defines["TELEMETRY_PERIOD"] == 0.02
        _, _, _, published = receive(vc, 0.5)
    assert published == pytest.approx(25, abs=5)
