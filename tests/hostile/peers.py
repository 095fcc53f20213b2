"""Receivers under attack and the raw bytes to attack them with: the console
peer (native) and Zeptrix.exe (under Wine), each in a folder of its own with
its destination directory inside, and a plain socket client that writes any
bytes it is given."""
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import harness  # noqa: E402

MAGIC = b"zeptrixv1.0"
MARK = b"zeptrix**ok**"
IDLE_LIMIT_MS = 5000


def scramble(data, state):
    out = bytearray()
    for c in data:
        out.append(c ^ (state & 0xFF))
        state = ((state << 1) & 0xFE) | ((state & 0x80) >> 7)
    return bytes(out), state


def u32(value):
    return struct.pack("<I", value & 0xFFFFFFFF)


def wire(name, data, key=123, mark=MARK, name_length=None, size=None):
    """One transfer as a sender writes it; name is without its zero byte."""
    name_field, state = scramble(name + b"\0", key)
    body, _ = scramble(data, state)
    return (MAGIC + u32(key) + u32(len(name_field) if name_length is None else name_length)
            + name_field + u32(len(data) if size is None else size) + body + mark)


def talk(port, data, read_reply=True, timeout=10.0, half_close=True):
    """Writes the bytes, half-closes, and returns what came back before the
    receiver closed (None when it did not close within the timeout)."""
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    try:
        try:
            s.sendall(data)
            if half_close:
                s.shutdown(socket.SHUT_WR)
        except OSError:
            pass  # the receiver may close before it has taken every byte
        if not read_reply:
            return b""
        reply = b""
        while True:
            try:
                chunk = s.recv(4096)
            except socket.timeout:
                return None
            except OSError:
                return reply  # reset by a receiver that closed with bytes unread
            if not chunk:
                return reply
            reply += chunk
    finally:
        s.close()


def as_bytes(text):
    return text.encode("utf-8") if isinstance(text, str) else bytes(text)


def tree(folder):
    """Every path below the folder, relative to it."""
    found = set()
    for where, dirs, files in os.walk(folder):
        for n in dirs + files:
            found.add(os.path.relpath(os.path.join(where, n), folder))
    return found


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def fd_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def end_half_started(marker):
    """Kills, one by one, the processes of this user whose command line
    names a folder with the marker: only copies these tests started."""
    for pid in os.listdir("/proc"):
        if not pid.isdigit() or int(pid) == os.getpid():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if marker.encode() in f.read():
                    os.kill(int(pid), signal.SIGKILL)
        except OSError:
            pass


class ConsoleReceiver:
    """zeptrix-cli receive, native, with a shortened idle limit and, when
    given, a secret (--secret-file). Its files go to base/dest; it runs in a
    working folder of its own."""

    kind = "console peer"
    EXE = os.path.join(harness.BUILD, "release", "cli", "zeptrix-cli")

    def __init__(self, idle_limit_ms=IDLE_LIMIT_MS, wrapper=(), secret=None):
        self.base = tempfile.mkdtemp(prefix="hostile-cli-")
        self.dest = os.path.join(self.base, "dest")
        os.makedirs(self.dest)
        self.cwd = tempfile.mkdtemp(prefix="hostile-cli-cwd-")
        self.port = harness.free_port()
        self.log_path = os.path.join(self.cwd, "receiver.log")
        self.log = open(self.log_path, "wb")
        env = dict(os.environ, ZEPTRIX_IDLE_LIMIT_MS=str(idle_limit_ms))
        # With a secret, it goes in a file of a folder of its own: base and
        # the working folder are compared before and after the rows.
        self.secret_folder = None
        options = []
        if secret is not None:
            self.secret_folder = tempfile.mkdtemp(prefix="hostile-cli-secret-")
            secret_file = os.path.join(self.secret_folder, "secret")
            with open(secret_file, "wb") as f:
                f.write(as_bytes(secret) + b"\n")
            options = ["--secret-file", secret_file]
        self.process = subprocess.Popen(list(wrapper) + [self.EXE] + options + ["receive", "--port",
                                        str(self.port), "--dir", self.dest], cwd=self.cwd, env=env,
                                        stdout=self.log, stderr=subprocess.STDOUT)
        harness.wait_for(lambda: harness.port_open(self.port), timeout=60, what="the console receiver")
        self.pid = self.process.pid
        self.cwd_before = tree(self.cwd)

    def alive(self):
        return self.process.poll() is None

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        for folder in (self.base, self.cwd, self.secret_folder):
            if folder:
                shutil.rmtree(folder, ignore_errors=True)


class OnProgram:
    """Runs a TestCase's rows against one Zeptrix.exe on a display of its
    own (with the class's secret, if any); no message box may appear."""

    display = None
    secret = None

    @classmethod
    def setUpClass(cls):
        cls.display = harness.Display()
        cls.receiver = ProgramReceiver(cls.display, secret=cls.secret)

    @classmethod
    def tearDownClass(cls):
        boxes = cls.receiver.program.message_boxes() if cls.receiver else []
        super().tearDownClass()
        cls.display.close()
        assert boxes == [], "the receiver showed messages: %r" % boxes


class ProgramReceiver:
    """Zeptrix.exe under Wine, its settings beside it naming base/dest and,
    when given, the secret; the idle limit comes from the environment, which
    only the tests set."""

    kind = "Zeptrix.exe"

    def __init__(self, display, idle_limit_ms=IDLE_LIMIT_MS, secret=None):
        self.base = tempfile.mkdtemp(prefix="hostile-exe-")
        self.dest = os.path.join(self.base, "dest")
        os.makedirs(self.dest)
        self.port = harness.free_port()
        old = os.environ.get("ZEPTRIX_IDLE_LIMIT_MS")
        os.environ["ZEPTRIX_IDLE_LIMIT_MS"] = str(idle_limit_ms)
        settings = "port %d\ndir %s\n" % (self.port, harness.windows_path(self.dest))
        if secret is not None:
            settings += "secret %s\n" % as_bytes(secret).decode("utf-8")
        try:
            try:
                self.program = harness.Program(display, settings, name="hostile-exe-cwd")
            except AssertionError:
                # Wine now and then fails to bring a window up on a busy
                # machine; the half-started copy is ended and one more tried.
                end_half_started("hostile-exe-cwd-")
                self.program = harness.Program(display, settings, name="hostile-exe-cwd")
        finally:
            if old is None:
                del os.environ["ZEPTRIX_IDLE_LIMIT_MS"]
            else:
                os.environ["ZEPTRIX_IDLE_LIMIT_MS"] = old
        self.cwd = self.program.folder
        harness.wait_for(lambda: harness.port_open(self.port), timeout=60, what="Zeptrix.exe to listen")
        self.pid = self.program.process.pid
        self.cwd_before = tree(self.cwd)

    def alive(self):
        return self.program.process.poll() is None

    def stop(self):
        self.program.close_boxes()
        self.program.kill()
        for folder in (self.base, self.cwd):
            shutil.rmtree(folder, ignore_errors=True)
