#!/usr/bin/python3
"""Runs the end-to-end tests and writes a GoogleTest-style XML report, so
the test command can add them to its totals. The other Python tiers run
their tests through main() too.

usage: run_e2e.py REPORT.xml [unittest names...]"""
import os
import sys
import unittest
from xml.sax.saxutils import quoteattr

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def main(start_dir=HERE, name="e2e"):
    """Runs the named tests (or every test_*.py in start_dir) and writes the
    report named by the first argument."""
    report = sys.argv[1]
    names = sys.argv[2:]
    loader = unittest.TestLoader()
    suite = loader.loadTestsFromNames(names) if names else loader.discover(start_dir, "test_*.py")
    tests = list(iterate(suite))  # the runner empties the suite as it goes
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    failures = result.failures + result.errors
    skipped = {id(t) for t, _ in result.skipped}
    os.makedirs(os.path.dirname(os.path.abspath(report)), exist_ok=True)
    with open(report, "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n')
        f.write('<testsuites tests="%d" failures="%d" disabled="%d" errors="0" name=%s>\n'
                % (result.testsRun, len(failures), len(result.skipped), quoteattr(name)))
        for test in tests:
            message = next((m for t, m in failures if t is test), None)
            f.write('  <testcase name=%s>' % quoteattr(test.id()))
            if message:
                f.write('<failure message=%s/>' % quoteattr(message[-2000:]))
            elif id(test) in skipped:
                f.write('<skipped/>')
            f.write('</testcase>\n')
        f.write('</testsuites>\n')
    return 0 if result.wasSuccessful() else 1


def iterate(suite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from iterate(item)
        else:
            yield item


if __name__ == "__main__":
    sys.exit(main())
