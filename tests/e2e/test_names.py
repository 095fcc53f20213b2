"""The table of names in every language through the real Zeptrix.exe under
Wine and the console peer: the fixed format both ways in Wine's code page
1252 and, with a Russian locale, 1251; an older copy's ANSI name; the secure
format both ways; and the "error reading" box for a name the code page
lacks. What arrived is written to artifacts/names-arrived.txt."""
import filecmp
import os
import re
import shutil
import subprocess
import tempfile

from harness import ARTIFACTS, BUILD, ConsolePeer, free_port, wait_for, windows_path
from names_table import make_named_files, names, wine_text
from test_program import ProgramTest

import sys
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "hostile"))
from peers import MARK, talk, wire  # noqa: E402

SECRET = "Names In Every Language Secret"


def russian_locale():
    """The environment that gives Wine code page 1251. Wine stores file names
    in the Unix locale's character set, so the locale must exist: where the
    system lacks it, it is made once in the build tree."""
    environment = {"LANG": "ru_RU.UTF-8", "LC_ALL": "ru_RU.UTF-8"}
    if "ru_RU.utf8" in subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout:
        return environment
    locales = os.path.join(BUILD, "locale")
    if not os.path.isdir(os.path.join(locales, "ru_RU.UTF-8")):
        os.makedirs(locales, exist_ok=True)
        subprocess.run(["localedef", "-i", "ru_RU", "-f", "UTF-8", os.path.join(locales, "ru_RU.UTF-8")],
                       check=True, capture_output=True)
    environment["LOCPATH"] = locales
    return environment


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
        # Files wait under temporary names until their group is on disk.
        expected = sorted(r.name for r in rows)
        try:
            wait_for(lambda: sorted(os.listdir(folder)) == expected, timeout=60, what="every name to arrive")
        except AssertionError:
            pass
        self.assertEqual(sorted(os.listdir(folder)), expected)
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
        self.addCleanup(shutil.rmtree, received, True)
        self.addCleanup(shutil.rmtree, peer.folder, True)
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
        p, port, received = self.both_ways("fixed format, 1251", russian_locale(), ["--codepage", "1251"])
        self.assertEqual(talk(port, wire("Жук old.txt".encode("cp1251"), b"old")), MARK)
        wait_for(lambda: "Жук old.txt" in os.listdir(received), what="the older copy's file")

    def test_secure_format(self):
        secret_file = os.path.join(self.files, "secret")
        with open(secret_file, "w") as f:
            f.write(SECRET + "\n")
        self.both_ways("secure format", None, ["--secret-file", secret_file], secret=SECRET)

    def test_error_reading_box_shows_a_name_the_code_page_lacks(self):
        # The first name in letters the prefix's fonts draw, for the
        # screenshot; the second in CJK and an emoji, which they lack.
        shown = "Отчёт Ωμέγα – café too large.bin"
        traced = "日本語 😀 too large.bin"
        p = self.start("sendto 127.0.0.1:%d nobody\n" % free_port())
        paths = []
        for name in (shown, traced):
            # One byte more than the fixed format's size field holds (sparse).
            paths.append(os.path.join(self.files, name))
            with open(paths[-1], "wb") as f:
                f.truncate(4 << 30)
        self.assertEqual(self.drop_on(p, *paths).returncode, 0)
        wait_for(lambda: p.message_boxes(), what="the reading message")
        boxes = [b for b in self.display.windows_named("^Zeptrix$") if b != p.window]
        self.assertTrue(boxes)
        x, y, w, h = self.display.geometry(boxes[0])
        self.display.screenshot("error-reading-unicode-name", crop=(x, y, w, h))
        p.close_boxes()
        wait_for(lambda: len(p.message_boxes()) == 2, what="the second reading message")
        texts = [wine_text(t) for t in re.findall(r'MSGBOX_OnInit L"((?:[^"\\]|\\.)*)"', p.trace())]
        self.assertEqual(texts, ["error reading " + shown, "error reading " + traced])
        p.close_boxes()
