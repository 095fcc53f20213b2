#!/usr/bin/python3
"""Runs hostile-peer or leak tests and writes the same GoogleTest-style XML
report as the end-to-end runner.

usage: run_hostile.py REPORT.xml [unittest names...]   (default: test_hostile)"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))

import run_e2e  # noqa: E402

if __name__ == "__main__":
    report, names = sys.argv[1], sys.argv[2:] or ["test_hostile"]
    sys.argv = [sys.argv[0], report] + names
    sys.exit(run_e2e.main())
