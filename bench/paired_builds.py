#!/usr/bin/python3
"""Two builds of zeptrix-cli against each other on disk, paired round by
round as scripts/bench.py pairs its ways: 1 GiB, and 1,000 files of 4 KiB as
one folder, in the fixed and in the secure format. Made to measure what one
change costs, for example flushing received files to the disk before they
are acknowledged.

With --delay-ms D every transfer goes through bench/delay_proxy.py, which
holds each byte back D ms in each direction.

usage: bench/paired_builds.py BEFORE_CLI AFTER_CLI [--rounds N] [--size MIB] [--where DIR] [--delay-ms D]"""
import argparse
import os
import shutil
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import bench  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--size", type=int, default=1024, help="MiB of the large file")
    parser.add_argument("--where", default=os.path.join(bench.BUILD, "release", "paired-data"))
    parser.add_argument("--delay-ms", type=float, default=None, help="through the delay proxy")
    args = parser.parse_args()
    base = args.where
    out_dir = os.path.join(base, "out")
    os.makedirs(out_dir, exist_ok=True)
    source = os.path.join(base, "payload.bin")
    bench.make_payload(source, args.size * bench.MIB)
    files, _ = bench.make_small_files(base, 1000, 4096)
    folder = os.path.dirname(files[0])
    secure = bench.secret_options(base)

    def way(cli, sent, expected, options=()):
        def run():
            bench.CLI = cli
            return bench.batch_way(sent, expected, out_dir, options, args.delay_ms)()
        return run

    ways = []
    for label, options in (("fixed", ()), ("secure", secure)):
        for build, cli in (("before", args.before), ("after", args.after)):
            ways.append(("%s %s large" % (build, label), way(cli, [source], 1, options)))
            ways.append(("%s %s small" % (build, label), way(cli, [folder], 1000, options)))
    try:
        samples = bench.in_turn(ways, args.rounds, print, "paired")
    finally:
        shutil.rmtree(base, ignore_errors=True)
    print()
    print("| what | before | after | after / before, time |")
    print("| --- | --- | --- | --- |")
    for label in ("fixed", "secure"):
        for kind, what in (("large", "%d MiB" % args.size), ("small", "1,000 files of 4 KiB")):
            before, after = samples["before %s %s" % (label, kind)], samples["after %s %s" % (label, kind)]
            ratios = [a.wall / b.wall for a, b in zip(after, before)]
            print("| %s, %s | %s | %s | %.2f (%.2f to %.2f) |" % ((what, label, bench.time_cell(before),
                                                                  bench.time_cell(after)) + bench.spread(ratios)))


if __name__ == "__main__":
    main()
