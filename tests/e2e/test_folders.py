"""Folders through the real Zeptrix.exe: one dropped on the strip arrives at
the console peer as its tree, and a tree sent by the console peer arrives in
Zeptrix.exe's directory."""
import filecmp
import os
import tempfile
import time

from harness import ConsolePeer, free_port, make_file, wait_for, windows_path
from test_program import ProgramTest

SIZES = {"empty.bin": 0, "one.bin": 1, "chunk.bin": 8193, "large.bin": 3 * 1024 * 1024 + 7}


def make_tree(base, name):
    """A folder of three levels with files of telling sizes, and the
    relative paths of its files."""
    root = os.path.join(base, name)
    relative = []
    for level, folder in enumerate(["", "2026", os.path.join("2026", "june days")]):
        os.makedirs(os.path.join(root, folder), exist_ok=True)
        for i, (file_name, size) in enumerate(sorted(SIZES.items())):
            if level and file_name == "large.bin":
                continue
            make_file(os.path.join(root, folder), file_name, size, seed=level * 10 + i)
            relative.append(os.path.join(folder, file_name))
    os.makedirs(os.path.join(root, "empty folder"))
    return root, relative


def files_below(folder):
    return sorted(os.path.relpath(os.path.join(where, n), folder)
                  for where, _, names in os.walk(folder) for n in names)


class Folders(ProgramTest):
    def test_a_dropped_folder_arrives_as_its_tree(self):
        peer = self.peer()
        p = self.start("sendto 127.0.0.1:%d office\n" % peer.port)
        root, relative = make_tree(self.files, "photos")
        beside = make_file(self.files, "beside.txt", 500)
        self.assertEqual(self.drop_on(p, root, beside).returncode, 0)
        wanted = sorted([os.path.join("photos", r) for r in relative] + ["beside.txt"])
        wait_for(lambda: files_below(peer.folder) == wanted, timeout=90, what="the whole tree")
        for r in relative:
            self.assertTrue(filecmp.cmp(os.path.join(root, r), os.path.join(peer.folder, "photos", r),
                                        shallow=False), r)
        self.assertFalse(os.path.exists(os.path.join(peer.folder, "photos", "empty folder")),
                         "empty folders are not carried")
        # The console receiver names each file as it is stored: the files of
        # the folder in byte order of their names, then the file beside it.
        time.sleep(0.5)
        with open(peer.log.name) as f:
            stored = [line[len("stored "):line.rindex(" (")] for line in f if line.startswith("stored ")]
        wire = sorted(("photos\\" + r.replace(os.sep, "\\")).encode() for r in relative)
        self.assertEqual(stored, [w.decode().replace("\\", "/") for w in wire] + ["beside.txt"])
        self.assertEqual(p.message_boxes(), [])

    def test_a_tree_sent_to_the_program_arrives_below_its_directory(self):
        own = free_port()
        received = tempfile.mkdtemp(prefix="recv-")
        p = self.start("port %d\ndir %s\n" % (own, windows_path(received)))
        root, relative = make_tree(self.files, "reports")
        result = ConsolePeer.send("127.0.0.1:%d" % own, root)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(files_below(received), sorted(os.path.join("reports", r) for r in relative))
        for r in relative:
            self.assertTrue(filecmp.cmp(os.path.join(root, r), os.path.join(received, "reports", r),
                                        shallow=False), r)
        self.assertEqual(p.message_boxes(), [])


def make_deep_tree(base, levels):
    """Folders of 29 characters, levels deep, below base; a file at the
    bottom and one half way. The relative paths of the files."""
    relative, folder = [], ""
    for level in range(levels):
        folder = os.path.join(folder, "a-folder-name-of-29-chars-%02d" % level)
        os.makedirs(os.path.join(base, folder), exist_ok=True)
        if level in (levels // 2, levels - 1):
            make_file(os.path.join(base, folder), "f%d.bin" % level, 70000 + level, seed=level)
            relative.append(os.path.join(folder, "f%d.bin" % level))
    return relative


class LongPaths(ProgramTest):
    SECRET = "paths past max_path go both ways"

    def test_a_tree_past_400_characters_goes_both_ways_in_both_formats(self):
        # Dropped: a folder whose files lie past 400 characters (on the Windows side, in
        # Z:\...) arrives at the console receiver. Received: the console peer's tree lands
        # below a destination of about 240 characters, at full paths past 440.
        secret_file = os.path.join(self.files, "secret.txt")
        with open(secret_file, "w") as f:
            f.write(self.SECRET + "\n")
        for secret in (False, True):
            with self.subTest("secure" if secret else "fixed"):
                options = ["--secret-file", secret_file] if secret else []
                base = os.path.join(self.files, "above", *["a-parent-folder-of-29-chars-%d" % n for n in range(6)])
                relative = make_deep_tree(os.path.join(base, "deep"), 7)
                deepest = windows_path(os.path.join(base, "deep", relative[-1]))
                self.assertGreater(len(deepest), 400, deepest)
                received = tempfile.mkdtemp(prefix="recv-")
                long_dir, n = received, 0
                while len(windows_path(long_dir)) < 230:
                    long_dir, n = os.path.join(long_dir, "folder-%02d" % n), n + 1
                os.makedirs(long_dir)
                peer = ConsolePeer(options=options)
                self.peers.append(peer)
                own = free_port()
                p = self.start("port %d\ndir %s\nsendto 127.0.0.1:%d office\n%s" % (
                    own, windows_path(long_dir), peer.port, "secret %s\n" % self.SECRET if secret else ""))
                self.assertEqual(self.drop_on(p, os.path.join(base, "deep")).returncode, 0)
                wanted = sorted(os.path.join("deep", r) for r in relative)
                wait_for(lambda: files_below(peer.folder) == wanted, timeout=90, what="the dropped tree")
                self.display.screenshot("deep-folder-dropped-%s" % ("secure" if secret else "fixed"),
                                        crop=(600, 0, 424, 40))
                sent = ConsolePeer.send("127.0.0.1:%d" % own, os.path.join(base, "deep"), options=options)
                self.assertEqual(sent.returncode, 0, sent.stderr)
                self.assertEqual(files_below(long_dir), wanted)
                stored = windows_path(os.path.join(long_dir, "deep", relative[-1]))
                self.assertGreater(len(stored), 440, stored)
                for r in relative:
                    source = os.path.join(base, "deep", r)
                    for there in (os.path.join(peer.folder, "deep", r), os.path.join(long_dir, "deep", r)):
                        self.assertTrue(filecmp.cmp(source, there, shallow=False), there)
                self.assertEqual(p.message_boxes(), [])
                self.programs.remove(p)
                p.kill()
