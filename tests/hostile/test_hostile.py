"""Hostile peers against a running receiver: the console peer natively and
Zeptrix.exe under Wine face the same rows. After every row the receiver is
alive, nothing was created inside or outside its directory, and a normal
transfer still arrives byte for byte."""
import itertools
import os
import shutil
import socket
import tempfile
import time
import unittest

from peers import (IDLE_LIMIT_MS, MARK, ConsoleReceiver, OnProgram, ProgramReceiver, harness, talk, tree,
                   u32, wire)

# Names a sender of this program never produces; each must be refused with
# nothing created anywhere.
HOSTILE_NAMES = [
    b"", b".", b"..", b"../up.txt", b"..\\up.txt", b"../../../tmp/zpx-escape",
    b"..\\..\\..\\tmp\\zpx-escape", b"sub/x", b"/abs", b"\\abs", b"c:x", b"c:\\x", b"a:b",
    b"stream.txt:hidden", b"tab\tname", b"new\nline", b"bell\x07", b"\x1f", b"star*", b"what?",
    b"quote\"", b"less<", b"more>", b"pipe|", b"dot.", b"space ", b"dots...", b"CON", b"con",
    b"Con.txt", b"PRN", b"aux.tar.gz", b"NUL", b"nul.", b"COM0", b"COM1", b"com9.log", b"LPT0",
    b"LPT1", b"lpt9", b"COM\xb9", b"lpt\xb2", b"Com\xb3.txt", b"CON .txt", b"AUX  ", b"nul .x",
    b"prn.", b"cOm5.a.b", b".zeptrix-1-0.part", b".zeptrix-", b".ZEPTRIX-1-0.part",
]

# Components that no name may hold, put first, in the middle and last of a
# name with folders; then names whose folders are wrong as a whole.
BAD_COMPONENTS = [
    b"", b".", b"..", b"c:", b"a:b", b"con", b"NUL.txt", b"com1", b"lpt9.log", b"dot.", b"space ",
    b"tab\tx", b"star*", b"what?", b"pipe|", b"less<", b"more>", b"quote\"", b"\x01", b"AUX  ",
]
HOSTILE_NESTED_NAMES = (
    [c + b"\\ok.txt" for c in BAD_COMPONENTS]
    + [b"ok\\" + c + b"\\ok.txt" for c in BAD_COMPONENTS]
    + [b"ok\\" + c for c in BAD_COMPONENTS]
    + [b"ok\\.zeptrix-1-1.part", b"\\\\server\\share\\x", b"a\\b/c", b"a/b\\c", b"/abs\\x",
       b"\\".join([b"d"] * 33), b"..\\..\\..\\tmp\\zpx-escape", b"ok\\..\\..\\up.txt",
       b"c:\\x\\y", b"ok\\" + b"n" * 253]
    # Through what was placed in the destination: a link to a folder
    # outside, and a file where a folder would go.
    + [b"linked\\x.txt", b"linked\\sub\\x.txt", b"plain\\x.txt", b"plain\\sub\\x.txt"]
)

counter = itertools.count()


def pattern(size, seed):
    return bytes((i * 131 + seed * 17 + i // 251) % 256 for i in range(size))


class HostileCases:
    """The rows; a subclass provides start_receiver()."""

    receiver = None

    @classmethod
    def tearDownClass(cls):
        if cls.receiver:
            cls.receiver.stop()

    def escape_targets(self):
        targets = ["/tmp/zpx-escape", "/abs", os.path.join(self.receiver.base, "up.txt"),
                   os.path.join(os.path.dirname(self.receiver.base), "up.txt")]
        if isinstance(self.receiver, ProgramReceiver):
            drive_c = os.path.join(harness.wine_prefix(self.receiver.program.build), "drive_c")
            targets += [os.path.join(drive_c, n) for n in ("x", "up.txt", "abs")]
        return targets

    placed = set()  # what a test put into the destination itself

    def assert_untouched(self, label):
        r = self.receiver
        self.assertTrue(r.alive(), "%s: the receiver died" % label)
        self.assertEqual(tree(r.base), {"dest"} | self.placed, "%s: files created by the receiver" % label)
        now = tree(r.cwd)
        self.assertEqual(now - r.cwd_before, set(), "%s: files created in its working folder" % label)
        for target in self.escape_targets():
            self.assertFalse(os.path.lexists(target), "%s: %s created" % (label, target))

    def assert_normal_transfer(self, label):
        n = next(counter)
        name = b"normal-%d.bin" % n
        data = pattern(20000 + n, n)
        reply = talk(self.receiver.port, wire(name, data, key=40 + n % 200))
        self.assertEqual(reply, MARK, "%s: a normal transfer after it was not acknowledged" % label)
        path = os.path.join(self.receiver.dest, name.decode())
        with open(path, "rb") as f:
            self.assertEqual(f.read(), data, "%s: the normal transfer arrived altered" % label)
        os.remove(path)

    def after(self, label):
        self.assert_untouched(label)
        self.assert_normal_transfer(label)
        self.assert_untouched(label + " (after the normal transfer)")

    def refused(self, label, data, **options):
        reply = talk(self.receiver.port, data, **options)
        self.assertEqual(reply, b"", "%s: the receiver answered or did not close" % label)
        self.after(label)

    def test_wrong_magic(self):
        good = wire(b"m.txt", b"hello")
        for label, data in [("v1.1", b"zeptrixv1.1" + good[11:]),
                            ("capitals", b"ZEPTRIXV1.0" + good[11:]),
                            ("zeros", b"\0" * 11 + good[11:]),
                            ("http", b"GET / HTTP/1.0\r\n\r\n"),
                            ("one byte", b"z"), ("nothing", b"")]:
            with self.subTest(label):
                self.refused("magic " + label, data)

    def test_header_cut_inside_each_field(self):
        name = b"cut.bin"
        w = wire(name, pattern(1000, 3))
        n = len(name) + 1
        for label, cut in [("magic", 5), ("key", 13), ("name length", 17), ("name", 19 + 3),
                           ("size", 19 + n + 2), ("data", 23 + n + 500), ("mark", 23 + n + 1000 + 6),
                           ("mark less one", len(w) - 1)]:
            with self.subTest(label):
                self.refused("cut in the " + label, w[:cut])

    def test_name_lengths_out_of_range(self):
        for n in (0, 257, 0x10000, 0xFFFFFFFF):
            with self.subTest(n):
                data = b"zeptrixv1.0" + u32(99) + u32(n) + b"a" * 300 + u32(5) + b"hello" + MARK
                self.refused("name length %d" % n, data)

    def test_size_larger_than_what_follows(self):
        data = pattern(1000, 5)
        for label, size in [("one more", 1001), ("mark taken as data", 1013), ("far more", 1000000),
                            ("largest", 0xFFFFFFFF)]:
            with self.subTest(label):
                self.refused("size " + label, wire(b"size.bin", data, size=size))

    def test_closing_mark_wrong_in_one_byte(self):
        for i in range(len(MARK)):
            bad = bytearray(MARK)
            bad[i] ^= 0x20 if chr(bad[i]).isalpha() else 0x01
            with self.subTest(i):
                self.refused("mark byte %d" % i, wire(b"mark.bin", pattern(3000, i), mark=bytes(bad)))
        self.refused("mark short", wire(b"mark.bin", b"abc", mark=MARK[:12]))

    def test_hostile_names(self):
        for name in HOSTILE_NAMES:
            with self.subTest(name=name):
                self.refused("name %r" % name, wire(name, b"evil"))

    def test_hostile_nested_names(self):
        r = self.receiver
        outside = tempfile.mkdtemp(prefix="hostile-outside-")
        os.symlink(outside, os.path.join(r.dest, "linked"))
        with open(os.path.join(r.dest, "plain"), "wb") as f:
            f.write(b"a file")
        self.placed = {"dest/linked", "dest/plain"}
        try:
            for name in HOSTILE_NESTED_NAMES:
                with self.subTest(name=name):
                    self.refused("name %r" % name, wire(name, b"evil"))
                    self.assertEqual(os.listdir(outside), [], "written through the link")
            # The receiver still stores names with folders afterwards.
            reply = talk(r.port, wire(b"fine\\deeper\\ok.bin", pattern(9000, 7)))
            self.assertEqual(reply, MARK)
            with open(os.path.join(r.dest, "fine", "deeper", "ok.bin"), "rb") as f:
                self.assertEqual(f.read(), pattern(9000, 7))
        finally:
            self.placed = set()
            os.remove(os.path.join(r.dest, "linked"))
            os.remove(os.path.join(r.dest, "plain"))
            shutil.rmtree(os.path.join(r.dest, "fine"), ignore_errors=True)
            shutil.rmtree(outside, ignore_errors=True)
        self.after("names with folders")

    def test_peer_that_never_reads_the_acknowledgement(self):
        r = self.receiver
        peers = []
        for i in range(5):
            s = socket.create_connection(("127.0.0.1", r.port))
            s.sendall(wire(b"unread-%d.bin" % i, pattern(50000, i)))
            peers.append(s)  # neither half-closed nor read
        names = {"unread-%d.bin" % i for i in range(5)}
        harness.wait_for(lambda: set(os.listdir(r.dest)) == names, timeout=30,
                         what="the unread transfers to be stored")
        for s in peers:
            s.close()
        for i in range(5):
            with open(os.path.join(r.dest, "unread-%d.bin" % i), "rb") as f:
                self.assertEqual(f.read(), pattern(50000, i))
            os.remove(os.path.join(r.dest, "unread-%d.bin" % i))
        self.after("unread acknowledgements")

    def test_stalled_peer_is_dropped_after_the_idle_limit(self):
        s = socket.create_connection(("127.0.0.1", self.receiver.port))
        s.sendall(wire(b"stall.bin", pattern(5000, 1))[:2000])
        started = time.time()
        s.settimeout(IDLE_LIMIT_MS / 1000 + 20)
        try:
            self.assertEqual(s.recv(100), b"")
        except ConnectionResetError:
            pass
        took = time.time() - started
        s.close()
        self.assertGreater(took, IDLE_LIMIT_MS / 1000 * 0.8)
        self.assertLess(took, IDLE_LIMIT_MS / 1000 + 5, "the shortened idle limit was not in force")
        self.after("stalled peer")

    def test_two_hundred_silent_connections(self):
        r = self.receiver
        limit = IDLE_LIMIT_MS / 1000
        silent, opened, closed_at = [], [], {}

        def closed(s):
            try:
                return s.recv(1) == b""
            except BlockingIOError:
                return False
            except OSError:
                return True

        def look():
            now = time.time()
            for i, s in enumerate(silent):
                if i not in closed_at and closed(s):
                    closed_at[i] = now

        # Paced, so the listener's backlog of 5 does not overflow.
        for _ in range(200):
            s = socket.create_connection(("127.0.0.1", r.port), timeout=10)
            s.setblocking(False)
            silent.append(s)
            opened.append(time.time())
            time.sleep(0.01)
            look()
        # A peer arriving while the slots are full is refused as well.
        self.assertEqual(talk(r.port, wire(b"full.bin", b"x"), timeout=5), b"")
        deadline = time.time() + limit + 30
        while len(closed_at) < 200 and time.time() < deadline:
            time.sleep(0.05)
            look()
        for s in silent:
            s.close()
        self.assertEqual(len(closed_at), 200, "connections never closed")
        early = [i for i in range(100) if closed_at[i] - opened[i] < limit * 0.8]
        self.assertEqual(early, [], "connections holding a slot closed before the idle limit")
        late = [(i, round(closed_at[i] - opened[i], 2)) for i in range(100, 200)
                if closed_at[i] - opened[i] > min(2.0, limit / 2)]
        self.assertEqual(late, [], "surplus connections were not closed at once")
        self.after("200 silent connections")
        # All 100 slots are usable again at once.
        many = []
        for i in range(100):
            s = socket.create_connection(("127.0.0.1", r.port), timeout=30)
            s.sendall(wire(b"again-%d.bin" % i, pattern(100, i)))
            s.shutdown(socket.SHUT_WR)
            many.append(s)
        for s in many:
            s.settimeout(30)
            reply = b""
            while True:
                chunk = s.recv(64)
                if not chunk:
                    break
                reply += chunk
            self.assertEqual(reply, MARK)
            s.close()
        self.assertEqual(len(os.listdir(r.dest)), 100)
        for n in os.listdir(r.dest):
            os.remove(os.path.join(r.dest, n))
        self.after("100 transfers after the slots were freed")


class ConsolePeerHostile(HostileCases, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.receiver = ConsoleReceiver()


class ProgramHostile(OnProgram, HostileCases, unittest.TestCase):
    pass


if __name__ == "__main__":
    unittest.main()
