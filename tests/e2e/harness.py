"""Drives the real Zeptrix.exe under Wine on a virtual X display, the way a
person would: windows found by title, clicks and drops through X, pixels
read from screenshots. Shared by the end-to-end test files."""
import os
import shutil
import signal
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(ROOT, "build")
ARTIFACTS = os.path.join(BUILD, "e2e-artifacts")
# The manual's pictures, taken by the tests that show each state.
DOCS = os.path.join(ROOT, "docs")


def wait_for(condition, timeout=20.0, step=0.1, what="condition"):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(step)
    raise AssertionError("timed out waiting for " + what)


class Display:
    """An Xvfb of its own, 1024 x 768 x 24 unless a height is given."""

    def __init__(self, height=768):
        for number in range(140, 200):
            if not os.path.exists("/tmp/.X11-unix/X%d" % number) and \
               not os.path.exists("/tmp/.X%d-lock" % number):
                break
        self.name = ":%d" % number
        # Clients reach it through its abstract socket alone: a socket file
        # would leave /tmp/.X11-unix behind.
        self.process = subprocess.Popen(
            ["Xvfb", self.name, "-screen", "0", "1024x%dx24" % height, "-nolisten", "tcp", "-nolisten", "unix"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: subprocess.run(["xdpyinfo"], env=self.env(), capture_output=True).returncode == 0,
                 what="Xvfb")

    def env(self):
        env = dict(os.environ)
        env["DISPLAY"] = self.name
        return env

    def xdotool(self, *args, check=True):
        result = subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env(),
                                capture_output=True, text=True)
        if check and result.returncode != 0:
            raise AssertionError("xdotool %s failed: %s" % (args, result.stderr))
        return result.stdout.strip()

    def windows_named(self, pattern):
        out = self.xdotool("search", "--name", pattern, check=False)
        return [int(w) for w in out.split()] if out else []

    def visible_windows(self):
        out = self.xdotool("search", "--onlyvisible", "--name", "", check=False)
        return [int(w) for w in out.split()] if out else []

    def geometry(self, window):
        out = self.xdotool("getwindowgeometry", "--shell", window)
        values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def screenshot(self, name, crop=None):
        os.makedirs(ARTIFACTS, exist_ok=True)
        path = os.path.join(ARTIFACTS, name + ".png")
        subprocess.run(["import", "-window", "root", path], env=self.env(), check=True,
                       capture_output=True)
        if crop:
            x, y, w, h = crop
            subprocess.run(["convert", path, "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage",
                            path], check=True)
        return path

    def picture(self, name, *windows):
        """A screenshot of the windows together for the manual. It replaces
        docs/NAME.png where more than 2 % of the pixels differ, so that a
        bar a few pixels longer than last time changes nothing."""
        rects = [self.geometry(w) for w in windows]
        x, y = min(r[0] for r in rects), min(r[1] for r in rects)
        w, h = max(r[0] + r[2] for r in rects) - x, max(r[1] + r[3] for r in rects) - y
        shot = self.screenshot(name, crop=(x, y, w, h))
        kept = os.path.join(DOCS, name + ".png")
        if os.path.exists(kept):
            compared = subprocess.run(["compare", "-metric", "AE", "-fuzz", "10%", shot, kept, "null:"],
                                      capture_output=True, text=True)
            # Exit status 2: the sizes differ, or the picture can't be read.
            if compared.returncode != 2 and float(compared.stderr.split()[0]) <= 0.02 * w * h:
                return shot
        subprocess.run(["convert", shot, "-strip", kept], check=True)
        print("the manual's picture %s was taken anew" % os.path.relpath(kept, ROOT))
        return shot

    def pixels(self, x, y, w, h):
        """RGB triples of a screen rectangle, row by row."""
        raw = subprocess.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y),
                              "-depth", "8", "rgb:-"], env=self.env(), check=True, capture_output=True).stdout
        return [[tuple(raw[(r * w + c) * 3:(r * w + c) * 3 + 3]) for c in range(w)]
                for r in range(h)]

    def close(self):
        self.process.terminate()
        self.process.wait()


def windows_build():
    """The Windows build whose executables run here, as zeptrix.sh chose it:
    32-bit where the kernel runs 32-bit code and wine32 is installed, else
    the 64-bit build of the same sources."""
    chosen = os.environ.get("ZPX_WINDOWS_BUILD")
    if chosen:
        return chosen
    try:
        ok = subprocess.run(["/lib/ld-linux.so.2", "--version"],
                            capture_output=True).returncode == 0
    except OSError:
        ok = False
    return "windows" if ok and os.path.exists("/usr/lib/wine/wine") else "windows64"


def wine_loader(build):
    return "/usr/lib/wine/wine" if build == "windows" else "/usr/lib/wine/wine64"


def wine_prefix(build):
    prefix = os.path.join(BUILD, "wineprefix32" if build == "windows" else "wineprefix64")
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        subprocess.run([wine_loader(build), "wineboot", "-i"], env=env, capture_output=True)
        server = "/usr/lib/wine/wineserver32" if build == "windows" else "/usr/lib/wine/wineserver64"
        subprocess.run([server, "-w"], env=env, capture_output=True)
    return prefix


class MenuLayout:
    """Where the running system puts the entries of a popup menu: the menu
    window's height and each entry's (top, height) below its top edge."""

    def __init__(self, height, entries):
        self.height = height
        self.entries = entries


class OpenMenu:
    def __init__(self, window, labels, layout):
        self.window = window
        self.labels = labels
        self.layout = layout


_layouts = {}


def menu_layout(build, display, labels):
    """Asks a small Windows program in the same prefix, on the same display,
    to open a menu of the same shape and report its geometry: the menu font
    and metrics differ between prefixes, so they are read, not assumed."""
    shape = "".join("s" if label == "" else "i" for label in labels)
    key = (build, shape)
    if key not in _layouts:
        helper = os.path.join(BUILD, build, "tests", "windows", "menu_metrics.exe")
        env = display.env()
        env.update(WINEPREFIX=wine_prefix(build), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        result = subprocess.run([wine_loader(build), helper, shape], env=env, capture_output=True,
                                text=True, timeout=60)
        lines = [line.split() for line in result.stdout.splitlines()]
        if result.returncode != 0 or not lines or lines[0][0] != "window":
            raise AssertionError("menu_metrics %s failed (%d): %s" % (shape, result.returncode,
                                                                      result.stdout + result.stderr))
        entries = [(int(line[2]), int(line[3])) for line in lines[1:] if line[0] == "entry"]
        if len(entries) != len(shape):
            raise AssertionError("menu_metrics %s: %r" % (shape, result.stdout))
        _layouts[key] = MenuLayout(int(lines[0][2]), entries)
    return _layouts[key]


def make_file(folder, name, size, seed=1):
    """A file of size bytes in a pattern that differs with seed."""
    path = os.path.join(folder, name)
    block = bytes((i * 131 + seed * 17 + i // 251) % 256 for i in range(65536))
    with open(path, "wb") as f:
        left = size
        while left:
            f.write(block[:min(left, len(block))])
            left -= min(left, len(block))
    return path


def free_port():
    import socket
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Program:
    """One running Zeptrix.exe in a folder of its own with its settings file
    beside it; Wine's +msgbox and +text traces tell what it shows."""

    # The first window of a run may wait for Wine to start its desktop
    # process and fill its font caches, which on a busy machine has taken
    # over a minute.
    first_start = True

    def __init__(self, display, settings=None, name="zeptrix"):
        self.display = display
        self.build = windows_build()
        self.folder = tempfile.mkdtemp(prefix=name + "-")
        self.received = os.path.join(self.folder, "received")
        os.makedirs(self.received)
        self.exe = os.path.join(self.folder, "Zeptrix.exe")
        shutil.copy(os.path.join(BUILD, self.build, "app", "Zeptrix.exe"), self.exe)
        if settings is not None:
            with open(os.path.join(self.folder, "Zeptrix.cfg"), "w", newline="\r\n") as f:
                f.write(settings)
        self.log_path = os.path.join(self.folder, "wine.log")
        env = display.env()
        env.update(WINEPREFIX=wine_prefix(self.build), WINEDEBUG="-all,trace+msgbox,trace+text",
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        self.log = open(self.log_path, "wb")
        self.process = subprocess.Popen([wine_loader(self.build), self.exe], cwd=self.folder,
                                        env=env, stdout=self.log, stderr=subprocess.STDOUT)
        self.window = wait_for(lambda: (display.windows_named("^Zeptrix") or [None])[0],
                               timeout=180 if Program.first_start else 60, what="the program window")
        Program.first_start = False
        wait_for(lambda: "DrawTextExW" in self.trace(), timeout=30, what="the first paint")

    def trace(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def drawn_texts(self):
        """Every text drawn, in order (Wine's DrawTextExW trace)."""
        import re
        return [t.replace('\\"', '"') for t in
                re.findall(r'DrawTextExW L"((?:[^"\\]|\\.)*)", ', self.trace())]

    def message_boxes(self):
        import re
        return [re.sub(r'\\(.)', r'\1', m) for m in
                re.findall(r'MSGBOX_OnInit L"((?:[^"\\]|\\.)*)"', self.trace())]

    def geometry(self):
        return self.display.geometry(self.window)

    def right_click(self, labels, x=40, y=9):
        """Opens the popup menu, whose entries must be labels ("" for a
        separator), and checks its height against where this prefix puts
        such entries."""
        layout = menu_layout(self.build, self.display, labels)
        gx, gy, _, _ = self.geometry()
        before = set(self.display.visible_windows())
        self.display.xdotool("mousemove", gx + x, gy + y, "click", "3")
        window = wait_for(lambda: [w for w in self.display.visible_windows()
                                   if w not in before and w != self.window], what="the popup menu")[0]
        # Painted when two looks agree and it is no longer blank.
        geometry = self.display.geometry(window)
        last = [None]

        def painted():
            now = self.display.pixels(*geometry)
            settled = now == last[0] and any(p != (0, 0, 0) for row in now for p in row)
            last[0] = now
            return settled
        wait_for(painted, step=0.2, what="the menu to be drawn")
        if geometry[3] != layout.height:
            raise AssertionError("the menu is %d pixels high; %d entries %r take %d here"
                                 % (geometry[3], len(labels), labels, layout.height))
        return OpenMenu(window, list(labels), layout)

    def choose(self, menu, label):
        """Clicks the entry label of an open menu."""
        self.point_at(menu, label)
        self.display.xdotool("mousedown", "1")
        time.sleep(0.1)
        self.display.xdotool("mouseup", "1")

    def point_at(self, menu, label):
        """Points at the entry label of an open menu until it lights up."""
        x, y, w, h = self.display.geometry(menu.window)
        if label not in menu.labels:
            raise AssertionError("no entry " + label)
        top, height = menu.layout.entries[menu.labels.index(label)]
        # As a person does: point at the entry, see it highlighted, then
        # press and release. Under load the menu may take a moment before it
        # follows the pointer.
        border = menu.layout.entries[0][0]
        row = (x + border, y + top, w - 2 * border, height)
        plain = self.display.pixels(*row)
        cx, cy = x + w // 2, y + top + height // 2
        for attempt in range(20):
            self.display.xdotool("mousemove", cx, cy + (attempt % 2))
            time.sleep(0.25)
            if self.display.pixels(*row) != plain:
                break
        else:
            raise AssertionError("the entry %r never lit up" % label)

    def close_boxes(self):
        """Closes the open message boxes and waits until they are gone. The
        task that showed one ends right after it closes; a short pause
        lets its counters settle before the menu is read."""
        boxes = [b for b in self.display.windows_named("^Zeptrix$") if b != self.window]
        for box in boxes:
            self.display.xdotool("key", "--window", box, "Return", check=False)
        wait_for(lambda: not [b for b in self.display.windows_named("^Zeptrix$")
                              if b in boxes], what="the message boxes to close")
        time.sleep(0.5)

    def wait_exit(self, timeout=60):
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.log.close()


class ConsolePeer:
    """The console peer (native build) as the other end of a transfer."""

    EXE = os.path.join(BUILD, "release", "cli", "zeptrix-cli")

    def __init__(self, port=None, folder=None, options=()):
        self.port = port or free_port()
        self.folder = folder or tempfile.mkdtemp(prefix="peer-")
        # Its lines go to a file: a pipe nobody reads would stall it.
        self.log = open(os.path.join(tempfile.gettempdir(), "peer-%d.log" % self.port), "w")
        self.process = subprocess.Popen([self.EXE] + list(options) + ["receive", "--port", str(self.port),
                                         "--dir", self.folder], stdout=self.log,
                                        stderr=subprocess.STDOUT, text=True)
        wait_for(lambda: port_open(self.port), what="the console receiver")

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
        self.log.close()

    @staticmethod
    def send(host_port, *files, timeout=120, options=()):
        return subprocess.run([ConsolePeer.EXE] + list(options) + ["send", host_port] + list(files),
                              capture_output=True, text=True, timeout=timeout)


def port_open(port):
    import socket
    s = socket.socket()
    try:
        s.settimeout(0.2)
        s.connect(("127.0.0.1", port))
        return True
    except OSError:
        return False
    finally:
        s.close()


def drop(display, x, y, *paths):
    """Drops the files on the screen point with a real XDND drag."""
    script = os.path.join(ROOT, "tests", "e2e", "xdnd_drop.py")
    return subprocess.run(["/usr/bin/python3", script, str(x), str(y)] + list(paths),
                          env=display.env(), capture_output=True, text=True, timeout=30)


class ThrottledRelay:
    """A TCP relay on loopback that passes bytes on at a limited rate, so a
    transfer between two real peers lasts long enough to be watched."""

    def __init__(self, target_port, bytes_per_second):
        import socket
        import threading
        self.target_port = target_port
        self.rate = bytes_per_second
        self.server = socket.socket()
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(5)
        self.port = self.server.getsockname()[1]
        self.stopped = False
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        import socket
        import threading
        while not self.stopped:
            try:
                client, _ = self.server.accept()
            except OSError:
                return
            upstream = socket.create_connection(("127.0.0.1", self.target_port))
            threading.Thread(target=self._pump, args=(client, upstream, True), daemon=True).start()
            threading.Thread(target=self._pump, args=(upstream, client, False), daemon=True).start()

    def _pump(self, source, sink, throttled):
        # The sender's end of data is passed on as a half close, so the
        # acknowledgement can still come back; anything else that ends a
        # direction (the receiver closing, an error) ends the whole relay
        # connection, as a direct connection would end.
        import socket
        sender_finished = False
        try:
            while True:
                data = source.recv(4096 if throttled else 65536)
                if not data:
                    sender_finished = throttled
                    break
                sink.sendall(data)
                if throttled:
                    time.sleep(len(data) / self.rate)
        except OSError:
            pass
        if sender_finished:
            try:
                sink.shutdown(socket.SHUT_WR)
                return
            except OSError:
                pass
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()

    def close(self):
        self.stopped = True
        self.server.close()
