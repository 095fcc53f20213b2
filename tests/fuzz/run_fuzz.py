#!/usr/bin/python3
"""Runs each fuzz target for a time budget and writes a GoogleTest-style XML
report: one test case per target, failed when the target found a crash, a
leak or a time-out. Kept inputs (tests/fuzz/corpus/TARGET) are replayed
first, so every crash once found stays a regression case.

usage: run_fuzz.py BUILD_DIR SECONDS REPORT.xml [TARGET...]"""
import os
import re
import subprocess
import sys
import time
from xml.sax.saxutils import quoteattr

HERE = os.path.dirname(os.path.abspath(__file__))
TARGETS = {
    # target: extra libFuzzer options
    "settings": ["-max_len=4096"],
    "address": ["-max_len=300"],
    "receive": ["-max_len=20000"],
}


def run_target(build, name, seconds):
    exe = os.path.join(build, "tests", "fuzz", "fuzz_" + name)
    work = os.path.join(build, "corpus", name)
    artifacts = os.path.join(build, "artifacts", name) + os.sep
    logs = os.path.join(build, "logs")
    for d in (work, artifacts, logs):
        os.makedirs(d, exist_ok=True)
    log_path = os.path.join(logs, name + ".log")
    command = [exe, "-max_total_time=%d" % seconds, "-timeout=10", "-rss_limit_mb=2048",
               "-print_final_stats=1", "-dict=" + os.path.join(HERE, "zeptrix.dict"),
               "-artifact_prefix=" + artifacts] + TARGETS[name] + \
              [work, os.path.join(HERE, "corpus", name)]
    started = time.time()
    with open(log_path, "w") as log:
        try:
            rc = subprocess.run(command, stdout=log, stderr=subprocess.STDOUT,
                                timeout=seconds + 120).returncode
        except subprocess.TimeoutExpired:
            rc = -1
    took = time.time() - started
    with open(log_path, errors="replace") as f:
        text = f.read()
    found = re.search(r"stat::number_of_executed_units: (\d+)", text)
    runs = int(found.group(1)) if found else 0
    message = None
    if rc != 0:
        crash = re.findall(r"Test unit written to (\S+)", text)
        tail = "\n".join(text.splitlines()[-40:])
        message = "fuzz_%s exited with %d%s\n%s" % (
            name, rc, (", input kept in " + crash[-1]) if crash else "", tail)
    print("fuzz_%-10s %9d executions in %3.0f s  %s" % (name, runs, took,
                                                         "ok" if rc == 0 else "FAILED (log: %s)" % log_path))
    return runs, took, message


def main():
    build, seconds, report = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    names = sys.argv[4:] or list(TARGETS)
    cases = [(name,) + run_target(build, name, seconds) for name in names]
    failures = sum(1 for c in cases if c[3])
    os.makedirs(os.path.dirname(os.path.abspath(report)), exist_ok=True)
    with open(report, "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n')
        f.write('<testsuites tests="%d" failures="%d" disabled="0" errors="0" name="fuzz">\n'
                % (len(cases), failures))
        for name, runs, took, message in cases:
            f.write('  <testcase name=%s executions="%d" time="%.1f">'
                    % (quoteattr("fuzz_" + name), runs, took))
            if message:
                f.write('<failure message=%s/>' % quoteattr(message[-3000:]))
            f.write('</testcase>\n')
        f.write('</testsuites>\n')
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
