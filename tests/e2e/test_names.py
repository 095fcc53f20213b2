"""The table of names in every language through the real Zeptrix.exe under
Wine and the console peer: the fixed format both ways in Wine's code page
1252 and, with a Russian locale, 1251; an older copy's ANSI name; the secure
format both ways; and the "error reading" box for a name the code page
lacks. What arrived is written to artifacts/names-arrived.txt."""
import filecmp
import os
import tempfile

from harness import ARTIFACTS, ConsolePeer, drop, free_port, make_file, wait_for, windows_path
from names_table import make_named_files, names, wine_text
from test_program import ProgramTest

import sys
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "hostile"))
from peers import MARK, talk, wire  # noqa: E402

SECRET = "Names In Every Language Secret"
RUSSIAN = {"LANG": "ru_RU.UTF-8", "LC_ALL": "ru_RU.UTF-8"}


def note(path, label, folder, name):
    """One line of what arrived: path, row, the name's bytes on Linux."""
    os.makedirs(ARTIFACTS, exist_ok=True)
    stored = [n for n in os.listdir(os.fsencode(folder)) if n == name.encode()]
    with open(os.path.join(ARTIFACTS, "names-arrived.txt"), "a", encoding="utf-8") as f:
        f.write("%s\t%s\t%s\t%s\n" % (path, label, name, stored[0].hex(" ") if stored else "MISSING"))


class Names(ProgramTest):
    def start_with(self, settings, environment=None):
        """A copy started with extra environment (its locale, for Wine's code page)."""
        kept = {k: os.environ.get(k) for k in (environment or {})}
        os.environ.update(environment or {})
        try:
            return self.start(settings)
        finally:
            for k, v in kept.items():
                if v is None:
                    del os.environ[k]
                else:
                    os.environ[k] = v

    def peer_with(self, options):
        peer = ConsolePeer(options=options)
        self.peers.append(peer)
        return peer

    def assert_arrived(self, path, rows, sent, folder):
        wait_for(lambda: len(os.listdir(folder)) >= len(rows), timeout=60, what="every name to arrive")
        self.assertEqual(sorted(os.listdir(folder)), sorted(r.name for r in rows))
        for row, source in zip(rows, sent):
            with self.subTest(path=path, row=row.label):
                note(path, row.label, folder, row.name)
                self.assertTrue(filecmp.cmp(source, os.path.join(folder, row.name), shallow=False))

    def both_ways(self, label, environment, options, secret=None):
        rows = names()
        sent = make_named_files(self.files, rows)
        peer = self.peer_with(options)
        port = free_port()
        received = tempfile.mkdtemp(prefix="names-recv-")
        settings = "port %d\ndir %s\nsendto 127.0.0.1:%d peer\n" % (port, windows_path(received), peer.port)
        if secret:
            settings += "secret %s\n" % secret
        p = self.start_with(settings, environment)

        result = ConsolePeer.send("127.0.0.1:%d" % port, *sent, options=options)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_arrived("console peer to Zeptrix.exe, " + label, rows, sent, received)

        self.assertEqual(self.drop_on(p, *sent).returncode, 0)
        self.assert_arrived("dropped on Zeptrix.exe to console peer, " + label, rows, sent, peer.folder)
        self.assertEqual(p.message_boxes(), [])
        return p, port, received

    def test_fixed_format_in_code_page_1252(self):
        p, port, received = self.both_ways("fixed format, 1252", None, [])
        # An older copy's ANSI name, the bytes as it sends them.
        self.assertEqual(talk(port, wire("caf\xe9 \x96 old.txt".encode("latin-1"), b"old")), MARK)
        wait_for(lambda: "café – old.txt" in os.listdir(received), what="the older copy's file")

    def test_fixed_format_in_code_page_1251(self):
        p, port, received = self.both_ways("fixed format, 1251", RUSSIAN, ["--codepage", "1251"])
        self.assertEqual(talk(port, wire("Жук old.txt".encode("cp1251"), b"old")), MARK)
        wait_for(lambda: "Жук old.txt" in os.listdir(received), what="the older copy's file")

    def test_secure_format(self):
        secret_file = os.path.join(self.files, "secret")
        with open(secret_file, "w") as f:
            f.write(SECRET + "\n")
        self.both_ways("secure format", None, ["--secret-file", secret_file], secret=SECRET)

    def test_error_reading_box_shows_a_name_the_code_page_lacks(self):
        name = "日本語 Отчёт 😀 too large.bin"
        # One byte more than the fixed format's size field holds (sparse).
        huge = os.path.join(self.files, name)
        with open(huge, "wb") as f:
            f.truncate(4 << 30)
        p = self.start("sendto 127.0.0.1:%d nobody\n" % free_port())
        self.assertEqual(self.drop_on(p, huge).returncode, 0)
        wait_for(lambda: p.message_boxes(), what="the reading message")
        boxes = [b for b in self.display.windows_named("^Zeptrix$") if b != p.window]
        self.assertTrue(boxes)
        x, y, w, h = self.display.geometry(boxes[0])
        self.display.screenshot("error-reading-unicode-name", crop=(x, y, w, h))
        texts = [wine_text(t) for t in
                 __import__("re").findall(r'MSGBOX_OnInit L"((?:[^"\\]|\\.)*)"', p.trace())]
        self.assertEqual(texts, ["error reading " + name])
        p.close_boxes()
