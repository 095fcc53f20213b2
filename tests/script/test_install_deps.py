"""The installer's decisions over stand-in apt-get, dpkg and dpkg-query: a
mirror whose update fails, a 32-bit loader that can't be installed, a core
package that can't be installed, and a kernel that runs no 32-bit code. Each
case checks the exit status, the lines printed, what was asked of apt-get
and which Windows build `zeptrix.sh deps` says the tiers would run."""
import os
import shutil
import stat
import subprocess
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(ROOT, "zeptrix.sh")

# The stand-ins keep their state in files below ZPX_FAKE_STATE: installed
# (one package a line), arches, broken (packages whose install fails),
# update_failures (a count, or "always") and calls (every apt-get call).
STAND_INS = {
    "dpkg-query": r'''#!/bin/sh
for pkg; do :; done
grep -qx "$pkg" "$ZPX_FAKE_STATE/installed" && { printf 'install ok installed'; exit 0; }
echo "dpkg-query: no packages found matching $pkg" >&2; exit 1
''',
    "dpkg": r'''#!/bin/sh
case "$1" in
  --print-foreign-architectures) cat "$ZPX_FAKE_STATE/arches" ;;
  --add-architecture) echo "$2" >> "$ZPX_FAKE_STATE/arches" ;;
  *) exit 2 ;;
esac
''',
    "apt-get": r'''#!/bin/sh
s="$ZPX_FAKE_STATE"
echo "apt-get $*" >> "$s/calls"
case "$1" in
  update)
    n=$(cat "$s/update_failures")
    [ "$n" = 0 ] && exit 0
    [ "$n" = always ] || echo $((n - 1)) > "$s/update_failures"
    echo "E: Failed to fetch bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
    exit 100 ;;
  install)
    shift
    for p; do
      if grep -qx -- "$p" "$s/broken"; then echo "E: Unable to correct problems, you have held broken packages. ($p)" >&2; exit 100; fi
    done
    for p; do case "$p" in -*) ;; *) echo "$p" >> "$s/installed" ;; esac; done ;;
esac
''',
    "sudo": '#!/bin/sh\nexec "$@"\n',
}

WINE32_FAILED = "32-bit code runs here but wine32 could not be installed"
UPDATE_FAILED = "apt-get update failed 3 times; installing from the package lists that arrived"

# label, 32-bit code runs, update failures, broken packages, exit status,
# lines expected, lines not expected, updates asked, Windows build chosen.
CASES = [
    ("update fails every time", True, "always", ["wine32:i386"], 0,
     [UPDATE_FAILED, WINE32_FAILED, "installing: cmake"], [], 3, "windows64"),
    ("update fails once then works", True, "1", [], 0,
     ["installing: wine wine32:i386"], [UPDATE_FAILED, WINE32_FAILED], 2, "windows"),
    ("wine32 can't be installed", True, "0", ["wine32:i386"], 0,
     [WINE32_FAILED, "apt-get install wine wine32:i386 failed"], [UPDATE_FAILED], 1, "windows64"),
    ("a core package can't be installed", True, "0", ["libgtest-dev"], 1,
     ["could not install: cmake", "libgtest-dev"], ["installing: wine wine32:i386"], 1, "windows64"),
    ("no 32-bit code here", False, "always", [], 0,
     [UPDATE_FAILED, "32-bit code does not run here"], ["wine32:i386"], 3, "windows64"),
]


class Installer(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="zpx-deps-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.tools = os.path.join(self.work, "bin")
        self.state = os.path.join(self.work, "state")
        os.makedirs(self.tools)
        for name, text in STAND_INS.items():
            self.write(os.path.join(self.tools, name), text, executable=True)
        for name, runs in (("loader32-runs", "exit 0"), ("loader32-fails", "exit 126")):
            self.write(os.path.join(self.tools, name), "#!/bin/sh\n%s\n" % runs, executable=True)

    def write(self, path, text, executable=False):
        with open(path, "w") as f:
            f.write(text)
        if executable:
            os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)

    def deps(self, runs32, update_failures, broken, fresh=True):
        """Runs deps on a machine with nothing installed, or (fresh False)
        on the state the last run left."""
        if fresh:
            shutil.rmtree(self.state, True)
            os.makedirs(self.state)
            for name, text in (("installed", ""), ("arches", ""),
                               ("broken", "".join(p + "\n" for p in broken)),
                               ("update_failures", update_failures)):
                self.write(os.path.join(self.state, name), text)
        self.write(os.path.join(self.state, "calls"), "")
        env = dict(os.environ, PATH=self.tools + os.pathsep + os.environ["PATH"],
                   ZPX_FAKE_STATE=self.state, ZPX_APT_PAUSE="0",
                   ZPX_LOADER32=os.path.join(self.tools, "loader32-runs" if runs32 else "loader32-fails"))
        env.pop("ZPX_WINDOWS_BUILD", None)
        result = subprocess.run([SCRIPT, "deps"], cwd=ROOT, env=env, capture_output=True,
                                text=True, timeout=60)
        with open(os.path.join(self.state, "calls")) as f:
            calls = f.read().splitlines()
        return result, calls

    def test_cases(self):
        for label, runs32, failures, broken, status, present, absent, updates, build in CASES:
            with self.subTest(label):
                result, calls = self.deps(runs32, failures, broken)
                out = result.stdout + result.stderr
                self.assertEqual(result.returncode, status, out)
                for line in present:
                    self.assertIn(line, out)
                for line in absent:
                    self.assertNotIn(line, out)
                self.assertEqual(calls.count("apt-get update -qq"), updates, calls)
                if status == 0:
                    self.assertIn("Windows tiers run build/%s under" % build, result.stdout)
                installs = [c for c in calls if c.startswith("apt-get install")]
                self.assertTrue(all("--allow-downgrades" not in c and "=" not in c and " -t " not in c
                                    for c in installs), "never a pinned version or another release")
                self.assertEqual(any("wine32:i386" in c for c in installs), runs32 and status == 0,
                                 "the loader is asked for only where 32-bit code runs, after the core")
                self.assertFalse(any("wine32" in c and "cmake" in c for c in installs),
                                 "the loader is a step of its own")

    def test_a_complete_machine_asks_apt_get_nothing(self):
        result, calls = self.deps(True, "0", [])
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        result, calls = self.deps(True, "always", [], fresh=False)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(calls, [])
        self.assertIn("Windows tiers run build/windows under wine32", result.stdout)


if __name__ == "__main__":
    unittest.main()
