"""zeptrix.sh's verbs over stand-in cmake and ninja that fail for one chosen
target: every verb that builds must stop at that target, exit non-zero and
name it, and build nothing after it."""
import os
import shutil
import stat
import subprocess
import tempfile
import unittest

from harness import windows_build  # noqa: E402  (tests/e2e is on the path)

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(ROOT, "zeptrix.sh")
TARGETS = ["native", "tsan", "release", "windows", "windows64", "fuzz"]

# Both stand-ins note each call in ZPX_STEPS_LOG as "configure T" or
# "build T ninja-targets...".
STAND_IN_CMAKE = r'''#!/bin/sh
dir=""
while [ $# -gt 0 ]; do [ "$1" = -B ] && dir="$2"; shift; done
target=$(basename "$dir")
echo "configure $target" >> "$ZPX_STEPS_LOG"
if [ "$target" = "$ZPX_FAIL_CONFIGURE" ]; then
  echo "CMake Error at CMakeLists.txt:1: made to fail" >&2
  exit 1
fi
mkdir -p "$dir" && echo "# stand-in" > "$dir/build.ninja"
'''
STAND_IN_NINJA = r'''#!/bin/sh
dir=""; rest=""
while [ $# -gt 0 ]; do
  case "$1" in -C) dir="$2"; shift ;; -j) shift ;; *) rest="$rest $1" ;; esac
  shift
done
target=$(basename "$dir")
echo "build $target$rest" >> "$ZPX_STEPS_LOG"
echo "[1/2] Building CXX object a.obj"
if [ "$target" = "$ZPX_FAIL_BUILD" ]; then
  echo "FAILED: a.obj"
  echo "a.cpp:1:1: error: made to fail"
  echo "ninja: build stopped: subcommand failed."
  exit 1
fi
echo "[2/2] Linking CXX executable a"
'''


class BuildSteps(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="zpx-steps-")
        self.addCleanup(shutil.rmtree, self.work, True)
        tools = os.path.join(self.work, "bin")
        os.makedirs(tools)
        for name, text in (("cmake", STAND_IN_CMAKE), ("ninja", STAND_IN_NINJA)):
            path = os.path.join(tools, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)
        self.log = os.path.join(self.work, "steps.log")
        self.env = dict(os.environ, PATH=tools + os.pathsep + os.environ["PATH"],
                        ZPX_BUILD_DIR=os.path.join(self.work, "build"), ZPX_STEPS_LOG=self.log,
                        ZPX_STAND_IN_TOOLS="1", ZPX_FAIL_CONFIGURE="", ZPX_FAIL_BUILD="")

    def run_verb(self, verb, **failing):
        open(self.log, "w").close()
        env = dict(self.env, **failing)
        result = subprocess.run([SCRIPT, verb], cwd=ROOT, env=env, capture_output=True, text=True,
                                timeout=300)
        with open(self.log) as f:
            steps = f.read().splitlines()
        return result, steps

    def test_every_target_is_configured_and_built_in_order(self):
        result, steps = self.run_verb("build")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual([s for s in steps if s.startswith("configure")],
                         ["configure " + t for t in TARGETS])
        self.assertEqual([s.split()[1] for s in steps if s.startswith("build")], TARGETS)
        self.assertNotIn("[1/2]", result.stdout, "ninja's progress lines are left out")

    def test_a_failed_build_of_any_target_stops_the_build(self):
        for i, target in enumerate(TARGETS):
            with self.subTest(target=target):
                result, steps = self.run_verb("build", ZPX_FAIL_BUILD=target)
                self.assertNotEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertIn("build of %s failed" % target, result.stderr)
                self.assertIn("error: made to fail", result.stdout, "the compiler's message is shown")
                built = [s.split()[1] for s in steps if s.startswith("build")]
                self.assertEqual(built, TARGETS[:i + 1], "nothing is built after the failure")

    def test_a_failed_configure_of_any_target_stops_the_build(self):
        for i, target in enumerate(TARGETS):
            with self.subTest(target=target):
                shutil.rmtree(self.env["ZPX_BUILD_DIR"], True)
                result, steps = self.run_verb("build", ZPX_FAIL_CONFIGURE=target)
                self.assertNotEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertIn("configure of %s failed" % target, result.stderr)
                self.assertIn("made to fail", result.stderr, "CMake's message is shown")
                built = [s.split()[1] for s in steps if s.startswith("build")]
                self.assertEqual(built, TARGETS[:i], "nothing is built after the failure")

    def test_test_run_and_dist_stop_at_a_broken_windows_build(self):
        # run and the tiers use the Windows build that executes here; dist
        # always packs the 32-bit one.
        for verb, target in (("test", "windows"), ("test", "windows64"), ("run", windows_build()),
                             ("dist", "windows"), ("bench", "release")):
            with self.subTest(verb=verb, target=target):
                result, steps = self.run_verb(verb, ZPX_FAIL_BUILD=target)
                self.assertNotEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertIn("build of %s failed" % target, result.stderr)
                self.assertEqual(steps[-1].split()[:2], ["build", target], "the failure ends the verb")
                self.assertNotIn("== tests: native", result.stdout, "no test tier starts")


if __name__ == "__main__":
    unittest.main()
