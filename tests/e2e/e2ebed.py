"""What the end-to-end tests share: the launcher copied into a fresh folder with an agent variant,
started under Wine and driven by uidriver.exe; the session-service double's file interface.
Runs inside the bed of tests/bed/netns, which exports KAVRO_BUILD, KAVRO_BED and the host names.
Every process a case starts is ended by its PID when the case ends."""
import os
import signal
import shutil
import subprocess
import time

BUILD = os.environ.get("KAVRO_BUILD", "")
BED = os.environ.get("KAVRO_BED", "")
RELAY_HOST = os.environ.get("KAVRO_RELAY_HOST", "")
SESSION_HOST = os.environ.get("KAVRO_SESSION_HOST", "")
WINE = "/usr/lib/wine/wine64"
LAUNCHER = os.path.join(BUILD, "KavroClientLauncher.exe")
UIDRIVER = os.path.join(BUILD, "bin", "uidriver.exe")
AGENTS = os.path.join(BED, "agents")
SERVICE = os.path.join(BED, "service")
AGENT_NAME = "KavroTechRemoteSupport-agent"


def windows_path(unix_path):
    """Wine's drive Z: is the Unix root."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


# ---- Session-service double ----

def set_scenario(lines):
    """Key=value lines for every request from now on; renamed into place, never read half-written."""
    path = os.path.join(SERVICE, "scenario")
    with open(path + ".new", "w") as f:
        f.write("".join(line + "\n" for line in lines))
    os.replace(path + ".new", path)


def put_service_file(name, data):
    with open(os.path.join(SERVICE, name), "wb") as f:
        f.write(data)


def clear_requests():
    folder = os.path.join(SERVICE, "requests")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)


class Request:
    def __init__(self, head, body):
        lines = head.decode("latin-1").split("\n")
        self.method, _, self.path = lines[0].partition(" ")
        self.headers = [line for line in lines[1:] if line]
        self.body = body

    def header(self, name):
        for line in self.headers:
            key, _, value = line.partition(": ")
            if key.lower() == name.lower():
                return value
        return None

    def form(self):
        return dict(pair.split("=", 1) for pair in self.body.decode("ascii").split("&"))


def requests():
    """The requests the double has recorded, in order; a .head is written last, so it marks a whole record."""
    out = []
    folder = os.path.join(SERVICE, "requests")
    n = 1
    while os.path.exists(os.path.join(folder, "%04d.head" % n)):
        with open(os.path.join(folder, "%04d.head" % n), "rb") as f:
            head = f.read()
        with open(os.path.join(folder, "%04d.body" % n), "rb") as f:
            body = f.read()
        out.append(Request(head, body))
        n += 1
    return out


def service_log_tail(lines=30):
    try:
        with open(os.path.join(BED, "service.log"), errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError as e:
        return "(no service log: %s)" % e


# ---- The launcher and its driver ----

def map_drive(letter, unix_folder):
    """Maps drive LETTER onto unix_folder in the bed's prefix, as subst or a mapped network drive
    maps one on Windows. Under Wine a folder's volume serial number follows the drive the folder
    belongs to at the moment it is asked (Z: until another drive maps it), so a drive is mapped
    before the launchers that should share a folder start."""
    link = os.path.join(os.environ["WINEPREFIX"], "dosdevices", letter + ":")
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(unix_folder, link)


class Launcher:
    """One launcher in a folder of its own under testbed/scratch, with the agent variant given
    (None: no agent) placed beside it under the agent's name; or, with beside, a second run of
    another Launcher's file in its folder. A pinned launcher keeps to the window it found first,
    and finds pass over the windows listed in skip (those of other launchers). A launcher is started
    by its path on drive Z:, or with drive through that drive letter, which map_drive has mapped
    onto its folder's parent."""

    def __init__(self, case, agent="good.exe", leftover_policy=None, beside=None, pinned=False, skip=(), drive=None):
        if beside is None:
            self.folder = os.path.join(BED, "scratch", "e2e-" + case)
            shutil.rmtree(self.folder, ignore_errors=True)
            os.makedirs(self.folder)
            shutil.copy(LAUNCHER, self.folder)
            if agent is not None:
                shutil.copy(os.path.join(AGENTS, agent), self.agent_path)
            if leftover_policy is not None:
                with open(self.policy_path, "wb") as f:
                    f.write(leftover_policy)
        else:
            self.folder = beside.folder
        self.pinned = pinned
        self.window = None
        self.skip = list(skip)
        self.transcript = []
        self.output = open(os.path.join(self.folder, "launcher.out" if beside is None else "beside.out"), "wb")
        exe = windows_path(os.path.join(self.folder, "KavroClientLauncher.exe"))
        if drive is not None:
            exe = "%s:\\%s\\KavroClientLauncher.exe" % (drive, os.path.basename(self.folder))
        self.process = subprocess.Popen([WINE, exe],
                                        stdin=subprocess.DEVNULL, stdout=self.output, stderr=subprocess.STDOUT,
                                        start_new_session=True)

    def file(self, suffix):
        return os.path.join(self.folder, AGENT_NAME + suffix)

    @property
    def agent_path(self):
        return self.file(".exe")

    @property
    def policy_path(self):
        return self.file(".msh")

    def drive(self, *commands, timeout=90):
        """uidriver.exe with these commands after attaching to this launcher's window; its
        key=value lines as a dict (a key read twice keeps its last value) and as a list."""
        if self.window is not None:
            target = ["window", self.window]
        else:
            target = [word for window in self.skip for word in ("skip", window)] + ["attach", "20000"]
        argv = [WINE, UIDRIVER] + target + [str(c) for c in commands]
        started = time.monotonic()
        try:
            done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
            text, code = done.stdout.decode("utf-8", "replace"), done.returncode
        except subprocess.TimeoutExpired as e:
            text, code = (e.stdout or b"").decode("utf-8", "replace"), "timeout"
        self.transcript.append("$ uidriver %s  (%.1f s, exit %s)\n%s"
                               % (" ".join(argv[2:]), time.monotonic() - started, code, text))
        pairs = [line.split("=", 1) for line in text.splitlines() if "=" in line]
        result = dict(pairs)
        if self.pinned and self.window is None and "window" in result:
            self.window = result["window"]
        result["exit"] = code
        result["lines"] = pairs
        return result

    def alive(self):
        return self.process.poll() is None

    def wait_exit(self, timeout):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def wait_for_file(self, path, timeout, contains=None):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if os.path.exists(path):
                if contains is None:
                    return True
                with open(path, "rb") as f:
                    if contains in f.read():
                        return True
            time.sleep(0.1)
        return False

    def report(self):
        """The stand-in agent's report beside it, as a dict."""
        with open(self.file(".report"), encoding="utf-8") as f:
            return dict(line.split("=", 1) for line in f.read().splitlines() if "=" in line)

    def own_processes(self):
        """PIDs of the processes running from this case's folder: the launcher and the agent it started."""
        marks = (self.folder.encode(), windows_path(self.folder).encode())
        pids = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    cmdline = f.read()
            except OSError:
                continue
            if any(mark in cmdline for mark in marks):
                pids.append(int(entry))
        return pids

    def end(self):
        """Ends what this case started, by PID, and prints the record of the case (shown on failure)."""
        for pid in set(self.own_processes() + ([self.process.pid] if self.alive() else [])):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.wait_exit(10)
        self.output.close()
        print("\n".join(self.transcript))
        print("---- service log (tail) ----\n" + service_log_tail())
