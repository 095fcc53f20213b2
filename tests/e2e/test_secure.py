"""The real Zeptrix.exe with a secret in its settings, against the Python
implementation of the secure format: batches of files and folders both ways,
each on one connection, stored byte for byte and acknowledged; a copy with
a secret and one without do not meet; a secret that is too short is told and
the program ends."""
import os
import shutil
import subprocess
import sys
import tempfile
import time

from harness import ROOT, ConsolePeer, free_port, make_file, port_open, wait_for, windows_path
from test_folders import files_below, make_tree
from test_program import SEND_BAR, ProgramTest, colour_rows

sys.path.insert(0, os.path.join(ROOT, "tests", "crypto"))

import secure_peer  # noqa: E402
from secure_peer import MAX_PIECE  # noqa: E402

# Settings lines are lower-cased, the secret's too: the copies below are
# given it in capitals and still share the key of the lower-case text.
SECRET = "End To End Tests Share This Secret"
KEY = secure_peer.group_key(SECRET.lower().encode())


def read(path):
    with open(path, "rb") as f:
        return f.read()


class SecureProgram(ProgramTest):
    def receiving_copy(self, secret=SECRET):
        """A copy that only receives, on a port of its own, into a folder of its own."""
        port = free_port()
        received = tempfile.mkdtemp(prefix="recv-")
        settings = "port %d\ndir %s\n" % (port, windows_path(received))
        if secret is not None:
            settings += "secret %s\n" % secret
        return self.start(settings), port, received

    def end(self, p):
        """Ends a copy that showed nothing."""
        self.assertEqual(p.message_boxes(), [])
        self.programs.remove(p)
        p.kill()

    def test_a_batch_from_the_python_sender_is_stored_and_acknowledged(self):
        p, port, received = self.receiving_copy()
        # One connection: files and names in folders, one of them in small
        # data messages, then a batch with a name refused in its middle.
        files = [(b"empty.bin", 0, None), (b"one.bin", 1, None), (b"one piece.bin", MAX_PIECE, None),
                 (b"one piece and a byte.bin", MAX_PIECE + 1, None),
                 (b"large.bin", 3 * 1024 * 1024 + 7, None), (b"small pieces.bin", 100000, 999),
                 (b"photos\\2026\\a.jpg", 5000, None), (b"photos\\b.jpg", 70000, None)]
        # Each with its time, which Windows keeps in steps of 100 ns.
        batch = [(name, os.urandom(size), pieces, 1234567890123456789 + 777 * n)
                 for n, (name, size, pieces) in enumerate(files)]
        self.assertEqual(secure_peer.send_files("127.0.0.1", port, KEY, batch, timeout=60), ["A"] * len(batch))
        for name, _, _, ns in batch:
            there = os.stat(os.path.join(received, *name.decode().split("\\"))).st_mtime_ns
            self.assertEqual(there, ns - ns % 100, name)
        refusing = [(b"before.bin", b"b"), (b"..\\escape.bin", b"e"), (b"after.bin", b"a")]
        self.assertEqual(secure_peer.send_files("127.0.0.1", port, KEY, refusing, timeout=60), ["A", "R", None])
        sent = {os.path.join(*name.decode().split("\\")): data for name, data, *_ in batch + refusing[:1]}
        self.assertEqual(files_below(received), sorted(sent))
        for path, data in sent.items():
            self.assertEqual(read(os.path.join(received, path)), data, path)
        self.assertEqual(p.message_boxes(), [])

    def test_dropped_file_and_folder_reach_the_python_receiver(self):
        folder = tempfile.mkdtemp(prefix="secure-peer-")
        self.addCleanup(shutil.rmtree, folder, True)
        rx = secure_peer.Receiver(KEY, folder, timeout=60)
        self.addCleanup(rx.stop)
        p = self.start("sendto 127.0.0.1:%d office\nsecret %s\n" % (rx.port, SECRET))
        one = make_file(self.files, "one piece and a byte.bin", MAX_PIECE + 1)
        root, relative = make_tree(self.files, "photos")
        self.assertEqual(self.drop_on(p, one, root).returncode, 0)
        # The file first, then the folder's files in byte order of their names,
        # numbered in that order on one connection.
        in_folder = sorted(("photos\\" + r.replace(os.sep, "\\")).encode() for r in relative)
        wanted = [os.path.basename(one).encode()] + in_folder
        self.assertTrue(rx.wait(len(wanted), timeout=120), "only %d of %d files ended"
                        % (len(rx.records), len(wanted)))
        self.assertEqual([(r.number, r.name) for r in rx.records], list(enumerate(wanted, 1)))
        for record in rx.records:
            self.assertEqual(record.error, "", record.name)
            self.assertTrue(record.stored and record.acked, record.name)
        self.assertTrue(rx.wait_connections(1, timeout=60), "the batch's connection did not end")
        self.assertEqual(rx.connections, 1, "one connection for the batch")
        self.assertEqual(rx.fixed_format, 0)
        self.assertEqual(read(os.path.join(folder, os.path.basename(one))), read(one))
        for r in relative:
            self.assertEqual(read(os.path.join(folder, "photos", r)), read(os.path.join(root, r)), r)
        self.assertEqual(files_below(folder), sorted([os.path.basename(one)] +
                                                     [os.path.join("photos", r) for r in relative]))
        # A missing acknowledgement would be told by a box once the sender gives up on it.
        time.sleep(1)
        self.assertEqual(p.message_boxes(), [], "every file was acknowledged")

    def test_a_dropped_file_survives_a_cut_connection(self):
        # The sender tries again by itself and goes on where the receiver's
        # part stopped; nobody acts, and no box is shown.
        folder = tempfile.mkdtemp(prefix="secure-peer-")
        self.addCleanup(shutil.rmtree, folder, True)
        rx = secure_peer.Receiver(KEY, folder, timeout=60)
        self.addCleanup(rx.stop)
        proxy_port = free_port()
        proxy = subprocess.Popen([sys.executable, os.path.join(ROOT, "bench", "delay_proxy.py"), str(proxy_port),
                                  str(rx.port), "--cut", "12000000"], stdout=subprocess.PIPE, text=True)
        self.addCleanup(proxy.kill)
        self.assertEqual(proxy.stdout.readline(), "ready\n")
        p = self.start("sendto 127.0.0.1:%d office\nsecret %s\n" % (proxy_port, SECRET))
        big = make_file(self.files, "big.bin", 40 * 1024 * 1024)
        geometry = p.geometry()
        self.assertEqual(self.drop_on(p, big).returncode, 0)
        self.assertEqual(proxy.stdout.readline().split(", ")[-1].strip(), "cut")
        self.assertTrue(rx.wait(2, timeout=120), "the file never arrived")
        self.assertEqual([(r.stored, r.error.startswith("data: ")) for r in rx.records], [(False, True), (True, False)])
        self.assertEqual(read(os.path.join(folder, "big.bin")), read(big))
        wait_for(lambda: not colour_rows(self.display, geometry, SEND_BAR), timeout=20, what="the send bar to go")
        self.display.screenshot("secure-resumed-after-cut", crop=(600, 0, 424, 40))
        time.sleep(1)
        self.assertEqual(p.message_boxes(), [])

    def test_copies_with_and_without_a_secret_do_not_meet(self):
        sent = make_file(self.files, "between formats.bin", 20000)
        secret_folder = tempfile.mkdtemp(prefix="secret-")
        self.addCleanup(shutil.rmtree, secret_folder, True)
        secret_file = os.path.join(secret_folder, "secret")
        with open(secret_file, "w") as f:
            f.write(SECRET + "\n")

        # One copy at a time: two receive-only strips have the same title.
        p, port, received = self.receiving_copy()
        # The console peer without a secret speaks the fixed format.
        result = ConsolePeer.send("127.0.0.1:%d" % port, sent)
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertEqual(os.listdir(received), [])
        # Given the secret, it is taken.
        result = subprocess.run([ConsolePeer.EXE, "--secret-file", secret_file, "send", "127.0.0.1:%d" % port,
                                 sent], capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(read(os.path.join(received, "between formats.bin")), read(sent))
        self.end(p)

        p, port, received = self.receiving_copy(secret=None)
        reasons = []
        self.assertIsNone(secure_peer.open_sender("127.0.0.1", port, KEY, failure=reasons))
        self.assertEqual(reasons, ["closed"], "the copy without a secret hangs up at once")
        self.assertFalse(secure_peer.send_file("127.0.0.1", port, KEY, b"secure.bin", read(sent)))
        self.assertEqual(os.listdir(received), [])
        # The fixed format is still taken.
        result = ConsolePeer.send("127.0.0.1:%d" % port, sent)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(read(os.path.join(received, "between formats.bin")), read(sent))
        self.end(p)

    def test_a_secret_of_fifteen_characters_is_told_and_the_program_ends(self):
        port = free_port()
        secret = "fifteen-chars15"
        self.assertEqual(len(secret), 15)
        p = self.start("port %d\nsecret %s\n" % (port, secret))
        wait_for(lambda: p.message_boxes(), what="the message box")
        self.assertEqual(p.message_boxes(), ["secret too short: at least 16 characters"])
        # The only window is the box, with the program's name as its caption:
        # no strip, and nothing listens.
        boxes = self.display.windows_named("^Zeptrix")
        self.assertEqual(len(boxes), 1, boxes)
        self.assertEqual(self.display.xdotool("getwindowname", boxes[0]), "Zeptrix")
        self.assertFalse(port_open(port), "listening with a secret too short")
        x, y, w, h = self.display.geometry(boxes[0])
        self.display.screenshot("secret-too-short", crop=(max(x - 8, 0), max(y - 8, 0), w + 16, h + 16))
        self.display.xdotool("key", "--window", boxes[0], "Return")
        self.assertEqual(p.wait_exit(60), 0)
        self.assertEqual(self.display.windows_named("^Zeptrix"), [])
