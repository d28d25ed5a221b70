"""End-to-end cases against the built launcher under Wine: one record per case (how the agent is
placed and signed, what the session-service double answers, what the window must show and what
must be left afterwards). The window is driven from outside by uidriver.exe."""
import os
import re
import subprocess
import time

import pytest

from e2ebed import (BED, RELAY_HOST, SESSION_HOST, UIDRIVER, WINE, Launcher, clear_requests, map_drive,
                    put_service_file, requests, set_scenario, windows_path)

TITLE = "Kavro Remote Support"
PROMPT = "Enter your 6-digit remote support code"
BUTTON = "Connect to Support"
INSTRUCTIONS = ("Use the code from your appointment or technician.\\r\\n"
                "Connect only while speaking with your technician.\\r\\n"
                "You must approve access before remote support begins.")   # as uidriver prints line breaks
CHECKING = "Checking your appointment securely. Please wait..."
FAILED = "Check your code with your technician and try again."
INCOMPLETE_CAPTION = "Check your code"
INCOMPLETE = "Please enter all six digits of your remote support code."

VERIFY = "Windows could not verify the support agent. Please contact your technician."
UNAVAILABLE = "This code is unavailable. Please check your six-digit code with your technician."
NOT_READY = "Your session is not ready, or this code is no longer available. Please check with your technician."
EXPIRED = "Your support code has expired. Please ask your technician for a new code."
WAIT = "Please wait a few minutes before trying again."
TEMPORARILY = "Support is temporarily unavailable. Please try again shortly."
CONNECT = ("We could not securely connect to Kavro. Check your Internet connection and try again, "
           "or contact your technician.")
PREPARE = "Unable to prepare your support session. Please close this client and contact your technician."
START = "Windows could not start the support agent. Please contact your technician."

ES_NUMBER = 0x2000


def server_line(host):
    return b"MeshServer=wss://" + host.encode() + b":443/agent.ashx\r\n"


# A policy whose every byte the agent must see unchanged: markers not at the start, bytes above
# 0x7F, a lone LF and CR, no terminator.
POLICY = (b"MeshName=Kavro \xe9quipe\nMeshID=0x4b6176726f2d6532652d3031\r"
          + server_line(RELAY_HOST) + b"ServerID=00\xff11\r\nTail=end")


@pytest.fixture
def launcher_for(request):
    """Makes a launcher for the case; ends it and everything it started when the case ends."""
    started = []
    clear_requests()

    def make(agent="good.exe", leftover_policy=None, tag="", **options):
        launcher = Launcher(request.node.name.replace("[", "-").rstrip("]") + tag, agent, leftover_policy, **options)
        started.append(launcher)
        return launcher

    yield make
    for launcher in started:
        launcher.end()


def expect_box(state, caption, text):
    assert state.get("box") == "1", "expected a message box, got none"
    assert state.get("box-text-found") == "1", "expected the box's text control (id 0xFFFF), got none"
    assert (state.get("box-caption"), state.get("box-text")) == (caption, text), \
        "expected %r / %r, got %r / %r" % (caption, text, state.get("box-caption"), state.get("box-text"))


def test_initial_window(launcher_for):
    launcher = launcher_for()
    s = launcher.drive("find", "20000", "endsession", "cancelled", "state")
    assert s.get("queryendsession") == "1", "expected the end of the session allowed while idle"
    expected = {
        "title": TITLE, "window-visible": "1", "prompt-text": PROMPT, "code-text": "", "code-enabled": "1",
        "code-limit": "6", "button-text": BUTTON, "button-enabled": "1", "status-text": INSTRUCTIONS,
        "focus": "code", "box": "0",
    }
    for key, value in expected.items():
        assert s.get(key) == value, "%s: expected %r, got %r" % (key, value, s.get(key))
    assert int(s["code-style"], 16) & ES_NUMBER, "expected ES_NUMBER on the code box, got style " + s["code-style"]
    # The limit and ES_NUMBER are what the box enforces on typing.
    s = launcher.drive("type", "1a2b3c4567", "state")
    assert s.get("code-text") == "123456", "expected typing to keep six digits, got %r" % s.get("code-text")


def sizes(value):
    return [int(n) for n in value.split(",")]


# Each text the window shows, in its control: the control, and the state that shows the text (the
# status text shows three). The text must fit the control's client area, laid out as the control
# lays it out in the font Wine stands in for Segoe UI; every control must lie in the window's
# client area; and the window may have grown only by what the status text lacked.
FIT_CASES = [
    ("prompt",       "prompt", "idle"),
    ("button",       "button", "idle"),
    ("instructions", "status", "idle"),
    ("checking",     "status", "checking"),
    ("failed",       "status", "failed"),
]
FIT_STATES = {   # the service's answer, the steps that bring the state, the status text it shows
    "idle":     (["status=400"], ["type", "400400"], INSTRUCTIONS),
    "checking": (["status=400", "hold-file=release"], ["type", "400400", "click", "wait", "busy:10000"], CHECKING),
    "failed":   (["status=400"], ["type", "400400", "click", "box", "60000", "dismiss"], FAILED),
}


@pytest.mark.parametrize("control,state", [c[1:] for c in FIT_CASES], ids=[c[0] for c in FIT_CASES])
def test_text_fits_its_control(launcher_for, control, state):
    scenario, steps, status_text = FIT_STATES[state]
    set_scenario(scenario)
    release = os.path.join(os.environ["KAVRO_BED"], "service", "release")
    if os.path.exists(release):
        os.remove(release)
    launcher = launcher_for()
    launcher.drive("find", "20000")
    s = launcher.drive(*steps, "state", "fit")
    put_service_file("release", b"")   # a held answer goes out; the launcher ends with the case
    assert s.get("status-text") == status_text, "expected %r, got %r" % (status_text, s.get("status-text"))
    assert s.get("code-shows") is not None and s.get("code-shows") == s.get("code-needs"), \
        "expected the code box's digits laid out in %s (%s px), got %s px" \
        % (s.get("fit-face"), s.get("code-needs"), s.get("code-shows"))
    needs, size = sizes(s[control + "-needs"]), sizes(s[control + "-size"])
    assert needs[0] <= size[0] and needs[1] <= size[1], "%s in %s needs %dx%d, the control shows %dx%d" \
        % (control, s["fit-face"], needs[0], needs[1], size[0], size[1])
    client, window = sizes(s["fit-client"]), sizes(s["fit-window"])
    for name in ("prompt", "code", "button", "status"):
        left, top, right, bottom = sizes(s[name + "-rect"])
        assert 0 <= left and 0 <= top and right <= client[0] and bottom <= client[1], \
            "%s at %s lies outside the client area %dx%d" % (name, s[name + "-rect"], client[0], client[1])
    status = sizes(s["status-rect"])
    assert status[:3] == [24, 140, 484] and status[3] >= 240, \
        "expected the status text at 24,140, 460 wide, at least 100 tall; got %s" % s["status-rect"]
    assert window[0] == 525 and (window[1] == 295 or (window[1] > 295 and status[3] == client[1])), \
        "expected 525x295, or taller by just what the status text lacked; got %dx%d with the status text " \
        "ending at %d of %d" % (window[0], window[1], status[3], client[1])


# how the text gets into the box, the text, how the attempt is started
INCOMPLETE_CASES = [
    ("five-typed-click",   "type",  "12345",  "click"),
    ("five-typed-enter",   "type",  "12345",  "enter"),
    ("letter-typed",       "type",  "12a456", "click"),    # ES_NUMBER drops the letter: five digits
    ("letter-pasted",      "paste", "12a456", "click"),
    ("letter-pasted-enter", "paste", "1234x6", "enter"),
    ("space-inserted",     "insert", "123 45", "press"),
    ("fullwidth-pasted",   "paste", "\uff11\uff12\uff13\uff14\uff15\uff16", "click"),
    ("nothing",            "sleep", "0",      "click"),
]


@pytest.mark.parametrize("how,text,start", [c[1:] for c in INCOMPLETE_CASES], ids=[c[0] for c in INCOMPLETE_CASES])
def test_incomplete_code(launcher_for, how, text, start):
    set_scenario(["status=400"])
    launcher = launcher_for()
    launcher.drive("find", "20000")
    s = launcher.drive(how, text, start, "box", "10000")
    expect_box(s, INCOMPLETE_CAPTION, INCOMPLETE)
    s = launcher.drive("dismiss", "sleep", "500", "state")
    assert (s.get("code-enabled"), s.get("button-enabled")) == ("1", "1"), "expected the controls enabled"
    assert s.get("status-text") == INSTRUCTIONS, "expected the status unchanged, got %r" % s.get("status-text")
    assert requests() == [], "expected nothing sent, got %d requests" % len(requests())
    assert launcher.alive(), "expected the launcher still running"


def test_attempt_in_progress(launcher_for):
    set_scenario(["status=400", "hold-file=release"])
    try:
        os.remove(os.path.join(os.environ["KAVRO_BED"], "service", "release"))
    except FileNotFoundError:
        pass
    launcher = launcher_for()
    launcher.drive("find", "20000")
    s = launcher.drive("type", "400400", "click", "wait", "busy:10000", "state")
    assert s.get("wait-busy") == "1", "expected the attempt to start"
    assert (s.get("code-enabled"), s.get("button-enabled")) == ("0", "0"), \
        "expected both controls disabled, got code %s button %s" % (s.get("code-enabled"), s.get("button-enabled"))
    assert s.get("status-text") == CHECKING, "expected %r, got %r" % (CHECKING, s.get("status-text"))
    assert launcher.wait_for_file(os.path.join(os.environ["KAVRO_BED"], "service", "requests", "0001.head"), 20)
    # Closing, a second click, a stray connect command and Enter must all be ignored.
    s = launcher.drive("close", "click", "press", "command", "enter", "endsession", "cancelled", "sleep", "1500", "state")
    assert launcher.alive(), "expected the launcher to survive WM_CLOSE while busy"
    assert s.get("queryendsession") == "1", "expected the end of the session allowed during an attempt"
    assert (s.get("window-visible"), s.get("status-text"), s.get("box")) == ("1", CHECKING, "0"), \
        "expected the busy window unchanged, got visible %s status %r box %s" \
        % (s.get("window-visible"), s.get("status-text"), s.get("box"))
    put_service_file("release", b"")
    s = launcher.drive("box", "30000")
    expect_box(s, TITLE, UNAVAILABLE)
    s = launcher.drive("dismiss", "sleep", "1000", "state")
    assert s.get("box") == "0", "expected one message box only, got another after dismissing"
    assert len(requests()) == 1, "expected one request, got %d" % len(requests())


def test_loop_ended_during_an_attempt(launcher_for):
    """A quit from outside ends the message loop mid-attempt; the launcher still waits for the
    attempt to end, its agent included, and cleans up before it exits."""
    set_scenario(["status=200", "policy=1", "hold-file=release"])
    release = os.path.join(os.environ["KAVRO_BED"], "service", "release")
    if os.path.exists(release):
        os.remove(release)
    launcher = launcher_for()
    launcher.drive("find", "20000")
    s = launcher.drive("type", "123456", "click", "wait", "busy:10000", "quit", "sleep", "2000")
    assert s.get("wait-busy") == "1" and s.get("exit") == 0, "expected the attempt started and the quit posted"
    assert launcher.alive(), "expected the launcher to outlive its loop while the attempt runs"
    put_service_file("release", b"")
    assert launcher.wait_for_file(launcher.file(".report"), 30, b"state=running"), "expected the agent to start"
    assert launcher.alive(), "expected the launcher to wait for its agent"
    end_session(launcher)


def policy_file(name, data):
    put_service_file(name, data)
    return "body-file=" + name


# name, agent placed, service scenario (None: no request expected), message, leftover policy file
FAILURE_CASES = [
    ("no-agent",         None,                 None,                 VERIFY,      None),
    ("unsigned",         "unsigned.exe",       None,                 VERIFY,      None),
    ("other-publisher",  "otherpublisher.exe", None,                 VERIFY,      None),
    ("lowercase-name",   "lowercase.exe",      None,                 VERIFY,      None),
    ("altered",          "altered.exe",        None,                 VERIFY,      None),
    ("status-400",       "good.exe",  ["status=400"],                UNAVAILABLE, None),
    ("status-409",       "good.exe",  ["status=409"],                NOT_READY,   None),
    ("status-410",       "good.exe",  ["status=410"],                EXPIRED,     None),
    ("status-429",       "good.exe",  ["status=429"],                WAIT,        None),
    ("status-302",       "good.exe",  ["status=302", "location=https://%s/elsewhere" % SESSION_HOST, "policy=1"],
                                                                     TEMPORARILY, None),
    ("status-500",       "good.exe",  ["status=500"],                TEMPORARILY, None),
    ("empty-200",        "good.exe",  ["status=200", "body-size=0"], CONNECT,     None),
    ("too-large-200",    "good.exe",  ["status=200", "body-size=1048576"], CONNECT, None),
    ("other-relay",      "good.exe",  ["status=200", "@" + "other-relay"], CONNECT, None),
    ("no-mesh-id",       "good.exe",  ["status=200", "@" + "no-mesh-id"],  CONNECT, None),
    ("leftover-policy",  "good.exe",  ["status=200", "policy=1"],    PREPARE,     b"left from a crashed run"),
    ("leftover-no-agent", None,       None,                          VERIFY,      b"left from a crashed run"),
    ("agent-not-a-program", "notanexe.exe", ["status=200", "policy=1"], START,    None),
]

BODIES = {
    "other-relay": b"MeshID=0x0102\r\n" + server_line("relay.elsewhere.example"),
    "no-mesh-id": b"MeshName=Kavro\r\n" + server_line(RELAY_HOST),
}


@pytest.mark.parametrize("agent,scenario,message,leftover", [c[1:] for c in FAILURE_CASES],
                         ids=[c[0] for c in FAILURE_CASES])
def test_failed_attempt(launcher_for, agent, scenario, message, leftover):
    lines = ["status=400"] if scenario is None else scenario
    lines = [policy_file(l[1:], BODIES[l[1:]]) if l.startswith("@") else l for l in lines]
    set_scenario(lines)
    launcher = launcher_for(agent, leftover)
    launcher.drive("find", "20000")
    s = launcher.drive("type", "246813", "click", "box", "60000", "state")
    expect_box(s, TITLE, message)
    sent = requests()
    assert len(sent) == (0 if scenario is None else 1), "expected %d requests, got %d" \
        % (0 if scenario is None else 1, len(sent))
    assert not os.path.exists(launcher.policy_path), "expected no policy file left"
    s = launcher.drive("dismiss", "sleep", "300", "state")
    expected = {"window-visible": "1", "code-enabled": "1", "button-enabled": "1", "status-text": FAILED,
                "code-text": "246813", "focus": "code", "box": "0"}
    for key, value in expected.items():
        assert s.get(key) == value, "%s: expected %r, got %r" % (key, value, s.get(key))
    # Past the publisher check, the very next attempt reaches the service again, with the same nonce.
    if scenario is not None:
        set_scenario(["status=400"])
        s = launcher.drive("enter", "box", "60000", "dismiss")
        expect_box(s, TITLE, UNAVAILABLE)
        sent = requests()
        assert len(sent) == 2, "expected a second request, got %d in all" % len(sent)
        first, second = sent[0].form(), sent[1].form()
        assert (first["code"], second["code"]) == ("246813", "246813")
        assert first["client_nonce"] == second["client_nonce"], \
            "expected one nonce per run, got %s and %s" % (first["client_nonce"], second["client_nonce"])


@pytest.mark.parametrize("start", ["click", "enter"])
def test_successful_attempt(launcher_for, start):
    set_scenario(["status=200", policy_file("policy.bin", POLICY)])
    launcher = launcher_for()
    launcher.drive("find", "20000")
    s = launcher.drive("type", "123456", start, "wait", "hidden:30000", "box", "1000", "state")
    assert s.get("wait-hidden") == "1", "expected the window hidden while the agent runs"
    assert s.get("box") == "0", "expected no message box, got %r" % s.get("box-text")
    assert launcher.wait_for_file(launcher.file(".report"), 30), "expected the agent to start"
    report = launcher.report()
    expected_line = '"%s"' % windows_path(launcher.agent_path)
    assert report.get("command-line") == expected_line, \
        "expected %s, got %s" % (expected_line, report.get("command-line"))
    assert report.get("launcher-visible-at-start") == "0", "expected the launcher hidden when the agent starts"
    with open(launcher.file(".seen"), "rb") as f:
        seen = f.read()
    assert seen == POLICY, "expected the policy byte for byte, got %r" % seen
    assert launcher.alive(), "expected the launcher to wait for the agent"
    open(launcher.file(".end"), "w").close()
    code = launcher.wait_exit(30)
    assert code == 0, "expected exit code 0 after the agent ended, got %r" % code
    assert not os.path.exists(launcher.policy_path), "expected no policy file left"
    sent = requests()
    assert len(sent) == 1, "expected one request, got %d" % len(sent)
    r = sent[0]
    assert (r.method, r.path) == ("POST", "/api/client-session-test")
    assert r.header("Content-Type") == "application/x-www-form-urlencoded"
    assert r.header("X-Kavro-Client") == "reusable-v1"
    assert r.header("User-Agent") == "KavroReusableClient/1.0"
    assert re.fullmatch(rb"code=123456&client_nonce=[0-9a-f]{32}", r.body), "got body %r" % r.body


def test_each_run_draws_its_own_nonce(launcher_for):
    set_scenario(["status=409"])
    nonces = []
    for run in range(2):
        launcher = launcher_for()
        launcher.drive("find", "20000")
        s = launcher.drive("type", "135790", "click", "box", "60000", "dismiss", "close", "wait", "gone:10000")
        expect_box(s, TITLE, NOT_READY)
        assert launcher.wait_exit(20) == 0
        launcher.end()
        nonces.append(requests()[run].form()["client_nonce"])
    for nonce in nonces:
        assert re.fullmatch("[0-9a-f]{32}", nonce), "expected 32 lowercase hex digits, got %r" % nonce
    assert nonces[0] != nonces[1], "expected two runs to draw different nonces, got %s twice" % nonces[0]


def test_close_while_idle(launcher_for):
    launcher = launcher_for()
    launcher.drive("find", "20000", "type", "12", "close", "wait", "gone:10000")
    code = launcher.wait_exit(20)
    assert code == 0, "expected exit code 0, got %r" % code
    assert requests() == []


def end_session(launcher):
    """Ends the agent beside the launcher; the launcher must then end with 0 and leave no policy file."""
    open(launcher.file(".end"), "w").close()
    code = launcher.wait_exit(30)
    os.remove(launcher.file(".end"))
    assert code == 0, "expected exit code 0 after the agent ended, got %r" % code
    assert not os.path.exists(launcher.policy_path), "expected the policy file removed"


def start_session(launcher_for, keep_open=False):
    """A launcher whose session runs: the agent started (keeping its policy file open, without
    sharing its deletion, when asked) and the window hidden. Returns it and the policy file's bytes."""
    set_scenario(["status=200", "policy=1"])
    first = launcher_for(pinned=True)
    if keep_open:
        open(first.file(".keep-open"), "w").close()
    first.drive("find", "20000")
    s = first.drive("type", "123456", "click", "wait", "hidden:30000")
    assert s.get("wait-hidden") == "1", "expected the first launcher's session to start"
    assert first.wait_for_file(first.file(".report"), 30, b"state=running"), "expected the first agent to run"
    with open(first.policy_path, "rb") as f:
        return first, f.read()


# A first launcher runs a session; the second is started from the same folder (through another
# drive letter mapped onto its parent, when one is given) or from another. Then each step:
# ("second", message or None for a session, new requests), the first's session ending, or the
# first launcher killed while its agent runs.
TWO_LAUNCHER_CASES = [
    ("same-folder",  True,  None, [("second", PREPARE, 0), ("end-first",), ("second", None, 1)]),
    ("first-died",   True,  None, [("kill-first",), ("second", PREPARE, 1), ("second", None, 1)]),
    ("two-folders",  False, None, [("second", None, 1), ("end-first",)]),
    ("mapped-drive", True,  "m",  [("second", PREPARE, 0)]),
]


@pytest.mark.parametrize("same_folder,drive,steps", [c[1:] for c in TWO_LAUNCHER_CASES],
                         ids=[c[0] for c in TWO_LAUNCHER_CASES])
def test_two_launchers(launcher_for, same_folder, drive, steps):
    if drive is not None:
        map_drive(drive, os.path.join(BED, "scratch"))   # the first launcher's folder's parent
    first, policy = start_session(launcher_for)
    second = launcher_for(beside=first if same_folder else None, tag="" if same_folder else "-other",
                          pinned=True, skip=[first.window], drive=drive)
    second.drive("find", "20000")
    for step in steps:
        if step[0] == "end-first":
            end_session(first)
            continue
        if step[0] == "kill-first":
            first.process.kill()
            assert first.wait_exit(20) is not None, "expected the first launcher killed"
            continue
        _, message, new_requests = step
        before = len(requests())
        if message is not None:
            s = second.drive("paste", "123456", "click", "box", "60000", "dismiss")
            expect_box(s, TITLE, message)
            if first.alive():
                assert os.path.exists(first.policy_path), "expected the running session's policy file kept"
                with open(first.policy_path, "rb") as f:
                    assert f.read() == policy, "expected the running session's policy file unchanged"
        else:
            s = second.drive("paste", "123456", "click", "wait", "hidden:30000")
            assert s.get("wait-hidden") == "1", "expected the second launcher's session to start"
            assert second.wait_for_file(second.file(".report"), 30, b"state=running")
            assert same_folder or first.alive(), "expected both sessions at the same time"
            end_session(second)
        assert len(requests()) - before == new_requests, \
            "expected %d new requests, got %d" % (new_requests, len(requests()) - before)


# The customer's Windows session ends while a session runs, or another program holds the policy
# file as the agent exits: (what the hidden window is sent, or None; which launcher is sent it: the
# one whose session owns the folder, or a second one started beside it and left idle; whether a
# program such as a virus scanner holds the file from while the agent runs until 3 s after it
# exited; whether the agent keeps the file open, not sharing its deletion, until it exits). A
# session end that goes ahead is followed by what Windows does next: the launcher and its agent are
# ended, and another launcher is started from the folder.
SESSION_END_CASES = [
    ("logoff",           "logoff",    "owner",  False, False),
    ("closeapp",         "closeapp",  "owner",  False, False),
    ("not-owner",        "logoff",    "second", False, False),
    ("cancelled",        "cancelled", "owner",  False, False),
    ("held-file",        None,        "owner",  True,  False),
    ("agent-keeps-file", "logoff",    "owner",  False, True),
]


@pytest.mark.parametrize("end,to,held,keeps", [c[1:] for c in SESSION_END_CASES],
                         ids=[c[0] for c in SESSION_END_CASES])
def test_session_end(launcher_for, end, to, held, keeps):
    first, policy = start_session(launcher_for, keep_open=keeps)
    if keeps:
        assert first.report().get("policy-kept-open") == "1", "expected the agent to hold its policy file open"
    target = first
    if to == "second":
        target = launcher_for(beside=first, pinned=True, skip=[first.window])
        target.drive("find", "20000")
    holder = None
    if held:
        holder = subprocess.Popen([WINE, UIDRIVER, "holdfile", windows_path(first.policy_path)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        if holder is not None:
            assert holder.stdout.readline().strip() == b"holdfile=1", "expected another program to open the file"
        if end is not None:
            s = target.drive("endsession", end)
            assert s.get("queryendsession") == "1", "expected the end of the session allowed, got %r" % s
            assert int(s["endsession-ms"]) < 1000, "WM_ENDSESSION took %s ms" % s["endsession-ms"]
            ours = to == "owner" and end != "cancelled" and not keeps
            assert os.path.exists(first.policy_path) != ours, \
                "expected the policy file %s when WM_ENDSESSION returned" % ("gone" if ours else "kept")
        if end in ("logoff", "closeapp") and target is first:
            if keeps:
                first.process.kill()   # the launcher first, so that its worker's clean-up never runs
                assert first.wait_exit(20) is not None, "expected the launcher ended"
            first.end()   # Windows ends the launcher and its agent
            assert os.path.exists(first.policy_path) == keeps, \
                "expected the policy file %s once Windows ended both" % ("left" if keeps else "gone")
            for stale in (".report", ".seen", ".keep-open"):
                if os.path.exists(first.file(stale)):
                    os.remove(first.file(stale))
            again = launcher_for(tag="-again", beside=first)
            again.drive("find", "20000", "type", "123456")
            if keeps:
                # The file the agent kept is a leftover: the next attempt from the folder meets it.
                s = again.drive("click", "box", "60000", "dismiss")
                expect_box(s, TITLE, PREPARE)
                assert not os.path.exists(first.policy_path), "expected the leftover removed by that attempt"
            s = again.drive("click", "wait", "hidden:30000", "box", "500")
            assert s.get("wait-hidden") == "1" and s.get("box") == "0", \
                "expected the next launcher's first attempt to start a session, got %r" % s.get("box-text")
            assert again.wait_for_file(again.file(".report"), 30, b"state=running")
            end_session(again)
            return
        if end in ("logoff", "closeapp"):
            target.process.kill()   # Windows ends the second launcher; the first session's file stays
            assert target.wait_exit(20) is not None
            with open(first.policy_path, "rb") as f:
                assert f.read() == policy, "expected the running session's policy file unchanged"
        if holder is not None:
            open(first.file(".end"), "w").close()
            assert first.wait_for_file(first.file(".report"), 30, b"state=ended"), "expected the agent to end"
            time.sleep(3)
            assert first.alive() and os.path.exists(first.policy_path), \
                "expected the launcher still trying to delete the held file"
            holder.stdin.close()
            assert holder.stdout.readline().strip() == b"holdfile-closed=1"
        end_session(first)
    finally:
        if holder is not None:
            if holder.poll() is None:
                holder.kill()
            holder.wait(10)
