#!/usr/bin/python3
"""Runs the tests of the build steps and writes the same GoogleTest-style
XML report as the other Python tiers.

usage: run_script_tests.py REPORT.xml [unittest names...]"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))

import run_e2e  # noqa: E402

if __name__ == "__main__":
    sys.exit(run_e2e.main(start_dir=HERE, name="build-steps"))
