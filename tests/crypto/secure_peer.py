#!/usr/bin/python3
"""A second implementation of the secure transfer format, sender and receiver,
built only on Debian's python3-dissononce (Noise) and python3-argon2, so that our
programs can be checked against code that shares nothing with them.

Version 2.2. After the magic and the handshake, a connection carries a batch: for
each file F (size, flags, a tag when resumable, a modification time when known,
name), D (data) messages and E, then Q. The receiver answers O n (the offset it
holds and, past 0, the BLAKE2b-256 of those bytes) to a resumable file's F, A n
once file n is in place, or R n with a reason byte when it refused or could not
store it. A sender whose first bytes hash otherwise sends S and the whole file.

usage: secure_peer.py send --secret-file F HOST PORT FILE [FILE...]
       secure_peer.py receive --secret-file F --port P --dir D [--wrong-hash] [--fake-offset N]
       secure_peer.py selftest"""
import argparse
import dataclasses
import functools
import hashlib
import itertools
import os
import select
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

MAGIC = b"zeptrixv2.2"          # also the Noise prologue
OLD_MAGICS = (b"zeptrixv2.0", b"zeptrixv2.1")  # earlier versions: a receiver closes on them
FIXED_MAGIC = b"zeptrixv1.0"    # the unencrypted format: a sender with a secret must never send it
SALT = b"zeptrix-group-v2"
MAX_FRAME = 0xFFFF
MAX_PLAIN = MAX_FRAME - 16      # plaintext that still fits one frame with its tag
MAX_PIECE = MAX_PLAIN - 1       # data of one D message, behind its type byte
HANDSHAKE_LEN = 48              # an ephemeral public key and the tag of the empty payload
MAX_NAME = 255
MAX_UNACKNOWLEDGED = 64         # files a sender may have sent and not yet seen answered
# The first plaintext byte of a message: sender to receiver, then receiver to sender.
FILE, DATA, END, QUIT, RESTART = b"F", b"D", b"E", b"Q", b"S"
ACCEPTED, REFUSED, OFFSET = b"A", b"R", b"O"
RESUMABLE = 1                   # F's flag: a tag follows, and the receiver answers O
TIMED = 2                       # F's flag: the modification time follows (after the tag)
HASH_LEN = 32                   # BLAKE2b-256 of the first offset bytes, in an O past 0
# R's reason byte; a sender takes any other value as OTHER.
OTHER, NAME_REFUSED, NOT_STORED, ABORTED = 0, 1, 2, 3


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


def half_close(sock):
    """Ends the sending direction, unless the peer has closed the connection already."""
    try:
        sock.shutdown(socket.SHUT_WR)
    except OSError:
        pass


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


# The plaintexts of the session's messages.

def file_message(size, name, flags=0, tag=b"", mtime_ns=None):
    """F: with a tag (16 bytes) the file is resumable, and flag bit 0 says so; with mtime_ns
    (nanoseconds since 1970 UTC) bit 1 is set and the time follows the tag. flags is or-ed in
    as given, so a test can set a bit without its field."""
    flags |= (RESUMABLE if tag else 0) | (TIMED if mtime_ns is not None else 0)
    when = struct.pack("<q", mtime_ns) if mtime_ns is not None else b""
    return FILE + struct.pack("<QB", size, flags) + bytes(tag) + when + bytes(name)


def prefix_hash(data):
    """What an O past 0 carries: BLAKE2b-256, unkeyed, of the bytes held."""
    return hashlib.blake2b(bytes(data), digest_size=HASH_LEN).digest()


def offset_message(number, offset, digest=b""):
    """O; past offset 0 digest follows (prefix_hash of the bytes held, or whatever a test gives)."""
    return OFFSET + struct.pack("<IQ", number, offset) + (bytes(digest) if offset else b"")


def read_offset(plain):
    """(number, offset, hash) of an O (hash b"" at offset 0), or None for anything else,
    also for an O past 0 without its hash or one at 0 with bytes after it."""
    if plain is None or len(plain) not in (13, 13 + HASH_LEN) or plain[:1] != OFFSET:
        return None
    number, offset = struct.unpack("<IQ", plain[1:13])
    if (offset > 0) != (len(plain) > 13):
        return None
    return number, offset, plain[13:]


def reply_message(kind, number, reason=OTHER):
    """A n, or R n with its reason byte."""
    return kind + struct.pack("<I", number) + (bytes([reason]) if kind == REFUSED else b"")


def cut(data, pieces=None):
    """The D messages of data: pieces is one size for all, or a list of sizes for the first
    ones (used as given, even 0) after which the rest goes in MAX_PIECE each."""
    if isinstance(pieces, (list, tuple)):
        sizes = itertools.chain(pieces, itertools.repeat(MAX_PIECE))
    else:
        sizes = itertools.repeat(pieces or MAX_PIECE)
    at = 0
    while at < len(data):
        size = next(sizes)
        yield DATA + data[at:at + size]
        at += size


def file_messages(name, data, pieces=None, mtime_ns=None):
    """One whole file as a sender writes it: F, its D messages, E."""
    return [file_message(len(data), name, mtime_ns=mtime_ns)] + list(cut(data, pieces)) + [END]


def read_answer(plain):
    """(kind, number, reason) of an A (5 bytes, reason None) or an R (6 bytes, an unknown reason
    read as OTHER), or None for anything else."""
    if plain is None or (plain[:1], len(plain)) not in ((ACCEPTED, 5), (REFUSED, 6)):
        return None
    reason = None if plain[:1] == ACCEPTED else plain[5] if plain[5] <= ABORTED else OTHER
    return plain[:1], struct.unpack("<I", plain[1:5])[0], reason


def read_reply(plain):
    """(kind, number) of an A or R, or None for anything else."""
    answer = read_answer(plain)
    return answer[:2] if answer else None


class SecureConnection:
    """A connected socket past the handshake, with one cipher state each way."""

    def __init__(self, sock, sending=None, receiving=None, record=None):
        self.socket = sock
        self.sending, self.receiving = sending, receiving
        self.record = record  # a bytearray that collects every byte written, or None
        self.error = ""       # why the last receive() gave None
        self.reasons = {}     # file number: the reason of its R, as replies() saw them

    def seal(self, plaintext):
        """One framed transport message, not sent; uses up a nonce."""
        return frame(self.sending.encrypt_with_ad(b"", bytes(plaintext)))

    def send(self, *plaintexts):
        """Seals the messages and writes them in one call."""
        return self.send_raw(b"".join(self.seal(p) for p in plaintexts))

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

    def replies(self):
        """Every message until the peer closes: "O1 A1 A2 R3" ("?" for one not an A, R or O);
        the reasons of the R go to self.reasons."""
        out = []
        while True:
            plain = self.receive()
            if plain is None:
                return " ".join(out)
            answer, offset = read_answer(plain), read_offset(plain)
            if answer:
                out.append("%s%d" % (answer[0].decode(), answer[1]))
                if answer[0] == REFUSED:
                    self.reasons[answer[1]] = answer[2]
            else:
                out.append("O%d" % offset[0] if offset else "?")

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


class Answers:
    """The receiver's A and R of one batch, taken as they come on a thread of their own while the
    files go out: A n must name the next file sent, R n the first one not yet accepted. The
    batch ends at an R, at anything else, or when the receiver closes."""

    def __init__(self, conn, timeout):
        self.conn, self.timeout = conn, timeout
        self.sent = 0          # files whose F went out
        self.accepted = 0      # files 1..accepted have their A
        self.refused = None    # the number of the file refused
        self.reason = None     # and the reason its R gave
        self.ended = ""        # why no more answers come
        self.quit = False      # Q sent: only answers are still awaited
        self._changed = threading.Condition()
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def _read(self):
        sock, buf, quiet_since = self.conn.socket, bytearray(), time.time()
        why = ""
        while not why:
            # Whole frames first; then more bytes, waiting at most a poll at a time.
            if len(buf) >= 2 and len(buf) >= 2 + struct.unpack(">H", buf[:2])[0]:
                length = struct.unpack(">H", buf[:2])[0]
                body, buf = bytes(buf[2:2 + length]), buf[2 + length:]
                why = self._take(body) if length else "length 0"
                continue
            readable, _, _ = select.select([sock], [], [], 0.1)
            if not readable:
                with self._changed:
                    waiting = self.quit or self.sent - self.accepted >= MAX_UNACKNOWLEDGED
                if waiting and time.time() - quiet_since > self.timeout:
                    why = "no answer in %.0f s" % self.timeout
                continue
            try:
                chunk = sock.recv(65536)
            except OSError as e:
                chunk, why = b"", "reset: %s" % e
            if not chunk:
                why = why or "closed"
            buf += chunk
            quiet_since = time.time()
        with self._changed:
            self.ended = why
            self._changed.notify_all()

    def _take(self, body):
        try:
            reply = read_answer(self.conn.receiving.decrypt_with_ad(b"", body))
        except DecryptFailedException:
            return "answer does not decrypt"
        with self._changed:
            if reply is None or reply[1] != self.accepted + 1 or reply[1] > self.sent:
                return "unexpected answer %r" % (reply,)
            if reply[0] == REFUSED:
                self.refused, self.reason = reply[1], reply[2]
                return "file %d refused (reason %d)" % (reply[1], reply[2])
            self.accepted += 1
            self._changed.notify_all()
        return ""

    def started(self):
        """A file's F is about to go out."""
        with self._changed:
            self.sent += 1

    def room(self):
        """Waits while the most files are unanswered; False once the batch has ended."""
        with self._changed:
            self._changed.wait_for(lambda: self.ended or self.sent - self.accepted < MAX_UNACKNOWLEDGED)
            return not self.ended

    def finish(self):
        """After Q: waits for every answer or the end."""
        with self._changed:
            self.quit = True
            self._changed.wait_for(lambda: self.ended or self.accepted == self.sent)
        if not self.ended:
            try:
                self.conn.socket.shutdown(socket.SHUT_RDWR)  # wakes the reader; the receiver closes anyway
            except OSError:
                pass  # it has closed already
        self._thread.join()


def send_files(host, port, key, batch, timeout=10.0, record=None, ephemeral=None, failure=None, reasons=None):
    """One batch on one connection: F D* E for each file, then Q, without waiting for each file's
    A. batch holds (name, data), (name, data, pieces) (see cut) or (name, data, pieces, mtime_ns);
    F carries the time only when mtime_ns is given and not None. Returns one result per file:
    "A" for a file the receiver has in place, "R" for the one it refused, None for the others
    (never sent, or not answered). The list reasons, when given, gets one entry per file too:
    the reason byte of the R for the refused file, None for the others."""
    results = [None] * len(batch)
    if reasons is not None:
        reasons.extend([None] * len(batch))
    conn = open_sender(host, port, key, timeout, record=record, ephemeral=ephemeral, failure=failure)
    if conn is None:
        return results
    start = len(reasons) - len(batch) if reasons is not None else 0
    with conn:
        answers = Answers(conn, timeout)
        # A message at a time, so that an answer ending the batch is seen between them.
        messages = itertools.chain.from_iterable(
            itertools.chain([None], file_messages(*item)) for item in batch)
        for message in itertools.chain(messages, [QUIT]):
            if message is None:  # a file begins
                if not answers.room():
                    break
                answers.started()
            elif answers.ended or not conn.send(message):
                break
        answers.finish()
        if failure is not None and answers.accepted < len(batch):
            failure.append(answers.ended)
        for n in range(answers.accepted):
            results[n] = "A"
        if answers.refused:
            results[answers.refused - 1] = "R"
            if reasons is not None:
                reasons[start + answers.refused - 1] = answers.reason
    return results


def resume_file(host, port, key, name, data, tag, stop_after=None, timeout=10.0, mtime_ns=None, restarted=None):
    """One resumable file on a connection of its own: F with its tag (and mtime_ns, when given),
    the receiver's O, then the data from that offset on when the O's hash is that of data's
    first offset bytes, else S and the data from byte 0. With stop_after, only the file's bytes
    up to there go, in whole messages, and the connection is then closed as a dropped one would
    be. Returns (the offset the O gave, the answer after E and Q: "A1", "R1", "" for none);
    offset None when no O came, or one of the wrong length, or past the end of data. The list
    restarted, when given, gets True once an O came and S went, False when it came and no S went."""
    conn = open_sender(host, port, key, timeout)
    if conn is None:
        return None, ""
    with conn:
        if not conn.send(file_message(len(data), name, tag=tag, mtime_ns=mtime_ns)):
            return None, ""
        answer = read_offset(conn.receive())
        if answer is None or answer[0] != 1 or answer[1] > len(data):
            return None, ""
        offset = answer[1]
        again = offset > 0 and answer[2] != prefix_hash(data[:offset])
        if restarted is not None:
            restarted.append(again)
        start = 0 if again else offset
        end = len(data) if stop_after is None else stop_after
        if not conn.send(*([RESTART] if again else []), *cut(data[start:end])):
            return offset, ""
        if stop_after is not None:
            return offset, ""
        conn.send(END, QUIT)
        return offset, conn.replies()


def send_file(host, port, key, name, data, pieces=None, timeout=10.0, record=None, ephemeral=None, mtime_ns=None,
              reasons=None):
    """A batch of one file; True only when its sealed A came back. reasons: as for send_files."""
    batch = [(name, data, pieces, mtime_ns)]
    return send_files(host, port, key, batch, timeout, record=record, ephemeral=ephemeral, reasons=reasons) == ["A"]


@dataclasses.dataclass
class Record:
    """One file as the receiver saw it, or (name None) a connection that failed outside a file."""
    name: bytes = None
    size: int = None
    number: int = 0       # its place in the connection's batch, from 1
    stored: bool = False
    acked: bool = False   # its A went out
    refused: bool = False  # its R went out
    reason: int = None    # the reason byte of its R (sent or not); None without one
    mtime_ns: int = None  # the time its F carried; None when F had none
    offset: int = None    # the offset its O gave; None when it got no O
    restarted: bool = False  # S came after that O: the file was taken from byte 0
    error: str = ""       # why it failed; "fixed format" when the connection began with FIXED_MAGIC


class Fault(Exception):
    """A fault of the stream: the receiver closes at once."""


class Refusal(Exception):
    """A file refused or not storable: the receiver answers R with the reason."""

    def __init__(self, why, reason=OTHER):
        super().__init__(why)
        self.reason = reason


def refused_name(name):
    parts = name.split(b"\\")
    return not 1 <= len(name) <= MAX_NAME or any(
        p in (b"", b".", b"..") or b"/" in p or b"\0" in p for p in parts)


class Receiver:
    """Listens on 127.0.0.1 and takes batches, each connection in a thread of its own, into
    folder; stores a file only once it is complete, and answers A for it after that.

    A resumable file whose connection drops is kept in self.parts and resumed by a later F of
    the same name, size and tag (hold_part puts one there directly). To see a sender answer a
    hash that does not match with S and the whole file: wrong_hash flips one bit of the hash in
    every O past 0, so a part must be held (from a dropped connection); fake_offset answers every
    resumable F with O at that offset (at most the size) and a hash of random bytes, whatever
    is held, which needs no part and suits a sender whose tag is unknown. In both a message
    other than S after such an O is a fault of the stream, so a file is only stored when the
    whole file followed S; Record.restarted says S came. refuse maps names to a reason byte
    that their R gives (any value, to try a sender on unknown ones)."""

    def __init__(self, key, folder, port=0, timeout=10.0, ephemeral=None, on_stored=None, wrong_hash=False,
                 fake_offset=None, refuse=None):
        self.key, self.folder, self.timeout = key, os.fsencode(folder), timeout
        # What arrived of resumable files whose connection ended, by (name, size, tag).
        self.parts = {}
        self.ephemeral, self.on_stored = ephemeral, on_stored
        self.wrong_hash, self.fake_offset, self.refuse = wrong_hash, fake_offset, dict(refuse or {})
        self.records = []
        self.connections = 0  # connections ended
        self._changed = threading.Condition()
        self._threads = []
        self._stopping = False
        self.listener = socket.create_server(("127.0.0.1", port))
        self.listener.settimeout(0.2)  # so that stop() is noticed
        self.port = self.listener.getsockname()[1]
        self._accepting = threading.Thread(target=self._accept, daemon=True)
        self._accepting.start()

    def hold_part(self, name, size, tag, data):
        """As if a connection carrying file name (size bytes, tag) had dropped after data."""
        self.parts[(bytes(name), size, bytes(tag))] = bytes(data)

    @property
    def fixed_format(self):
        """How many connections began with the unencrypted format's magic."""
        return sum(r.error == "fixed format" for r in self.records)

    def wait(self, count, timeout=30.0):
        """Waits until there are count records; False if there were not in time."""
        with self._changed:
            return self._changed.wait_for(lambda: len(self.records) >= count, timeout)

    def wait_connections(self, count, timeout=30.0):
        """Waits until count connections have ended."""
        with self._changed:
            return self._changed.wait_for(lambda: self.connections >= count, timeout)

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

    def _add(self, record):
        with self._changed:
            self.records.append(record)
            self._changed.notify_all()
        if record.stored and self.on_stored:
            self.on_stored(record)

    def _serve(self, sock):
        try:
            sock.settimeout(self.timeout)
            self._session(sock)
        except Exception as e:  # a peer that broke the handshake oddly
            self._add(Record(error="%s: %s" % (type(e).__name__, e)))
        finally:
            sock.close()
            with self._changed:
                self.connections += 1
                self._changed.notify_all()

    def _session(self, sock):
        magic = read_exact(sock, len(MAGIC))
        if magic != MAGIC:
            self._add(Record(error="fixed format" if magic == FIXED_MAGIC else "bad magic %r" % magic))
            return
        state = handshake_state(False, self.key, self.ephemeral)
        first, why = read_frame(sock)
        if first is None or len(first) != HANDSHAKE_LEN:
            self._add(Record(error="handshake: " + (why or "%d bytes" % len(first))))
            return
        try:
            state.read_message(first, bytearray())
        except DecryptFailedException:
            self._add(Record(error="handshake does not decrypt"))
            return
        reply = bytearray()
        incoming, outgoing = state.write_message(b"", reply)
        sock.sendall(frame(bytes(reply)))
        conn = SecureConnection(sock, outgoing, incoming)
        for number in itertools.count(1):
            message = conn.receive()
            if message is None:  # the sender left between files: nothing is lost
                if conn.error != "closed":
                    self._add(Record(error="between files: " + conn.error))
                return
            if message == QUIT:
                return
            if message[:1] != FILE:
                self._add(Record(error="between files: message %r" % message[:1]))
                return
            record = Record(number=number)
            try:
                self._file(conn, message, record)
            except Fault as e:
                record.error = str(e)
            except (Refusal, OSError) as e:  # OSError: a file it could not make, write or move
                refusal = isinstance(e, Refusal)
                record.error = str(e) if refusal else "%s: %s" % (type(e).__name__, e)
                record.reason = e.reason if refusal else NOT_STORED
                record.refused = conn.send(reply_message(REFUSED, number, record.reason))
                self._add(record)
                self._drain(sock)
                return
            if not record.stored:
                self._add(record)
                return
            record.acked = conn.send(reply_message(ACCEPTED, number))
            self._add(record)

    def _file(self, conn, message, record):
        """Takes one file from its F to its E, written aside and moved into place only when whole."""
        flags = message[9] if len(message) >= 10 else 0
        tag_end = 10 + (16 if flags & RESUMABLE else 0)
        head = tag_end + (8 if flags & TIMED else 0)
        if not head + 1 <= len(message) <= head + MAX_NAME:
            raise Fault("file message of %d bytes" % len(message))
        record.size = struct.unpack("<Q", message[1:9])[0]
        record.name = message[head:]
        if flags & TIMED:
            record.mtime_ns = struct.unpack("<q", message[tag_end:head])[0]
        if record.name in self.refuse:
            raise Refusal("refused on request", self.refuse[record.name])
        if refused_name(record.name):
            raise Refusal("refused name", NAME_REFUSED)
        if flags & ~(RESUMABLE | TIMED):
            raise Refusal("flags %#x" % flags)
        # A resumable file goes on from what an earlier connection left, when
        # name, size and tag all match and the sender's first bytes hash alike.
        key = (record.name, record.size, message[10:tag_end]) if flags & RESUMABLE else None
        held = self.parts.pop(key, b"") if key else b""
        cannot_match = False  # the O's hash is wrong on purpose: only S may follow
        if key:
            if self.fake_offset is not None:
                held, record.offset = b"", min(self.fake_offset, record.size)
                digest = os.urandom(HASH_LEN)
            else:
                record.offset, digest = len(held), prefix_hash(held)
                if self.wrong_hash:
                    digest = bytes([digest[0] ^ 1]) + digest[1:]
            cannot_match = record.offset > 0 and (self.fake_offset is not None or self.wrong_hash)
            if not conn.send(offset_message(record.number, record.offset, digest)):
                raise Fault("O: peer gone")
        may_restart = bool(record.offset)  # S is only right as the first message after an O past 0
        parts = record.name.split(b"\\")
        # Opened so that the umask applies.
        partial = os.path.join(self.folder, b".zeptrix-partial-%d" % threading.get_ident())
        try:
            with open(partial, "xb") as out:
                out.write(held)
                got = len(held)
                while True:
                    piece = conn.receive()
                    if piece is None:
                        if key and conn.error == "closed":
                            out.flush()
                            with open(partial, "rb") as kept:
                                self.parts[key] = kept.read()
                        raise Fault("data: " + conn.error)
                    if piece == RESTART and may_restart:
                        out.seek(0)
                        out.truncate()
                        got, may_restart, cannot_match, record.restarted = 0, False, False, True
                        continue
                    may_restart = False
                    if cannot_match:
                        raise Fault("message %r after an O whose hash cannot match" % piece[:1])
                    if piece == END:
                        break
                    if piece[:1] != DATA or len(piece) == 1:
                        raise Fault("message %r of %d bytes inside a file" % (piece[:1], len(piece)))
                    got += len(piece) - 1
                    if got > record.size:
                        raise Fault("data overran the size")
                    out.write(piece[1:])
            if got != record.size:
                raise Fault("end after %d of %d bytes" % (got, record.size))
            if record.mtime_ns is not None:
                try:
                    os.utime(partial, ns=(os.stat(partial).st_atime_ns, record.mtime_ns))
                except (OSError, OverflowError, ValueError):
                    pass  # a time this system cannot keep: the file is still good
            target = os.path.join(self.folder, *parts)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            os.replace(partial, target)
            partial = None
            record.stored = True
        finally:
            if partial is not None:
                os.unlink(partial)

    def _drain(self, sock):
        """After an R: the sending side shut down, so that the R is not lost to a reset, and what
        still comes read and dropped until the sender closes or goes quiet."""
        try:
            sock.shutdown(socket.SHUT_WR)
            while sock.recv(65536):
                pass
        except OSError:
            pass


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

        def session(what, messages, replies, stored=()):
            """Messages after a good handshake, then a half close: the answers and the files kept."""
            before, count, records = files(), rx.connections, len(rx.records)
            with open_sender("127.0.0.1", rx.port, key) as conn:
                conn.send_raw(b"".join(conn.seal(m) for m in messages))
                half_close(conn.socket)
                got = conn.replies()
            rx.wait_connections(count + 1)
            errors = [r.error for r in rx.records[records:] if r.error][-1:]
            new = sorted(set(files()) - set(before))
            check("%s (%s)" % (what, errors[0] if errors else "-"), got == replies and new == sorted(stored))
            for path in new:
                os.remove(os.path.join(folder, path))

        def rejected(what, attempt):
            before, count = files(), rx.connections
            no_ack = not attempt()
            rx.wait_connections(count + 1)
            last = rx.records[-1] if rx.records else Record(error="no record")
            check("%s (%s)" % (what, last.error), no_ack and files() == before)

        big = os.urandom(200 * 1024)
        batch = [(b"empty.bin", b""), (b"one.bin", b"x"), (b"big.bin", big), (b"photos\\2026\\a.jpg", big[:5000]),
                 (b"pieces.bin", big[:100000], [1, MAX_PIECE, 7])]
        count, connections = len(rx.records), rx.connections
        results = send_files("127.0.0.1", rx.port, key, batch)
        ok = rx.wait_connections(connections + 1) and results == ["A"] * len(batch)
        check("a batch of %d files on one connection" % len(batch), ok and rx.connections == connections + 1 and all(
            holds(os.fsdecode(item[0].replace(b"\\", b"/")), item[1]) for item in batch))
        check("numbered and acknowledged in order", [(r.number, r.name, r.acked) for r in rx.records[count:]]
              == [(n + 1, item[0], True) for n, item in enumerate(batch)])
        many = [(b"many-%03d.bin" % n, b"%d" % n) for n in range(3 * MAX_UNACKNOWLEDGED)]
        check("%d files, at most %d unacknowledged" % (len(many), MAX_UNACKNOWLEDGED),
              send_files("127.0.0.1", rx.port, key, many) == ["A"] * len(many))
        for name, _ in many:
            os.remove(os.path.join(folder, os.fsdecode(name)))

        refusing, reasons = [(b"first.bin", b"1"), (b"..\\second.bin", b"22"), (b"third.bin", b"333")], []
        check("a refused name in the middle: A, R (reason 1), not sent",
              send_files("127.0.0.1", rx.port, key, refusing, reasons=reasons) == ["A", "R", None]
              and reasons == [None, NAME_REFUSED, None]
              and os.path.exists(os.path.join(folder, "first.bin"))
              and not os.path.exists(os.path.join(folder, "third.bin")))
        os.remove(os.path.join(folder, "first.bin"))
        os.mkdir(os.path.join(folder, "taken.bin"))
        reasons, rx.refuse[b"odd.bin"] = [], 9
        check("not storable: reason 2; an unknown reason read as 0", not send(b"taken.bin", b"x", reasons=reasons)
              and not send(b"odd.bin", b"x", reasons=reasons) and reasons == [NOT_STORED, OTHER])
        os.rmdir(os.path.join(folder, "taken.bin"))

        when, connections = 1234567890123456789, rx.connections
        check("the modification time to the nanosecond", send(b"timed.bin", b"t", mtime_ns=when)
              and rx.wait_connections(connections + 1) and rx.records[-1].mtime_ns == when
              and os.stat(os.path.join(folder, "timed.bin")).st_mtime_ns == when)
        os.remove(os.path.join(folder, "timed.bin"))

        tag, data = b"T" * 16, os.urandom(300000)

        def resumed(what, name, kept, offset, again):
            """A connection that drops after offset bytes of kept (or, with kept None, a part
            held already), then one with all of data: S sent exactly when again."""
            connections, restarted = rx.connections, []
            first = resume_file("127.0.0.1", rx.port, key, name, kept, tag, stop_after=offset) if kept else (0, "")
            rx.wait_connections(connections + (1 if kept else 0))
            got = resume_file("127.0.0.1", rx.port, key, name, data, tag, restarted=restarted)
            rx.wait_connections(connections + (2 if kept else 1))
            check(what, first == (0, "") and got == (offset, "A1") and restarted == [again]
                  and rx.records[-1].restarted == again and holds(os.fsdecode(name), data))
            os.remove(os.path.join(folder, os.fsdecode(name)))

        resumed("a resume whose hash matches goes on", b"resumed.bin", data, 100000, False)
        resumed("a part kept of other bytes: S, the whole file", b"altered.bin", os.urandom(len(data)), 100000, True)
        rx.wrong_hash = True
        rx.hold_part(b"held.bin", len(data), tag, data[:5000])
        resumed("a wrong hash on purpose: S, the whole file", b"held.bin", None, 5000, True)
        rx.wrong_hash, rx.fake_offset = False, 1000
        resumed("a fake offset: S, the whole file", b"faked.bin", None, 1000, True)
        session("a fake offset, no S", [file_message(5, b"f.bin", tag=tag), DATA + b"hello", END, QUIT], "O1")
        rx.fake_offset = None
        session("S without an O", [file_message(1, b"s.bin"), RESTART, DATA + b"x", END, QUIT], "")
        session("S after an O of 0", [file_message(1, b"s.bin", tag=tag), RESTART, DATA + b"x", END, QUIT], "O1")
        rx.hold_part(b"s.bin", 2, tag, b"a")
        session("S after data", [file_message(2, b"s.bin", tag=tag), DATA + b"b", RESTART, END, QUIT], "O1")
        rx.hold_part(b"s.bin", 2, tag, b"a")
        session("S twice", [file_message(2, b"s.bin", tag=tag), RESTART, RESTART, DATA + b"ab", END, QUIT], "O1")

        rejected("wrong key", lambda: send(b"w.bin", b"secret", k=wrong))
        session("unknown flags", [file_message(0, b"f.bin", flags=4), END, QUIT], "R1")
        session("files after the quit", [*file_messages(b"a.bin", b"a"), QUIT, *file_messages(b"b.bin", b"b")],
                "A1", ["a.bin"])
        session("data before a file", [DATA + b"x", *file_messages(b"a.bin", b"")], "")
        session("a file inside a file", [file_message(1, b"a.bin"), *file_messages(b"b.bin", b"")], "")
        session("an empty data message", [file_message(3, b"e.bin"), DATA, DATA + b"abc", END], "")
        session("short data", [file_message(100, b"s.bin"), DATA + b"abc", END], "")
        session("overrun", [file_message(3, b"o.bin"), DATA + b"abcd", END], "")
        session("an end with more", [file_message(0, b"e.bin"), END + b"!"], "")
        session("a second file spoilt", [*file_messages(b"a.bin", b"a"), file_message(1, b"b.bin"), QUIT],
                "A1", ["a.bin"])

        def tampered():
            with open_sender("127.0.0.1", rx.port, key) as conn:
                opening = conn.seal(file_message(5, b"t.bin"))
                sealed = bytearray(conn.seal(DATA + b"hello"))
                sealed[7] ^= 1
                conn.send_raw(opening + bytes(sealed) + conn.seal(END))
                half_close(conn.socket)
                return conn.replies()
        rejected("tampered data message", tampered)

        recorded, connections = bytearray(), rx.connections
        send(b"replayed.bin", b"once", record=recorded)
        rx.wait_connections(connections + 1)
        os.remove(os.path.join(folder, "replayed.bin"))

        def replay():
            with socket.create_connection(("127.0.0.1", rx.port), timeout=10) as s:
                s.sendall(recorded)
                # The handshake reply comes back; anything after it would be an acknowledgement.
                return read_exact(s, 2 + HANDSHAKE_LEN + 1)
        rejected("replayed transfer", replay)

        connections, reasons = rx.connections, []
        opened = [open_sender("127.0.0.1", rx.port, key, tamper=flip("handshake", i), failure=reasons)
                  for i in range(HANDSHAKE_LEN)]
        check("each handshake byte flipped", opened == [None] * HANDSHAKE_LEN and set(reasons) == {"closed"}
              and rx.wait_connections(connections + HANDSHAKE_LEN))

        connections = rx.connections
        for old in OLD_MAGICS:
            with socket.create_connection(("127.0.0.1", rx.port), timeout=10) as s:
                s.sendall(old + b"\0" * 50)
                check("the earlier magic %s: closed, nothing sent back" % old.decode(), read_exact(s, 1) is None)
        with socket.create_connection(("127.0.0.1", rx.port), timeout=10) as s:
            s.sendall(FIXED_MAGIC + b"\0" * 16)
            check("fixed format noticed, nothing sent back", read_exact(s, 1) is None)
        check("fixed format recorded", rx.wait_connections(connections + 1 + len(OLD_MAGICS)) and rx.fixed_format == 1)
        check("nothing left aside", not [f for f in files() if ".zeptrix-" in f])
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
    receive.add_argument("--wrong-hash", action="store_true",
                         help="every O past 0 carries a hash with one bit flipped")
    receive.add_argument("--fake-offset", type=int, metavar="N",
                         help="every resumable file gets O at N (at most its size) and a hash that cannot match")
    commands.add_parser("selftest")
    args = parser.parse_args()

    if args.command == "selftest":
        return selftest()
    key = group_key(read_secret(args.secret_file))
    if args.command == "send":
        batch, reasons = [], []
        for path in args.files:
            with open(path, "rb") as f:
                batch.append((os.fsencode(os.path.basename(path)), f.read(), None, os.stat(f.fileno()).st_mtime_ns))
        results = send_files(args.host, args.port, key, batch, reasons=reasons)
        for (name, data, _, _), result, reason in zip(batch, results, reasons):
            print("%s %s %d" % ({"A": "acknowledged", "R": "refused"}.get(result, "failed"), show(name), len(data))
                  + (" reason %d" % reason if result == "R" else ""), flush=True)
        return 0 if results == ["A"] * len(batch) else 1

    def stored(record):
        if record.restarted:
            print("restarted %s at %d" % (show(record.name), record.offset), flush=True)
        print("stored %s %d" % (show(record.name), record.size), flush=True)
    Receiver(key, args.dir, port=args.port, on_stored=stored, wrong_hash=args.wrong_hash, fake_offset=args.fake_offset)
    while True:
        time.sleep(3600)


if __name__ == "__main__":
    sys.exit(main())
