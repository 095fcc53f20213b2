"""The real Zeptrix.exe under Wine, driven as a person would drive it."""
import filecmp
import os
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from harness import (ConsolePeer, Display, Program, ThrottledRelay, drop, free_port, make_file, port_open,
                     wait_for, windows_path)

SEND_BAR = (0, 0, 128)
RECEIVE_BAR = (112, 0, 0)


def colour_rows(display, geometry, colour):
    """The strip's rows (0..18) that show the colour somewhere."""
    x, y, w, h = geometry
    rows = display.pixels(x, y, w, h)
    return sorted({r for r, row in enumerate(rows) if colour in row})


class ProgramTest(unittest.TestCase):
    display = None

    @classmethod
    def setUpClass(cls):
        cls.display = Display()

    @classmethod
    def tearDownClass(cls):
        cls.display.close()

    def setUp(self):
        self.programs = []
        self.peers = []
        self.files = tempfile.mkdtemp(prefix="files-")

    def tearDown(self):
        for p in self.programs:
            p.close_boxes()
            p.kill()
        for peer in self.peers:
            peer.stop()

    def start(self, settings=None):
        p = Program(self.display, settings)
        self.programs.append(p)
        return p

    def peer(self):
        peer = ConsolePeer()
        self.peers.append(peer)
        return peer

    def drop_on(self, program, *paths):
        x, y, w, h = program.geometry()
        return drop(self.display, x + w // 2, y + h // 2, *paths)


class WithoutSettings(ProgramTest):
    def test_receive_only_strip(self):
        swap = None
        p = self.start()
        from harness import wine_prefix
        swap = os.path.join(wine_prefix(p.build), "drive_c", "swap")
        os.makedirs(swap, exist_ok=True)

        self.assertEqual(self.display.xdotool("getwindowname", p.window), "Zeptrix")
        self.assertEqual(p.geometry(), (664, 0, 250, 19))
        props = subprocess.run(["xprop", "-id", str(p.window), "_NET_WM_STATE"],
                               env=self.display.env(), capture_output=True, text=True).stdout
        self.assertIn("_NET_WM_STATE_ABOVE", props, "always on top")
        self.assertIn("_NET_WM_STATE_SKIP_TASKBAR", props, "a tool window without taskbar button")
        self.assertIn("Zeptrix: receive only", p.drawn_texts())
        self.display.screenshot("strip-receive-only", crop=(600, 0, 424, 40))

        refused = self.drop_on(p, make_file(self.files, "x.txt", 10))
        self.assertNotEqual(refused.returncode, 0, "a receive-only copy takes no drops")

        sent = make_file(self.files, "to default dir.bin", 100000)
        result = ConsolePeer.send("127.0.0.1", sent)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(filecmp.cmp(sent, os.path.join(swap, "to default dir.bin"), shallow=False))

        menu = p.right_click(["about", "", "exit"])
        self.display.screenshot("menu-no-destination", crop=(600, 0, 424, 80))
        p.choose(menu, "exit")
        self.assertEqual(p.wait_exit(), 0)


class WithDestinations(ProgramTest):
    def settings(self, office_port, backup_port, own_port, received):
        return ("; two named peers and one on our own port\n"
                "port %d\n"
                "sendto 127.0.0.1:%d   Office\n"
                "sendto 127.0.0.1:%d backup\n"
                "sendto 127.0.0.1 Home\n"
                "dir %s\n" % (own_port, office_port, backup_port, windows_path(received)))

    def test_drops_arrive_byte_for_byte_and_the_menu_chooses(self):
        office, backup = self.peer(), self.peer()
        own = free_port()
        received = tempfile.mkdtemp(prefix="recv-")
        p = self.start(self.settings(office.port, backup.port, own, received))

        self.assertEqual(self.display.xdotool("getwindowname", p.window), "Zeptrix office")
        self.assertIn('send file to "office"', p.drawn_texts())
        self.display.screenshot("strip-office", crop=(600, 0, 424, 40))

        one = make_file(self.files, "one file.txt", 5000)
        self.assertEqual(self.drop_on(p, one).returncode, 0)
        batch = [make_file(self.files, "batch-%d.bin" % i, s, seed=i)
                 for i, s in enumerate([0, 1, 8193, 300000])]
        self.assertEqual(self.drop_on(p, *batch).returncode, 0)
        for path in [one] + batch:
            arrived = os.path.join(office.folder, os.path.basename(path))
            wait_for(lambda: os.path.exists(arrived) and
                     os.path.getsize(arrived) == os.path.getsize(path), timeout=60,
                     what=os.path.basename(path))
            self.assertTrue(filecmp.cmp(path, arrived, shallow=False), path)

        labels = ["office (127.0.0.1:%d)" % office.port, "backup (127.0.0.1:%d)" % backup.port,
                  "home (127.0.0.1)", "", "about", "", "exit"]
        menu = p.right_click(labels)
        self.display.screenshot("menu-three-destinations", crop=(560, 0, 464, 140))
        p.choose(menu, labels[1])
        wait_for(lambda: 'send file to "backup"' in p.drawn_texts(), what="the new status line")
        self.assertEqual(self.display.xdotool("getwindowname", p.window), "Zeptrix office",
                         "the title is set once, at start")

        later = make_file(self.files, "to backup.txt", 777)
        self.assertEqual(self.drop_on(p, later).returncode, 0)
        arrived = os.path.join(backup.folder, "to backup.txt")
        wait_for(lambda: os.path.exists(arrived) and os.path.getsize(arrived) == 777,
                 what="the file at backup")
        self.assertEqual(p.message_boxes(), [])

    def test_the_strip_and_menu_name_the_peers_to_send_to(self):
        p = self.start("port %d\nsendto 192.168.1.20 office\nsendto 192.168.1.21:60910 backup\n"
                       "sendto 10.0.0.7 home\n" % free_port())
        self.assertIn('send file to "office"', p.drawn_texts())
        self.display.picture("strip", p.window)
        menu = p.right_click(["office (192.168.1.20)", "backup (192.168.1.21:60910)", "home (10.0.0.7)", "",
                              "about", "", "exit"])
        self.display.picture("menu", p.window, menu.window)
        self.display.xdotool("key", "Escape")

    def test_one_destination_has_no_destination_entries(self):
        office = self.peer()
        p = self.start("sendto 127.0.0.1:%d office\n" % office.port)
        p.right_click(["about", "", "exit"])
        self.display.screenshot("menu-one-destination", crop=(600, 0, 424, 80))
        self.display.xdotool("key", "Escape")


class LargeTransfers(ProgramTest):
    """Transfers slowed by a relay, so the bars and the abort entries can be
    watched and used while bytes move."""

    def start_pair(self, rate):
        peer = self.peer()
        relay_out = ThrottledRelay(peer.port, rate)
        own = free_port()
        received = tempfile.mkdtemp(prefix="recv-")
        p = self.start("port %d\nsendto 127.0.0.1:%d office\ndir %s\n"
                       % (own, relay_out.port, windows_path(received)))
        relay_in = ThrottledRelay(own, rate)
        return p, peer, received, relay_in

    def test_bars_show_both_kinds_while_bytes_move(self):
        p, peer, received, relay_in = self.start_pair(3 * 1024 * 1024)
        outgoing = make_file(self.files, "large out.bin", 12 * 1024 * 1024)
        incoming = make_file(self.files, "large in.bin", 12 * 1024 * 1024, seed=9)
        self.assertEqual(self.drop_on(p, outgoing).returncode, 0)
        sender = threading.Thread(target=lambda: setattr(
            self, "incoming_result", ConsolePeer.send("127.0.0.1:%d" % relay_in.port, incoming)))
        sender.start()
        geometry = p.geometry()
        wait_for(lambda: colour_rows(self.display, geometry, SEND_BAR) and
                 colour_rows(self.display, geometry, RECEIVE_BAR), timeout=30, what="both bars")
        time.sleep(1)
        self.assertEqual(colour_rows(self.display, geometry, SEND_BAR), list(range(2, 8)))
        self.assertEqual(colour_rows(self.display, geometry, RECEIVE_BAR), list(range(10, 16)))
        self.display.screenshot("strip-bars", crop=(600, 0, 424, 40))
        sender.join(120)
        self.assertEqual(self.incoming_result.returncode, 0, self.incoming_result.stderr)
        arrived = os.path.join(peer.folder, "large out.bin")
        wait_for(lambda: os.path.exists(arrived) and os.path.getsize(arrived) == 12 << 20,
                 timeout=120, what="the outgoing file")
        self.assertTrue(filecmp.cmp(outgoing, arrived, shallow=False))
        self.assertTrue(filecmp.cmp(incoming, os.path.join(received, "large in.bin"), shallow=False))
        wait_for(lambda: not colour_rows(self.display, geometry, SEND_BAR) and
                 not colour_rows(self.display, geometry, RECEIVE_BAR), what="the bars to go")

    def test_abort_send_and_abort_receive_leave_nothing(self):
        p, peer, received, relay_in = self.start_pair(1024 * 1024)
        outgoing = make_file(self.files, "aborted out.bin", 16 * 1024 * 1024)
        self.assertEqual(self.drop_on(p, outgoing).returncode, 0)
        geometry = p.geometry()
        wait_for(lambda: colour_rows(self.display, geometry, SEND_BAR), what="the send bar")
        self.display.picture("strip-sending", p.window)
        menu = p.right_click(["abort send", "", "about", "", "exit"])
        self.display.picture("menu-transfer", p.window, menu.window)
        p.choose(menu, "abort send")
        wait_for(lambda: not colour_rows(self.display, geometry, SEND_BAR), what="the send to end")

        incoming = make_file(self.files, "aborted in.bin", 16 * 1024 * 1024, seed=3)
        result = {}
        sender = threading.Thread(target=lambda: result.update(
            r=ConsolePeer.send("127.0.0.1:%d" % relay_in.port, incoming)))
        sender.start()
        wait_for(lambda: colour_rows(self.display, geometry, RECEIVE_BAR), what="the receive bar")
        self.display.picture("strip-receiving", p.window)
        menu = p.right_click(["abort receive", "", "about", "", "exit"])
        p.choose(menu, "abort receive")
        sender.join(120)
        self.assertEqual(result["r"].returncode, 1, "the sender learns that its file failed")
        time.sleep(1)
        self.assertEqual(os.listdir(received), [], "no partial file at the receiver")
        wait_for(lambda: os.listdir(peer.folder) == [], what="the peer to drop its partial file")
        self.assertEqual(p.message_boxes(), [], "aborts show no message")


class AboutAndExit(ProgramTest):
    def test_about_opens_and_a_click_closes_it(self):
        p = self.start()
        menu = p.right_click(["about", "", "exit"])
        before = set(self.display.visible_windows())
        p.choose(menu, "about")
        about = wait_for(lambda: [w for w in self.display.visible_windows()
                                  if w not in before and w != menu.window], what="the about window")[0]
        x, y, w, h = self.display.geometry(about)
        self.assertAlmostEqual(x + w / 2, 512, delta=4)
        self.assertAlmostEqual(y + h / 2, 384, delta=4)
        self.assertGreaterEqual(w, 550)
        time.sleep(0.5)
        self.assertIn("Zeptrix v1.0", p.drawn_texts())
        self.assertIn("Crypted file transfer through the internet.", p.drawn_texts())
        self.display.screenshot("about", crop=(200, 150, 624, 460))
        self.display.xdotool("mousemove", x + 100, y + 300, "click", "1")
        wait_for(lambda: about not in self.display.visible_windows(), what="the about window to close")

    def test_exit_waits_for_the_file_that_is_arriving(self):
        own = free_port()
        received = tempfile.mkdtemp(prefix="recv-")
        p = self.start("port %d\ndir %s\n" % (own, windows_path(received)))
        relay = ThrottledRelay(own, 2 * 1024 * 1024)
        incoming = make_file(self.files, "arriving.bin", 8 * 1024 * 1024)
        result = {}
        sender = threading.Thread(target=lambda: result.update(
            r=ConsolePeer.send("127.0.0.1:%d" % relay.port, incoming)))
        sender.start()
        wait_for(lambda: colour_rows(self.display, p.geometry(), RECEIVE_BAR), what="the transfer")
        menu = p.right_click(["abort receive", "", "about", "", "exit"])
        p.choose(menu, "exit")
        time.sleep(1)
        self.assertIsNone(p.process.poll(), "the program waits for the file")
        self.assertEqual(p.wait_exit(120), 0)
        sender.join(60)
        self.assertEqual(result["r"].returncode, 0, result["r"].stderr)
        self.assertTrue(filecmp.cmp(incoming, os.path.join(received, "arriving.bin"), shallow=False))


class MessageBoxes(ProgramTest):
    def test_failures_are_told_with_their_exact_texts(self):
        closed = free_port()
        silent = socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen(5)
        silent_port = silent.getsockname()[1]

        def swallow():
            # Takes a whole transfer and closes without an acknowledgement.
            conn, _ = silent.accept()
            seen = b""
            while not seen.endswith(b"zeptrix**ok**"):
                data = conn.recv(65536)
                if not data:
                    break
                seen = (seen + data)[-64:]
            conn.close()
        threading.Thread(target=swallow, daemon=True).start()

        p = self.start("sendto 127.0.0.1:%d refusing\nsendto 127.0.0.1:%d silent\n"
                       % (closed, silent_port))
        self.assertEqual(self.drop_on(p, make_file(self.files, "a.txt", 10)).returncode, 0)
        wait_for(lambda: p.message_boxes(), what="the connect message")
        self.assertEqual(p.message_boxes(), ["connecting to 127.0.0.1:%d failed!" % closed])
        p.close_boxes()

        labels = ["refusing (127.0.0.1:%d)" % closed, "silent (127.0.0.1:%d)" % silent_port, "",
                  "about", "", "exit"]
        menu = p.right_click(labels)
        p.choose(menu, labels[1])
        # 4 GiB, one byte more than the size field holds (sparse, so it takes no room).
        huge = os.path.join(self.files, "too large.bin")
        with open(huge, "wb") as f:
            f.truncate(4 << 30)
        self.assertEqual(self.drop_on(p, huge, make_file(self.files, "b.txt", 1000)).returncode, 0)
        wait_for(lambda: len(p.message_boxes()) == 2, what="the reading message")
        self.assertEqual(p.message_boxes()[1], "error reading too large.bin")
        p.close_boxes()
        wait_for(lambda: len(p.message_boxes()) == 3, what="the send message")
        self.assertEqual(p.message_boxes()[2], "send of b.txt to 127.0.0.1:%d failed!" % silent_port)
        p.close_boxes()

    def test_a_busy_port_is_told(self):
        busy = socket.socket()
        busy.bind(("0.0.0.0", 0))
        busy.listen(1)
        port = busy.getsockname()[1]
        p = self.start("port %d\n" % port)
        wait_for(lambda: p.message_boxes(), what="the listen message")
        self.assertEqual(p.message_boxes(), ["listen on port %d failed!" % port])
        p.close_boxes()
        busy.close()

    def test_an_accept_line_that_cant_be_read_is_told_and_admits_nobody(self):
        port = free_port()
        p = self.start("port %d\naccept 10.0.*\n" % port)
        wait_for(lambda: p.message_boxes(), what="the accept message")
        self.assertEqual(p.message_boxes(), ["accept 10.0.* not understood"])
        wait_for(lambda: port_open(port), what="listening beside the box")
        boxes = [b for b in self.display.windows_named("^Zeptrix$") if b != p.window]
        if boxes:
            x, y, w, h = self.display.geometry(boxes[0])
            self.display.screenshot("accept-not-understood", crop=(max(x - 8, 0), max(y - 8, 0), w + 16, h + 16))
        p.close_boxes()
        sent = make_file(self.files, "stranger.bin", 1000)
        result = ConsolePeer.send("127.0.0.1:%d" % port, sent)
        self.assertEqual(result.returncode, 1, "nobody is admitted")


if __name__ == "__main__":
    unittest.main()
