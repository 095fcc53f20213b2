#!/usr/bin/python3
"""A large file in the secure format between two console peers, through the
delay proxy, uncut and cut once at given byte counts (the last of them
also with the reset kept from the receiver), paired round by round
as scripts/bench.py pairs its ways. Shows what a dropped connection costs
now that the sender tries again by itself and the receiver resumes from
its part: the time, the CPU, and the bytes that crossed the proxy towards
the receiver, in file sizes.

Each cut goes once more with the kept part damaged on the disk (one byte
in its middle turned over, its times left as they were) while the sender
waits to try again: the receiver's hash of the part no longer matches the
sender's, and the whole file must go again. These ways pause 2 s before
the retry (ZEPTRIX_RECONNECT_UNIT_MS=2000) so that the damage surely comes
first; the others keep the default pause of 1 s.

What the proof of a resumed part costs is the time to hash its bytes
twice, the receiver reading its part back and then the sender its file.
That is timed apart, with b2sum -l 256 standing in for the program's
BLAKE2b-256, on the first MiB of the file up to the last cut: from the
page cache, and with the file's pages dropped first (from the disk).

usage: bench/resume_after_cut.py [--rounds N] [--size MIB] [--delay-ms D]
                                 [--cuts MIB,MIB] [--where DIR]"""
import argparse
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import bench  # noqa: E402

CONNECTION_LINE = re.compile(r"connection (\d+): (\d+) bytes up")
FIRST_CUT_LINE = re.compile(r"connection 1: \d+ bytes up, \d+ bytes down, cut")
PART_NAME = re.compile(r"[0-9a-fA-F]{32}")
# The pause unit of the ways whose part is damaged, and how long before
# the retry the damage must be done at the latest.
DAMAGE_UNIT_MS = 2000
DAMAGE_MARGIN = 0.5
# The part has stopped growing once its size stays this long.
PART_SETTLED = 0.3


def start_proxy(target_port, delay_ms, cut, silent):
    """The delay proxy, its lines collected as they come."""
    port, proxy = bench.start_proxy(target_port, delay_ms, [cut] if cut else [],
                                    ["--silent-server"] if silent else [])
    proxy.lines = []
    proxy.reader = threading.Thread(target=lambda: proxy.lines.extend(proxy.stdout), daemon=True)
    proxy.reader.start()
    return port, proxy


def wait_until(what, deadline, check):
    while True:
        found = check()
        if found:
            return found
        if time.monotonic() > deadline:
            raise RuntimeError("no " + what + " in time")
        time.sleep(0.02)


def damage_part(out_dir, proxy, lost, retry_pause):
    """Once the first connection is cut and the receiver's part has settled
    on the disk, turns over the byte in its middle, keeping its times.
    lost holds the moment the sender said it lost the connection; the
    damage must be done well before its retry. Returns the part's size."""
    wait_until("cut of the first connection", time.monotonic() + 600,
               lambda: any(FIRST_CUT_LINE.match(line) for line in proxy.lines))
    said = wait_until("word of the lost connection from the sender", time.monotonic() + 10, lambda: lost)[0]
    latest = said + retry_pause - DAMAGE_MARGIN
    parts_dir = os.path.join(out_dir, ".zeptrix-parts")

    def one_part():
        try:
            names = [n for n in os.listdir(parts_dir) if PART_NAME.fullmatch(n)]
        except FileNotFoundError:
            return None
        if len(names) > 1:
            raise RuntimeError("%d parts kept, one expected" % len(names))
        return os.path.join(parts_dir, names[0]) if names else None
    part = wait_until("kept part", latest, one_part)
    size, since = os.path.getsize(part), time.monotonic()
    while time.monotonic() - since < PART_SETTLED:
        if time.monotonic() > latest:
            raise RuntimeError("the part was still growing when the sender was about to try again")
        time.sleep(0.02)
        now = os.path.getsize(part)
        if now != size:
            size, since = now, time.monotonic()
    if size == 0:
        raise RuntimeError("the kept part is empty")
    times = os.stat(part)
    fd = os.open(part, os.O_RDWR)
    try:
        middle = size // 2
        byte = os.pread(fd, 1, middle)
        os.pwrite(fd, bytes([byte[0] ^ 0xFF]), middle)
        os.fsync(fd)
    finally:
        os.close(fd)
    os.utime(part, ns=(times.st_atime_ns, times.st_mtime_ns))
    if time.monotonic() > latest:
        raise RuntimeError("the part was damaged too close to the sender's retry")
    return size


def send_through_cut(source, out_dir, options, delay_ms, cut, silent, damage, seen):
    """One send through a proxy that cuts its first connection after `cut`
    bytes (never when 0), with a reset at both ends or, when silent, at the
    sender's only; with damage, the receiver's part is damaged before the
    sender tries again. Notes the bytes up, the sender's tries and the
    size of a damaged part."""
    bench.clear(out_dir)
    port, receiver = bench.start_cli_receiver(out_dir, options)
    proxy_port, proxy = start_proxy(port, delay_ms, cut, silent)
    env = dict(os.environ, ZEPTRIX_RECONNECT_UNIT_MS=str(DAMAGE_UNIT_MS)) if damage else None
    sender = None
    tries, lost = [], []
    part_size = None
    try:
        start = time.perf_counter()
        sender = subprocess.Popen([bench.CLI] + list(options) + ["send", "127.0.0.1:%d" % proxy_port, source],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)

        def read_sender():
            for line in sender.stderr:
                if line.startswith("connection lost"):
                    lost.append(time.monotonic())
                    tries.append(line.strip())
        reader = threading.Thread(target=read_sender, daemon=True)
        reader.start()
        if damage:
            part_size = damage_part(out_dir, proxy, lost, DAMAGE_UNIT_MS / 1000)
        sender_cpu = bench.finish(sender)
        wall = time.perf_counter() - start
        reader.join(5)
        if sender.returncode != 0:
            raise RuntimeError("zeptrix-cli send failed")
    finally:
        if sender and sender.returncode is None:
            sender.kill()
            sender.wait()
        # The proxy prints a line for each connection as it ends.
        give_up = time.monotonic() + 10
        while len(proxy.lines) < len(tries) + 1 and time.monotonic() < give_up:
            time.sleep(0.05)
        receiver.send_signal(signal.SIGINT)
        receiver_cpu = bench.finish(receiver, 30)
        proxy.kill()
        proxy.wait()
    bench.check_same(source, os.path.join(out_dir, os.path.basename(source)), "resumed send")
    ups = [int(m.group(2)) for m in CONNECTION_LINE.finditer("".join(proxy.lines))]
    size = os.path.getsize(source)
    if damage and (len(ups) < 2 or max(ups[1:]) < size):
        raise RuntimeError("the damaged part was resumed from: %s bytes up" % ups)
    seen.append((sum(ups) / size, tries, part_size))
    return bench.Sample(wall, sender_cpu, receiver_cpu)


def b2sum(path, cold):
    """Wall and CPU seconds of b2sum -l 256 on the file, its pages dropped
    from the page cache first when cold."""
    if cold:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.fdatasync(fd)  # dirty pages would stay in the cache
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)
    start = time.perf_counter()
    process = subprocess.Popen(["b2sum", "-l", "256", path], stdout=subprocess.DEVNULL)
    cpu = bench.finish(process)
    wall = time.perf_counter() - start
    if process.returncode != 0:
        raise RuntimeError("b2sum failed")
    return wall, cpu


def proof_stand_in(path, cold):
    """The two hashes of a resume, one after the other: the receiver's of
    its part read back (counted as the receiver's CPU), then the sender's
    of its file."""
    def way():
        receiver_wall, receiver_cpu = b2sum(path, cold)
        sender_wall, sender_cpu = b2sum(path, cold)
        return bench.Sample(receiver_wall + sender_wall, sender_cpu, receiver_cpu)
    return way


def copy_start(source, target, size):
    with open(source, "rb") as f, open(target, "wb") as out:
        left = size
        while left:
            block = f.read(min(left, 8 * bench.MIB))
            out.write(block)
            left -= len(block)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--size", type=int, default=1024, help="MiB of the file")
    parser.add_argument("--delay-ms", type=int, default=1)
    parser.add_argument("--cuts", default="300,700", help="MiB up after which the first connection is cut")
    parser.add_argument("--where", default=os.path.join(bench.BUILD, "release", "resume-data"))
    args = parser.parse_args()
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")
    if not shutil.which("b2sum"):
        sys.exit("b2sum (coreutils) is needed for the hashing stand-in")
    cuts = [int(c) * bench.MIB for c in args.cuts.split(",") if c]
    if not cuts:
        parser.error("--cuts needs at least one count")
    out_dir = os.path.join(args.where, "out")
    os.makedirs(out_dir, exist_ok=True)
    try:
        source = os.path.join(args.where, "payload.bin")
        bench.make_payload(source, args.size * bench.MIB)
        options = bench.secret_options(args.where)
        # What a resume after the last cut hashes, twice.
        proved = cuts[-1]
        hashed = os.path.join(args.where, "first-%d-mib.bin" % (proved // bench.MIB))
        copy_start(source, hashed, proved)
        # The last cut once more, unheard of by the receiver; then each cut
        # with the part damaged.
        ways = [("uncut", 0, False, False)] + [("cut at %d MiB" % (c // bench.MIB), c, False, False) for c in cuts]
        ways += [("cut at %d MiB, receiver not told" % (cuts[-1] // bench.MIB), cuts[-1], True, False)]
        ways += [("cut at %d MiB, part corrupted" % (c // bench.MIB), c, False, True) for c in cuts]
        names = [name for name, _, _, _ in ways]
        seen = {name: [] for name in names}
        warm = "hash %d MiB twice, page cache" % (proved // bench.MIB)
        cold = "hash %d MiB twice, pages dropped" % (proved // bench.MIB)

        def way(name, cut, silent, damage):
            return lambda: send_through_cut(source, out_dir, options, args.delay_ms, cut, silent, damage,
                                            seen[name])

        steps = [(n, way(n, c, s, d)) for n, c, s, d in ways]
        steps += [(warm, proof_stand_in(hashed, False)), (cold, proof_stand_in(hashed, True))]
        samples = bench.in_turn(steps, args.rounds, print, "resume")
    finally:
        shutil.rmtree(args.where, ignore_errors=True)
    print()
    print("| way | time | CPU, both ends | bytes up / file size | tries | time / uncut, per round |")
    print("| --- | --- | --- | --- | --- | --- |")
    for name in names:
        counted = seen[name][1:]  # the warm-up round is not counted
        carried = [c for c, _, _ in counted]
        tries = sorted({len(t) for _, t, _ in counted})
        ratios = [s.wall / u.wall for s, u in zip(samples[name], samples["uncut"])]
        print("| %s | %s | %s | %.4f to %.4f | %s | %.2f (%.2f to %.2f) |" % (
            (name, bench.time_cell(samples[name]), bench.cpu_cell(samples[name]), min(carried), max(carried),
             ", ".join(str(t) for t in tries)) + bench.spread(ratios)))
    print()
    print("The part-corrupted ways pause %.0f s before the retry (ZEPTRIX_RECONNECT_UNIT_MS=%d), the others "
          "1 s (the default)." % (DAMAGE_UNIT_MS / 1000, DAMAGE_UNIT_MS))
    for name in names:
        held = [p for _, _, p in seen[name][1:] if p is not None]
        if held:
            print("%s: the part held %.1f to %.1f MiB when its middle byte was turned over." % (
                name, min(held) / bench.MIB, max(held) / bench.MIB))
    resumed = "cut at %d MiB" % (proved // bench.MIB)
    for label in (warm, cold):
        share = [h.wall / r.wall for h, r in zip(samples[label], samples[resumed])]
        print("Proof of a %d MiB resume, stand-in (b2sum -l 256, twice one after the other, %s): %s, "
              "CPU %.2f s; per round %.3f (%.3f to %.3f) of the time of %s." % (
                  (proved // bench.MIB, label.split(", ")[1], bench.time_cell(samples[label]),
                   statistics.median(x.cpu for x in samples[label])) + bench.spread(share) + (resumed,)))
    lines = sorted({line for name in names for _, t, _ in seen[name] for line in t})
    if lines:
        print()
        print("the sender printed: " + " / ".join(lines))


if __name__ == "__main__":
    main()
