#!/usr/bin/python3
"""A TCP proxy that holds every byte back by a delay in each direction, in
order, as a network with that one-way latency does; optionally it cuts a
connection (both directions, with a reset) once a given number of bytes
has passed from the client to the server, or flips a bit on the way.

usage: delay_proxy.py LISTEN_PORT TARGET_PORT [--delay-ms D] [--cut BYTES[,BYTES...]]
                      [--silent-server] [--flip CONNECTION:BYTE]
  --cut   the Nth connection is cut after the Nth count of bytes; connections
          beyond the list (or with a count of 0) are not cut.
  --silent-server
          a cut resets the client only; the server's side stays open and
          silent, as when a drop never reaches the receiver.
  --flip  the given connection (from 1) has the lowest bit of the byte at
          that offset, client to server, flipped.
Prints "ready" once it listens, then one line per connection when it ends:
"connection N: UP bytes up, DOWN bytes down[, cut]", or "connection N:
refused" when the server could not be reached. The byte counts are
what crossed towards the server and back."""
import argparse
import collections
import socket
import struct
import sys
import threading
import time


class Pipe:
    """One direction: a reader takes chunks as they come and stamps them, a
    writer passes each on once its delay has passed."""

    def __init__(self, source, target, delay, limit, on_limit, flip_at=None, end_quietly=False):
        self.source, self.target, self.delay, self.flip_at = source, target, delay, flip_at
        self.limit, self.on_limit, self.end_quietly = limit, on_limit, end_quietly
        self.queue = collections.deque()
        self.ready = threading.Condition()
        self.count = 0
        self.closed = False
        self.threads = [threading.Thread(target=self.read, daemon=True),
                        threading.Thread(target=self.write, daemon=True)]
        for t in self.threads:
            t.start()

    def read(self):
        try:
            while True:
                chunk = self.source.recv(1 << 18)
                if not chunk:
                    break
                if self.limit is not None and self.count + len(chunk) >= self.limit:
                    chunk = chunk[:self.limit - self.count]
                    self.push(chunk)
                    self.on_limit()
                    break
                self.push(chunk)
        except OSError:
            pass
        with self.ready:
            self.closed = True
            self.ready.notify()

    def push(self, chunk):
        if self.flip_at is not None and self.count <= self.flip_at < self.count + len(chunk):
            changed = bytearray(chunk)
            changed[self.flip_at - self.count] ^= 1
            chunk = bytes(changed)
        self.count += len(chunk)
        with self.ready:
            self.queue.append((time.monotonic() + self.delay, chunk))
            self.ready.notify()

    def write(self):
        try:
            while True:
                with self.ready:
                    while not self.queue and not self.closed:
                        self.ready.wait()
                    if not self.queue:
                        break
                    due, chunk = self.queue.popleft()
                wait = due - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                self.target.sendall(chunk)
            if not (self.end_quietly and self.limit is not None and self.count >= self.limit):
                self.target.shutdown(socket.SHUT_WR)
        except OSError:
            pass


def reset(sock):
    """Closes with a reset, as a dropped link or a killed peer would look.
    The shutdown wakes a thread blocked reading it, whose hold on the socket
    would otherwise keep the connection open until the peer spoke."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.shutdown(socket.SHUT_RD)
    except OSError:
        pass
    sock.close()


# Server sides of silently cut connections, open until the proxy ends.
silent = []


def serve(number, client, target_port, delay, limit, flip_at, silent_server):
    try:
        server = socket.create_connection(("127.0.0.1", target_port))
    except OSError:
        reset(client)  # as a refused connection looks from the client
        print("connection %d: refused" % number, flush=True)
        return
    for s in (client, server):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    cut = threading.Event()

    def cut_now():
        cut.set()
        # Whatever was let through reaches the server before the cut.
        time.sleep(delay + 0.05)
        reset(client)
        if silent_server:
            silent.append(server)
        else:
            reset(server)
    up = Pipe(client, server, delay, limit, lambda: threading.Thread(target=cut_now, daemon=True).start(), flip_at,
              silent_server)
    down = Pipe(server, client, delay, None, lambda: None)
    for t in up.threads:
        t.join()
    # A silent server's side never ends its replies.
    for t in down.threads if not (silent_server and cut.is_set()) else []:
        t.join()
    if not cut.is_set():
        client.close()
        server.close()
    print("connection %d: %d bytes up, %d bytes down%s" % (number, up.count, down.count,
                                                         ", cut" if cut.is_set() else ""), flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("listen_port", type=int)
    parser.add_argument("target_port", type=int)
    parser.add_argument("--delay-ms", type=float, default=0.0)
    parser.add_argument("--cut", default="")
    parser.add_argument("--flip", default="")
    parser.add_argument("--silent-server", action="store_true")
    args = parser.parse_args()
    cuts = [int(x) for x in args.cut.split(",") if x]
    flip_connection, flip_at = (int(x) for x in args.flip.split(":")) if args.flip else (0, None)
    listener = socket.create_server(("127.0.0.1", args.listen_port))
    print("ready", flush=True)
    number = 0
    while True:
        client, _ = listener.accept()
        number += 1
        limit = cuts[number - 1] if number <= len(cuts) and cuts[number - 1] else None
        threading.Thread(target=serve, args=(number, client, args.target_port, args.delay_ms / 1000, limit,
                                             flip_at if number == flip_connection else None,
                                             args.silent_server),
                         daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
