"""Hostile peers against receivers that share a secret: the console peer
natively and Zeptrix.exe under Wine face the same rows of broken secure
sessions, written with the Python implementation of the format. After every
row the receiver answered exactly what it should (mostly nothing), stored
only the files acknowledged, is alive, created nothing else inside or outside
its directory, and a normal secure batch still arrives byte for byte."""
import itertools
import os
import socket
import struct
import sys
import time
import unittest

from peers import IDLE_LIMIT_MS, ROOT, ConsoleReceiver, OnProgram, tree, wire

sys.path.insert(0, os.path.join(ROOT, "tests", "crypto"))

import secure_peer  # noqa: E402
from secure_peer import (DATA, END, HANDSHAKE_LEN, MAGIC, MAX_PIECE, QUIT, RESTART, file_message,  # noqa: E402
                         file_messages, reply_message)

SECRET = "hostile rows share this secret"
WRONG_SECRET = "hostile rows know another secret"
KEY = secure_peer.group_key(SECRET.encode())
# The closing mark of the format's earlier version, which ended a file's data.
OLD_MARK = b"zeptrix**ok**"

# A receiver that notices a close answers at once; one that only lets go at
# its idle limit has not noticed it, and fails the row.
SOON = IDLE_LIMIT_MS / 1000 * 0.8
PATIENCE = IDLE_LIMIT_MS / 1000 + 10

counter = itertools.count()


def flipped(data, index, mask=0x01):
    out = bytearray(data)
    out[index] ^= mask
    return bytes(out)


def first_message(key=KEY):
    """A valid "-> psk, e", unframed."""
    out = bytearray()
    secure_peer.handshake_state(True, key).write_message(b"", out)
    return bytes(out)


def finish(sock):
    """Half-closes, then reads until the receiver closes: (what came back,
    seconds it took); None instead of the bytes when it did not close."""
    started = time.time()
    try:
        sock.shutdown(socket.SHUT_WR)
    except OSError:
        pass  # it may have closed already
    sock.settimeout(PATIENCE)
    reply = b""
    while True:
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            return None, time.time() - started
        except OSError:
            break  # reset by a receiver that closed with bytes unread
        if not chunk:
            break
        reply += chunk
    return reply, time.time() - started


def opened(conn, raw):
    """The receiver's messages in raw bytes, as "O1 A1 R2:1" (an R with its
    reason); "?" for one that is not a whole O, A or R or does not decrypt."""
    out = []
    while raw:
        length = struct.unpack(">H", raw[:2])[0] if len(raw) >= 2 else 0
        body, raw = raw[2:2 + length], raw[2 + length:]
        try:
            plain = conn.receiving.decrypt_with_ad(b"", body)
            offset = secure_peer.read_offset(plain)
            reply = secure_peer.read_answer(plain) or (offset and (b"O", offset[0], None))
        except Exception:  # noqa: BLE001 - a cut or forged message
            reply = None
        reason = "" if not reply or reply[2] is None else ":%d" % reply[2]
        out.append("%s%d%s" % (reply[0].decode(), reply[1], reason) if reply else "?")
    return " ".join(out)


def sealed(*plaintexts):
    """A row's build: the messages, each sealed in order."""
    return lambda conn: [conn.seal(p) for p in plaintexts]


class SecureHostileCases:
    """The rows; a subclass starts the receiver with SECRET."""

    receiver = None
    placed = set()  # what a test put into the destination itself

    @classmethod
    def tearDownClass(cls):
        if cls.receiver:
            cls.receiver.stop()

    # What holds after every row.

    def assert_untouched(self, label):
        r = self.receiver
        self.assertTrue(r.alive(), "%s: the receiver died" % label)
        self.assertEqual(tree(r.base), {"dest"} | self.placed, "%s: files created by the receiver" % label)
        self.assertEqual(tree(r.cwd) - r.cwd_before, set(), "%s: files created in its working folder" % label)

    def assert_normal_transfer(self, label):
        n = next(counter)
        batch = [(b"normal-%d.bin" % n, os.urandom(MAX_PIECE + 1000 + n)),  # two data messages
                 (b"normal-%d-b.bin" % n, b"second")]
        self.assertEqual(secure_peer.send_files("127.0.0.1", self.receiver.port, KEY, batch), ["A", "A"],
                         "%s: a normal batch after it was not acknowledged" % label)
        for name, data in batch:
            path = os.path.join(self.receiver.dest, name.decode())
            with open(path, "rb") as f:
                self.assertEqual(f.read(), data, "%s: the normal batch arrived altered" % label)
            os.remove(path)

    def after(self, label):
        self.assert_untouched(label)
        self.assert_normal_transfer(label)
        self.assert_untouched(label + " (after the normal transfer)")

    def assert_closed_silently(self, label, reply, took, allowed=b""):
        self.assertIsNotNone(reply, "%s: the receiver did not close" % label)
        self.assertEqual(reply, allowed, "%s: the receiver answered" % label)
        self.assertLess(took, SOON, "%s: closed only at the idle limit" % label)

    # Ways to write a row.

    def raw_refused(self, label, data):
        """Raw bytes from the first on: the receiver closes without a byte."""
        with socket.create_connection(("127.0.0.1", self.receiver.port), timeout=PATIENCE) as s:
            try:
                s.sendall(data)
            except OSError:
                pass
            reply, took = finish(s)
        self.assert_closed_silently(label, reply, took)
        self.after(label)

    def handshake_refused(self, label, key=KEY, tamper=None):
        """The receiver hangs up on the first handshake message."""
        reasons = []
        started = time.time()
        conn = secure_peer.open_sender("127.0.0.1", self.receiver.port, key, timeout=PATIENCE,
                                       tamper=tamper, failure=reasons)
        took = time.time() - started
        if conn is not None:
            conn.close()
            self.fail("%s: the receiver completed the handshake" % label)
        self.assertEqual(reasons, ["closed"], label)
        self.assertLess(took, SOON, "%s: closed only at the idle limit" % label)
        self.after(label)

    def session(self, label, build, replies="", stored=()):
        """After a good handshake, writes the messages build(conn) returns
        (sealed with conn, or raw) and half-closes: the receiver answers
        exactly replies ("A1 R2") and closes soon, and the files stored are
        exactly the names given, each holding "a" times its number."""
        reasons = []
        conn = secure_peer.open_sender("127.0.0.1", self.receiver.port, KEY, timeout=PATIENCE,
                                       failure=reasons)
        self.assertIsNotNone(conn, "%s: the handshake failed: %r" % (label, reasons))
        with conn:
            conn.send_raw(b"".join(build(conn)))
            reply, took = finish(conn.socket)
            self.assertIsNotNone(reply, "%s: the receiver did not close" % label)
            self.assertEqual(opened(conn, reply), replies, "%s: the receiver's answers" % label)
        self.assertLess(took, SOON, "%s: closed only at the idle limit" % label)
        dest = self.receiver.dest
        self.assertEqual(tree(dest) - {p[5:] for p in self.placed}, set(stored), "%s: files stored" % label)
        for name in stored:
            os.remove(os.path.join(dest, name))
        self.after(label)

    def refused(self, label, build):
        """A row the receiver closes on with nothing sent back: nothing stored
        or acknowledged."""
        self.session(label, build)

    def table(self, rows):
        """Rows of (label, build, replies, stored)."""
        for label, build, replies, stored in rows:
            with self.subTest(label):
                self.session(label, build, replies, stored)

    # The rows.

    def test_wrong_secret(self):
        wrong = secure_peer.group_key(WRONG_SECRET.encode())
        self.assertFalse(secure_peer.send_file("127.0.0.1", self.receiver.port, wrong, b"wrong.bin",
                                               b"not for them"))
        self.after("wrong secret, whole transfer")
        self.handshake_refused("wrong secret, handshake", key=wrong)

    def test_magic_flipped(self):
        for i in range(len(MAGIC)):
            with self.subTest(i):
                self.handshake_refused("magic byte %d flipped" % i, tamper=secure_peer.flip("magic", i))
        self.handshake_refused("the earlier version's magic",
                               tamper=lambda part, data: b"zeptrixv2.0" if part == "magic" else data)

    def test_every_byte_of_the_first_handshake_message_flipped(self):
        # Byte 31's top bit is one X25519 ignores: the key agreed stays the
        # same, but the handshake hash covers the bytes as sent.
        for i, mask in [(i, 0x01) for i in range(HANDSHAKE_LEN)] + [(31, 0x80)]:
            with self.subTest(byte=i, mask=mask):
                self.handshake_refused("handshake byte %d ^ 0x%02x" % (i, mask),
                                       tamper=secure_peer.flip("handshake", i, mask))

    def test_first_handshake_message_with_a_wrong_length(self):
        message = first_message()
        for length in (0, 1, 16, HANDSHAKE_LEN - 1, HANDSHAKE_LEN + 1, 2 * HANDSHAKE_LEN,
                       HANDSHAKE_LEN << 8, 0xFFFF):
            body = (message + os.urandom(length))[:length]
            with self.subTest(length):
                self.raw_refused("handshake length %d" % length, MAGIC + struct.pack(">H", length) + body)
        # The right length with the message cut short.
        for keep in (0, 1, HANDSHAKE_LEN // 2, HANDSHAKE_LEN - 1):
            with self.subTest(keep=keep):
                self.raw_refused("handshake cut after %d bytes" % keep,
                                 MAGIC + struct.pack(">H", HANDSHAKE_LEN) + message[:keep])

    def test_every_byte_of_the_file_message_flipped(self):
        name, data = b"header.bin", b"hello"
        sealed_size = 2 + len(file_message(len(data), name)) + 16
        for i in range(2, sealed_size):  # the ciphertext, then the tag
            with self.subTest(i):
                self.refused("file message byte %d flipped" % i, lambda conn: [
                    flipped(conn.seal(file_message(len(data), name)), i), conn.seal(DATA + data),
                    conn.seal(END)])

    def test_file_message_with_a_wrong_length(self):
        name, data = b"header.bin", b"hello"
        right = len(file_message(len(data), name)) + 16
        for label, length in [("one less", right - 1), ("one more", right + 1), ("the tag's", 16),
                              ("largest", 0xFFFF)]:
            with self.subTest(label):
                def build(conn):
                    sealed = conn.seal(file_message(len(data), name))
                    return [struct.pack(">H", length) + sealed[2:], conn.seal(DATA + data), conn.seal(END)]
                self.refused("file message length " + label, build)

    def test_file_message_that_decrypts_but_is_refused(self):
        # Malformed: the stream is broken, the receiver closes without a word.
        for label, plain in [("type only", b"F"), ("size only", b"F" + struct.pack("<Q", 5)),
                             ("no name", file_message(5, b"")), ("name of 256", file_message(5, b"n" * 256)),
                             ("resumable, its tag cut", file_message(5, b"T" * 10, 1)),
                             ("resumable, no name after the tag", file_message(5, b"", tag=b"T" * 16)),
                             ("resumable, name of 256", file_message(5, b"n" * 256, tag=b"T" * 16)),
                             ("its time cut short", file_message(5, b"f.bin", 2)),
                             ("resumable, its time cut short", file_message(5, b"f.bin", 2, tag=b"T" * 16))]:
            with self.subTest(label):
                self.refused("file message " + label, sealed(plain, DATA + b"hello", END))
        # Well formed, but not a file it takes: refused with R.
        self.table([("file message " + label, sealed(plain, DATA + b"hello", END, QUIT), replies, ())
                    for label, plain, replies in [
                        ("name ..", file_message(5, b"..\\x"), "R1:1"),
                        ("zero in the name", file_message(5, b"a\0b.bin"), "R1:1"),
                        ("slash", file_message(5, b"a/b"), "R1:1"),
                        ("flags 0x04", file_message(5, b"f.bin", 4), "R1:0"),
                        ("flags 0x80", file_message(5, b"f.bin", 0x80), "R1:0"),
                        ("flags 0x07", file_message(5, b"f.bin", 4, tag=b"T" * 16, mtime_ns=1), "R1:0"),
                        ("a size beyond any file", file_message(1 << 62, b"f.bin"), "R1:0")]])

    def test_data_message_cut_short(self):
        data = os.urandom(1000)
        sealed_size = 2 + 1 + len(data) + 16
        for keep in (1, 2, 2 + 500, sealed_size - 1):
            with self.subTest(keep):
                self.refused("data cut after %d bytes" % keep, lambda conn: [
                    conn.seal(file_message(len(data), b"cut.bin")), conn.seal(DATA + data)[:keep]])
        # The second of three messages cut, once the file has begun.
        data = os.urandom(3 * MAX_PIECE)
        self.refused("second data message cut", lambda conn: [
            conn.seal(file_message(len(data), b"cut.bin")), conn.seal(DATA + data[:MAX_PIECE]),
            conn.seal(DATA + data[MAX_PIECE:2 * MAX_PIECE])[:30000]])

    def test_flipped_bit_in_a_data_message(self):
        data = os.urandom(3 * MAX_PIECE)
        pieces = list(secure_peer.cut(data))
        for which, at, mask in [(0, 0, 0x01), (0, 2, 0x01), (0, 3, 0x01), (0, 2 + MAX_PIECE // 2, 0x80),
                                (0, 2 + MAX_PIECE, 0x01), (0, -1, 0x80), (1, 2, 0x01), (2, -1, 0x01)]:
            with self.subTest(message=which, at=at, mask=mask):
                def build(conn):
                    opening = conn.seal(file_message(len(data), b"flip.bin"))
                    messages = [conn.seal(p) for p in pieces]
                    messages[which] = flipped(messages[which], at, mask)
                    return [opening] + messages + [conn.seal(END)]
                self.refused("data message %d byte %d ^ 0x%02x" % (which, at, mask), build)

    def test_data_over_the_size(self):
        for label, size, pieces in [("one message one byte over", 100, [101]),
                                    ("two messages over", 100, [60, 60]),
                                    ("a data message after the last", 100, [100, 1]),
                                    ("data for a size of 0", 0, [1])]:
            data = os.urandom(sum(pieces))
            with self.subTest(label):
                self.refused("data " + label, lambda conn: [conn.seal(file_message(size, b"over.bin"))]
                             + [conn.seal(p) for p in secure_peer.cut(data, pieces)] + [conn.seal(END)])

    def test_data_under_the_size_then_the_end(self):
        for label, size, given in [("half", 100, 50), ("one byte short", 100, 99), ("none", 1000, 0),
                                   ("two messages, one byte short", 2 * MAX_PIECE, 2 * MAX_PIECE - 1)]:
            data = os.urandom(given)
            with self.subTest(label):
                self.refused("data under the size, " + label, lambda conn: [
                    conn.seal(file_message(size, b"under.bin"))] + [conn.seal(p) for p in secure_peer.cut(data)]
                    + [conn.seal(END), conn.seal(QUIT)])

    def test_missing_end(self):
        for size in (0, 1000, 2 * MAX_PIECE):
            data = os.urandom(size)
            with self.subTest(size):
                self.refused("no end after %d bytes" % size, lambda conn: [
                    conn.seal(file_message(size, b"endless.bin"))] + [conn.seal(p) for p in secure_peer.cut(data)])

    def test_end_other_than_E(self):
        ends = [("E with a byte", END + b"\0"), ("E with more", END + b"nd"), ("lower case e", b"e"),
                ("the earlier version's mark", OLD_MARK), ("a quit", QUIT), ("x", b"x")]
        data = os.urandom(5000)
        for label, end in ends:
            with self.subTest(label):
                self.refused("end " + label, sealed(file_message(len(data), b"end.bin"), DATA + data, end))
        # The end unsealed, as a plain byte or as the fixed format's mark.
        for label, raw in [("E", END), ("framed", struct.pack(">H", 1) + END), ("mark", OLD_MARK)]:
            with self.subTest("unsealed " + label):
                self.refused("end unsealed, " + label, lambda conn: [
                    conn.seal(file_message(len(data), b"end.bin")), conn.seal(DATA + data), raw])

    def test_message_of_length_zero(self):
        data = os.urandom(5000)
        zero = struct.pack(">H", 0)
        for label, empty in [("length 0", lambda conn: zero), ("sealed empty", lambda conn: conn.seal(b"")),
                             ("data message without data", lambda conn: conn.seal(DATA))]:
            with self.subTest(label):
                if label != "data message without data":
                    self.refused(label + " for the file message", lambda conn: [
                        empty(conn), conn.seal(file_message(len(data), b"zero.bin")), conn.seal(DATA + data),
                        conn.seal(END)])
                self.refused(label + " for data", lambda conn: [
                    conn.seal(file_message(len(data), b"zero.bin")), empty(conn), conn.seal(DATA + data),
                    conn.seal(END)])
                self.refused(label + " between data", lambda conn: [
                    conn.seal(file_message(len(data), b"zero.bin")), conn.seal(DATA + data[:10]), empty(conn),
                    conn.seal(DATA + data[10:]), conn.seal(END)])
                self.refused(label + " for the end", lambda conn: [
                    conn.seal(file_message(len(data), b"zero.bin")), conn.seal(DATA + data), empty(conn),
                    conn.seal(END)])

    def test_messages_out_of_order_and_of_unknown_types(self):
        a, b, c = (file_messages(n, d) for n, d in [(b"a.bin", b"a"), (b"b.bin", b"bb"), (b"c.bin", b"ccc")])
        rows = [
            ("only a quit", sealed(QUIT), "", ()),
            ("nothing after the handshake", sealed(), "", ()),
            ("data before any file", sealed(DATA + b"x", *a), "", ()),
            ("an end before any file", sealed(END, *a), "", ()),
            ("a file inside a file", sealed(file_message(1, b"a.bin"), *b), "", ()),
            ("a file inside the data", sealed(file_message(2, b"b.bin"), DATA + b"b", *a), "", ()),
            ("a quit inside a file", sealed(file_message(1, b"a.bin"), QUIT), "", ()),
            ("a quit inside the data", sealed(file_message(2, b"b.bin"), DATA + b"b", QUIT, DATA + b"b", END),
             "", ()),
            ("a quit with more", sealed(*a, QUIT + b"!"), "A1", ("a.bin",)),
            ("files after the quit", sealed(*a, QUIT, *b), "A1", ("a.bin",)),
            ("the second file broken after the first", sealed(*a, file_message(2, b"b.bin"), DATA + b"bbb"),
             "A1", ("a.bin",)),
            ("the third file's data flipped", lambda conn: [conn.seal(m) for m in a + b] + [
                conn.seal(c[0]), flipped(conn.seal(c[1]), 4), conn.seal(END)], "A1 A2", ("a.bin", "b.bin")),
            ("a refused name in the middle of a batch",
             sealed(*a, *file_messages(b"..\\b.bin", b"bb"), *c, QUIT), "A1 R2:1", ("a.bin",)),
            ("unknown flags in the middle of a batch",
             sealed(*a, file_message(2, b"b.bin", 4), DATA + b"bb", END, *c, QUIT), "A1 R2:0", ("a.bin",)),
            # S only right after an O above 0: nothing is held for a new file.
            ("an S after the O of a new resumable file",
             sealed(file_message(2, b"b.bin", tag=b"S" * 16), RESTART, DATA + b"bb", END), "O1", ()),
        ]
        # What only a receiver sends, and types no one sends, between files and inside one.
        for label, kind in [("an A", reply_message(b"A", 1)), ("an R", reply_message(b"R", 1)),
                            ("an O", secure_peer.offset_message(1, 0)), ("an S", RESTART),
                            ("type 0x00", b"\0"), ("type G", b"G"), ("type 0xff", b"\xff"),
                            ("lower case f", b"f" + file_message(1, b"x.bin")[1:]), ("lower case d", b"da")]:
            rows += [("%s from a sender between files" % label, sealed(*a, kind, *b), "A1", ("a.bin",)),
                     ("%s from a sender inside a file" % label,
                      sealed(file_message(2, b"b.bin"), DATA + b"b", kind, DATA + b"b", END), "", ())]
        self.table(rows)

    def test_replayed_transfer(self):
        r = self.receiver
        data = os.urandom(10000)
        recorded = bytearray()
        self.assertTrue(secure_peer.send_file("127.0.0.1", r.port, KEY, b"replayed.bin", data,
                                              record=recorded))
        path = os.path.join(r.dest, "replayed.bin")
        with open(path, "rb") as f:
            self.assertEqual(f.read(), data)
        os.remove(path)
        with socket.create_connection(("127.0.0.1", r.port), timeout=PATIENCE) as s:
            s.sendall(recorded)
            reply, took = finish(s)
        # Its own handshake reply may come back; nothing after it.
        self.assertIsNotNone(reply, "replay: the receiver did not close")
        self.assertLessEqual(len(reply), 2 + HANDSHAKE_LEN,
                             "replay: the receiver answered past its handshake reply")
        self.assertLess(took, SOON, "replay: closed only at the idle limit")
        self.after("replay")

    def test_fixed_format_transfer(self):
        self.raw_refused("fixed format", wire(b"fixed.bin", os.urandom(3000)))
        self.raw_refused("fixed format, magic only", b"zeptrixv1.0")

    def test_older_file_survives_a_failed_transfer(self):
        r = self.receiver
        older = b"the older file of this name\n"
        path = os.path.join(r.dest, "keep.bin")
        with open(path, "wb") as f:
            f.write(older)
        self.placed = {"dest/keep.bin"}
        data = os.urandom(2 * MAX_PIECE)
        first, rest = DATA + data[:MAX_PIECE], DATA + data[MAX_PIECE:]
        a = file_messages(b"a.bin", b"a")

        def opening(conn, size=len(data)):
            """The file message and the first data message: the file has begun."""
            return [conn.seal(file_message(size, b"keep.bin")), conn.seal(first)]
        rows = [("data flipped", lambda conn: opening(conn) + [flipped(conn.seal(rest), 5), conn.seal(END)], ""),
                ("no end", lambda conn: opening(conn) + [conn.seal(rest)], ""),
                ("cut", lambda conn: opening(conn) + [conn.seal(rest)[:100]], ""),
                ("over", lambda conn: opening(conn, len(data) - 1) + [conn.seal(rest), conn.seal(END)], ""),
                ("end wrong", lambda conn: opening(conn) + [conn.seal(rest), conn.seal(END + b"!")], ""),
                ("a quit instead of the end", lambda conn: opening(conn) + [conn.seal(rest), conn.seal(QUIT)], ""),
                ("unknown flags", sealed(file_message(len(data), b"keep.bin", 4), first, rest, END), "R1:0"),
                ("broken after a file in place",
                 lambda conn: [conn.seal(m) for m in a] + opening(conn) + [conn.seal(rest)[:100]], "A1")]
        try:
            for label, build, replies in rows:
                with self.subTest(label):
                    self.session("older file, " + label, build, replies, ("a.bin",) if replies == "A1" else ())
                    with open(path, "rb") as f:
                        self.assertEqual(f.read(), older, "older file, %s: replaced" % label)
        finally:
            self.placed = set()
            os.remove(path)
        self.after("older file")


class ConsolePeerSecureHostile(SecureHostileCases, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.receiver = ConsoleReceiver(secret=SECRET)


class ProgramSecureHostile(OnProgram, SecureHostileCases, unittest.TestCase):
    secret = SECRET


if __name__ == "__main__":
    unittest.main()
