"""zeptrix-cli from the outside: its command line, exit codes, messages and
lines, and real transfers between two copies of it on loopback."""
import filecmp
import os
import pty
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TESTS, "e2e"))
sys.path.insert(0, os.path.join(TESTS, "hostile"))
from harness import (BUILD, ThrottledRelay, free_port, make_file, port_open,  # noqa: E402
                     wait_for)
from peers import MARK, scramble, talk, tree, wire  # noqa: E402
from names_table import make_named_files, names  # noqa: E402


def cli_path():
    """The sanitized build when there is one (faults show), else the release."""
    wanted = os.environ.get("ZPX_CLI")
    if wanted:
        return wanted
    for build in ("native", "release"):
        path = os.path.join(BUILD, build, "cli", "zeptrix-cli")
        if os.path.exists(path):
            return path
    raise RuntimeError("zeptrix-cli is not built")


CLI = cli_path()
DEFAULT_PORT = 60907


def run(*args, timeout=60, cwd=None, env=None):
    return subprocess.run([CLI] + [str(a) for a in args], capture_output=True, text=True,
                          timeout=timeout, cwd=cwd, errors="replace",
                          env=dict(os.environ, **env) if env else None)


def port_is_free(port):
    import socket
    s = socket.socket()
    # As a listener binds: connections of a test just before, left in
    # TIME_WAIT, do not make the port busy.
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        s.bind(("0.0.0.0", port))
        return True
    except OSError:
        return False
    finally:
        s.close()


def listing(folder):
    return sorted(os.listdir(folder))


class Receiver:
    """zeptrix-cli receive with its output on pipes (or on a terminal)."""

    def __init__(self, *extra, port=None, folder=None, terminal=False, with_port=True, wrapper=()):
        self.port = port or free_port()
        self.folder = folder or tempfile.mkdtemp(prefix="cli-recv-")
        args = list(wrapper) + [CLI, "receive"] + [str(a) for a in extra]
        if with_port:
            args += ["--port", str(self.port)]
        if folder is not False and "--config" not in extra:
            args += ["--dir", self.folder]
        self.terminal = None
        if terminal:
            self.terminal, slave = pty.openpty()
            self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=slave)
            os.close(slave)
        else:
            self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        wait_for(lambda: port_open(self.port) or self.process.poll() is not None,
                 what="the receiver")
        if self.process.poll() is not None:
            raise AssertionError("receiver ended: " + self.process.stderr.read().decode())

    def stop(self, timeout=15):
        """Ctrl-C; returns exit code, standard output and standard error."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        try:
            out, err = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, err = self.process.communicate()
            raise AssertionError("receiver did not end on Ctrl-C")
        if self.terminal is not None:
            err = read_terminal(self.terminal, 0.2)
            os.close(self.terminal)
            self.terminal = None
        # Byte for byte: names are 8-bit text without a character set.
        return self.process.returncode, out.decode("latin-1"), err.decode("latin-1")

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.communicate()


def read_terminal(fd, quiet_for):
    """What arrived on the terminal until it stayed silent for quiet_for s."""
    data = b""
    while True:
        ready, _, _ = select.select([fd], [], [], quiet_for)
        if not ready:
            return data
        try:
            chunk = os.read(fd, 65536)
        except OSError:
            return data
        if not chunk:
            return data
        data += chunk


class CliTest(unittest.TestCase):
    def setUp(self):
        self.receivers = []
        self.relays = []
        self.files = tempfile.mkdtemp(prefix="cli-files-")

    def tearDown(self):
        for r in self.receivers:
            r.kill()
        for relay in self.relays:
            relay.close()
        shutil.rmtree(self.files, ignore_errors=True)

    def receiver(self, *extra, **kw):
        r = Receiver(*extra, **kw)
        self.receivers.append(r)
        return r

    def relay(self, port, rate):
        relay = ThrottledRelay(port, rate)
        self.relays.append(relay)
        return relay

    def assert_same(self, sent, arrived):
        self.assertTrue(os.path.exists(arrived), arrived + " is missing")
        self.assertTrue(filecmp.cmp(sent, arrived, shallow=False), arrived + " differs")


class CommandLine(CliTest):
    def test_usage_and_exit_codes(self):
        rows = [
            # label, arguments, exit code, text on stdout, text on stderr
            ("help", ["--help"], 0, "usage: zeptrix-cli", None),
            ("short help", ["-h"], 0, "usage: zeptrix-cli", None),
            ("help wins over the rest", ["send", "--help"], 0, "usage: zeptrix-cli", None),
            ("version", ["--version"], 0, "zeptrix-cli 1.0", None),
            ("nothing", [], 2, None, "no command given"),
            ("unknown command", ["fetch", "x"], 2, None, "unknown command fetch"),
            ("unknown option", ["--fast", "send", "h", "f"], 2, None, "unknown option --fast"),
            ("send without files", ["send", "127.0.0.1"], 2, None, "at least one file"),
            ("send alone", ["send"], 2, None, "at least one file"),
            ("receive with a word", ["receive", "now"], 2, None, "no further words"),
            ("receive option on send", ["send", "--port", "5", "127.0.0.1", "f"], 2, None,
             "belong to receive"),
            ("option without value", ["receive", "--port"], 2, None, "--port needs a value"),
            ("config without value", ["--config"], 2, None, "--config needs a value"),
            ("port out of range", ["receive", "--port", "70000"], 2, None, "bad port 70000"),
            ("port that wraps to 0", ["receive", "--port", "131072"], 2, None, "bad port 131072"),
            ("port zero", ["receive", "--port", "0"], 2, None, "bad port 0"),
            ("port in letters", ["receive", "--port", "abc"], 2, None, "bad port abc"),
            ("send port out of range", ["send", "127.0.0.1:99999", "f"], 2, None,
             "bad port in 127.0.0.1:99999"),
            ("send port in letters", ["send", "127.0.0.1:abc", "f"], 2, None,
             "bad port in 127.0.0.1:abc"),
            ("send port empty", ["send", "127.0.0.1:", "f"], 2, None, "bad port in 127.0.0.1:"),
            ("missing config", ["--config", "/nonexistent/Zeptrix.cfg", "send", "h", "f"], 2,
             None, "cannot read /nonexistent/Zeptrix.cfg"),
            ("help names the code pages", ["--help"], 0, "--codepage", None),
            ("unknown code page", ["--codepage", "437", "receive"], 2, None, "unknown code page 437"),
            ("code page in letters", ["--codepage", "latin1", "receive"], 2, None,
             "unknown code page latin1"),
            ("code page without value", ["receive", "--codepage"], 2, None,
             "--codepage needs a value"),
        ]
        for label, args, code, out, err in rows:
            with self.subTest(label):
                r = run(*args)
                self.assertEqual(r.returncode, code, r.stderr)
                if out is not None:
                    self.assertIn(out, r.stdout)
                    self.assertEqual(r.stderr, "")
                if err is not None:
                    self.assertIn(err, r.stderr)
                    self.assertEqual(r.stdout, "", "messages go to stderr")
                    if code == 2 and not label.startswith("missing"):
                        self.assertIn("usage: zeptrix-cli", r.stderr, "bad words show the usage")

    def test_failed_sends_end_with_1_and_say_why_on_stderr(self):
        closed = free_port()
        present = make_file(self.files, "present.bin", 10)
        rows = [
            ("unknown host", ["nosuchhost.invalid", present], "cannot resolve nosuchhost.invalid"),
            # The line as the program shows it, then why.
            ("nobody listens", ["127.0.0.1:%d" % closed, present],
             "Zeptrix: connecting to 127.0.0.1:%d failed!\nthe connection was refused: nothing receives on that"
             " port, or a firewall refuses it\n" % closed),
            ("missing file", ["127.0.0.1:%d" % closed, os.path.join(self.files, "gone.txt")],
             "Zeptrix: error reading gone.txt\nthe file can't be read, or its name can't be sent\n"),
        ]
        for label, args, message in rows:
            with self.subTest(label):
                r = run("send", *args)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(message, r.stderr)
                self.assertEqual(r.stdout, "")

    def test_receive_makes_a_missing_directory_or_says_why_not(self):
        missing = os.path.join(self.files, "new", "inner")
        r = self.receiver(folder=missing)
        self.assertTrue(os.path.isdir(missing))
        code, _, err = r.stop()
        self.assertIn("zeptrix-cli: made directory %s/\n" % missing, err)
        blocked = make_file(self.files, "a-file", 1)
        r = run("receive", "--port", free_port(), "--dir", os.path.join(blocked, "dir"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("zeptrix-cli: making directory %s/dir/ failed!" % blocked, r.stderr)

    def test_receive_on_a_busy_port_fails_before_it_says_it_receives(self):
        busy = self.receiver()
        r = run("receive", "--port", busy.port, "--dir", self.files, timeout=20)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, "Zeptrix: listen on port %d failed!\n" % busy.port)


class DefaultPort(CliTest):
    def setUp(self):
        super().setUp()
        if not port_is_free(DEFAULT_PORT):
            self.skipTest("port %d is in use here" % DEFAULT_PORT)

    def test_send_without_port_goes_to_60907(self):
        present = make_file(self.files, "a.bin", 10)
        for label, host in [("address", "127.0.0.1"), ("host name", "localhost")]:
            with self.subTest(label):
                r = run("send", host, present)
                self.assertEqual(r.returncode, 1)
                self.assertIn("connecting to 127.0.0.1:%d failed!" % DEFAULT_PORT, r.stderr)

    def test_receive_without_port_listens_on_60907(self):
        r = self.receiver(port=DEFAULT_PORT, with_port=False)
        sent = make_file(self.files, "default.bin", 5000)
        result = run("send", "127.0.0.1", sent)
        self.assertEqual(result.returncode, 0, result.stderr)
        code, out, err = r.stop()
        self.assertIn("receiving on port %d" % DEFAULT_PORT, err)
        self.assert_same(sent, os.path.join(r.folder, "default.bin"))


class Transfers(CliTest):
    SIZES = [("empty", 0), ("one byte", 1), ("one piece", 8193), ("a piece and a byte", 8194),
             ("a megabyte and some", (1 << 20) + 7)]

    def test_files_arrive_byte_for_byte_one_by_one(self):
        r = self.receiver()
        for seed, (label, size) in enumerate(self.SIZES):
            with self.subTest(label):
                sent = make_file(self.files, "file %d.bin" % seed, size, seed)
                result = run("send", "127.0.0.1:%d" % r.port, sent)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stderr, "sent 1 file to 127.0.0.1:%d\n" % r.port)
                self.assertEqual(result.stdout, "")
                self.assert_same(sent, os.path.join(r.folder, "file %d.bin" % seed))
        code, out, err = r.stop()
        self.assertEqual(code, 0, "an idle receiver ends cleanly on Ctrl-C")
        self.assertEqual(out.splitlines(), [
            "stored file 0.bin (0 B)", "stored file 1.bin (1 B)", "stored file 2.bin (8.0 KiB)",
            "stored file 3.bin (8.0 KiB)", "stored file 4.bin (1.0 MiB)"])
        self.assertEqual(listing(r.folder), ["file %d.bin" % i for i in range(5)])

    def test_a_batch_arrives_whole_over_a_host_name(self):
        r = self.receiver()
        batch = [make_file(self.files, "batch-%02d.dat" % i, size, i)
                 for i, size in enumerate([0, 17, 8193, 100000, 0, 3])]
        result = run("send", "localhost:%d" % r.port, *batch)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("sent 6 files to 127.0.0.1:%d" % r.port, result.stderr)
        for path in batch:
            self.assert_same(path, os.path.join(r.folder, os.path.basename(path)))
        _, out, _ = r.stop()
        self.assertEqual(len(out.splitlines()), 6, out)

    def test_a_file_replaces_one_of_the_same_name(self):
        r = self.receiver()
        with open(os.path.join(r.folder, "same.txt"), "wb") as f:
            f.write(b"old contents that are longer than the new ones")
        sent = make_file(self.files, "same.txt", 5)
        self.assertEqual(run("send", "127.0.0.1:%d" % r.port, sent).returncode, 0)
        self.assert_same(sent, os.path.join(r.folder, "same.txt"))

    def test_unreadable_file_is_skipped_and_the_batch_goes_on(self):
        r = self.receiver()
        first = make_file(self.files, "first.bin", 100)
        last = make_file(self.files, "last.bin", 200)
        result = run("send", "127.0.0.1:%d" % r.port, first,
                     os.path.join(self.files, "missing.bin"), last)
        self.assertEqual(result.returncode, 1, "a file failed")
        self.assertIn("error reading missing.bin", result.stderr)
        self.assertNotIn("sent ", result.stderr)
        self.assert_same(first, os.path.join(r.folder, "first.bin"))
        self.assert_same(last, os.path.join(r.folder, "last.bin"))


class ReceiverLines(CliTest):
    def test_one_line_per_file_with_control_characters_escaped(self):
        rows = [
            # label, file name, stored, line on stdout
            ("plain", "plain.txt", True, "stored plain.txt (3 B)"),
            ("delete character", "a\x7fb", True, "stored a\\x7Fb (3 B)"),
            # A Latin-1 byte is read in code page 1252 and stored as UTF-8.
            ("high byte", "caf\xe9.txt", True, "stored caf\xc3\xa9.txt (3 B)"),
            ("control character", "a\x01b", False, "refused a\\x01b"),
            ("tab", "a\tb", False, "refused a\\x09b"),
            ("escape", "a\x1b[2Jb", False, "refused a\\x1B[2Jb"),
            ("trailing dot", "dot.", False, "refused dot."),
            ("device name", "con.txt", False, "refused con.txt"),
            ("our temporary name", ".zeptrix-1-1.part", False, "refused .zeptrix-1-1.part"),
        ]
        r = self.receiver()
        expected = []
        for label, name, stored, line in rows:
            with self.subTest(label):
                folder = tempfile.mkdtemp(dir=self.files)
                path = os.path.join(folder.encode(), name.encode("latin-1"))
                with open(path, "wb") as f:
                    f.write(b"abc")
                result = subprocess.run([CLI.encode(), b"send", b"127.0.0.1:%d" % r.port, path],
                                        capture_output=True, timeout=60)
                self.assertEqual(result.returncode, 0 if stored else 1, result.stderr)
                self.assertEqual(result.stdout, b"")
                stored_as = "caf\xc3\xa9.txt" if label == "high byte" else name
                arrived = os.path.join(r.folder.encode(), stored_as.encode("latin-1"))
                self.assertEqual(os.path.exists(arrived), stored)
                expected.append(line)
        code, out, err = r.stop()
        self.assertEqual(code, 0)
        self.assertEqual(out.splitlines(), expected)
        self.assertEqual(err.count("\n"), 1, "only the listening notice on stderr: " + err)
        self.assertEqual([n for n in os.listdir(r.folder) if n.startswith(".zeptrix-")], [])


class FolderlessReceiver(threading.Thread):
    """A receiver from before folders: it reads the name of each transfer
    and closes without a word when the name holds a backslash."""

    def __init__(self):
        super().__init__(daemon=True)
        self.server = socket.create_server(("127.0.0.1", 0))
        self.server.settimeout(0.1)
        self.port = self.server.getsockname()[1]
        self.names = []
        self.running = True
        self.start()

    def run(self):
        while self.running:
            try:
                peer, _ = self.server.accept()
            except socket.timeout:
                continue
            with peer:
                peer.settimeout(10)
                try:
                    self.take(peer)
                except (OSError, EOFError):
                    pass

    def take(self, peer):
        def exact(count):
            data = b""
            while len(data) < count:
                chunk = peer.recv(count - len(data))
                if not chunk:
                    raise EOFError
                data += chunk
            return data
        key, length = struct.unpack("<II", exact(19)[11:])
        name, _ = scramble(exact(length), key)
        self.names.append(name.rstrip(b"\0"))
        if b"\\" in name:
            return
        size, = struct.unpack("<I", exact(4))
        exact(size + len(MARK))
        peer.sendall(MARK)

    def stop(self):
        self.running = False
        self.join()
        self.server.close()


class Names(CliTest):
    """The table of names in every language in the fixed format: between two
    console peers in each code page, and what goes on the wire."""

    def test_every_name_arrives_exactly_in_each_code_page(self):
        rows = names()
        for label, options in [("1252, the default", []), ("1251", ["--codepage", "1251"]),
                               ("raw", ["--codepage", "raw"])]:
            with self.subTest(label):
                folder = tempfile.mkdtemp(dir=self.files)
                paths = make_named_files(folder, rows)
                r = self.receiver(*options)
                result = run(*options, "send", "127.0.0.1:%d" % r.port, *paths)
                self.assertEqual(result.returncode, 0, result.stderr)
                for row, path in zip(rows, paths):
                    with self.subTest(row.label):
                        self.assert_same(path, os.path.join(r.folder, row.name))
                code, out, _ = r.stop()
                self.assertEqual(code, 0)
                self.assertEqual(sorted(os.listdir(r.folder)), sorted(row.name for row in rows))
                self.assertIn("stored " + rows[2].name.encode().decode("latin-1"), out,
                              "the receiver's line shows the name as UTF-8")

    def test_names_on_the_wire_are_in_the_code_page_where_it_holds_them(self):
        rows = names()
        paths = make_named_files(self.files, rows)
        for label, options, code_page in [("1252", [], 1252), ("1251", ["--codepage", "1251"], 1251),
                                          ("raw", ["--codepage", "raw"], None)]:
            with self.subTest(label):
                listener = FolderlessReceiver()
                try:
                    result = run(*options, "send", "127.0.0.1:%d" % listener.port, *paths)
                    self.assertEqual(result.returncode, 0, result.stderr)
                finally:
                    listener.stop()
                for row, sent in zip(rows, listener.names):
                    with self.subTest(row.label):
                        held = row.in_code_page(code_page) if code_page else None
                        self.assertEqual(sent, held if held is not None else row.name.encode())

    def test_an_older_copy_s_ansi_name_is_read_in_the_code_page(self):
        rows = [("1252", [], "caf\xe9 \x96 old.txt".encode("latin-1"), "café – old.txt"),
                ("1251", ["--codepage", "1251"], "Жук old.txt".encode("cp1251"), "Жук old.txt"),
                ("raw keeps the bytes", ["--codepage", "raw"], b"raw \xe9.txt", b"raw \xe9.txt"),
                ("UTF-8 from a newer copy", [], "日本 new.txt".encode(), "日本 new.txt")]
        for label, options, sent, stored in rows:
            with self.subTest(label):
                r = self.receiver(*options)
                self.assertEqual(talk(r.port, wire(sent, b"contents")), MARK)
                r.stop()
                folder = r.folder.encode() if isinstance(stored, bytes) else r.folder
                self.assertEqual(os.listdir(folder), [stored])


class Folders(CliTest):
    TREE = [
        # path below the folder, size, size in the receiver's line
        ("empty.bin", 0, "0 B"),
        ("one.bin", 1, "1 B"),
        ("B side.txt", 8193, "8.0 KiB"),
        ("2026/may/day one.txt", 5, "5 B"),
        ("2026/may/night/big.bin", (3 << 20) + 5, "3.0 MiB"),
        ("2026Q1.txt", 10, "10 B"),  # before 2026\ on the wire, after 2026/ on disk
    ]

    def make_tree(self, top, rows):
        for seed, (relative, size) in enumerate(rows):
            os.makedirs(os.path.dirname(os.path.join(top, relative)), exist_ok=True)
            make_file(top, relative, size, seed)

    def test_a_tree_arrives_whole_in_wire_name_order_between_plain_files(self):
        album, outside = os.path.join(self.files, "album"), os.path.join(self.files, "outside")
        self.make_tree(album, [(path, size) for path, size, _ in self.TREE])
        self.make_tree(outside, [("secret.txt", 7), ("inner/hidden.txt", 9)])
        os.makedirs(os.path.join(album, "2026", "nothing here"))
        os.symlink(os.path.join(outside, "secret.txt"), os.path.join(album, "2026", "link.txt"))
        os.symlink(outside, os.path.join(album, "linked"))
        first = make_file(self.files, "zz first.txt", 3)
        last = make_file(self.files, "aa last.txt", 4)
        r = self.receiver()
        result = run("send", "127.0.0.1:%d" % r.port, first, album, last)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr,
                         "sent %d files to 127.0.0.1:%d\n" % (len(self.TREE) + 2, r.port))
        code, out, _ = r.stop()
        expected = {"zz first.txt", "aa last.txt"}
        for path, _, _ in self.TREE:
            with self.subTest(path):
                self.assert_same(os.path.join(album, path), os.path.join(r.folder, "album", path))
            parts = ("album/" + path).split("/")
            expected |= {"/".join(parts[:i]) for i in range(1, len(parts) + 1)}
        self.assertEqual(tree(r.folder), expected, "no links, no empty folder, nothing else")
        wire = sorted(("album\\" + path.replace("/", "\\"), shown) for path, _, shown in self.TREE)
        lines = ["stored %s (%s)" % (name.replace("\\", "/"), shown) for name, shown in wire]
        self.assertEqual(out.splitlines(),
                         ["stored zz first.txt (3 B)"] + lines + ["stored aa last.txt (4 B)"])

    def test_the_current_folder_goes_under_its_own_name(self):
        album = os.path.join(self.files, "album")
        self.make_tree(album, [("a.txt", 100), ("sub/b.txt", 200)])
        r = self.receiver()
        for label, cwd, argument in [("dot", album, "."), ("dot with a slash", album, "./"),
                                     ("dot dot", os.path.join(album, "sub"), "..")]:
            with self.subTest(label):
                result = run("send", "127.0.0.1:%d" % r.port, argument, cwd=cwd)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assert_same(os.path.join(album, "sub", "b.txt"),
                                 os.path.join(r.folder, "album", "sub", "b.txt"))
                shutil.rmtree(os.path.join(r.folder, "album"))

    def test_a_receiver_without_folders_ends_the_batch(self):
        old = FolderlessReceiver()
        self.addCleanup(old.stop)
        album = os.path.join(self.files, "album")
        self.make_tree(album, [("a.txt", 100), ("b.txt", 200)])
        plain = make_file(self.files, "plain.txt", 10)
        later = make_file(self.files, "later.txt", 10)
        result = run("send", "127.0.0.1:%d" % old.port, plain, album, later)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stderr,
                         "Zeptrix: send of album\\a.txt to 127.0.0.1:%d failed!\nthe receiver did not acknowledge the"
                         " file: it refused the name, could not store the file, or has a secret\n" % old.port)
        time.sleep(0.5)  # a further connection would be taken by now
        self.assertEqual(old.names, [b"plain.txt", b"album\\a.txt"])

    def test_names_too_deep_or_too_long_are_skipped_and_the_rest_arrives(self):
        rows = [
            # label, path below the folder, arrives, start of the message when skipped
            ("plain", "ok.txt", True, None),
            ("32 components", "/".join(["d"] * 30) + "/edge.txt", True, None),
            ("33 components", "/".join(["d"] * 31) + "/deep.txt", False,
             "album\\" + "\\".join(["d"] * 31)),
            ("255 characters", "long/" + "x" * 244, True, None),
            ("256 characters", "long/" + "y" * 245, False, "album\\long\\" + "y" * 139),
        ]
        album = os.path.join(self.files, "album")
        self.make_tree(album, [(path, 10) for _, path, _, _ in rows])
        r = self.receiver()
        result = run("send", "127.0.0.1:%d" % r.port, album)
        self.assertEqual(result.returncode, 1, result.stderr)
        # Each failure line, and the reason after it.
        messages = result.stderr.splitlines()[::2]
        self.assertEqual(len(messages), 2, result.stderr)
        self.assertEqual(set(result.stderr.splitlines()[1::2]), {"the file can't be read, or its name can't be sent"})
        code, out, _ = r.stop()
        for label, path, arrives, message in rows:
            with self.subTest(label):
                arrived = os.path.join(r.folder, "album", path)
                if arrives:
                    self.assert_same(os.path.join(album, path), arrived)
                else:
                    self.assertFalse(os.path.exists(arrived))
                    self.assertTrue(any(m.startswith("Zeptrix: error reading " + message)
                                        for m in messages), result.stderr)
        self.assertEqual(sorted(out.splitlines()),
                         sorted("stored album/%s (10 B)" % path for _, path, arrives, _ in rows
                                if arrives), "skipped names never reach the receiver")


class Settings(CliTest):
    def write_config(self, text):
        path = os.path.join(self.files, "Zeptrix.cfg")
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_sendto_names_are_lower_cased(self):
        r = self.receiver()
        config = self.write_config("; destinations\nsendto 127.0.0.1:%d Office PC\n"
                                   "sendto localhost:%d Home\n" % (r.port, r.port))
        rows = [("as written", "office pc"), ("other case", "OFFICE PC"),
                ("host name lookup", "home")]
        for i, (label, name) in enumerate(rows):
            with self.subTest(label):
                sent = make_file(self.files, "named-%d.bin" % i, 1000 + i, i)
                result = run("--config", config, "send", name, sent)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assert_same(sent, os.path.join(r.folder, "named-%d.bin" % i))

    def test_configured_port_is_the_default_of_hosts_and_sendto(self):
        r = self.receiver()
        config = self.write_config("port %d\nsendto 127.0.0.1 plain\n" % r.port)
        for i, target in enumerate(["127.0.0.1", "plain"]):
            with self.subTest(target):
                sent = make_file(self.files, "port-%d.bin" % i, 321, i)
                result = run("--config", config, "send", target, sent)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assert_same(sent, os.path.join(r.folder, "port-%d.bin" % i))

    def test_receive_takes_port_dir_and_accept_from_the_file(self):
        folder = tempfile.mkdtemp(prefix="cli-cfg-dir-").lower()
        os.makedirs(folder, exist_ok=True)
        rows = [("admitting", "accept 127.0.0.1", True), ("refusing", "accept 10.1.2.3", False)]
        for i, (label, accept, admitted) in enumerate(rows):
            with self.subTest(label):
                port = free_port()
                config = self.write_config("port %d\ndir %s\n%s\n" % (port, folder, accept))
                r = self.receiver("--config", config, port=port, folder=folder, with_port=False)
                sent = make_file(self.files, "cfg-%d.bin" % i, 4096, i)
                result = run("send", "127.0.0.1:%d" % port, sent)
                self.assertEqual(result.returncode, 0 if admitted else 1, result.stderr)
                self.assertEqual(os.path.exists(os.path.join(folder, "cfg-%d.bin" % i)), admitted)
                _, _, err = r.stop()
                self.assertIn("receiving on port %d into %s/" % (port, folder), err)
        shutil.rmtree(folder, ignore_errors=True)


class Access(CliTest):
    def test_accept_patterns_admit_and_refuse(self):
        rows = [
            # label, --accept patterns, admitted
            ("exact address", ["127.0.0.1"], True),
            ("any last octets", ["127.*.*.*"], True),
            ("255 as any", ["127.0.0.255"], True),
            ("another network", ["10.*.*.*"], False),
            ("another address", ["127.0.0.2"], False),
            ("host-name ending", ["*localhost"], True),
            ("whole host name", ["*.localhost"], False),
            ("foreign ending", ["*.example.invalid"], False),
            ("either list", ["10.0.0.1", "*host"], True),
            ("neither list", ["10.0.0.1", "*.example.invalid"], False),
        ]
        for i, (label, patterns, admitted) in enumerate(rows):
            with self.subTest(label):
                args = []
                for p in patterns:
                    args += ["--accept", p]
                r = self.receiver(*args)
                sent = make_file(self.files, "acc-%d.bin" % i, 2000, i)
                result = run("send", "127.0.0.1:%d" % r.port, sent)
                self.assertEqual(result.returncode, 0 if admitted else 1, result.stderr)
                arrived = os.path.join(r.folder, "acc-%d.bin" % i)
                self.assertEqual(os.path.exists(arrived), admitted)
                if admitted:
                    self.assert_same(sent, arrived)
                else:
                    self.assertIn("send of acc-%d.bin to 127.0.0.1:%d failed!" % (i, r.port),
                                  result.stderr)
                code, out, _ = r.stop()
                self.assertEqual(out, "stored acc-%d.bin (2.0 KiB)\n" % i if admitted else "")
                self.assertEqual(listing(r.folder), ["acc-%d.bin" % i] if admitted else [])


    def test_an_accept_pattern_that_cant_be_read_is_refused(self):
        # Each would once have admitted everyone, without a word.
        for pattern in ["10.0.*", "10.0.0.0/8", "localhost", "pc.example.org", "*"]:
            with self.subTest(pattern):
                result = run("receive", "--port", "1", "--accept", "127.0.0.1", "--accept", pattern)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn("accept %s not understood" % pattern, result.stderr)


class ProgressLine(CliTest):
    SIZE = 600000
    RATE = 300000  # about two seconds through the relay

    def test_shown_on_a_terminal_for_sender_and_receiver(self):
        r = self.receiver(terminal=True)
        relay = self.relay(r.port, self.RATE)
        sent = make_file(self.files, "watched.bin", self.SIZE)
        pid, master = pty.fork()
        if pid == 0:
            os.execv(CLI, [CLI, "send", "127.0.0.1:%d" % relay.port, sent])
        output = b""
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                break
            if not chunk:
                break
            output += chunk
        _, status = os.waitpid(pid, 0)
        os.close(master)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0, output)
        text = output.decode("utf-8", "replace")
        self.assertRegex(text, r"\rsend +\d+% to go  [\d.]+ [KMG]?i?B of 585\.9 KiB")
        self.assertIn("\r\x1b[K", text, "the line is cleared at the end")
        self.assertIn("sent 1 file to 127.0.0.1:%d" % relay.port, text)
        self.assert_same(sent, os.path.join(r.folder, "watched.bin"))
        code, out, err = r.stop()
        self.assertRegex(err, r"\rreceive +\d+% to go")
        self.assertEqual(out, "stored watched.bin (585.9 KiB)\n", "no progress on stdout")

    def test_absent_when_stderr_is_a_pipe(self):
        r = self.receiver()
        relay = self.relay(r.port, self.RATE)
        sent = make_file(self.files, "piped.bin", self.SIZE)
        result = run("send", "127.0.0.1:%d" % relay.port, sent)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "sent 1 file to 127.0.0.1:%d\n" % relay.port)
        code, out, err = r.stop()
        for stream in (out, err):
            self.assertNotIn("\r", stream)
            self.assertNotIn("to go", stream)


class Interrupts(CliTest):
    SIZE = 24 << 20
    RATE = 1 << 20

    def wait_for_partial(self, folder):
        """The receiver's temporary file once bytes have reached it."""
        def partial():
            for name in os.listdir(folder):
                path = os.path.join(folder, name)
                if name.endswith(".part") and os.path.getsize(path) > 0:
                    return path
            return None
        return wait_for(partial, timeout=30, what="bytes in the temporary file")

    def test_ctrl_c_aborts_a_send_and_leaves_no_partial_file(self):
        r = self.receiver()
        relay = self.relay(r.port, self.RATE)
        sent = make_file(self.files, "big.bin", self.SIZE)
        later = make_file(self.files, "later.bin", 10)
        sender = subprocess.Popen([CLI, "send", "127.0.0.1:%d" % relay.port, sent, later],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.wait_for_partial(r.folder)
        sender.send_signal(signal.SIGINT)
        out, err = sender.communicate(timeout=20)
        self.assertEqual(sender.returncode, 1, err)
        self.assertNotIn("sent ", err)
        wait_for(lambda: listing(r.folder) == [], timeout=20, what="the partial file to go")
        self.assertTrue(r.process.poll() is None, "the receiver goes on")
        code, out, _ = r.stop()
        self.assertEqual(out, "refused big.bin\n")
        self.assertEqual(listing(r.folder), [], "neither file arrived")

    def test_ctrl_c_ends_a_send_to_a_peer_that_stopped_reading(self):
        import socket
        server = socket.socket()
        server.bind(("127.0.0.1", 0))
        server.listen(1)
        self.addCleanup(server.close)
        sent = make_file(self.files, "stuck.bin", self.SIZE)
        sender = subprocess.Popen([CLI, "send", "127.0.0.1:%d" % server.getsockname()[1], sent],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        peer, _ = server.accept()
        self.addCleanup(peer.close)
        time.sleep(1.5)  # the socket buffers fill and the sender blocks
        self.assertIsNone(sender.poll())
        started = time.time()
        sender.send_signal(signal.SIGINT)
        try:
            sender.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            sender.kill()
            sender.communicate()
            self.fail("Ctrl-C did not end a send stuck on its peer")
        self.assertLess(time.time() - started, 5)
        self.assertEqual(sender.returncode, 1)

    def test_ctrl_c_aborts_a_receive_and_leaves_no_partial_file(self):
        r = self.receiver()
        relay = self.relay(r.port, self.RATE)
        sent = make_file(self.files, "big.bin", self.SIZE)
        sender = subprocess.Popen([CLI, "send", "127.0.0.1:%d" % relay.port, sent],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.wait_for_partial(r.folder)
        started = time.time()
        code, out, err = r.stop()
        self.assertLess(time.time() - started, 10)
        self.assertEqual(code, 1, "a transfer was under way: " + err)
        self.assertEqual(listing(r.folder), [])
        self.assertEqual(out, "refused big.bin\n")
        _, send_err = sender.communicate(timeout=60)
        self.assertEqual(sender.returncode, 1)
        self.assertIn("send of big.bin to 127.0.0.1:%d failed!" % relay.port, send_err)


STRACE = shutil.which("strace")


def strace_refusal():
    """Why strace can't follow a process here, or None when it can."""
    if not STRACE:
        return "strace is not installed"
    probe = subprocess.run([STRACE, "-f", "-e", "trace=none", "true"], capture_output=True, text=True)
    return None if probe.returncode == 0 else "strace can't trace here: " + probe.stderr.strip()


def traced_calls(log):
    """The calls of an strace -f log as (name, first line, last line, text);
    a call another thread's call cut in two is joined again."""
    calls, pending = [], {}
    with open(log) as f:
        for number, line in enumerate(f):
            # strace pads the process number to its width: "2243  openat(...".
            pid, _, rest = line.rstrip("\n").partition(" ")
            rest = rest.lstrip()
            if rest.startswith("<... "):
                name, start, text = pending.pop(pid)
                calls.append((name, start, number, text + rest.split(" resumed>", 1)[1]))
            elif rest.endswith("<unfinished ...>"):
                pending[pid] = (rest.split("(", 1)[0], number, rest[:-len("<unfinished ...>")])
            elif "(" in rest and not rest.startswith(("+++", "---")):
                calls.append((rest.split("(", 1)[0], number, number, rest))
    return sorted(calls, key=lambda call: call[1])


class Durability(CliTest):
    TRACED = "trace=openat,fsync,fdatasync,rename,renameat,renameat2,sendto,sendmsg,write"

    def test_a_file_is_flushed_and_named_before_it_is_acknowledged(self):
        """The file's fsync, then its rename, then the folder's fsync, and
        only then the acknowledgement: the fixed format's closing mark, the
        secure format's sealed A frame (the first send once the file is made)."""
        refusal = strace_refusal()
        if refusal:
            self.skipTest(refusal)
        secret = os.path.join(self.files, "secret.txt")
        with open(secret, "w") as f:
            f.write("Durable Secret 7\n")
        rows = [("fixed format", [], '"zeptrix**ok**"'), ("secure format", ["--secret-file", secret], "")]
        for label, options, mark in rows:
            with self.subTest(label):
                log = os.path.join(self.files, "strace-%s.log" % label.split()[0])
                r = self.receiver(*options, wrapper=[STRACE, "-f", "-y", "-s", "64", "-o", log, "-e", self.TRACED])
                sent = make_file(self.files, "durable.bin", 70000, 3)
                result = run(*options, "send", "127.0.0.1:%d" % r.port, sent)
                self.assertEqual(result.returncode, 0, result.stderr)
                with open("/proc/%d/task/%d/children" % (r.process.pid, r.process.pid)) as f:
                    for child in f.read().split():
                        os.kill(int(child), signal.SIGINT)
                r.stop()
                self.assert_same(sent, os.path.join(r.folder, "durable.bin"))
                calls = traced_calls(log)

                def first(test, after):
                    found = [c for c in calls if c[1] > after and test(c[0], c[3])]
                    self.assertTrue(found, "not in " + log)
                    return found[0]
                folder = "<%s>)" % os.path.realpath(r.folder)
                made = first(lambda n, t: n == "openat" and "O_CREAT" in t and ".part" in t, -1)
                file_sync = first(lambda n, t: n in ("fsync", "fdatasync") and ".part>)" in t, made[2])
                renamed = first(lambda n, t: n.startswith("rename") and '"durable.bin"' in t, made[2])
                folder_sync = first(lambda n, t: n in ("fsync", "fdatasync") and folder in t, renamed[2])
                ack = first(lambda n, t: n in ("sendto", "sendmsg"), made[2])
                self.assertLess(file_sync[2], renamed[1], log)
                self.assertLess(renamed[2], folder_sync[1], log)
                self.assertLess(folder_sync[2], ack[1], log)
                self.assertIn(mark, ack[3])


class WindowsConsolePeer(CliTest):
    """zeptrix-cli.exe, the Windows build that runs here (32-bit where the
    kernel runs 32-bit code), under Wine against the native peer."""

    def setUp(self):
        super().setUp()
        from harness import wine_loader, wine_prefix, windows_build
        self.build = windows_build()
        self.exe = os.path.join(BUILD, self.build, "cli", "zeptrix-cli.exe")
        self.loader = wine_loader(self.build)
        if not os.path.exists(self.exe):
            self.fail("no %s build of zeptrix-cli.exe: %s" % (self.build, self.exe))
        self.env = dict(os.environ, WINEPREFIX=wine_prefix(self.build), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")

    def test_windows_sender_to_native_receiver_byte_for_byte(self):
        r = self.receiver()
        batch = [make_file(self.files, name, size, i) for i, (name, size) in
                 enumerate([("from windows.txt", 70000), ("empty", 0), ("piece", 8193)])]
        windows_paths = ["Z:" + p.replace("/", "\\") for p in batch]
        result = subprocess.run([self.loader, self.exe, "send",
                                 "127.0.0.1:%d" % r.port] + windows_paths,
                                capture_output=True, text=True, timeout=120, env=self.env)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("sent 3 files to 127.0.0.1:%d" % r.port, result.stderr)
        for path in batch:
            self.assert_same(path, os.path.join(r.folder, os.path.basename(path)))

    def test_windows_sender_sends_a_folder_whose_files_lie_past_400_characters(self):
        # Deeper than MAX_PATH on the Windows side: each path reaches the system in its
        # extended form.
        top = os.path.join(self.files, *["a-parent-folder-of-29-chars-%d" % n for n in range(6)], "deep")
        relative = [os.path.join(*["a-folder-name-of-29-chars-%02d" % n for n in range(depth)], "f%d.bin" % depth)
                    for depth in (3, 7)]
        for i, r in enumerate(relative):
            os.makedirs(os.path.dirname(os.path.join(top, r)), exist_ok=True)
            make_file(os.path.dirname(os.path.join(top, r)), os.path.basename(r), 70000 + i, i)
        self.assertGreater(len("Z:" + os.path.join(top, relative[-1])), 400)
        r = self.receiver()
        result = subprocess.run([self.loader, self.exe, "send", "127.0.0.1:%d" % r.port, "Z:" + top.replace("/", "\\")],
                                capture_output=True, text=True, timeout=120, env=self.env)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        for rel in relative:
            self.assert_same(os.path.join(top, rel), os.path.join(r.folder, "deep", rel))

    def test_windows_receiver_stores_a_tree_below_a_destination_of_240_characters(self):
        # Both formats; the stored paths pass 450 characters on the Windows side.
        secret = os.path.join(self.files, "secret.txt")
        with open(secret, "w") as f:
            f.write("a secret the two copies share\n")
        top = os.path.join(self.files, "deep")
        relative = os.path.join(*["a-folder-name-of-29-chars-%02d" % n for n in range(7)], "f.bin")
        os.makedirs(os.path.dirname(os.path.join(top, relative)))
        make_file(os.path.dirname(os.path.join(top, relative)), "f.bin", 70000, 3)
        for options in ([], ["--secret-file", secret]):
            with self.subTest("secure" if options else "fixed"):
                folder, n = tempfile.mkdtemp(prefix="cli-exe-recv-"), 0
                while len("Z:" + folder) < 240:
                    folder, n = os.path.join(folder, "folder-%02d" % n), n + 1
                os.makedirs(folder)
                port = free_port()
                windows = [o if o != secret else "Z:" + secret.replace("/", "\\") for o in options]
                receiver = subprocess.Popen([self.loader, self.exe] + windows + ["receive", "--port", str(port), "--dir",
                                            "Z:" + folder.replace("/", "\\")], stdout=subprocess.PIPE,
                                            stderr=subprocess.PIPE, env=self.env)
                try:
                    wait_for(lambda: port_open(port), timeout=60, what="zeptrix-cli.exe receiving")
                    sent = run(*options, "send", "127.0.0.1:%d" % port, top)
                    self.assertEqual(sent.returncode, 0, sent.stderr)
                    self.assertGreater(len("Z:" + os.path.join(folder, "deep", relative)), 450)
                    self.assert_same(os.path.join(top, relative), os.path.join(folder, "deep", relative))
                finally:
                    receiver.send_signal(signal.SIGINT)
                    try:
                        receiver.communicate(timeout=20)
                    except subprocess.TimeoutExpired:
                        receiver.kill()
                        receiver.communicate()
                shutil.rmtree(folder.split("/folder-00")[0], True)

    def test_windows_sender_takes_names_in_every_language_from_its_command_line(self):
        rows = names()
        paths = make_named_files(self.files, rows)
        r = self.receiver()
        result = subprocess.run([self.loader, self.exe, "send", "127.0.0.1:%d" % r.port] +
                                ["Z:" + p.replace("/", "\\") for p in paths],
                                capture_output=True, text=True, timeout=120, env=self.env)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        for row, path in zip(rows, paths):
            with self.subTest(row.label):
                self.assert_same(path, os.path.join(r.folder, row.name))


if __name__ == "__main__":
    unittest.main()
