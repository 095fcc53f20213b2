#!/usr/bin/python3
"""A second implementation of the secure transfer format, sender and receiver,
built only on Debian's python3-dissononce (Noise) and python3-argon2, so that our
programs can be checked against code that shares nothing with them.

usage: secure_peer.py send --secret-file F HOST PORT FILE [FILE...]
       secure_peer.py receive --secret-file F --port P --dir D
       secure_peer.py selftest"""
import argparse
import dataclasses
import functools
import itertools
import os
import shutil
import socket
import struct
import sys
import tempfile
import threading
import time

from argon2.low_level import Type, hash_secret_raw
from dissononce.cipher.chachapoly import ChaChaPolyCipher
from dissononce.dh.x25519.private import PrivateKey
from dissononce.dh.x25519.x25519 import X25519DH
from dissononce.exceptions.decrypt import DecryptFailedException
from dissononce.extras.dh.dangerous.dh_nogen import NoGenDH
from dissononce.hash.blake2b import Blake2bHash
from dissononce.processing.handshakepatterns.interactive.NN import NNHandshakePattern
from dissononce.processing.impl.cipherstate import CipherState
from dissononce.processing.impl.handshakestate import HandshakeState
from dissononce.processing.impl.symmetricstate import SymmetricState
from dissononce.processing.modifiers.psk import PSKPatternModifier

MAGIC = b"zeptrixv2.0"          # also the Noise prologue
FIXED_MAGIC = b"zeptrixv1.0"    # the unencrypted format: a sender with a secret must never send it
MARK = b"zeptrix**ok**"         # closes the data, and is the acknowledgement
SALT = b"zeptrix-group-v2"
MAX_FRAME = 0xFFFF
MAX_PIECE = MAX_FRAME - 16      # plaintext that still fits one frame with its tag
HANDSHAKE_LEN = 48              # an ephemeral public key and the tag of the empty payload


@functools.lru_cache(maxsize=None)
def group_key(secret: bytes) -> bytes:
    """The 32-byte pre-shared key. Argon2id over 64 MiB takes a moment, hence the cache."""
    return hash_secret_raw(bytes(secret), SALT, time_cost=3, memory_cost=65536, parallelism=1,
                           hash_len=32, type=Type.ID)


def handshake_state(initiator, key, ephemeral=None):
    """Noise_NNpsk0_25519_ChaChaPoly_BLAKE2b; a fixed ephemeral private key only for tests."""
    dh = X25519DH() if ephemeral is None else NoGenDH(X25519DH(), PrivateKey(bytes(ephemeral)))
    state = HandshakeState(SymmetricState(CipherState(ChaChaPolyCipher()), Blake2bHash()), dh)
    state.initialize(PSKPatternModifier(0).modify(NNHandshakePattern()), initiator, MAGIC, psks=(key,))
    return state


def frame(body):
    if len(body) > MAX_FRAME:
        raise ValueError("%d bytes do not fit one frame" % len(body))
    return struct.pack(">H", len(body)) + bytes(body)


def read_exact(sock, n):
    """n bytes, or None when the peer closed or went quiet first."""
    buf = bytearray()
    while len(buf) < n:
        try:
            chunk = sock.recv(n - len(buf))
        except OSError:  # a timeout or a reset
            return None
        if not chunk:
            return None
        buf += chunk
    return bytes(buf)


def read_frame(sock):
    """(body, "") or (None, why)."""
    head = read_exact(sock, 2)
    if head is None:
        return None, "closed"
    length = struct.unpack(">H", head)[0]
    if length == 0:
        return None, "length 0"
    body = read_exact(sock, length)
    return (body, "") if body is not None else (None, "closed")


def header(size, name):
    return struct.pack("<Q", size) + bytes(name)


class SecureConnection:
    """A connected socket past the handshake, with one cipher state each way."""

    def __init__(self, sock, sending=None, receiving=None, record=None):
        self.socket = sock
        self.sending, self.receiving = sending, receiving
        self.record = record  # a bytearray that collects every byte written, or None
        self.error = ""       # why the last receive() gave None

    def seal(self, plaintext):
        """One framed transport message, not sent; uses up a nonce."""
        return frame(self.sending.encrypt_with_ad(b"", bytes(plaintext)))

    def send(self, plaintext):
        return self.send_raw(self.seal(plaintext))

    def send_raw(self, data):
        """Writes the bytes as they are; False when the peer has gone."""
        if self.record is not None:
            self.record += data
        try:
            self.socket.sendall(data)
            return True
        except OSError:
            return False

    def receive(self):
        """The next plaintext, or None on close, timeout, a length of 0 or a failed tag."""
        body, self.error = read_frame(self.socket)
        if body is None:
            return None
        try:
            return self.receiving.decrypt_with_ad(b"", body)
        except DecryptFailedException:
            self.error = "does not decrypt"
            return None

    def close(self):
        self.socket.close()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


def flip(part, index, mask=0x01):
    """A tamper hook for open_sender: flips bits of byte index of 'magic' or 'handshake'."""
    def tamper(which, data):
        if which != part:
            return data
        out = bytearray(data)
        out[index] ^= mask
        return bytes(out)
    return tamper


def open_sender(host, port, key, timeout=10.0, tamper=None, record=None, ephemeral=None, failure=None):
    """Connects, sends the magic and "-> psk, e", checks "<- e, ee". Returns a SecureConnection,
    or None with the reason appended to the list failure ("closed" when the receiver hung up,
    "reply does not decrypt" when it answered something we cannot verify). tamper(part, data)
    may replace part "magic" (11 bytes) or "handshake" (the 48-byte message, framed with its
    new length) before it is written."""
    def fail(why, sock=None):
        if sock is not None:
            sock.close()
        if failure is not None:
            failure.append(why)
        return None

    tamper = tamper or (lambda part, data: data)
    state = handshake_state(True, key, ephemeral)
    first = bytearray()
    state.write_message(b"", first)
    try:
        sock = socket.create_connection((host, port), timeout=timeout)
    except OSError as e:
        return fail("connect: %s" % e)
    conn = SecureConnection(sock, record=record)
    if not conn.send_raw(tamper("magic", MAGIC) + frame(tamper("handshake", bytes(first)))):
        return fail("closed", sock)
    reply, why = read_frame(sock)
    if reply is None:
        return fail(why, sock)
    if len(reply) != HANDSHAKE_LEN:
        return fail("reply of %d bytes" % len(reply), sock)
    try:
        conn.sending, conn.receiving = state.read_message(reply, bytearray())
    except (DecryptFailedException, ValueError):  # ValueError: a low-order key from X25519
        return fail("reply does not decrypt", sock)
    return conn


def cut(data, pieces=None):
    """The data messages: pieces is one size for all, or a list of sizes for the first ones
    (used as given, even 0) after which the rest goes in MAX_PIECE each."""
    if isinstance(pieces, (list, tuple)):
        sizes = itertools.chain(pieces, itertools.repeat(MAX_PIECE))
    else:
        sizes = itertools.repeat(pieces or MAX_PIECE)
    at = 0
    while at < len(data):
        size = next(sizes)
        yield data[at:at + size]
        at += size


def send_file(host, port, key, name, data, pieces=None, timeout=10.0, record=None, ephemeral=None):
    """One whole transfer; True only when the sealed acknowledgement came back."""
    conn = open_sender(host, port, key, timeout, record=record, ephemeral=ephemeral)
    if conn is None:
        return False
    with conn:
        ok = conn.send(header(len(data), name))
        for piece in cut(data, pieces):
            ok = ok and conn.send(piece)
        return ok and conn.send(MARK) and conn.receive() == MARK


@dataclasses.dataclass
class Record:
    """One connection as the receiver saw it."""
    name: bytes = None
    size: int = None
    stored: bool = False
    acked: bool = False
    error: str = ""  # why it failed; "fixed format" when it began with FIXED_MAGIC


class Receiver:
    """Listens on 127.0.0.1 and takes transfers, each connection in a thread of its own,
    into folder; stores a file only once it is complete, and acknowledges it after that."""

    def __init__(self, key, folder, port=0, timeout=10.0, ephemeral=None, on_stored=None):
        self.key, self.folder, self.timeout = key, os.fsencode(folder), timeout
        self.ephemeral, self.on_stored = ephemeral, on_stored
        self.records = []
        self._changed = threading.Condition()
        self._threads = []
        self._stopping = False
        self.listener = socket.create_server(("127.0.0.1", port))
        self.listener.settimeout(0.2)  # so that stop() is noticed
        self.port = self.listener.getsockname()[1]
        self._accepting = threading.Thread(target=self._accept, daemon=True)
        self._accepting.start()

    @property
    def fixed_format(self):
        """How many connections began with the unencrypted format's magic."""
        return sum(r.error == "fixed format" for r in self.records)

    def wait(self, count, timeout=30.0):
        """Waits until count connections have ended; False if they did not in time."""
        with self._changed:
            return self._changed.wait_for(lambda: len(self.records) >= count, timeout)

    def stop(self):
        self._stopping = True
        self._accepting.join()
        self.listener.close()
        for thread in self._threads:
            thread.join(self.timeout + 1)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()

    def _accept(self):
        while not self._stopping:
            try:
                sock, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                break
            thread = threading.Thread(target=self._serve, args=(sock,), daemon=True)
            thread.start()
            self._threads.append(thread)

    def _serve(self, sock):
        record = Record()
        try:
            sock.settimeout(self.timeout)
            self._transfer(sock, record)
        except Exception as e:  # a file system error, or a peer that broke the handshake oddly
            record.error = record.error or "%s: %s" % (type(e).__name__, e)
        finally:
            sock.close()
            with self._changed:
                self.records.append(record)
                self._changed.notify_all()
        if record.stored and self.on_stored:
            self.on_stored(record)

    def _transfer(self, sock, record):
        magic = read_exact(sock, len(MAGIC))
        if magic != MAGIC:
            record.error = "fixed format" if magic == FIXED_MAGIC else "bad magic %r" % magic
            return
        state = handshake_state(False, self.key, self.ephemeral)
        first, why = read_frame(sock)
        if first is None or len(first) != HANDSHAKE_LEN:
            record.error = "handshake: " + (why or "%d bytes" % len(first))
            return
        try:
            state.read_message(first, bytearray())
        except DecryptFailedException:
            record.error = "handshake does not decrypt"
            return
        reply = bytearray()
        incoming, outgoing = state.write_message(b"", reply)
        sock.sendall(frame(bytes(reply)))
        conn = SecureConnection(sock, outgoing, incoming)

        head = conn.receive()
        if head is None or not 9 <= len(head) <= 8 + 255:
            record.error = "header: " + (conn.error or "%d bytes" % len(head))
            return
        record.size, record.name = struct.unpack("<Q", head[:8])[0], head[8:]
        parts = record.name.split(b"\\")
        if any(p in (b"", b".", b"..") or b"/" in p or b"\0" in p for p in parts):
            record.error = "refused name"
            return
        # Written aside and moved into place only when complete; opened so that the umask applies.
        partial = os.path.join(self.folder, b".zeptrix-partial-%d" % threading.get_ident())
        try:
            with open(partial, "xb") as out:
                record.error = self._data(conn, out, record.size)
            if record.error:
                return
            if conn.receive() != MARK:
                record.error = "end: " + (conn.error or "not the closing mark")
                return
            target = os.path.join(self.folder, *parts)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            os.replace(partial, target)
            partial = None
            record.stored = True
        finally:
            if partial is not None:
                os.unlink(partial)
        record.acked = conn.send(MARK)

    @staticmethod
    def _data(conn, out, size):
        """Writes exactly size bytes of data messages to out; returns why not, or ""."""
        got = 0
        while got < size:
            piece = conn.receive()
            if piece is None:
                return "data: " + conn.error
            if not 1 <= len(piece) <= MAX_PIECE:
                return "data message of %d bytes" % len(piece)
            got += len(piece)
            if got > size:
                return "data overrun the size"
            out.write(piece)
        return ""


def read_secret(path):
    """The first line, trailing whitespace dropped, lower-cased, as the programs take it."""
    with open(path, "rb") as f:
        return f.readline().rstrip().lower()


def show(name):
    return name.decode("utf-8", "replace")


def selftest():
    """The Python sender against the Python receiver on loopback."""
    key, wrong = group_key(b"correct horse battery staple"), group_key(b"another secret")
    folder, failed = tempfile.mkdtemp(prefix="secure-peer-"), []
    try:
        return _selftest(key, wrong, folder, failed)
    finally:
        shutil.rmtree(folder)


def _selftest(key, wrong, folder, failed):
    def check(what, ok):
        print("%s %s" % ("ok  " if ok else "FAIL", what))
        failed.extend([] if ok else [what])

    def files():
        return sorted(os.path.relpath(os.path.join(d, f), folder) for d, _, fs in os.walk(folder) for f in fs)

    def holds(path, data):
        with open(os.path.join(folder, path), "rb") as f:
            return f.read() == data

    with Receiver(key, folder) as rx:
        def send(name, data, k=key, **options):
            return send_file("127.0.0.1", rx.port, k, name, data, **options)

        def rejected(what, attempt):
            before, count = files(), len(rx.records)
            no_ack = not attempt()
            last = rx.records[-1] if rx.wait(count + 1) else Record(stored=True, error="no record")
            check("%s (%s)" % (what, last.error), no_ack and not last.stored and files() == before)

        def bent(size, pieces, spoil=None, hang_up=False):
            """A transfer with the header's size and data messages as given."""
            with open_sender("127.0.0.1", rx.port, key) as conn:
                conn.send(header(size, b"bent.bin"))
                for piece in pieces:
                    conn.send_raw(spoil(conn.seal(piece)) if spoil else conn.seal(piece))
                conn.send(MARK)
                if hang_up:
                    conn.socket.shutdown(socket.SHUT_WR)
                return conn.receive()

        big = os.urandom(200 * 1024)
        for name, data in [(b"empty.bin", b""), (b"one.bin", b"x"), (b"big.bin", big),
                           (b"photos\\2026\\a.jpg", big[:5000])]:
            count = len(rx.records)
            ok = send(name, data) and rx.wait(count + 1) and rx.records[-1].acked
            path = os.fsdecode(name.replace(b"\\", b"/"))
            check("%s, %d bytes" % (show(name), len(data)), ok and holds(path, data))
        rejected("wrong key", lambda: send(b"w.bin", b"secret", k=wrong))
        spoil = lambda sealed: sealed[:7] + bytes([sealed[7] ^ 1]) + sealed[8:]  # noqa: E731
        rejected("tampered data message", lambda: bent(5, [b"hello"], spoil=spoil))
        rejected("name with ..", lambda: send(b"..\\x", b"x"))
        rejected("empty data message", lambda: send(b"e.bin", b"abc", pieces=[2, 0]))
        rejected("short data", lambda: bent(100, [b"abc"], hang_up=True))  # the mark is taken as data
        rejected("overrun", lambda: bent(3, [b"abcd"]))

        recorded, count = bytearray(), len(rx.records)
        send(b"replayed.bin", b"once", record=recorded)
        rx.wait(count + 1)

        def replay():
            with socket.create_connection(("127.0.0.1", rx.port), timeout=10) as s:
                s.sendall(recorded)
                # The handshake reply comes back; anything after it would be an acknowledgement.
                return read_exact(s, 2 + HANDSHAKE_LEN + 1)
        rejected("replayed transfer", replay)

        count, reasons = len(rx.records), []
        opened = [open_sender("127.0.0.1", rx.port, key, tamper=flip("handshake", i), failure=reasons)
                  for i in range(HANDSHAKE_LEN)]
        check("each handshake byte flipped", opened == [None] * HANDSHAKE_LEN and set(reasons) == {"closed"}
              and rx.wait(count + HANDSHAKE_LEN))

        count = len(rx.records)
        with socket.create_connection(("127.0.0.1", rx.port), timeout=10) as s:
            s.sendall(FIXED_MAGIC + b"\0" * 16)
            check("fixed format noticed, nothing sent back", read_exact(s, 1) is None)
        check("fixed format recorded", rx.wait(count + 1) and rx.fixed_format == 1)
    print("%d failed" % len(failed) if failed else "all passed")
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    send = commands.add_parser("send")
    send.add_argument("--secret-file", required=True)
    send.add_argument("host")
    send.add_argument("port", type=int)
    send.add_argument("files", nargs="+")
    receive = commands.add_parser("receive")
    receive.add_argument("--secret-file", required=True)
    receive.add_argument("--port", type=int, required=True)
    receive.add_argument("--dir", required=True)
    commands.add_parser("selftest")
    args = parser.parse_args()

    if args.command == "selftest":
        return selftest()
    key = group_key(read_secret(args.secret_file))
    if args.command == "send":
        failures = 0
        for path in args.files:
            with open(path, "rb") as f:
                data = f.read()
            name = os.fsencode(os.path.basename(path))
            ok = send_file(args.host, args.port, key, name, data)
            failures += not ok
            print("%s %s %d" % ("acknowledged" if ok else "failed", show(name), len(data)), flush=True)
        return 1 if failures else 0

    def stored(record):
        print("stored %s %d" % (show(record.name), record.size), flush=True)
    Receiver(key, args.dir, port=args.port, on_stored=stored)
    while True:
        time.sleep(3600)


if __name__ == "__main__":
    sys.exit(main())
