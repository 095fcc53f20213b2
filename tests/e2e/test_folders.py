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
