"""Hostile peers against receivers that share a secret: the console peer
natively and Zeptrix.exe under Wine face the same rows of broken secure
transfers, written with the Python implementation of the format. After every
row nothing was stored or acknowledged, the receiver is alive, nothing was
created inside or outside its directory, and a normal secure transfer still
arrives byte for byte."""
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
from secure_peer import HANDSHAKE_LEN, MAGIC, MARK, MAX_PIECE, header  # noqa: E402

SECRET = "hostile rows share this secret"
WRONG_SECRET = "hostile rows know another secret"
KEY = secure_peer.group_key(SECRET.encode())

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
        name = b"normal-%d.bin" % n
        data = os.urandom(MAX_PIECE + 1000 + n)  # two data messages
        self.assertTrue(secure_peer.send_file("127.0.0.1", self.receiver.port, KEY, name, data),
                        "%s: a normal transfer after it was not acknowledged" % label)
        path = os.path.join(self.receiver.dest, name.decode())
        with open(path, "rb") as f:
            self.assertEqual(f.read(), data, "%s: the normal transfer arrived altered" % label)
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

    def refused(self, label, build):
        """After a good handshake, writes the messages build(conn) returns
        (sealed with conn, or raw) and half-closes: the receiver closes with
        nothing sent back, so no acknowledgement."""
        reasons = []
        conn = secure_peer.open_sender("127.0.0.1", self.receiver.port, KEY, timeout=PATIENCE,
                                       failure=reasons)
        self.assertIsNotNone(conn, "%s: the handshake failed: %r" % (label, reasons))
        with conn:
            conn.send_raw(b"".join(build(conn)))
            reply, took = finish(conn.socket)
        self.assert_closed_silently(label, reply, took)
        self.after(label)

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

    def test_every_byte_of_the_header_message_flipped(self):
        name, data = b"header.bin", b"hello"
        sealed_size = 2 + 8 + len(name) + 16
        for i in range(2, sealed_size):  # the ciphertext, then the tag
            with self.subTest(i):
                self.refused("header byte %d flipped" % i, lambda conn: [
                    flipped(conn.seal(header(len(data), name)), i), conn.seal(data), conn.seal(MARK)])

    def test_header_message_with_a_wrong_length(self):
        name, data = b"header.bin", b"hello"
        right = 8 + len(name) + 16
        for label, length in [("one less", right - 1), ("one more", right + 1), ("the tag's", 16),
                              ("largest", 0xFFFF)]:
            with self.subTest(label):
                def build(conn):
                    sealed = conn.seal(header(len(data), name))
                    return [struct.pack(">H", length) + sealed[2:], conn.seal(data), conn.seal(MARK)]
                self.refused("header length " + label, build)

    def test_header_that_decrypts_but_is_refused(self):
        for label, plain in [("size only", struct.pack("<Q", 5)), ("too short", b"\0" * 7),
                             ("name of 256", header(5, b"n" * 256)), ("name ..", header(5, b"..\\x")),
                             ("zero in the name", header(5, b"a\0b.bin")), ("slash", header(5, b"a/b"))]:
            with self.subTest(label):
                self.refused("header " + label, lambda conn: [conn.seal(plain), conn.seal(b"hello"),
                                                              conn.seal(MARK)])

    def test_data_message_cut_short(self):
        data = os.urandom(1000)
        sealed_size = 2 + len(data) + 16
        for keep in (1, 2, 2 + 500, sealed_size - 1):
            with self.subTest(keep):
                self.refused("data cut after %d bytes" % keep, lambda conn: [
                    conn.seal(header(len(data), b"cut.bin")), conn.seal(data)[:keep]])
        # The second of three messages cut, once the file has begun.
        data = os.urandom(3 * MAX_PIECE)
        self.refused("second data message cut", lambda conn: [
            conn.seal(header(len(data), b"cut.bin")), conn.seal(data[:MAX_PIECE]),
            conn.seal(data[MAX_PIECE:2 * MAX_PIECE])[:30000]])

    def test_flipped_bit_in_a_data_message(self):
        data = os.urandom(3 * MAX_PIECE)
        pieces = [data[:MAX_PIECE], data[MAX_PIECE:2 * MAX_PIECE], data[2 * MAX_PIECE:]]
        for which, at, mask in [(0, 0, 0x01), (0, 2, 0x01), (0, 2 + MAX_PIECE // 2, 0x80),
                                (0, 2 + MAX_PIECE, 0x01), (0, -1, 0x80), (1, 2, 0x01), (2, -1, 0x01)]:
            with self.subTest(message=which, at=at, mask=mask):
                def build(conn):
                    sealed = [conn.seal(p) for p in pieces]
                    sealed[which] = flipped(sealed[which], at, mask)
                    return [conn.seal(header(len(data), b"flip.bin"))] + sealed + [conn.seal(MARK)]
                self.refused("data message %d byte %d ^ 0x%02x" % (which, at, mask), build)

    def test_data_over_the_size(self):
        for label, size, pieces in [("one message one byte over", 100, [101]),
                                    ("two messages over", 100, [60, 60]),
                                    ("a data message after the last", 100, [100, 1]),
                                    ("data for a size of 0", 0, [1])]:
            data = os.urandom(sum(pieces))
            with self.subTest(label):
                self.refused("data " + label, lambda conn: [conn.seal(header(size, b"over.bin"))]
                             + [conn.seal(p) for p in secure_peer.cut(data, pieces)] + [conn.seal(MARK)])

    def test_data_under_the_size_then_the_end(self):
        # The mark counts as data: it fills a gap of its size or more, or overruns a smaller one.
        for label, size, given in [("half", 100, 50), ("the mark overruns", 100, 95),
                                   ("exactly the mark short", 100 + len(MARK), 100), ("none", 1000, 0)]:
            data = os.urandom(given)
            with self.subTest(label):
                self.refused("data under the size, " + label, lambda conn: [
                    conn.seal(header(size, b"under.bin"))] + [conn.seal(p) for p in secure_peer.cut(data)]
                    + [conn.seal(MARK)])

    def test_missing_end(self):
        for size in (0, 1000, 2 * MAX_PIECE):
            data = os.urandom(size)
            with self.subTest(size):
                self.refused("no end after %d bytes" % size, lambda conn: [
                    conn.seal(header(size, b"endless.bin"))] + [conn.seal(p) for p in secure_peer.cut(data)])

    def test_end_other_than_the_mark(self):
        ends = [("mark byte %d" % i, flipped(MARK, i)) for i in range(len(MARK))]
        ends += [("capitals", MARK.upper()), ("short", MARK[:-1]), ("long", MARK + b"!"), ("x", b"x")]
        data = os.urandom(5000)
        for label, end in ends:
            with self.subTest(label):
                self.refused("end " + label, lambda conn: [
                    conn.seal(header(len(data), b"end.bin")), conn.seal(data), conn.seal(end)])
        # The mark as the unencrypted format writes it.
        self.refused("end unsealed", lambda conn: [
            conn.seal(header(len(data), b"end.bin")), conn.seal(data), MARK])

    def test_message_of_length_zero(self):
        data = os.urandom(5000)
        zero = struct.pack(">H", 0)
        for label, empty in [("length 0", lambda conn: zero), ("sealed empty", lambda conn: conn.seal(b""))]:
            with self.subTest(label):
                self.refused(label + " for the header", lambda conn: [
                    empty(conn), conn.seal(header(len(data), b"zero.bin")), conn.seal(data), conn.seal(MARK)])
                self.refused(label + " for data", lambda conn: [
                    conn.seal(header(len(data), b"zero.bin")), empty(conn), conn.seal(data), conn.seal(MARK)])
                self.refused(label + " between data", lambda conn: [
                    conn.seal(header(len(data), b"zero.bin")), conn.seal(data[:10]), empty(conn),
                    conn.seal(data[10:]), conn.seal(MARK)])
                self.refused(label + " for the end", lambda conn: [
                    conn.seal(header(len(data), b"zero.bin")), conn.seal(data), empty(conn), conn.seal(MARK)])

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
        first, rest = data[:MAX_PIECE], data[MAX_PIECE:]

        def opening(conn, size=len(data)):
            """The header and the first data message: the file has begun."""
            return [conn.seal(header(size, b"keep.bin")), conn.seal(first)]
        rows = [("data flipped", lambda conn: opening(conn) + [flipped(conn.seal(rest), 5), conn.seal(MARK)]),
                ("no end", lambda conn: opening(conn) + [conn.seal(rest)]),
                ("cut", lambda conn: opening(conn) + [conn.seal(rest)[:100]]),
                ("over", lambda conn: opening(conn, len(data) - 1) + [conn.seal(rest), conn.seal(MARK)]),
                ("end wrong", lambda conn: opening(conn) + [conn.seal(rest), conn.seal(MARK[:-1] + b"K")])]
        try:
            for label, build in rows:
                with self.subTest(label):
                    self.refused("older file, " + label, build)
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
