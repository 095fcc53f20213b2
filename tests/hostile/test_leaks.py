"""Resources of a running receiver before and after 1,000 transfers, mixed
successes and failures, in the fixed format and as secure sessions:
descriptors and memory of the console peer (natively, and a smaller run of
the fixed format under valgrind), and the Windows handle count, Unix
descriptors and memory of Zeptrix.exe under Wine."""
import os
import re
import socket
import subprocess
import sys
import threading
import time
import unittest

from peers import (MARK, ROOT, ConsoleReceiver, ProgramReceiver, fd_count, harness, rss_kb, talk, u32,
                   wire)

sys.path.insert(0, os.path.join(ROOT, "tests", "crypto"))

import secure_peer  # noqa: E402
from secure_peer import DATA, END, QUIT, file_message, file_messages  # noqa: E402

WORKERS = 4


def pattern(size, seed):
    return bytes((i * 7 + seed) % 256 for i in range(size))


def one_transfer(port, i):
    """Transfer number i of a fixed mix; returns the name it stored, or None."""
    kind = i % 8
    name = b"leak-%d.bin" % i
    data = pattern((i * 997) % 30000, i)
    if kind in (0, 1, 2):
        assert talk(port, wire(name, data, key=32 + i % 200)) == MARK, "transfer %d not stored" % i
        return name.decode()
    bad = {
        3: b"zeptrixv1.1" + wire(name, data)[11:],                      # wrong magic
        4: wire(name, data)[:23 + len(name) + len(data) // 2],        # cut in the data
        5: wire(b"../" + name, data),                                 # a path for a name
        6: wire(name, data, mark=b"zeptrix**ok*?"),                   # closing mark wrong
        7: b"zeptrixv1.0" + u32(1) + u32(0xFFFFFFFF) + b"x" * 64,     # absurd name length
    }[kind]
    assert talk(port, bad) == b"", "failing transfer %d was answered" % i
    return None


SECRET = "leak checks share this secret"
KEY = secure_peer.group_key(SECRET.encode())
WRONG_KEY = secure_peer.group_key(b"leak checks know another secret")


def one_session(port, i):
    """Secure session number i of a fixed mix; returns the names it stored."""
    kind = i % 8
    names = [b"leak-%d-%d.bin" % (i, n) for n in range(3)]
    data = pattern((i * 997) % 30000, i)
    if kind in (0, 1, 2):
        batch = [(names[0], data), (names[1], data[:100])]
        assert secure_peer.send_files("127.0.0.1", port, KEY, batch) == ["A", "A"], "session %d not stored" % i
        return [n.decode() for n in names[:2]]
    if kind == 3:  # a name refused in the middle: R, then the receiver drains
        batch = [(names[0], data), (b"..\\" + names[1], data), (names[2], data)]
        assert secure_peer.send_files("127.0.0.1", port, KEY, batch) == ["A", "R", None], "session %d" % i
        return [names[0].decode()]
    if kind == 4:  # the wrong key
        assert secure_peer.send_files("127.0.0.1", port, WRONG_KEY, [(names[0], data)]) == [None]
        return []
    conn = secure_peer.open_sender("127.0.0.1", port, KEY)
    assert conn is not None, "session %d: no handshake" % i
    with conn:
        if kind == 5:  # a data message altered, the file under way
            sealed = bytearray(conn.seal(file_message(len(data) + 1, names[0])) + conn.seal(DATA + b"x" + data))
            sealed[-3] ^= 1
            conn.send_raw(bytes(sealed) + conn.seal(END))
        elif kind == 6:  # cut in the data of the second file
            conn.send(*file_messages(names[0], data), file_message(len(data) + 10, names[1]), DATA + data)
        else:  # an unknown type after a file
            conn.send(*file_messages(names[0], data), b"X", QUIT)
        secure_peer.half_close(conn.socket)
        replies = conn.replies()
    assert replies == ("" if kind == 5 else "A1"), "session %d answered %r" % (i, replies)
    return [] if kind == 5 else [names[0].decode()]


def run_transfers(port, first, count, one=None):
    stored, errors = [], []
    lock = threading.Lock()

    def work(offset):
        for i in range(first + offset, first + count, WORKERS):
            try:
                names = (one or one_transfer)(port, i)
            except Exception as e:  # noqa: BLE001 - reported below
                with lock:
                    errors.append("%d: %r" % (i, e))
                continue
            if names:
                with lock:
                    stored.extend([names] if isinstance(names, str) else names)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(WORKERS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return stored, errors


def settle(measure, seconds=10.0):
    """The measure once it has stopped changing (tasks end shortly after
    their peers see the connection close)."""
    last, same_since, deadline = measure(), time.time(), time.time() + seconds
    while time.time() < deadline:
        time.sleep(0.2)
        now = measure()
        if now != last:
            last, same_since = now, time.time()
        elif time.time() - same_since > 1.0:
            break
    return last


class LeakCheck(unittest.TestCase):
    def mixed_run(self, receiver, first, count, one=None):
        stored, errors = run_transfers(receiver.port, first, count, one)
        self.assertEqual(errors, [])
        self.assertTrue(receiver.alive())
        self.assertEqual(sorted(os.listdir(receiver.dest)), sorted(stored))
        for n in stored:
            os.remove(os.path.join(receiver.dest, n))
        return len(stored)


class ConsoleLeaks(LeakCheck):
    def check_console(self, what, one=None, secret=None):
        r = ConsoleReceiver(secret=secret)
        try:
            self.mixed_run(r, 0, 200, one)  # warm-up: thread stacks, allocator arenas
            fds_before = settle(lambda: fd_count(r.pid))
            rss_before = rss_kb(r.pid)
            stored = self.mixed_run(r, 200, 1000, one)
            fds_after = settle(lambda: fd_count(r.pid))
            rss_after = rss_kb(r.pid)
            print("\nconsole peer, 1000 %s (%d files stored): descriptors %d -> %d, RSS %d -> %d KiB"
                  % (what, stored, fds_before, fds_after, rss_before, rss_after))
            self.assertEqual(fds_after, fds_before)
            self.assertLess(rss_after - rss_before, 1024, "memory grew by more than 1 MiB")
        finally:
            r.stop()

    def test_descriptors_and_memory_after_1000_transfers(self):
        self.check_console("transfers")

    def test_descriptors_and_memory_after_1000_secure_sessions(self):
        self.check_console("secure sessions", one_session, SECRET)

    def test_valgrind_finds_no_leak(self):
        log = os.path.join(harness.BUILD, "leak", "valgrind.log")
        os.makedirs(os.path.dirname(log), exist_ok=True)
        r = ConsoleReceiver(wrapper=["valgrind", "--leak-check=full", "--errors-for-leak-kinds=definite",
                                     "--log-file=" + log])
        try:
            self.mixed_run(r, 0, 120)
        finally:
            r.stop()
        with open(log) as f:
            text = f.read()
        summary = re.search(r"definitely lost: ([\d,]+) bytes", text)
        indirect = re.search(r"indirectly lost: ([\d,]+) bytes", text)
        errors = re.search(r"ERROR SUMMARY: (\d+) errors", text)
        print("\nvalgrind, 120 transfers: %s; %s; %s" % (
            summary.group(0) if summary else "no leak summary (nothing allocated is left)",
            indirect.group(0) if indirect else "-", errors.group(0) if errors else "-"))
        self.assertIsNotNone(errors, "valgrind wrote no summary")
        self.assertEqual(errors.group(1), "0", text[-3000:])
        if summary:
            self.assertEqual(summary.group(1), "0")
        if indirect:
            self.assertEqual(indirect.group(1), "0")


def handle_counter(build):
    """A small Windows program that counts a process's handles through the
    system handle table; built once with the MinGW compiler."""
    exe = os.path.join(harness.BUILD, "leak", "handle_count-%s.exe" % build)
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "handle_count.c")
    if not os.path.exists(exe) or os.path.getmtime(exe) < os.path.getmtime(source):
        os.makedirs(os.path.dirname(exe), exist_ok=True)
        compiler = "i686-w64-mingw32-gcc" if build == "windows" else "x86_64-w64-mingw32-gcc"
        subprocess.run([compiler, "-O2", "-Wall", "-static", "-o", exe, source], check=True)
    return exe


class ProgramLeaks(LeakCheck):
    def test_handles_descriptors_and_memory_after_1000_transfers(self):
        self.check_program("transfers")

    def test_handles_descriptors_and_memory_after_1000_secure_sessions(self):
        # Wine's heap keeps growing its segments for the sessions' blocks
        # (two of about 320 KiB each, four sessions at a time) for about a
        # thousand sessions and then stays put: a leak would go on growing.
        self.check_program("secure sessions", one_session, SECRET, warm_up=1000)

    def check_program(self, what, one=None, secret=None, warm_up=200):
        display = harness.Display()
        r = ProgramReceiver(display, secret=secret)
        try:
            build = r.program.build
            counter = handle_counter(build)
            env = dict(display.env(), WINEPREFIX=harness.wine_prefix(build), WINEDEBUG="-all")

            def handles():
                out = subprocess.run([harness.wine_loader(build), counter,
                                      harness.windows_path(r.program.exe)], env=env,
                                     capture_output=True, text=True, timeout=60)
                self.assertEqual(out.returncode, 0, out.stderr[-500:])
                return int(out.stdout.split()[-1])

            def measure():
                return handles(), fd_count(r.pid)

            # The measure sees what the program holds: ten silent peers raise it.
            baseline = settle(handles)
            held = [socket.create_connection(("127.0.0.1", r.port)) for _ in range(10)]
            harness.wait_for(lambda: handles() >= baseline + 10, timeout=20,
                             what="ten held connections to show in the handle count")
            for s in held:
                s.close()

            # Warmed up after the held peers, whose tasks ran side by side and
            # shaped the heap: its segments settle before the measure begins.
            self.mixed_run(r, 0, warm_up, one)
            handles_before, fds_before = settle(measure)
            rss_before = rss_kb(r.pid)

            stored = self.mixed_run(r, warm_up, 1000, one)
            handles_after, fds_after = settle(measure)
            rss_after = rss_kb(r.pid)
            print("\nZeptrix.exe, 1000 %s (%d files stored): handles %d -> %d, process descriptors "
                  "%d -> %d, RSS %d -> %d KiB" % (what, stored, handles_before, handles_after, fds_before,
                                                  fds_after, rss_before, rss_after))
            self.assertEqual(handles_after, handles_before)
            self.assertEqual(fds_after, fds_before)
            self.assertLess(rss_after - rss_before, 2048, "memory grew by more than 2 MiB")
            self.assertEqual(r.program.message_boxes(), [])
        finally:
            r.stop()
            display.close()


if __name__ == "__main__":
    unittest.main()
