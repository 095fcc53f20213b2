#!/usr/bin/python3
"""Zeptrix benchmarks, written into BENCHMARKS.md:
  - 1 GiB over loopback, file to file: the console peer pair against
    socat -b 8193 and nc, and the pair in the secure format against the
    fixed one, on disk (build tree) and on tmpfs (/dev/shm);
  - 1,000 files of 4 KiB in one batch, files per second, in both formats;
  - 500 files of 4 KiB as one folder through a proxy that holds every byte
    back 1 ms each way (bench/delay_proxy.py): both formats and tar | nc;
  - scramble against memcpy;
  - Zeptrix.exe under Wine receiving 256 MiB, against a plain Winsock
    receiver under the same Wine, and a copy with a secret receiving by the
    secure format against the fixed one.

The ways of one comparison run in turn, round by round, after a warm-up
round that is not counted; ratios are taken within each round, so a busy
moment of the shared machine hits both sides of a ratio alike. Beside the
wall time stands the CPU time (user + system) of both ends, from the
resource usage of the finished child processes.

usage: scripts/bench.py [--rounds N] [--quick] [--output FILE]
(scripts/bench.sh builds what it needs first.)"""
import argparse
import filecmp
import os
import platform
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


def wait_listening(port, process, timeout=10):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if listening(port):
            return
        if process.poll() is not None:
            raise RuntimeError("the receiver ended early")
        time.sleep(0.02)
    raise RuntimeError("nothing listens on port %d" % port)


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



def finish(process, timeout=300):
    """Waits for a child and returns its CPU seconds (user + system); a
    child that does not end in time is killed."""
    import threading
    watchdog = threading.Timer(timeout, process.kill)
    watchdog.start()
    try:
        _, status, usage = os.wait4(process.pid, 0)
    finally:
        watchdog.cancel()
    process.returncode = os.waitstatus_to_exitcode(status)
    return usage.ru_utime + usage.ru_stime


TICK = os.sysconf("SC_CLK_TCK")


def process_cpu(pid):
    """CPU seconds a running process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def wineserver_cpu():
    total = 0.0
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/comm" % entry) as f:
                    if f.read().startswith("wineserver"):
                        total += process_cpu(int(entry))
            except OSError:
                pass
    return total


class Sample:
    """One timed transfer: wall seconds and the CPU seconds of each end;
    for batches also the seconds from the first file's arrival to the end."""

    def __init__(self, wall, sender_cpu, receiver_cpu, extra_cpu=0.0, after_first=None):
        self.wall = wall
        self.sender_cpu = sender_cpu
        self.receiver_cpu = receiver_cpu
        self.extra_cpu = extra_cpu  # Wine's server process, where there is one
        self.after_first = after_first

    @property
    def cpu(self):
        return self.sender_cpu + self.receiver_cpu + self.extra_cpu


def clear(folder):
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        if os.path.isdir(path):
            shutil.rmtree(path)
        else:
            os.remove(path)


# The secure format's secret for the ways that use it, in a file as the
# console peer takes it.
BENCH_SECRET = "benchmark secret, shared by both ends"


def secret_options(base):
    path = os.path.join(base, "secret.txt")
    with open(path, "w") as f:
        f.write(BENCH_SECRET + "\n")
    return ["--secret-file", path]


class FirstLine:
    """Notes when a child's standard output gives its first line (that
    passes keep), reading the rest so the child never blocks."""

    def __init__(self, stream, keep=lambda line: True):
        import threading
        self.at = None
        self.thread = threading.Thread(target=self.read, args=(stream, keep), daemon=True)
        self.thread.start()

    def read(self, stream, keep):
        for line in stream:
            if self.at is None and keep(line):
                self.at = time.perf_counter()


def start_cli_receiver(folder, options=()):
    """zeptrix-cli receive, listening; its "stored" lines are watched."""
    port = free_port()
    process = subprocess.Popen([CLI] + list(options) + ["receive", "--port", str(port), "--dir", folder],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    process.first_stored = FirstLine(process.stdout)
    wait_listening(port, process)
    return port, process


def cli_send(port, files, options=()):
    """zeptrix-cli send, timed until it has the last acknowledgement."""
    start = time.perf_counter()
    sender = subprocess.Popen([CLI] + list(options) + ["send", "127.0.0.1:%d" % port] + files,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    cpu = finish(sender)
    wall = time.perf_counter() - start
    if sender.returncode != 0:
        raise RuntimeError("zeptrix-cli send failed: " + sender.stderr.read().decode())
    return wall, cpu


PROXY = os.path.join(ROOT, "bench", "delay_proxy.py")


def start_proxy(target_port, delay_ms, cuts=(), options=()):
    """The delay proxy in front of target_port; returns its port and process."""
    port = free_port()
    process = subprocess.Popen([sys.executable, PROXY, str(port), str(target_port), "--delay-ms", str(delay_ms),
                                "--cut", ",".join(str(c) for c in cuts)] + list(options),
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    if process.stdout.readline().strip() != "ready":
        raise RuntimeError("the delay proxy did not start")
    return port, process


def cli_pair(files, out_dir, options=(), delay_ms=None):
    """A console receiver already listening and zeptrix-cli send, straight
    or through the delay proxy."""
    clear(out_dir)
    port, receiver = start_cli_receiver(out_dir, options)
    proxy = None
    if delay_ms is not None:
        port, proxy = start_proxy(port, delay_ms)
    try:
        wall, sender_cpu = cli_send(port, files, options)
        end = time.perf_counter()
    finally:
        receiver.send_signal(signal.SIGINT)
        receiver_cpu = finish(receiver, 30)
        if proxy:
            proxy.kill()
            proxy.wait()
    receiver.first_stored.thread.join(5)
    first = receiver.first_stored.at
    return Sample(wall, sender_cpu, receiver_cpu, after_first=end - first if first else None)


def zeptrix_way(source, out_dir, options=()):
    sample = cli_pair([source], out_dir, options)
    check_same(source, os.path.join(out_dir, os.path.basename(source)), "zeptrix-cli")
    return sample


def one_connection(receiver_args, sender_args, source, target, what, sender_stdin=None,
                   receiver_stdout=None):
    """A receiver that takes one connection and ends; timed from the
    sender's start to the receiver's end."""
    if os.path.exists(target):
        os.remove(target)
    port = free_port()
    out = open(target, "wb") if receiver_stdout else None
    receiver = subprocess.Popen([a.replace("PORT", str(port)) for a in receiver_args],
                                stdout=out or subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if out:
        out.close()
    wait_listening(port, receiver)
    data = open(source, "rb") if sender_stdin else None
    start = time.perf_counter()
    sender = subprocess.Popen([a.replace("PORT", str(port)) for a in sender_args],
                              stdin=data or subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    sender_cpu = finish(sender)
    receiver_cpu = finish(receiver)
    wall = time.perf_counter() - start
    if data:
        data.close()
    if sender.returncode != 0 or receiver.returncode != 0:
        raise RuntimeError(what + " failed")
    check_same(source, target, what)
    os.remove(target)
    return Sample(wall, sender_cpu, receiver_cpu)


def socat_way(source, out_dir):
    return one_connection(
        ["socat", "-b", "8193", "-u", "TCP-LISTEN:PORT,bind=127.0.0.1,reuseaddr",
         "CREATE:" + os.path.join(out_dir, "socat.bin")],
        ["socat", "-b", "8193", "-u", "OPEN:%s,rdonly" % source, "TCP:127.0.0.1:PORT"],
        source, os.path.join(out_dir, "socat.bin"), "socat")


def nc_way(source, out_dir):
    return one_connection(["nc", "-l", "-p", "PORT"], ["nc", "-N", "127.0.0.1", "PORT"],
                          source, os.path.join(out_dir, "nc.bin"), "nc", sender_stdin=True,
                          receiver_stdout=True)


def in_turn(ways, rounds, log, label):
    """Runs each way once per round, in order, after one warm-up round.
    Returns {name: [Sample per counted round]}."""
    samples = {name: [] for name, _ in ways}
    for round_number in range(0, rounds + 1):
        this_round = [(name, step()) for name, step in ways]
        log("  %s %s: %s" % (label, "warm-up" if round_number == 0 else "round %d" % round_number,
                             ", ".join("%s %.3f s (CPU %.2f s)" % (n, x.wall, x.cpu)
                                       for n, x in this_round)))
        if round_number:
            for name, sample in this_round:
                samples[name].append(sample)
    return samples


def spread(values):
    return statistics.median(values), min(values), max(values)


def ratios(samples, faster, slower):
    """Per-round speed of faster against slower: slower's time over faster's."""
    return [b.wall / a.wall for a, b in zip(samples[faster], samples[slower])]


def bulk(label, base, rounds, size, log):
    in_dir = os.path.join(base, "in")
    out_dir = os.path.join(base, "out")
    os.makedirs(in_dir, exist_ok=True)
    os.makedirs(out_dir, exist_ok=True)
    source = os.path.join(in_dir, "payload.bin")
    make_payload(source, size)
    secure = secret_options(base)
    ways = [("zeptrix", lambda: zeptrix_way(source, out_dir)),
            ("zeptrix secure", lambda: zeptrix_way(source, out_dir, secure)),
            ("socat", lambda: socat_way(source, out_dir)),
            ("nc", lambda: nc_way(source, out_dir))]
    try:
        return in_turn(ways, rounds, log, label)
    finally:
        shutil.rmtree(base, ignore_errors=True)


def make_small_files(base, count, size):
    """count files of size random bytes, once side by side in one folder and
    once spread over 10 x 10 subfolders; returns both lists of paths."""
    flat_dir = os.path.join(base, "in", "flat")
    tree = os.path.join(base, "tree")
    os.makedirs(flat_dir, exist_ok=True)
    files, nested = [], []
    for i in range(count):
        data = os.urandom(size)
        path = os.path.join(flat_dir, "small-%04d.bin" % i)
        folder = os.path.join(tree, "d%d" % (i // 100), "e%d" % (i // 10 % 10))
        os.makedirs(folder, exist_ok=True)
        for where in (path, os.path.join(folder, "small-%04d.bin" % i)):
            with open(where, "wb") as f:
                f.write(data)
        files.append(path)
        nested.append(os.path.join(folder, "small-%04d.bin" % i))
    return files, nested


def arrived_files(folder):
    return sum(len(names) for _, _, names in os.walk(folder))


def batch_way(sent, expected, out_dir, options=(), delay_ms=None):
    """One zeptrix-cli batch; every file must arrive."""
    def way():
        sample = cli_pair(sent, out_dir, options, delay_ms)
        if arrived_files(out_dir) != expected:
            raise RuntimeError("%d of %d files arrived" % (arrived_files(out_dir), expected))
        return sample
    return way


def per_file_rates(samples, batch, count):
    """Files per second from the first file to the last acknowledgement:
    the time from the receiver's line for its first file to the sender's
    end, so that start-up and the key derivation do not count."""
    return [(count - 1) / max(x.after_first, 1e-6) for x in samples[batch]]


def small_files(base, rounds, count, size, log):
    """The same files named one by one (a flat batch) and as one folder of
    10 x 10 subfolders (the folder walk), in the fixed format, and that
    folder in the secure format."""
    out_dir = os.path.join(base, "out")
    os.makedirs(out_dir, exist_ok=True)
    files, nested = make_small_files(base, count, size)
    tree = os.path.join(base, "tree")
    secure = secret_options(base)
    ways = [("flat batch", batch_way(files, count, out_dir)),
            ("nested folders", batch_way([tree], count, out_dir)),
            ("secure nested folders", batch_way([tree], count, out_dir, secure))]
    try:
        return in_turn(ways, rounds, log, "small files")
    finally:
        shutil.rmtree(base, ignore_errors=True)


def tar_nc_way(folder, out_dir, delay_ms):
    """tar piped into nc, through the delay proxy, into nc piped into tar;
    timed from the sender's start until the receiving tar has ended."""
    def way():
        clear(out_dir)
        port = free_port()
        receiver = subprocess.Popen(["sh", "-c", "nc -l -p %d | stdbuf -oL tar xv -C '%s'" % (port, out_dir)],
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        first_file = FirstLine(receiver.stdout, lambda line: not line.rstrip().endswith("/"))
        wait_listening(port, receiver)
        proxy_port, proxy = start_proxy(port, delay_ms)
        parent, name = os.path.split(folder)
        start = time.perf_counter()
        sender = subprocess.Popen(["sh", "-c", "tar c -C '%s' '%s' | nc -N 127.0.0.1 %d" % (parent, name, proxy_port)],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        sender_cpu = finish(sender)
        receiver_cpu = finish(receiver)
        end = time.perf_counter()
        wall = end - start
        proxy.kill()
        proxy.wait()
        if sender.returncode != 0 or receiver.returncode != 0:
            raise RuntimeError("tar | nc failed")
        first_file.thread.join(5)
        return Sample(wall, sender_cpu, receiver_cpu, after_first=end - first_file.at)
    return way


def through_proxy(base, rounds, count, size, delay_ms, log):
    """One folder of count small files through the delay proxy: the fixed
    format, the secure format and tar | nc."""
    out_dir = os.path.join(base, "out")
    os.makedirs(out_dir, exist_ok=True)
    files, _ = make_small_files(base, count, size)
    folder = os.path.dirname(files[0])
    secure = secret_options(base)
    ways = [("fixed", batch_way([folder], count, out_dir, delay_ms=delay_ms)),
            ("secure", batch_way([folder], count, out_dir, secure, delay_ms)),
            ("tar | nc", tar_nc_way(folder, out_dir, delay_ms))]
    try:
        return in_turn(ways, rounds, log, "proxy")
    finally:
        shutil.rmtree(base, ignore_errors=True)


def scramble_figures(log):
    out = subprocess.run([SCRAMBLE_BENCH], capture_output=True, text=True, check=True).stdout
    log(out.rstrip())
    return out


def wine_figures(base, rounds, size, log):
    """Zeptrix.exe under Wine receiving from the console peer, in turn with
    plain Winsock receivers (recv of 8193 bytes, as the original program
    did, and of 256 KiB; unbuffered fwrite) under the same Wine, fed by nc."""
    from harness import Display, windows_build, wine_loader, wine_prefix
    build = windows_build()
    exe_built = os.path.join(BUILD, build, "app", "Zeptrix.exe")
    baseline = os.path.join(BUILD, build, "bench", "wine_baseline_receiver.exe")
    for path in (exe_built, baseline):
        if not os.path.exists(path):
            raise RuntimeError("missing " + path)
    os.makedirs(base, exist_ok=True)
    source = os.path.join(base, "payload-256.bin")
    make_payload(source, size)
    folder = tempfile.mkdtemp(prefix="zeptrix-wine-", dir=base)
    received = os.path.join(folder, "received")
    os.makedirs(received)
    exe = os.path.join(folder, "Zeptrix.exe")
    shutil.copy(exe_built, exe)
    port = free_port()
    with open(os.path.join(folder, "Zeptrix.cfg"), "w", newline="\r\n") as f:
        f.write("port %d\ndir %s\n" % (port, "Z:" + received.replace("/", "\\")))
    # A second copy, with a secret, receives by the secure format.
    secure_folder = tempfile.mkdtemp(prefix="zeptrix-wine-secure-", dir=base)
    secure_received = os.path.join(secure_folder, "received")
    os.makedirs(secure_received)
    shutil.copy(exe_built, os.path.join(secure_folder, "Zeptrix.exe"))
    secure_port = free_port()
    with open(os.path.join(secure_folder, "Zeptrix.cfg"), "w", newline="\r\n") as f:
        f.write("port %d\ndir %s\nsecret %s\n" % (secure_port, "Z:" + secure_received.replace("/", "\\"),
                                                 BENCH_SECRET))
    secure = secret_options(base)
    display = Display()
    env = display.env()
    env.update(WINEPREFIX=wine_prefix(build), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    program = subprocess.Popen([wine_loader(build), exe], cwd=folder, env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    secure_program = subprocess.Popen([wine_loader(build), os.path.join(secure_folder, "Zeptrix.exe")],
                                      cwd=secure_folder, env=env, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)

    def receiving_copy(process, copy_port, into, options=()):
        clear(into)
        before, server_before = process_cpu(process.pid), wineserver_cpu()
        wall, sender_cpu = cli_send(copy_port, [source], options)
        sample = Sample(wall, sender_cpu, process_cpu(process.pid) - before,
                        wineserver_cpu() - server_before)
        check_same(source, os.path.join(into, "payload-256.bin"), "Zeptrix.exe")
        return sample

    def zeptrix_exe():
        return receiving_copy(program, port, received)

    def zeptrix_exe_secure():
        return receiving_copy(secure_program, secure_port, secure_received, secure)

    def plain_winsock(buffer_size):
        target = os.path.join(base, "baseline.bin")
        baseline_port = free_port()
        receiver = subprocess.Popen([wine_loader(build), baseline, str(baseline_port),
                                     "Z:" + target.replace("/", "\\"), str(buffer_size)], env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_listening(baseline_port, receiver, timeout=60)
        server_before = wineserver_cpu()
        with open(source, "rb") as data:
            start = time.perf_counter()
            sender = subprocess.Popen(["nc", "-N", "127.0.0.1", str(baseline_port)], stdin=data,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            sender_cpu = finish(sender)
            receiver_cpu = finish(receiver)
            wall = time.perf_counter() - start
        if receiver.returncode != 0:
            raise RuntimeError("the Winsock receiver failed")
        check_same(source, target, "the Winsock receiver")
        os.remove(target)
        return Sample(wall, sender_cpu, receiver_cpu, wineserver_cpu() - server_before)
    try:
        wait_for(lambda: listening(port), timeout=90, what="Zeptrix.exe listening")
        wait_for(lambda: listening(secure_port), timeout=90, what="Zeptrix.exe with a secret listening")
        return in_turn([("Zeptrix.exe", zeptrix_exe), ("Zeptrix.exe secure", zeptrix_exe_secure),
                        ("plain Winsock", lambda: plain_winsock(8193)),
                        ("plain Winsock 256 KiB", lambda: plain_winsock(256 * 1024))], rounds, log, "wine"), build
    finally:
        for p in (program, secure_program):
            p.kill()
            p.wait()
        display.close()
        shutil.rmtree(base, ignore_errors=True)


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
    parser.add_argument("--rounds", type=int, default=7, help="counted rounds after the warm-up")
    parser.add_argument("--quick", action="store_true", help="64 MiB instead of 1 GiB, no Wine")
    parser.add_argument("--output", default=os.path.join(ROOT, "BENCHMARKS.md"))
    args = parser.parse_args()
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")
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
        results[label] = bulk(label, base, args.rounds, size, log)
    log("1000 files of 4 KiB (%s)" % places[-1][0])
    small = small_files(places[-1][1] + "-small", args.rounds, 1000, 4096, log)
    log("500 files of 4 KiB through the delay proxy, 1 ms each way (%s)" % places[-1][0])
    proxied = through_proxy(places[-1][1] + "-proxy", args.rounds, 500, 4096, 1.0, log)
    log("scramble against memcpy")
    scramble_out = scramble_figures(log)
    wine = None
    if not args.quick:
        log("Zeptrix.exe under Wine receiving 256 MiB (%s)" % places[-1][0])
        wine = wine_figures(places[-1][1] + "-wine", args.rounds, 256 * MIB, log)
    end_load = " ".join(open("/proc/loadavg").read().split()[:3])
    write_report(args, m, end_load, size, results, small, proxied, scramble_out, wine, lines, places)


def time_cell(samples):
    walls = [x.wall for x in samples]
    return "%.3f s (%.3f to %.3f)" % spread(walls)


def cpu_cell(samples):
    return "%.2f s (sender %.2f, receiver %.2f)" % (
        statistics.median(x.cpu for x in samples), statistics.median(x.sender_cpu for x in samples),
        statistics.median(x.receiver_cpu for x in samples))


def ratio_cell(values, goal):
    med, low, high = spread(values)
    return "**%.2f** (%.2f to %.2f)%s" % (med, low, high,
                                           "" if med >= goal else " below the goal of %.2f" % goal)


def rate_cell(rates):
    return "%.0f (%.0f to %.0f)" % spread(rates)


def write_report(args, m, end_load, size, results, small, proxied, scramble_out, wine, lines, places):
    command = "./zeptrix.sh bench" + (" --rounds %d" % args.rounds if args.rounds != 7 else "") + \
        (" --quick" if args.quick else "")
    out = []
    out.append("# Benchmarks\n")
    out.append("Made by `%s` on %s." % (command, time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())))
    out.append("")
    out.append("Machine: %d cores (`nproc`), %s, Linux kernel %s; load average %s at the "
               "start, %s at the end." % (m["nproc"], m["cpu"], m["kernel"], m["load"], end_load))
    out.append("")
    out.append("How: the ways of each comparison run in turn, one of each per round, %d "
               "counted rounds after a warm-up round. A speed ratio is taken within each "
               "round (the other way's time over Zeptrix's), and the table gives the median "
               "with the lowest and highest round. Times are medians with their range; CPU "
               "is user + system seconds of both ends, from the resource usage of the ended "
               "processes (and, under Wine, of Wine's server process). The console pair is "
               "`zeptrix-cli receive` already listening and `zeptrix-cli send`, timed until the "
               "sender has the acknowledgement (the file is complete under its name by then); "
               "socat and nc are timed from the sender's start until the receiver has written "
               "everything and ended. Every copy is compared with the original."
               % args.rounds)
    out.append("")
    out.append("## %d MiB over loopback, file to file\n" % (size // MIB))
    out.append("| where | way | wall time | CPU, both ends |")
    out.append("| --- | --- | --- | --- |")
    for label, _ in places:
        for way in ("zeptrix", "zeptrix secure", "socat", "nc"):
            name = {"zeptrix": "zeptrix-cli pair", "zeptrix secure": "zeptrix-cli pair, secure format",
                    "socat": "socat -b 8193", "nc": "nc"}[way]
            out.append("| %s | %s | %s | %s |" % (label, name, time_cell(results[label][way]),
                                                   cpu_cell(results[label][way])))
    out.append("")
    out.append("| where | zeptrix / socat -b 8193, speed | zeptrix / nc, speed | secure / fixed format, speed |")
    out.append("| --- | --- | --- | --- |")
    for label, _ in places:
        out.append("| %s | %s | %s | %s |" % (
            label, ratio_cell(ratios(results[label], "zeptrix", "socat"), 1.0),
            ratio_cell(ratios(results[label], "zeptrix", "nc"), 1.1),
            ratio_cell(ratios(results[label], "zeptrix secure", "zeptrix"), 0.9)))
    out.append("")
    out.append("## 1,000 files of 4 KiB\n")
    out.append("zeptrix-cli pair over loopback, on %s: the files named one by one (flat batch), "
               "and the same files as one folder of 10 x 10 subfolders (nested folders), in the "
               "fixed format (one connection per file) and in the secure format (one connection "
               "for the batch). Files per second count from the first file to the last "
               "acknowledgement: from the receiver's line for its first file to the sender's end, "
               "so that start-up and the secure format's key derivation do not count.\n" % places[-1][0])
    out.append("| way | files per second | wall time | CPU, both ends |")
    out.append("| --- | --- | --- | --- |")
    for way in ("flat batch", "nested folders", "secure nested folders"):
        out.append("| %s | %s | %s | %s |" % (way, rate_cell(per_file_rates(small, way, 1000)),
                                             time_cell(small[way]), cpu_cell(small[way])))
    fixed_rates = per_file_rates(small, "nested folders", 1000)
    secure_rates = per_file_rates(small, "secure nested folders", 1000)
    out.append("")
    out.append("Nested folders against the flat batch, files per second: %s."
               % ratio_cell([a / b for a, b in zip(fixed_rates, per_file_rates(small, "flat batch", 1000))], 0.9))
    out.append("")
    out.append("The secure format against the fixed one, nested folders, files per second: %s."
               % ratio_cell([a / b for a, b in zip(secure_rates, fixed_rates)], 3.0))
    out.append("")
    out.append("## 500 files of 4 KiB through a 1 ms proxy\n")
    out.append("One folder of 500 files through `bench/delay_proxy.py`, which holds every byte "
               "back 1 ms in each direction (a 2 ms round trip), on %s: the zeptrix-cli pair in "
               "both formats, and `tar c | nc` into `nc -l | tar xv`. Files per second as above "
               "(for tar, from its line for the first file).\n" % places[-1][0])
    out.append("| way | files per second | wall time | CPU, both ends |")
    out.append("| --- | --- | --- | --- |")
    rates = {}
    for way in ("fixed", "secure", "tar | nc"):
        rates[way] = per_file_rates(proxied, way, 500)
        out.append("| %s | %s | %s | %s |" % (way, rate_cell(rates[way]), time_cell(proxied[way]),
                                             cpu_cell(proxied[way])))
    out.append("")
    out.append("The secure format against the fixed one, files per second: %s."
               % ratio_cell([a / b for a, b in zip(rates["secure"], rates["fixed"])], 20.0))
    out.append("")
    out.append("## scramble against memcpy (bench/scramble_bench, medians of 7)\n")
    out.append("```\n" + scramble_out.rstrip() + "\n```")
    out.append("")
    if wine:
        samples, build = wine
        out.append("## Zeptrix.exe under Wine receiving 256 MiB\n")
        out.append("The %s build under Wine on a virtual display, receiving from `zeptrix-cli "
                   "send` into %s, in turn with a plain Winsock receiver under the same Wine "
                   "(`bench/wine_baseline_receiver.cpp`: one connection, `recv` of 8193 bytes as the "
                   "original program did, or of 256 KiB, unbuffered `fwrite`) fed by `nc`. CPU includes Wine's server process."
                   % (build, places[-1][0]))
        out.append("")
        out.append("| way | wall time | CPU, all processes |")
        out.append("| --- | --- | --- |")
        for way in ("Zeptrix.exe", "Zeptrix.exe secure", "plain Winsock", "plain Winsock 256 KiB"):
            out.append("| %s | %s | %.2f s (Wine server %.2f) |" % (
                way, time_cell(samples[way]), statistics.median(x.cpu for x in samples[way]),
                statistics.median(x.extra_cpu for x in samples[way])))
        out.append("")
        out.append("Speed of Zeptrix.exe against the plain Winsock receiver of 8193 bytes: %s."
                   % ratio_cell(ratios(samples, "Zeptrix.exe", "plain Winsock"), 2.0))
        out.append("")
        out.append("Speed of Zeptrix.exe against the plain Winsock receiver of 256 KiB, the "
                   "ceiling: %s." % ratio_cell(ratios(samples, "Zeptrix.exe", "plain Winsock 256 KiB"), 0.9))
        out.append("")
        out.append("Speed of Zeptrix.exe receiving by the secure format (a second copy with a "
                   "secret) against the fixed format: %s."
                   % ratio_cell(ratios(samples, "Zeptrix.exe secure", "Zeptrix.exe"), 0.9))
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
