#!/usr/bin/python3
"""Zeptrix benchmarks, written into BENCHMARKS.md:
  - 1 GiB over loopback, file to file: the console peer pair against
    socat -b 8193 and nc, on disk (build tree) and on tmpfs (/dev/shm);
  - 1,000 files of 4 KiB in one batch, files per second;
  - scramble against memcpy;
  - Zeptrix.exe under Wine receiving 256 MiB, against the console receiver.

usage: scripts/bench.py [--runs N] [--quick] [--output FILE]
(scripts/bench.sh builds what it needs first.)"""
import argparse
import filecmp
import os
import platform
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from harness import free_port, port_open, wait_for  # noqa: E402

CLI = os.path.join(BUILD, "release", "cli", "zeptrix-cli")
SCRAMBLE_BENCH = os.path.join(BUILD, "release", "bench", "scramble_bench")
GIB = 1 << 30
MIB = 1 << 20


def listening(port):
    """True once something listens on the port, without connecting to it
    (socat and nc take only one connection)."""
    wanted = ":%04X" % port
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                for line in f.readlines()[1:]:
                    fields = line.split()
                    if fields[1].endswith(wanted) and fields[3] == "0A":
                        return True
        except OSError:
            pass
    return False


def wait_listening(port, process):
    deadline = time.time() + 10
    while time.time() < deadline:
        if listening(port):
            return
        if process.poll() is not None:
            raise RuntimeError("the receiver ended early")
        time.sleep(0.02)
    time.sleep(0.5)  # no /proc/net/tcp here: give it time


def make_payload(path, size):
    with open("/dev/urandom", "rb") as source, open(path, "wb") as f:
        left = size
        while left:
            block = source.read(min(left, 8 * MIB))
            f.write(block)
            left -= len(block)


def check_same(sent, arrived, what):
    if not filecmp.cmp(sent, arrived, shallow=False):
        raise RuntimeError(what + ": the copy differs")


class CliReceiver:
    def __init__(self, folder, port=None):
        self.port = port or free_port()
        self.process = subprocess.Popen([CLI, "receive", "--port", str(self.port), "--dir", folder],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: port_open(self.port), what="the console receiver")

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        self.process.wait(timeout=30)


def time_cli_send(port, files):
    start = time.perf_counter()
    result = subprocess.run([CLI, "send", "127.0.0.1:%d" % port] + files,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    took = time.perf_counter() - start
    if result.returncode != 0:
        raise RuntimeError("zeptrix-cli send failed: " + result.stderr)
    return took


def clear(folder):
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))


def cli_pair_run(source, out_dir):
    clear(out_dir)
    receiver = CliReceiver(out_dir)
    try:
        took = time_cli_send(receiver.port, [source])
    finally:
        receiver.stop()
    check_same(source, os.path.join(out_dir, os.path.basename(source)), "zeptrix-cli")
    return took


def piped_run(receiver_args, sender_args, source, target, what):
    """A receiver that writes the one connection's bytes to target and ends
    at its end; timed from the sender's start to the receiver's end."""
    if os.path.exists(target):
        os.remove(target)
    port = free_port()
    with open(target, "wb") as out:
        receiver = subprocess.Popen([a.replace("PORT", str(port)) for a in receiver_args],
                                    stdout=out, stderr=subprocess.DEVNULL)
    wait_listening(port, receiver)
    start = time.perf_counter()
    with open(source, "rb") as data:
        sender = subprocess.run([a.replace("PORT", str(port)) for a in sender_args],
                                stdin=data, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    receiver.wait(timeout=120)
    took = time.perf_counter() - start
    if sender.returncode != 0 or receiver.returncode != 0:
        raise RuntimeError(what + " failed")
    check_same(source, target, what)
    return took


def socat_file_run(source, out_dir):
    target = os.path.join(out_dir, "socat.bin")
    if os.path.exists(target):
        os.remove(target)
    port = free_port()
    receiver = subprocess.Popen(["socat", "-b", "8193", "-u",
                                 "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % port,
                                 "CREATE:" + target], stderr=subprocess.DEVNULL)
    wait_listening(port, receiver)
    start = time.perf_counter()
    sender = subprocess.run(["socat", "-b", "8193", "-u", "OPEN:%s,rdonly" % source,
                             "TCP:127.0.0.1:%d" % port], stderr=subprocess.DEVNULL)
    receiver.wait(timeout=120)
    took = time.perf_counter() - start
    if sender.returncode != 0 or receiver.returncode != 0:
        raise RuntimeError("socat failed")
    check_same(source, target, "socat")
    return took


def nc_run(source, out_dir):
    target = os.path.join(out_dir, "nc.bin")
    return piped_run(["nc", "-l", "-p", "PORT"], ["nc", "-N", "127.0.0.1", "PORT"],
                     source, target, "nc")


def median(values):
    return statistics.median(values)


def bulk(label, base, runs, size, log):
    """The three ways of moving size bytes over loopback, alternating."""
    in_dir = os.path.join(base, "in")
    out_dir = os.path.join(base, "out")
    os.makedirs(in_dir, exist_ok=True)
    os.makedirs(out_dir, exist_ok=True)
    source = os.path.join(in_dir, "payload.bin")
    make_payload(source, size)
    ways = [("zeptrix-cli pair", cli_pair_run), ("socat -b 8193", socat_file_run),
            ("nc", nc_run)]
    times = {name: [] for name, _ in ways}
    try:
        for run in range(1, runs + 1):
            for name, step in ways:
                times[name].append(step(source, out_dir))
                clear(out_dir)
            log("  %s run %d: %s" % (label, run, ", ".join(
                "%s %.3f s" % (n, times[n][-1]) for n, _ in ways)))
    finally:
        shutil.rmtree(base, ignore_errors=True)
    return {name: median(t) for name, t in times.items()}, times


def small_files(base, runs, count, size, log):
    in_dir = os.path.join(base, "in")
    out_dir = os.path.join(base, "out")
    os.makedirs(in_dir, exist_ok=True)
    os.makedirs(out_dir, exist_ok=True)
    files = []
    for i in range(count):
        path = os.path.join(in_dir, "small-%04d.bin" % i)
        with open(path, "wb") as f:
            f.write(os.urandom(size))
        files.append(path)
    rates = []
    try:
        for run in range(1, runs + 1):
            clear(out_dir)
            receiver = CliReceiver(out_dir)
            try:
                took = time_cli_send(receiver.port, files)
            finally:
                receiver.stop()
            if len(os.listdir(out_dir)) != count:
                raise RuntimeError("small files: %d of %d arrived" % (len(os.listdir(out_dir)), count))
            check_same(files[-1], os.path.join(out_dir, os.path.basename(files[-1])), "small files")
            rates.append(count / took)
            log("  small files run %d: %.3f s, %.0f files/s" % (run, took, rates[-1]))
    finally:
        shutil.rmtree(base, ignore_errors=True)
    return median(rates), rates


def scramble_figures(log):
    out = subprocess.run([SCRAMBLE_BENCH], capture_output=True, text=True, check=True).stdout
    log(out.rstrip())
    return out


def wine_figures(base, runs, size, log):
    """Zeptrix.exe under Wine receiving from the console peer, against the
    console receiver, same file and folder kind."""
    from harness import Display, windows_build, wine_loader, wine_prefix
    build = windows_build()
    exe_built = os.path.join(BUILD, build, "app", "Zeptrix.exe")
    if not os.path.exists(exe_built):
        return None
    os.makedirs(base, exist_ok=True)
    source = os.path.join(base, "payload-256.bin")
    make_payload(source, size)
    folder = tempfile.mkdtemp(prefix="zeptrix-wine-", dir=base)
    received = os.path.join(folder, "received")
    cli_dir = os.path.join(base, "cli-received")
    os.makedirs(received)
    os.makedirs(cli_dir)
    exe = os.path.join(folder, "Zeptrix.exe")
    shutil.copy(exe_built, exe)
    port = free_port()
    with open(os.path.join(folder, "Zeptrix.cfg"), "w", newline="\r\n") as f:
        f.write("port %d\ndir %s\n" % (port, "Z:" + received.replace("/", "\\")))
    display = Display()
    env = display.env()
    env.update(WINEPREFIX=wine_prefix(build), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    program = subprocess.Popen([wine_loader(build), exe], cwd=folder, env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wine_times, cli_times = [], []
    try:
        wait_for(lambda: port_open(port), timeout=90, what="Zeptrix.exe listening")
        for run in range(1, runs + 1):
            clear(received)
            wine_times.append(time_cli_send(port, [source]))
            check_same(source, os.path.join(received, "payload-256.bin"), "Zeptrix.exe")
            clear(cli_dir)
            cli_times.append(cli_pair_run(source, cli_dir))
            log("  wine run %d: Zeptrix.exe %.3f s, zeptrix-cli %.3f s"
                % (run, wine_times[-1], cli_times[-1]))
    finally:
        program.kill()
        program.wait()
        display.close()
        shutil.rmtree(base, ignore_errors=True)
    return median(wine_times), median(cli_times), build


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = open("/proc/loadavg").read().split()[:3]
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": platform.release(),
            "load": " ".join(load)}


def tmpfs_room(size):
    try:
        st = os.statvfs("/dev/shm")
        return st.f_bavail * st.f_frsize > 3 * size + 256 * MIB
    except OSError:
        return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="64 MiB instead of 1 GiB, no Wine")
    parser.add_argument("--output", default=os.path.join(ROOT, "BENCHMARKS.md"))
    args = parser.parse_args()
    size = 64 * MIB if args.quick else GIB
    lines = []

    def log(text):
        print(text, flush=True)
        lines.append(text)

    m = machine()
    log("machine: %d cores, %s, kernel %s, load %s" % (m["nproc"], m["cpu"], m["kernel"], m["load"]))
    places = [("disk", os.path.join(BUILD, "release", "bench-data"))]
    if tmpfs_room(size):
        places.append(("tmpfs", "/dev/shm/zeptrix-bench-%d" % os.getpid()))
    results = {}
    for label, base in places:
        log("%d MiB over loopback, file to file, on %s (%s)" % (size // MIB, label, base))
        results[label] = bulk(label, base, args.runs, size, log)[0]
    small_base = places[-1][1] + "-small"
    log("1000 files of 4 KiB in one batch (%s)" % places[-1][0])
    small_rate, _ = small_files(small_base, args.runs, 1000, 4096, log)
    log("scramble against memcpy")
    scramble_out = scramble_figures(log)
    wine = None
    if not args.quick:
        log("Zeptrix.exe under Wine receiving 256 MiB (%s)" % places[-1][0])
        wine = wine_figures(places[-1][1] + "-wine", args.runs, 256 * MIB, log)
    end_load = " ".join(open("/proc/loadavg").read().split()[:3])
    write_report(args, m, end_load, size, results, small_rate, scramble_out, wine, lines,
                 places)


def write_report(args, m, end_load, size, results, small_rate, scramble_out, wine, lines, places):
    command = "./zeptrix.sh bench" + (" --runs %d" % args.runs if args.runs != 3 else "") + \
        (" --quick" if args.quick else "")
    out = []
    out.append("# Benchmarks\n")
    out.append("Made by `%s` on %s." % (command, time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())))
    out.append("")
    out.append("Machine: %d cores (`nproc`), %s, Linux kernel %s; load average %s at the "
               "start, %s at the end." % (m["nproc"], m["cpu"], m["kernel"], m["load"], end_load))
    out.append("Medians of %d runs each; the ways alternate run by run. The console peer pair "
               "is `zeptrix-cli receive` already listening and `zeptrix-cli send`, timed until "
               "the sender has the receiver's acknowledgement (the file is complete under its "
               "name by then); socat and nc are timed from the sender's start until the "
               "receiver has written everything and ended. Every copy is compared with the "
               "original." % args.runs)
    out.append("")
    out.append("## %d MiB over loopback, file to file\n" % (size // MIB))
    out.append("| where | zeptrix-cli pair | socat -b 8193 | nc | zeptrix / socat speed | "
               "zeptrix / nc speed |")
    out.append("| --- | --- | --- | --- | --- | --- |")
    for label, _ in places:
        r = results[label]
        z, s, n = r["zeptrix-cli pair"], r["socat -b 8193"], r["nc"]
        mib = size / MIB
        out.append("| %s | %.3f s (%.0f MiB/s) | %.3f s (%.0f MiB/s) | %.3f s (%.0f MiB/s) | "
                   "%.2f | %.2f |" % (label, z, mib / z, s, mib / s, n, mib / n, s / z, n / z))
    out.append("")
    out.append("## 1,000 files of 4 KiB in one batch\n")
    out.append("zeptrix-cli pair, one connection per file, on %s: **%.0f files per second** "
               "(median)." % (places[-1][0], small_rate))
    out.append("")
    out.append("## scramble against memcpy (bench/scramble_bench, medians of 7)\n")
    out.append("```\n" + scramble_out.rstrip() + "\n```")
    out.append("")
    if wine:
        w, c, build = wine
        out.append("## Zeptrix.exe under Wine receiving 256 MiB\n")
        out.append("The %s build of Zeptrix.exe under wine on a virtual display, receiving from "
                   "`zeptrix-cli send` into %s: %.3f s (%.0f MiB/s); the console receiver, same "
                   "file and sender: %.3f s (%.0f MiB/s). Speed ratio Zeptrix.exe / console "
                   "receiver: **%.2f** (for information: Wine's file and socket layers are part "
                   "of it)." % (build, places[-1][0], w, 256 / w, c, 256 / c, c / w))
        out.append("")
    out.append("## Log\n")
    out.append("```\n" + "\n".join(lines) + "\n```")
    # Written notes (from a "## Notes" heading on) survive a new run.
    notes = ""
    if os.path.exists(args.output):
        with open(args.output) as f:
            old = f.read()
        if "\n## Notes" in old:
            notes = old[old.index("\n## Notes"):]
    with open(args.output, "w") as f:
        f.write("\n".join(out) + "\n" + notes)
    print("written to " + args.output)


if __name__ == "__main__":
    main()
