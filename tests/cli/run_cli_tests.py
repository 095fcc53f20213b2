#!/usr/bin/python3
"""Runs the console peer's tests and writes a GoogleTest-style XML report,
so the test command can add them to its totals.

usage: run_cli_tests.py REPORT.xml [unittest names...]"""
import os
import sys
import unittest
from xml.sax.saxutils import quoteattr

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def iterate(suite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from iterate(item)
        else:
            yield item


def main():
    report = sys.argv[1]
    names = sys.argv[2:]
    loader = unittest.TestLoader()
    suite = loader.loadTestsFromNames(names) if names else loader.discover(HERE, "test_*.py")
    tests = list(iterate(suite))  # the runner empties the suite as it goes
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    failures = result.failures + result.errors
    skipped = {id(t) for t, _ in result.skipped}
    os.makedirs(os.path.dirname(os.path.abspath(report)), exist_ok=True)
    with open(report, "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n')
        f.write('<testsuites tests="%d" failures="%d" disabled="%d" errors="0" name="cli">\n'
                % (result.testsRun, len(failures), len(result.skipped)))
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


if __name__ == "__main__":
    sys.exit(main())
