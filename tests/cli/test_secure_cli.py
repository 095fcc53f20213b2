"""zeptrix-cli with a shared secret: its options, transfers between two
copies, and transfers both ways with an implementation of the secure format
we did not write the cryptography of (dissononce and argon2-cffi)."""
import hashlib
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from test_cli import BUILD, CLI, CliTest, listing, run  # puts the harness on the path
from harness import free_port, port_open, wait_for  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "crypto"))
import secure_peer  # noqa: E402

SECRET = "Correct Horse Battery Staple 42"


def key():
    return secure_peer.group_key(SECRET.lower().encode())


class SecureCli(CliTest):
    def setUp(self):
        super().setUp()
        self.secret_file = self.text_file("secret.txt", SECRET + "  \n")

    def text_file(self, name, text):
        path = os.path.join(self.files, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def data_file(self, name, data):
        path = os.path.join(self.files, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path


class SecretOptions(SecureCli):
    def test_where_a_secret_comes_from_and_what_is_refused(self):
        usage = run("--help")
        self.assertEqual(usage.returncode, 0)
        self.assertIn("--secret-file", usage.stdout)
        self.assertIn("never", usage.stdout)
        self.assertIn("command line", usage.stdout)

        for given in (["--secret", SECRET], ["--secret=" + SECRET], ["-secret", SECRET]):
            result = run(*(given + ["send", "127.0.0.1:9", self.secret_file]))
            self.assertEqual(result.returncode, 2)
            self.assertIn("not taken from the command line", result.stderr)
            self.assertNotIn(SECRET, result.stderr)

        short_file = self.text_file("short.txt", "fifteen letters\n")
        short_config = self.text_file("short.cfg", "secret fifteen letters   \n")
        empty_file = self.text_file("empty.txt", "\n")
        for label, args in [("secret file", ["--secret-file", short_file]),
                            ("settings file", ["--config", short_config]),
                            ("empty secret file", ["--secret-file", empty_file])]:
            for verb in (["send", "127.0.0.1:9", self.secret_file], ["receive", "--port", "9"]):
                with self.subTest(label=label, verb=verb[0]):
                    result = run(*(args + verb))
                    self.assertEqual(result.returncode, 2)
                    self.assertEqual(result.stderr, "secret too short: at least 16 characters\n")

        missing = run("--secret-file", os.path.join(self.files, "nowhere"), "receive")
        self.assertEqual(missing.returncode, 2)
        self.assertIn("cannot read", missing.stderr)


class BetweenConsolePeers(SecureCli):
    def test_files_and_a_folder_arrive_under_the_secret_from_either_source(self):
        # The receiver takes it from a settings line, the sender from a file:
        # letter case and trailing blanks do not matter in either.
        config = self.text_file("Zeptrix.cfg", "; shared by both\nSecret   %s   \n" % SECRET.upper())
        r = self.receiver("--config", config, "--dir", tempfile.mkdtemp(prefix="cli-recv-"))
        sizes = {"empty.bin": 0, "one.bin": 1, "full.bin": 65518, "over.bin": 65519,
                 "large.bin": 3 * 1024 * 1024 + 7}
        paths = [self.data_file(n, os.urandom(s)) for n, s in sorted(sizes.items())]
        nested = self.data_file(os.path.join("album", "2026", "b.jpg"), os.urandom(70000))
        # Files keep their time, to the nanosecond, before 1970 too.
        times = [1234567890123456789 + 1000 * n for n in range(len(paths))] + [-86400 * 10**9 - 1]
        for path, ns in zip(paths + [nested], times):
            os.utime(path, ns=(ns, ns))
        sent = run("--secret-file", self.secret_file, "send", "127.0.0.1:%d" % r.port, *paths,
                   os.path.join(self.files, "album"))
        self.assertEqual(sent.returncode, 0, sent.stderr)
        self.assertIn("sent 6 files", sent.stderr)
        folder = r.process.args[r.process.args.index("--dir") + 1]
        code, out, _ = r.stop()
        self.assertEqual(code, 0)
        arrived = [os.path.join(folder, os.path.basename(path)) for path in paths]
        arrived.append(os.path.join(folder, "album", "2026", "b.jpg"))
        for path, there, ns in zip(paths + [nested], arrived, times):
            self.assert_same(path, there)
            self.assertEqual(os.stat(there).st_mtime_ns, ns, there)
        self.assertIn("stored album/2026/b.jpg (68.4 KiB)", out)

    def test_names_in_every_language_arrive_as_utf_8(self):
        from names_table import make_named_files, names
        rows = names()
        paths = make_named_files(self.files, rows)
        r = self.receiver("--secret-file", self.secret_file)
        sent = run("--secret-file", self.secret_file, "send", "127.0.0.1:%d" % r.port, *paths)
        self.assertEqual(sent.returncode, 0, sent.stderr)
        r.stop()
        self.assertEqual(sorted(os.listdir(os.fsencode(r.folder))), sorted(row.name.encode() for row in rows))
        for row, path in zip(rows, paths):
            with self.subTest(row.label):
                self.assert_same(path, os.path.join(r.folder, row.name))

    def test_a_name_that_is_no_utf_8_is_not_sent(self):
        odd = self.data_file("caf\udce9.txt", b"Latin-1 bytes in a Linux name")
        good = self.data_file("good.txt", b"after it")
        r = self.receiver("--secret-file", self.secret_file)
        sent = run("--secret-file", self.secret_file, "send", "127.0.0.1:%d" % r.port, odd, good)
        self.assertEqual(sent.returncode, 1)
        self.assertIn("error reading caf", sent.stderr)
        r.stop()
        self.assertEqual(listing(r.folder), ["good.txt"])

    def test_copies_with_and_without_a_secret_do_not_talk(self):
        data = self.data_file("a.txt", b"contents")
        handshake = "the handshake failed: the receiver has another secret, or none"
        for label, receiver_args, sender_args, why in [
                ("fixed-format sender", ["--secret-file", self.secret_file], [],
                 "the receiver did not acknowledge the file: it refused the name, could not store the file, or has"
                 " a secret"),
                ("sender with a secret", [], ["--secret-file", self.secret_file], handshake),
                ("another secret", ["--secret-file", self.text_file("other.txt", "another secret, long")],
                 ["--secret-file", self.secret_file], handshake)]:
            with self.subTest(label):
                r = self.receiver(*receiver_args)
                sent = run(*(sender_args + ["send", "127.0.0.1:%d" % r.port, data]))
                self.assertEqual(sent.returncode, 1)
                self.assertIn("send of a.txt to 127.0.0.1:%d failed!\n%s\n" % (r.port, why), sent.stderr)
                code, out, _ = r.stop()
                self.assertEqual(listing(r.folder), [])
                self.assertEqual(out, "", "the receiver shows nothing of a failed transfer")

    def test_the_access_lists_still_come_first(self):
        data = self.data_file("a.txt", b"contents")
        refusing = self.receiver("--secret-file", self.secret_file, "--accept", "10.1.2.3")
        admitting = self.receiver("--secret-file", self.secret_file, "--accept", "127.0.0.*")
        for r, admitted in ((refusing, False), (admitting, True)):
            sent = run("--secret-file", self.secret_file, "send", "127.0.0.1:%d" % r.port, data)
            self.assertEqual(sent.returncode, 0 if admitted else 1, sent.stderr)
            r.stop()
            self.assertEqual(listing(r.folder), ["a.txt"] if admitted else [])

    def test_a_file_over_4_gib_arrives_whole(self):
        # Sparse at the sender: 4 GiB of holes with data at both ends and
        # across the 4 GiB mark; the receiver writes it all.
        size = 4 * 1024 ** 3 + 12 * 1024
        path = os.path.join(self.files, "disk.img")
        with open(path, "wb") as f:
            f.write(os.urandom(4096))
            f.seek(2 ** 32 - 3000)
            f.write(os.urandom(6000))
            f.truncate(size)
            f.seek(size - 5000)
            f.write(os.urandom(5000))
        # The optimised build when there is one: the sanitised one would
        # take minutes for 4 GiB.
        release = os.path.join(BUILD, "release", "cli", "zeptrix-cli")
        cli = release if os.path.exists(release) else CLI
        out_folder = tempfile.mkdtemp(prefix="cli-4gib-")
        try:
            r = BuildReceiver(cli, ["--secret-file", self.secret_file, "receive", "--dir", out_folder])
            self.receivers.append(r)
            sent = subprocess.run([cli, "--secret-file", self.secret_file, "send", "127.0.0.1:%d" % r.port, path],
                                  capture_output=True, text=True, timeout=900)
            self.assertEqual(sent.returncode, 0, sent.stderr)
            code, out, _ = r.stop()
            self.assertIn("stored disk.img (4.0 GiB)", out)
            arrived = os.path.join(out_folder, "disk.img")
            self.assertEqual(os.path.getsize(arrived), size)
            self.assertEqual(file_hash(arrived), file_hash(path))
        finally:
            shutil.rmtree(out_folder, ignore_errors=True)

    def test_the_fixed_format_keeps_its_4_gib_limit(self):
        path = os.path.join(self.files, "big.img")
        with open(path, "wb") as f:
            f.truncate(2 ** 32)
        r = self.receiver()
        sent = run("send", "127.0.0.1:%d" % r.port, path)
        self.assertEqual(sent.returncode, 1)
        self.assertIn("error reading big.img", sent.stderr)
        r.stop()
        self.assertEqual(listing(r.folder), [])


class BuildReceiver:
    """A receiver of the given build, with test_cli.Receiver's interface."""

    def __init__(self, cli, args):
        self.port = free_port()
        self.process = subprocess.Popen([cli] + args + ["--port", str(self.port)], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        wait_for(lambda: port_open(self.port) or self.process.poll() is not None, what="the receiver")

    def stop(self, timeout=60):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        out, err = self.process.communicate(timeout=timeout)
        return self.process.returncode, out.decode("latin-1"), err.decode("latin-1")

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.communicate()


def file_hash(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


class CuttingRelay:
    """A TCP relay on loopback that passes the sender's first cut_after bytes
    on and no more; once the receiver's first answered bytes have come back
    through it, it cuts the connection: the receiver's side is closed, the
    sender's side is ended with a close of its own and what the sender still
    writes is read and dropped (so no reset can overtake the answers). It
    takes one connection: the sender's tries to connect again are refused."""

    def __init__(self, target_port, cut_after, answered):
        self.target_port, self.cut_after, self.answered = target_port, cut_after, answered
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        self.forwarded = 0
        self.cut = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        client, _ = self.server.accept()
        self.server.close()
        upstream = socket.create_connection(("127.0.0.1", self.target_port))
        back = threading.Thread(target=self._answers, args=(upstream, client), daemon=True)
        back.start()
        while self.forwarded < self.cut_after:
            data = client.recv(min(65536, self.cut_after - self.forwarded))
            if not data:
                break
            upstream.sendall(data)
            self.forwarded += len(data)
        back.join(60)
        upstream.close()
        secure_peer.half_close(client)
        client.settimeout(60)
        try:
            while client.recv(65536):
                pass
        except OSError:
            pass
        client.close()
        self.cut.set()

    def _answers(self, upstream, client):
        passed = 0
        while passed < self.answered:
            data = upstream.recv(self.answered - passed)
            if not data:
                return
            client.sendall(data)
            passed += len(data)

    def close(self):
        self.server.close()


def sealed_size(plaintext_size):
    return 2 + plaintext_size + 16


def file_on_the_wire(name, size):
    """Bytes of one file's F, D and E messages, as the console peer cuts its data."""
    pieces = [secure_peer.MAX_PIECE] * (size // secure_peer.MAX_PIECE) + [size % secure_peer.MAX_PIECE]
    return (sealed_size(len(secure_peer.file_message(size, name))) + sum(sealed_size(1 + p) for p in pieces if p)
            + sealed_size(1))


class CutConnection(SecureCli):
    def test_a_batch_cut_after_its_second_file_keeps_two_and_reports_the_third(self):
        r = self.receiver("--secret-file", self.secret_file)
        size = 2 * secure_peer.MAX_PIECE + 100
        paths = [self.data_file("file-%d.bin" % n, os.urandom(size)) for n in range(1, 6)]
        # Through the second file's end, then the third's file message, its
        # first data message and part of its second: a file under way.
        opening = len(secure_peer.MAGIC) + 2 + secure_peer.HANDSHAKE_LEN
        third = file_on_the_wire(b"file-3.bin", size)
        cut_after = (opening + file_on_the_wire(b"file-1.bin", size) + file_on_the_wire(b"file-2.bin", size)
                     + sealed_size(len(secure_peer.file_message(size, b"file-3.bin")))
                     + sealed_size(1 + secure_peer.MAX_PIECE) + 1000)
        self.assertLess(cut_after, opening + 2 * file_on_the_wire(b"file-1.bin", size) + third)
        # The handshake's reply, then A1 and A2.
        relay = CuttingRelay(r.port, cut_after, 2 + secure_peer.HANDSHAKE_LEN + 2 * sealed_size(5))
        self.addCleanup(relay.close)
        sent = run("--secret-file", self.secret_file, "send", "127.0.0.1:%d" % relay.port, *paths, timeout=120,
                   env={"ZEPTRIX_RECONNECT_UNIT_MS": "10"})
        self.assertTrue(relay.cut.wait(60), "the relay never cut")
        self.assertEqual(relay.forwarded, cut_after)
        self.assertEqual(sent.returncode, 1, sent.stderr)
        # Five tries to connect again, each refused, then the failure.
        tries = [line for line in sent.stderr.splitlines() if line.startswith("connection lost")]
        self.assertEqual(tries, ["connection lost; trying again in %d s (%d of 5)" % (1 << n, n + 1)
                                 for n in range(5)])
        self.assertIn("send of file-3.bin to 127.0.0.1:%d failed!" % relay.port, sent.stderr)
        for later in ("file-1.bin", "file-2.bin", "file-4.bin", "file-5.bin"):
            self.assertNotIn("send of %s " % later, sent.stderr)
        # Two in place, nothing of the third: no temporary file, no part.
        wait_for(lambda: listing(r.folder) == ["file-1.bin", "file-2.bin"], timeout=20,
                 what="only the two delivered files in the receiver's folder, not %r" % listing(r.folder))
        for path in paths[:2]:
            self.assert_same(path, os.path.join(r.folder, os.path.basename(path)))
        self.assertIsNone(r.process.poll(), "the receiver goes on")
        code, out, _ = r.stop()
        self.assertEqual(code, 0)
        self.assertEqual(out.splitlines(), ["stored file-1.bin (128.1 KiB)", "stored file-2.bin (128.1 KiB)",
                                            "refused file-3.bin"])


PROXY = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                     "bench", "delay_proxy.py")


class Proxy:
    """bench/delay_proxy.py between sender and receiver: it cuts or flips as told and reports
    each connection's bytes; on_line is called with each report as it comes."""

    def __init__(self, target_port, *options, on_line=None):
        self.port = free_port()
        self.process = subprocess.Popen([sys.executable, PROXY, str(self.port), str(target_port)]
                                        + list(options), stdout=subprocess.PIPE, text=True)
        self.assert_ready = self.process.stdout.readline() == "ready\n"
        self.lines = []
        self.on_line = on_line
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line.strip())
            if self.on_line:
                self.on_line(line)

    def bytes_up(self):
        """What crossed towards the receiver, by connection."""
        return [int(line.split()[2]) for line in self.lines if "bytes up" in line]

    def close(self):
        self.process.kill()
        self.process.wait()
        self.process.stdout.close()


class ResumeAfterCuts(SecureCli):
    SIZE = 40 << 20

    def test_a_cut_file_goes_on_where_it_stopped(self):
        def change_file(test, path, receiver):
            # Written beforehand and put in place at once, so the next try
            # reads either file whole.
            os.replace(path + ".new", path)
            return receiver

        def damage_part(how):
            """At the cut, once the receiver has kept the part, it is altered on the disk as a
            failing disk or a crash could leave it: the next try must not trust it."""
            def act(test, path, receiver):
                parts = os.path.join(receiver.folder, ".zeptrix-parts")
                sizes = [0]

                def kept():
                    names = os.listdir(parts) if os.path.isdir(parts) else []
                    sizes.append(os.path.getsize(os.path.join(parts, names[0])) if len(names) == 1 else 0)
                    return sizes[-1] > 0 and sizes[-1] == sizes[-2]
                wait_for(kept, timeout=10, what="the part kept")
                with open(os.path.join(parts, os.listdir(parts)[0]), "r+b") as part:
                    how(part, sizes[-1])
                return receiver
            return act

        def flip_middle(part, size):
            part.seek(size // 2)
            byte = part.read(1)
            part.seek(size // 2)
            part.write(bytes([byte[0] ^ 0x20]))

        def zero_tail(part, size):
            part.seek(size - 4096)
            part.write(bytes(4096))

        def lengthen(part, size):
            part.seek(size)
            part.write(os.urandom(5000))

        def restart_receiver(test, path, receiver):
            receiver.process.kill()
            receiver.process.communicate()
            return test.receiver("--secret-file", test.secret_file, port=receiver.port, folder=receiver.folder)

        rows = [
            # label, proxy options, tries, what happens at the first cut, the most bytes
            # through the proxy in file sizes, the least the last connection carries, parts left
            ("cut once", ["--cut", "12000000"], 1, None, 1.1, 0, 0),
            ("cut twice", ["--cut", "12000000,12000000"], 2, None, 1.1, 0, 0),
            # The old connection stays open and silent at the receiver: the next one
            # shuts it down and goes on from its part.
            ("the receiver never hears of the cut", ["--cut", "12000000", "--silent-server"], 1, None, 1.1, 0, 0),
            ("receiver stopped and started between the tries", ["--cut", "12000000"], 1, restart_receiver,
             1.1, 0, 0),
            # The file's tag changes with it: the part is replaced, and the new file goes whole.
            ("file changed between the tries", ["--cut", "12000000"], 1, change_file, 1.5, self.SIZE, 0),
            # A part that doesn't hold what was sent is found out by its hash: the sender
            # answers S and the whole file goes again.
            ("a byte flipped in the kept part", ["--cut", "12000000"], 1, damage_part(flip_middle), 2.1,
             self.SIZE, 0),
            ("the kept part's tail zeroed", ["--cut", "12000000"], 1, damage_part(zero_tail), 2.1, self.SIZE, 0),
            ("the kept part longer than what was sent", ["--cut", "12000000"], 1, damage_part(lengthen), 2.1,
             self.SIZE, 0),
            # A fault after the resume: the receiver drops the part; the next try goes whole.
            # The second connection may carry all the rest before the sender sees it closed.
            ("a bit flipped after the resume", ["--cut", "12000000", "--flip", "2:5000000"], 2, None, 2.1,
             self.SIZE, 0),
        ]
        for label, options, tries, at_cut, most, last_least, parts_left in rows:
            with self.subTest(label):
                r = self.receiver("--secret-file", self.secret_file)
                path = self.data_file("big-%d.bin" % len(self.receivers), os.urandom(self.SIZE))
                self.data_file(os.path.basename(path) + ".new", os.urandom(self.SIZE))
                cut = threading.Event()
                proxy = Proxy(r.port, *options, on_line=lambda line: ", cut" in line and cut.set())
                self.addCleanup(proxy.close)
                self.assertTrue(proxy.assert_ready)
                holder = {"receiver": r}

                def act():
                    if cut.wait(60):
                        holder["receiver"] = at_cut(self, path, r)
                acting = threading.Thread(target=act, daemon=True)
                if at_cut:
                    acting.start()
                unit = "2000" if at_cut else "100"
                sent = run("--secret-file", self.secret_file, "send", "127.0.0.1:%d" % proxy.port, path,
                           timeout=120, env={"ZEPTRIX_RECONNECT_UNIT_MS": unit})
                acting.join(60) if at_cut else None
                self.assertEqual(sent.returncode, 0, sent.stderr)
                lost = [line for line in sent.stderr.splitlines() if line.startswith("connection lost")]
                # A receiver slow to start again may cost a further try.
                self.assertTrue(len(lost) == tries or (at_cut is restart_receiver and len(lost) > tries),
                                sent.stderr)
                r = holder["receiver"]
                arrived = os.path.join(r.folder, os.path.basename(path))
                wait_for(lambda: os.path.exists(arrived), timeout=20, what="the file in place")
                self.assertEqual(file_hash(arrived), file_hash(path))
                parts = os.path.join(r.folder, ".zeptrix-parts")
                self.assertEqual(len(os.listdir(parts)) if os.path.isdir(parts) else 0, parts_left)
                self.assertEqual([n for n in listing(r.folder) if n != ".zeptrix-parts"], [os.path.basename(path)],
                                 "no temporary file left")
                wait_for(lambda: len(proxy.lines) == len(lost) + 1, timeout=10, what="every connection reported")
                up = proxy.bytes_up()
                self.assertGreaterEqual(len(up), tries + 1, proxy.lines)
                self.assertLessEqual(sum(up), most * self.SIZE, proxy.lines)
                self.assertGreaterEqual(up[-1], last_least, proxy.lines)


class ReceiverKilledAtRandom(SecureCli):
    KILLS = 50

    def test_no_delivered_file_is_wrong_and_no_final_name_partial(self):
        # A batch of resumable files while the receiver is killed (SIGKILL) at random
        # moments and started again at once; a sender that ran out of tries is started
        # again too, as a user would.
        rng = random.Random(int.from_bytes(os.urandom(4), "little"))
        paths = [self.data_file("crash-%d.bin" % n, os.urandom((16 << 20) + rng.randrange(1 << 20)))
                 for n in range(4)]
        sources = {os.path.basename(p): file_hash(p) for p in paths}
        r = self.receiver("--secret-file", self.secret_file)
        parts = os.path.join(r.folder, ".zeptrix-parts")
        senders = []

        def send():
            senders.append(subprocess.Popen([CLI, "--secret-file", self.secret_file, "send",
                                             "127.0.0.1:%d" % r.port] + paths, stdout=subprocess.DEVNULL,
                                            stderr=subprocess.PIPE, env=dict(os.environ, ZEPTRIX_RECONNECT_UNIT_MS="100")))
        send()
        for kill in range(self.KILLS):
            time.sleep(rng.uniform(0.02, 0.8))
            if senders[-1].poll() is not None:
                send()
            r.process.kill()
            r.process.communicate()
            for name in listing(r.folder):
                if name in sources:
                    self.assertEqual(file_hash(os.path.join(r.folder, name)), sources[name],
                                     "kill %d: %s under its final name is not the sent file" % (kill, name))
                else:
                    self.assertEqual(name, ".zeptrix-parts", "kill %d: left %s" % (kill, name))
            kept = sum(os.path.getsize(os.path.join(parts, n)) for n in os.listdir(parts)) \
                if os.path.isdir(parts) else 0
            space = os.statvfs(r.folder)
            self.assertLessEqual(kept, (space.f_bavail * space.f_frsize + kept) // 4, "kill %d: parts" % kill)
            r = self.receiver("--secret-file", self.secret_file, port=r.port, folder=r.folder)
        while senders[-1].wait(timeout=300) != 0:
            send()
        self.assertIn("sent 4 files", senders[-1].stderr.read().decode())
        for sender in senders:
            sender.stderr.close()
        for name, digest in sources.items():
            self.assertEqual(file_hash(os.path.join(r.folder, name)), digest, name)
        r.stop()
        self.assertFalse(os.path.isdir(parts) and os.listdir(parts), "no part left once all arrived")


class WithAnIndependentPeer(SecureCli):
    def test_independent_sender_to_the_console_receiver(self):
        r = self.receiver("--secret-file", self.secret_file)
        # One batch: files and names in folders, one of them in data
        # messages of uneven sizes, the largest among them.
        batch = [(b"empty.bin", b""), (b"one.bin", b"1"), (b"full.bin", os.urandom(65518)),
                 (b"large.bin", os.urandom(3 * 1024 * 1024 + 5)), (b"photos\\2026\\a.jpg", os.urandom(5000)),
                 (b"photos\\b.jpg", os.urandom(70000)), (b"odd.bin", os.urandom(200000), [1, 65518, 7, 60000])]
        self.assertEqual(secure_peer.send_files("127.0.0.1", r.port, key(), batch), ["A"] * len(batch))
        # More files than may go unacknowledged, on one connection.
        many = [(b"many-%03d.bin" % n, os.urandom(n)) for n in range(3 * secure_peer.MAX_UNACKNOWLEDGED)]
        self.assertEqual(secure_peer.send_files("127.0.0.1", r.port, key(), many), ["A"] * len(many))
        # A name refused in the middle of a batch: the first stays, the rest never comes.
        refused = [(b"before.bin", b"b"), (b"..\\escape.bin", b"e"), (b"after.bin", b"a")]
        self.assertEqual(secure_peer.send_files("127.0.0.1", r.port, key(), refused), ["A", "R", None])
        # A folder removed while its connection goes on is made again for the next file.
        with secure_peer.open_sender("127.0.0.1", r.port, key()) as conn:
            for number, name in enumerate((b"gone\\a.bin", b"gone\\b.bin"), 1):
                conn.send(*secure_peer.file_messages(name, b"x"))
                self.assertEqual(secure_peer.read_reply(conn.receive()), (secure_peer.ACCEPTED, number))
            shutil.rmtree(os.path.join(r.folder, "gone"))
            conn.send(*secure_peer.file_messages(b"gone\\c.bin", b"c"), secure_peer.QUIT)
            self.assertEqual(conn.replies(), "A3")
        self.assertEqual(os.listdir(os.path.join(r.folder, "gone")), ["c.bin"])
        code, out, _ = r.stop()
        for item in batch + many + refused[:1]:
            with open(os.path.join(r.folder, *item[0].decode().split("\\")), "rb") as f:
                self.assertEqual(f.read(), item[1], item[0])
        self.assertEqual(sorted(os.listdir(r.folder)), sorted(
            [n.decode() for n, *_ in batch + many + refused[:1] if b"\\" not in n] + ["gone", "photos"]))
        self.assertIn("stored photos/2026/a.jpg (4.9 KiB)", out)

    def test_independent_sender_resumes_a_part_the_console_receiver_kept(self):
        r = self.receiver("--secret-file", self.secret_file)
        data, tag = os.urandom(1000000), b"T" * 16
        # A connection that drops after 300,000 bytes in whole messages.
        self.assertEqual(secure_peer.resume_file("127.0.0.1", r.port, key(), b"kept.bin", data, tag,
                                                 stop_after=300000), (0, ""))
        wait_for(lambda: os.listdir(os.path.join(r.folder, ".zeptrix-parts")) != [], timeout=10, what="a part")
        # Only name, size and tag together find the part; the last row resumes it. (Another
        # tag of the same name and size replaces it.)
        rows = [("another size", b"kept.bin", data[:-1], tag, 0),
                ("another name", b"other.bin", data, tag, 0),
                ("the same file", b"kept.bin", data, tag, 300000)]
        for label, name, body, row_tag, offset in rows:
            with self.subTest(label):
                got = secure_peer.resume_file("127.0.0.1", r.port, key(), name, body, row_tag,
                                              stop_after=None if offset else 0)
                self.assertEqual(got, (offset, "A1" if offset else ""))
        with open(os.path.join(r.folder, "kept.bin"), "rb") as f:
            self.assertEqual(f.read(), data)
        r.stop()

    def test_console_sender_resumes_against_the_independent_receiver(self):
        folder = tempfile.mkdtemp(prefix="peer-recv-")
        self.addCleanup(shutil.rmtree, folder, True)
        path = self.data_file("big.bin", os.urandom(20 << 20))
        with secure_peer.Receiver(key(), folder) as peer:
            proxy = Proxy(peer.port, "--cut", "9000000")
            self.addCleanup(proxy.close)
            sent = run("--secret-file", self.secret_file, "send", "127.0.0.1:%d" % proxy.port, path,
                       timeout=120, env={"ZEPTRIX_RECONNECT_UNIT_MS": "100"})
            self.assertEqual(sent.returncode, 0, sent.stderr)
        self.assertEqual(file_hash(os.path.join(folder, "big.bin")), file_hash(path))
        wait_for(lambda: len(proxy.lines) == 2, timeout=10, what="both connections reported")
        self.assertLessEqual(sum(proxy.bytes_up()), 1.1 * (20 << 20), proxy.lines)

    def test_console_sender_sends_the_whole_file_when_the_part_is_not_its_file(self):
        # The receiver's part doesn't hash as the sender's file does (a file rewritten in
        # place within its time's granularity keeps its tag): S, then the whole file.
        folder = tempfile.mkdtemp(prefix="peer-recv-")
        self.addCleanup(shutil.rmtree, folder, True)
        path = self.data_file("changed.bin", os.urandom(17 << 20))
        with secure_peer.Receiver(key(), folder, fake_offset=5 << 20) as peer:
            sent = run("--secret-file", self.secret_file, "send", "127.0.0.1:%d" % peer.port, path)
            self.assertEqual(sent.returncode, 0, sent.stderr)
            self.assertTrue(peer.wait(1))
            self.assertEqual([(rec.offset, rec.restarted, rec.stored) for rec in peer.records],
                             [(5 << 20, True, True)])
        self.assertEqual(file_hash(os.path.join(folder, "changed.bin")), file_hash(path))

    def test_hostile_names_create_nothing_and_the_receiver_still_stores(self):
        # Invalid UTF-8, C1 controls and bidirectional controls, beside the
        # rules of every stored name, in letters other than Latin too.
        rows = [("overlong slash", b"a\xc0\xafb"), ("surrogate", b"a\xed\xa0\x80"),
                ("above U+10FFFF", b"a\xf4\x90\x80\x80"), ("cut sequence", b"a\xe6\x97"),
                ("ANSI byte", b"caf\xe9.txt"), ("C1 next line", b"a\xc2\x85b"),
                ("C1 U+009F", b"a\xc2\x9f"), ("U+061C", "a\u061cb".encode()),
                ("U+200E", "a\u200eb".encode()), ("U+200F", "a\u200fb".encode()),
                ("U+202E", "\u202egpj.exe".encode()), ("U+2066", "a\u2066b".encode()),
                ("U+2069", "a\u2069b".encode()), ("bidi in a folder", "x\u202e\\y.txt".encode()),
                ("device in Cyrillic folder", "Отчёт\\CoN.txt".encode()),
                ("trailing dot", "Жук.".encode()), ("256 bytes", "Ж".encode() * 128)]
        r = self.receiver("--secret-file", self.secret_file)
        for label, name in rows:
            with self.subTest(label):
                self.assertFalse(secure_peer.send_file("127.0.0.1", r.port, key(), name, b"x"))
        self.assertTrue(secure_peer.send_file("127.0.0.1", r.port, key(), "Отчёт.txt".encode(), b"kept"))
        r.stop()
        self.assertEqual(os.listdir(os.fsencode(r.folder)), ["Отчёт.txt".encode()])

    def test_console_sender_to_the_independent_receiver(self):
        folder = tempfile.mkdtemp(prefix="cli-indep-")
        self.addCleanup(shutil.rmtree, folder, True)
        paths = [self.data_file(n, os.urandom(s)) for n, s in [("a.bin", 0), ("b.bin", 1),
                                                              ("c.bin", 65520), ("d.bin", 2 * 1024 * 1024 + 3)]]
        nested = self.data_file(os.path.join("tree", "x", "y.txt"), b"deep")
        with secure_peer.Receiver(key(), folder) as receiver:
            sent = run("--secret-file", self.secret_file, "send", "127.0.0.1:%d" % receiver.port, *paths,
                       os.path.join(self.files, "tree"))
            self.assertEqual(sent.returncode, 0, sent.stderr)
            self.assertTrue(receiver.wait_connections(1, 5))
            self.assertEqual(receiver.connections, 1, "one connection for the batch")
            self.assertEqual(receiver.fixed_format, 0)
            self.assertEqual([(rec.number, rec.name, rec.stored, rec.acked) for rec in receiver.records],
                             [(1, b"a.bin", True, True), (2, b"b.bin", True, True), (3, b"c.bin", True, True),
                              (4, b"d.bin", True, True), (5, b"tree\\x\\y.txt", True, True)])
        for path in paths:
            self.assert_same(path, os.path.join(folder, os.path.basename(path)))
        self.assert_same(nested, os.path.join(folder, "tree", "x", "y.txt"))

    def test_console_sender_reports_the_file_the_independent_receiver_cannot_store(self):
        folder = tempfile.mkdtemp(prefix="cli-indep-")
        self.addCleanup(shutil.rmtree, folder, True)
        os.makedirs(os.path.join(folder, "b.bin"))  # a folder holds the second file's name
        paths = [self.data_file(n, os.urandom(s)) for n, s in [("a.bin", 10), ("b.bin", 200000), ("c.bin", 30)]]
        with secure_peer.Receiver(key(), folder) as receiver:
            sent = run("--secret-file", self.secret_file, "send", "127.0.0.1:%d" % receiver.port, *paths)
            self.assertTrue(receiver.wait_connections(1, 5))
            self.assertEqual([(rec.number, rec.name, rec.stored, rec.acked, rec.refused) for rec in receiver.records],
                             [(1, b"a.bin", True, True, False), (2, b"b.bin", False, False, True)])
        self.assertEqual(sent.returncode, 1)
        self.assertIn("send of b.bin to 127.0.0.1:%d failed!\nthe receiver could not store the file\n"
                      % receiver.port, sent.stderr)
        self.assertNotIn("c.bin", sent.stderr)
        self.assertEqual(listing(folder), ["a.bin", "b.bin"])
        self.assert_same(paths[0], os.path.join(folder, "a.bin"))


if __name__ == "__main__":
    unittest.main()
