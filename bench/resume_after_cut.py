#!/usr/bin/python3
"""A large file in the secure format between two console peers, through the
delay proxy, uncut and cut once at given byte counts (the last of them
also with the reset kept from the receiver), paired round by round
as scripts/bench.py pairs its ways. Shows what a dropped connection costs
now that the sender tries again by itself and the receiver resumes from
its part: the time, the CPU, and the bytes that crossed the proxy towards
the receiver, in file sizes.

usage: bench/resume_after_cut.py [--rounds N] [--size MIB] [--delay-ms D]
                                 [--cuts MIB,MIB] [--where DIR]"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import bench  # noqa: E402

CONNECTION_LINE = re.compile(r"connection \d+: (\d+) bytes up")


def start_proxy(target_port, delay_ms, cut, silent):
    """The delay proxy, its lines collected as they come."""
    port, proxy = bench.start_proxy(target_port, delay_ms, [cut] if cut else [],
                                    ["--silent-server"] if silent else [])
    proxy.lines = []
    proxy.reader = threading.Thread(target=lambda: proxy.lines.extend(proxy.stdout), daemon=True)
    proxy.reader.start()
    return port, proxy


def send_through_cut(source, out_dir, options, delay_ms, cut, silent, seen):
    """One send through a proxy that cuts its first connection after `cut`
    bytes (never when 0), with a reset at both ends or, when silent, at the
    sender's only; notes the bytes up and the sender's tries."""
    bench.clear(out_dir)
    port, receiver = bench.start_cli_receiver(out_dir, options)
    proxy_port, proxy = start_proxy(port, delay_ms, cut, silent)
    tries = []
    try:
        start = time.perf_counter()
        sender = subprocess.Popen([bench.CLI] + list(options) + ["send", "127.0.0.1:%d" % proxy_port, source],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        sender_cpu = bench.finish(sender)
        wall = time.perf_counter() - start
        tries = [line.strip() for line in sender.stderr if line.startswith("connection lost")]
        if sender.returncode != 0:
            raise RuntimeError("zeptrix-cli send failed")
    finally:
        # The proxy prints a line for each connection as it ends.
        give_up = time.monotonic() + 10
        while len(proxy.lines) < len(tries) + 1 and time.monotonic() < give_up:
            time.sleep(0.05)
        receiver.send_signal(signal.SIGINT)
        receiver_cpu = bench.finish(receiver, 30)
        proxy.kill()
        proxy.wait()
    bench.check_same(source, os.path.join(out_dir, os.path.basename(source)), "resumed send")
    up = sum(int(m.group(1)) for m in CONNECTION_LINE.finditer("".join(proxy.lines)))
    seen.append((up / os.path.getsize(source), tries))
    return bench.Sample(wall, sender_cpu, receiver_cpu)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--size", type=int, default=1024, help="MiB of the file")
    parser.add_argument("--delay-ms", type=int, default=1)
    parser.add_argument("--cuts", default="300,700", help="MiB up after which the first connection is cut")
    parser.add_argument("--where", default=os.path.join(bench.BUILD, "release", "resume-data"))
    args = parser.parse_args()
    out_dir = os.path.join(args.where, "out")
    os.makedirs(out_dir, exist_ok=True)
    source = os.path.join(args.where, "payload.bin")
    bench.make_payload(source, args.size * bench.MIB)
    options = bench.secret_options(args.where)
    cuts = [int(c) * bench.MIB for c in args.cuts.split(",") if c]
    # The last cut once more, unheard of by the receiver.
    ways = [("uncut", 0, False)] + [("cut at %d MiB" % (c // bench.MIB), c, False) for c in cuts]
    ways += [("cut at %d MiB, receiver not told" % (cuts[-1] // bench.MIB), cuts[-1], True)] if cuts else []
    names = [name for name, _, _ in ways]
    seen = {name: [] for name in names}

    def way(name, cut, silent):
        return lambda: send_through_cut(source, out_dir, options, args.delay_ms, cut, silent, seen[name])

    try:
        samples = bench.in_turn([(n, way(n, c, s)) for n, c, s in ways], args.rounds, print, "resume")
    finally:
        shutil.rmtree(args.where, ignore_errors=True)
    print()
    print("| way | time | CPU, both ends | bytes up / file size | tries | time / uncut, per round |")
    print("| --- | --- | --- | --- | --- | --- |")
    for name in names:
        counted = seen[name][1:]  # the warm-up round is not counted
        carried = [c for c, _ in counted]
        tries = sorted({len(t) for _, t in counted})
        ratios = [s.wall / u.wall for s, u in zip(samples[name], samples["uncut"])]
        print("| %s | %s | %s | %.4f to %.4f | %s | %.2f (%.2f to %.2f) |" % (
            (name, bench.time_cell(samples[name]), bench.cpu_cell(samples[name]), min(carried), max(carried),
             ", ".join(str(t) for t in tries)) + bench.spread(ratios)))
    lines = sorted({line for name in names for _, t in seen[name] for line in t})
    if lines:
        print()
        print("the sender printed: " + " / ".join(lines))


if __name__ == "__main__":
    main()
