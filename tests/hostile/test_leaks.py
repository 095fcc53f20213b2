"""Resources of a running receiver before and after 1,000 transfers, mixed
successes and failures: descriptors and memory of the console peer
(natively, and a smaller run under valgrind), and the Windows handle count,
Unix descriptors and memory of Zeptrix.exe under Wine."""
import os
import re
import socket
import subprocess
import threading
import time
import unittest

from peers import (MARK, ConsoleReceiver, ProgramReceiver, fd_count, harness, rss_kb, talk, u32,
                   wire)

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


def run_transfers(port, first, count):
    stored, errors = [], []
    lock = threading.Lock()

    def work(offset):
        for i in range(first + offset, first + count, WORKERS):
            try:
                name = one_transfer(port, i)
            except Exception as e:  # noqa: BLE001 - reported below
                with lock:
                    errors.append("%d: %r" % (i, e))
                continue
            if name:
                with lock:
                    stored.append(name)

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
    def mixed_run(self, receiver, first, count):
        stored, errors = run_transfers(receiver.port, first, count)
        self.assertEqual(errors, [])
        self.assertTrue(receiver.alive())
        self.assertEqual(sorted(os.listdir(receiver.dest)), sorted(stored))
        for n in stored:
            os.remove(os.path.join(receiver.dest, n))
        return len(stored)


class ConsoleLeaks(LeakCheck):
    def test_descriptors_and_memory_after_1000_transfers(self):
        r = ConsoleReceiver()
        try:
            self.mixed_run(r, 0, 200)  # warm-up: thread stacks, allocator arenas
            fds_before = settle(lambda: fd_count(r.pid))
            rss_before = rss_kb(r.pid)
            stored = self.mixed_run(r, 200, 1000)
            fds_after = settle(lambda: fd_count(r.pid))
            rss_after = rss_kb(r.pid)
            print("\nconsole peer, 1000 transfers (%d stored): descriptors %d -> %d, RSS %d -> %d KiB"
                  % (stored, fds_before, fds_after, rss_before, rss_after))
            self.assertEqual(fds_after, fds_before)
            self.assertLess(rss_after - rss_before, 1024, "memory grew by more than 1 MiB")
        finally:
            r.stop()

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
        display = harness.Display()
        r = ProgramReceiver(display)
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

            self.mixed_run(r, 0, 200)
            handles_before, fds_before = settle(measure)
            rss_before = rss_kb(r.pid)

            # The measure sees what the program holds: ten silent peers raise it.
            held = [socket.create_connection(("127.0.0.1", r.port)) for _ in range(10)]
            harness.wait_for(lambda: handles() >= handles_before + 10, timeout=20,
                             what="ten held connections to show in the handle count")
            for s in held:
                s.close()
            settle(measure)

            stored = self.mixed_run(r, 200, 1000)
            handles_after, fds_after = settle(measure)
            rss_after = rss_kb(r.pid)
            print("\nZeptrix.exe, 1000 transfers (%d stored): handles %d -> %d, process descriptors "
                  "%d -> %d, RSS %d -> %d KiB" % (stored, handles_before, handles_after, fds_before,
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
