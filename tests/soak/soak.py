#!/usr/bin/python3
"""Soak of vantorixd over loopback, bounded in time and stopping by itself.

Starts two simulated terminals (a source with demo users, an empty target) and vantorixd on a
free loopback port, runs the load below for a warm-up (a quarter of the time), measures the
server's threads and resident memory at rest (the allocator has then grown its caches to the
load's size), then for the given time runs at once:
  - churn: up to --connections connections open at a time, each upgrading, staying a moment and
    leaving (half with a close frame, half by just closing the socket), opened again at once;
  - one client broadcasting echoes (small ones all the time, a large one every few seconds);
  - one client running device jobs (getfromdevice from the source, synctodevice to the target);
  - clients sending one byte a second (half during their handshake, half inside a frame);
  - clients with a small receive buffer that upgrade and never read, during the large echoes;
  - waves of clients sending oversize or malformed frames all at once.
Afterwards every load stops and the server must answer a new client's echo within a second, come
back to its thread count and resident memory at rest (see --rss-tolerance), end on SIGTERM with
status 0, and have printed no sanitizer report. Prints the figures as one JSON object; exits 1
when a check fails.

  tests/soak/soak.py --vantorixd build/release/app/vantorixd \
      --terminal build/release/terminal/vantorix-terminal --seconds 60 --connections 1000
"""

import argparse
import asyncio
import json
import os
import random
import re
import resource
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

import websockets

UPGRADE = (
    b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"
)


def proc_figures(pid):
    """Threads and resident memory (KiB) of a process, from /proc."""
    threads = rss = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("Threads:"):
                threads = int(line.split()[1])
            elif line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return threads, rss


def frame(opcode, payload, fin=True, mask=True, rsv=0, length=None):
    """One client frame; length overrides the header's payload length."""
    n = len(payload) if length is None else length
    head = bytes([(0x80 if fin else 0) | (rsv << 4) | opcode])
    m = 0x80 if mask else 0
    if n < 126:
        head += bytes([m | n])
    elif n < 65536:
        head += bytes([m | 126]) + struct.pack(">H", n)
    else:
        head += bytes([m | 127]) + struct.pack(">Q", n)
    if not mask:
        return head + payload
    key = os.urandom(4)
    return head + key + bytes(b ^ key[i % 4] for i, b in enumerate(payload))


class Process:
    """A program whose standard output is read by a thread; waits for its "listening on" line."""

    def __init__(self, args, env=None):
        self.proc = subprocess.Popen(
            args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True,
            errors="replace")
        self.lines = 0
        self.port = None
        self.stderr = []
        self._ready = threading.Event()
        threading.Thread(target=self._read_out, daemon=True).start()
        threading.Thread(target=self._read_err, daemon=True).start()
        if not self._ready.wait(60):
            self.proc.kill()
            raise RuntimeError(f"{args[0]} did not start listening")

    def _read_out(self):
        for line in self.proc.stdout:
            self.lines += 1
            match = re.search(r"listening on 127\.0\.0\.1:(\d+)", line)
            if match and self.port is None:
                self.port = int(match.group(1))
                self._ready.set()

    def _read_err(self):
        for line in self.proc.stderr:
            self.stderr.append(line)

    def stop(self, timeout=20):
        """SIGTERM; the exit status, or None when it had to be killed."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None


class Soak:
    def __init__(self, args, pid, port, source, target):
        self.args = args
        self.pid = pid
        self.port = port
        self.source = source
        self.target = target
        self.stop = asyncio.Event()
        self.n = dict(
            opened=0, open_failed=0, peak_open=0, echoes_sent=0, echoes_answered=0,
            large_echoes=0, messages_received=0, jobs_finished=0, jobs_failed=0,
            trickle_bytes=0, trickle_clients=0, non_readers=0, non_readers_closed=0,
            bad_frames_sent=0, bad_frames_closed=0, bad_frames_unanswered=0, max_echo_ms=0.0,
            threads_peak=0, rss_peak_kib=0)
        self.open_now = 0

    async def connect_raw(self, rcvbuf=0):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        sock.setblocking(False)
        await asyncio.get_running_loop().sock_connect(sock, ("127.0.0.1", self.port))
        return sock

    async def upgrade(self, sock):
        loop = asyncio.get_running_loop()
        await loop.sock_sendall(sock, UPGRADE)
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = await asyncio.wait_for(loop.sock_recv(sock, 4096), 10)
            if not chunk:
                raise ConnectionError("closed during the handshake")
            head += chunk
        if not head.startswith(b"HTTP/1.1 101"):
            raise ConnectionError("not upgraded")

    async def churn_one(self):
        loop = asyncio.get_running_loop()
        while not self.stop.is_set():
            sock = None
            try:
                sock = await self.connect_raw()
                await self.upgrade(sock)
                self.n["opened"] += 1
                self.open_now += 1
                self.n["peak_open"] = max(self.n["peak_open"], self.open_now)
                try:
                    await asyncio.wait_for(self.stop.wait(), random.uniform(0.2, 3.0))
                except asyncio.TimeoutError:
                    pass
                if random.random() < 0.5:
                    await loop.sock_sendall(sock, frame(0x8, struct.pack(">H", 1000)))
                self.open_now -= 1
            except (OSError, ConnectionError, asyncio.TimeoutError):
                self.n["open_failed"] += 1
                await asyncio.sleep(0.1)
            finally:
                if sock is not None:
                    sock.close()

    async def broadcaster(self):
        async with websockets.connect(
                f"ws://127.0.0.1:{self.port}", max_size=None, ping_interval=None) as ws:
            pending = {}

            async def reader():
                async for message in ws:
                    self.n["messages_received"] += 1
                    match = re.search(r'"state2":"(b\d+)"', message[-200:])
                    if match and match.group(1) in pending:
                        ms = (time.monotonic() - pending.pop(match.group(1))) * 1000
                        self.n["max_echo_ms"] = max(self.n["max_echo_ms"], ms)
                        self.n["echoes_answered"] += 1

            task = asyncio.create_task(reader())
            i = 0
            last_large = time.monotonic()
            while not self.stop.is_set():
                i += 1
                pad = "x" * 200
                if time.monotonic() - last_large > 3:
                    pad = "y" * self.args.large_bytes
                    last_large = time.monotonic()
                    self.n["large_echoes"] += 1
                state = f"b{i}"
                pending[state] = time.monotonic()
                await ws.send(json.dumps({"act": "echo", "state": state, "pad": pad}))
                self.n["echoes_sent"] += 1
                await asyncio.sleep(0.02)
            await asyncio.sleep(1)
            task.cancel()

    async def device_jobs(self):
        async with websockets.connect(
                f"ws://127.0.0.1:{self.port}", max_size=None, ping_interval=None) as ws:
            state = 0
            while not self.stop.is_set():
                state += 1
                await ws.send(json.dumps({"act": "getfromdevice", "state": f"g{state}",
                                          "ip": "127.0.0.1", "port": str(self.source),
                                          "key": "0"}))
                users = None
                while True:
                    message = json.loads(await asyncio.wait_for(ws.recv(), 30))
                    if "users" in message and message.get("state") is None:
                        users = message["users"]
                    if message.get("status") == "finish" and message.get("state") == f"g{state}":
                        break
                if not users:
                    self.n["jobs_failed"] += 1
                    continue
                self.n["jobs_finished"] += 1
                await ws.send(json.dumps({"act": "synctodevice", "state": f"s{state}",
                                          "devices": [{"ip": "127.0.0.1",
                                                       "port": str(self.target), "key": "0"}],
                                          "users": users}))
                while True:
                    message = json.loads(await asyncio.wait_for(ws.recv(), 30))
                    if message.get("status") == "finish" and message.get("state") == f"s{state}":
                        ok = message.get("remarks") == "*Upload user successful!"
                        self.n["jobs_finished" if ok else "jobs_failed"] += 1
                        break

    async def trickle_one(self, in_handshake):
        """Sends one byte a second; opens again when the server closes the connection."""
        loop = asyncio.get_running_loop()
        while not self.stop.is_set():
            sock = None
            try:
                sock = await self.connect_raw()
                self.n["trickle_clients"] += 1
                data = UPGRADE
                if not in_handshake:
                    await self.upgrade(sock)
                    data = frame(0x1, b'{"act":"echo","state":"slow"}')
                for b in data:
                    await loop.sock_sendall(sock, bytes([b]))
                    self.n["trickle_bytes"] += 1
                    try:
                        await asyncio.wait_for(self.stop.wait(), 1)
                        break
                    except asyncio.TimeoutError:
                        pass
            except (OSError, ConnectionError, asyncio.TimeoutError):
                await asyncio.sleep(0.5)
            finally:
                if sock is not None:
                    sock.close()

    async def non_reader(self):
        """Upgrades with a 4 KB receive buffer and never reads; at the end, sees whether the
        server closed it."""
        try:
            sock = await self.connect_raw(rcvbuf=4096)
            await self.upgrade(sock)
        except (OSError, ConnectionError, asyncio.TimeoutError):
            return
        self.n["non_readers"] += 1
        await self.stop.wait()
        loop = asyncio.get_running_loop()
        try:
            # Drain what the server had queued; end of stream or a reset means it was closed.
            while await asyncio.wait_for(loop.sock_recv(sock, 1 << 20), 5):
                pass
            self.n["non_readers_closed"] += 1
        except ConnectionResetError:
            self.n["non_readers_closed"] += 1
        except (OSError, asyncio.TimeoutError):
            pass
        finally:
            sock.close()

    BAD = [
        # An oversize message: 2^40 bytes announced.
        lambda: frame(0x1, b"", length=1 << 40)[:14],
        # Unmasked client frame.
        lambda: frame(0x1, b"{}", mask=False),
        # Reserved opcode, reserved bits, a fragmented ping, a long close.
        lambda: frame(0x3, b"x"),
        lambda: frame(0x1, b"{}", rsv=4),
        lambda: frame(0x9, b"p", fin=False),
        lambda: frame(0x8, b"\x03\xe8" + b"r" * 130),
        # Text that is not UTF-8.
        lambda: frame(0x1, b'{"act":"echo","state":"\xff\xfe"}'),
        # Continuation without a start.
        lambda: frame(0x0, b"x"),
    ]

    async def bad_one(self, kind):
        loop = asyncio.get_running_loop()
        sock = None
        try:
            sock = await self.connect_raw()
            if kind == len(self.BAD):
                # Not HTTP at all, then a request head far over the limit.
                await loop.sock_sendall(sock, b"\x16\x03\x01garbage\r\n\r\n" + b"X" * 70000)
            else:
                await self.upgrade(sock)
                await loop.sock_sendall(sock, self.BAD[kind]())
            self.n["bad_frames_sent"] += 1
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                chunk = await asyncio.wait_for(loop.sock_recv(sock, 65536), 10)
                if not chunk:
                    break
            self.n["bad_frames_closed"] += 1
        except (ConnectionResetError, BrokenPipeError):
            self.n["bad_frames_closed"] += 1
        except (OSError, ConnectionError, asyncio.TimeoutError):
            self.n["bad_frames_unanswered"] += 1
        finally:
            if sock is not None:
                sock.close()

    async def bad_waves(self):
        while not self.stop.is_set():
            await asyncio.gather(*(self.bad_one(i % (len(self.BAD) + 1))
                                   for i in range(self.args.bad_clients)))
            try:
                await asyncio.wait_for(self.stop.wait(), 2)
            except asyncio.TimeoutError:
                pass

    async def sample(self):
        while not self.stop.is_set():
            threads, rss = proc_figures(self.pid)
            self.n["threads_peak"] = max(self.n["threads_peak"], threads)
            self.n["rss_peak_kib"] = max(self.n["rss_peak_kib"], rss)
            await asyncio.sleep(0.5)

    async def run(self):
        tasks = [asyncio.create_task(self.sample())]
        tasks += [asyncio.create_task(self.churn_one()) for _ in range(self.args.connections)]
        tasks += [asyncio.create_task(self.broadcaster()), asyncio.create_task(self.device_jobs()),
                  asyncio.create_task(self.bad_waves())]
        tasks += [asyncio.create_task(self.trickle_one(i % 2 == 0))
                  for i in range(self.args.trickle)]
        tasks += [asyncio.create_task(self.non_reader()) for _ in range(self.args.non_readers)]
        await asyncio.sleep(self.args.seconds)
        self.stop.set()
        results = await asyncio.wait_for(asyncio.gather(*tasks, return_exceptions=True), 120)
        return [repr(r) for r in results if isinstance(r, BaseException)]


async def echo_ms(port):
    """Milliseconds for a new client's connection and echo answer."""
    start = time.monotonic()
    async with websockets.connect(f"ws://127.0.0.1:{port}", ping_interval=None) as ws:
        await ws.send('{"act":"echo","state":"after"}')
        while '"state2":"after"' not in await asyncio.wait_for(ws.recv(), 5):
            pass
    return (time.monotonic() - start) * 1000


def at_rest(pid, seconds=20):
    """The figures once the thread count has held still for two seconds."""
    deadline = time.monotonic() + seconds
    samples = []
    while True:
        samples.append(proc_figures(pid))
        last = [t for t, _ in samples[-5:]]
        if (len(last) == 5 and len(set(last)) == 1) or time.monotonic() > deadline:
            return samples[-1]
        time.sleep(0.5)


def settle(pid, want_threads, rss_limit, seconds):
    """Waits until the server is back at rest; its figures then."""
    deadline = time.monotonic() + seconds
    while True:
        threads, rss = proc_figures(pid)
        if (threads <= want_threads and rss <= rss_limit) or time.monotonic() > deadline:
            return threads, rss
        time.sleep(0.2)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--vantorixd", required=True)
    p.add_argument("--terminal", required=True)
    p.add_argument("--seconds", type=float, default=60)
    p.add_argument("--connections", type=int, default=1000)
    p.add_argument("--trickle", type=int, default=20)
    p.add_argument("--non-readers", type=int, default=10)
    p.add_argument("--bad-clients", type=int, default=50)
    p.add_argument("--large-bytes", type=int, default=1 << 20)
    p.add_argument("--rss-tolerance", type=float, default=0.25,
                   help="resident memory may end this fraction above its value at rest...")
    p.add_argument("--rss-slack-mib", type=float, default=16,
                   help="...plus this many MiB (allocator caches)")
    p.add_argument("--settle-seconds", type=float, default=20)
    p.add_argument("--warmup-seconds", type=float, default=None,
                   help="the load before the figures at rest (default: a quarter of --seconds)")
    args = p.parse_args()

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    need = 2 * args.connections + 4 * args.bad_clients + 512
    if soft < need:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(need, soft)), hard))

    with tempfile.TemporaryDirectory() as tmp:
        source = Process([args.terminal, "--listen", "127.0.0.1:0", "--demo",
                          "--store", os.path.join(tmp, "source.json")])
        target = Process([args.terminal, "--listen", "127.0.0.1:0",
                          "--store", os.path.join(tmp, "target.json")])
        # Under AddressSanitizer freed memory would sit in its quarantine and never show as
        # returned: keep the quarantine small and give memory back to the system promptly.
        env = dict(os.environ)
        env["ASAN_OPTIONS"] = ":".join(filter(None, [
            env.get("ASAN_OPTIONS"), "quarantine_size_mb=8",
            "allocator_release_to_os_interval_ms=100"]))
        server = Process([args.vantorixd, "--port", "0", "--loopback"], env=env)
        pid = server.proc.pid
        failures = []
        try:
            # At rest: after the warm-up, with no client connected.
            warmup = argparse.Namespace(**vars(args))
            warmup.seconds = args.seconds / 4 if args.warmup_seconds is None else args.warmup_seconds
            asyncio.run(Soak(warmup, pid, server.port, source.port, target.port).run())
            time.sleep(2)
            asyncio.run(echo_ms(server.port))
            threads0, rss0 = at_rest(pid)
            soak = Soak(args, pid, server.port, source.port, target.port)
            started = time.monotonic()
            errors = asyncio.run(soak.run())
            elapsed = time.monotonic() - started
            rss_limit = rss0 * (1 + args.rss_tolerance) + args.rss_slack_mib * 1024
            threads1, rss1 = settle(pid, threads0, rss_limit, args.settle_seconds)
            after_ms = asyncio.run(echo_ms(server.port))
            n = soak.n
            if errors:
                failures.append(f"load tasks failed: {errors[:5]}")
            if after_ms > 1000:
                failures.append(f"echo after the soak took {after_ms:.0f} ms")
            if threads1 > threads0:
                failures.append(f"threads {threads1}, at rest {threads0}")
            if rss1 > rss_limit:
                failures.append(f"resident memory {rss1} KiB, limit {rss_limit:.0f} KiB")
            if n["echoes_answered"] == 0 or n["jobs_finished"] == 0 or n["opened"] == 0:
                failures.append("a load made no progress")
            if n["jobs_failed"]:
                failures.append(f"{n['jobs_failed']} device jobs failed")
            if n["bad_frames_unanswered"]:
                failures.append(f"{n['bad_frames_unanswered']} bad clients were not closed")
        finally:
            status = server.stop()
            source.stop()
            target.stop()
        if status != 0:
            failures.append(f"vantorixd ended with status {status}")
        reports = [line for line in server.stderr if "Sanitizer" in line or "runtime error" in line]
        if reports:
            failures.append("sanitizer report: " + "".join(server.stderr[:40]))
        figures = dict(
            seconds=round(elapsed, 1), **n, threads_at_rest=threads0, threads_after=threads1,
            rss_at_rest_kib=rss0, rss_after_kib=rss1,
            echo_after_ms=round(after_ms, 1), log_lines=server.lines, failures=failures)
        figures["max_echo_ms"] = round(figures["max_echo_ms"], 1)
        print(json.dumps(figures, indent=1))
        return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
