"""Runs vantorixd and vantorix-terminal as processes and drives device commands over WebSocket,
for the store's kill test (scripts/kill-test) and its benchmark (bench/store). Needs the Debian
python3 (/usr/bin/python3) for its websockets package."""
import asyncio
import json
import os
import select
import subprocess
import time

import websockets


class Program:
    """A started program that announced "listening on ADDR:PORT" on standard output."""

    def __init__(self, args, timeout=30):
        self.args = list(args)
        self.process = subprocess.Popen(self.args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.port = None
        deadline = time.monotonic() + timeout
        line = b""
        while self.port is None:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.process.stdout], [], [], left)[0]:
                self.kill()
                raise RuntimeError(f"{self.args[0]} did not start")
            byte = os.read(self.process.stdout.fileno(), 1)
            if not byte:
                error = self.process.stderr.read().decode(errors="replace").strip()
                self.process.wait()
                raise RuntimeError(f"{self.args[0]} exited {self.process.returncode}: {error}")
            line += byte
            if byte == b"\n":
                text = line.decode().strip()
                if text.startswith("listening on "):
                    self.port = int(text.rsplit(":", 1)[1])
                line = b""

    def kill(self):
        """SIGKILL, then reaped."""
        self.process.kill()
        self.process.wait()

    def stop(self):
        """SIGTERM, then reaped; returns the exit status."""
        self.process.terminate()
        try:
            return self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.kill()
            return None


def template_text(seed, chars):
    """A template-like text of that many characters, different for every seed."""
    head = f"{seed}:"
    body = "".join(chr(ord("A") + (i * 7 + len(head)) % 26) for i in range(chars - len(head)))
    return head + body


def user_record(number, version, fingers, chars):
    """A synctodevice user record; version changes every field that a write replaces."""
    templates = [{"fingerIndex": f, "flag": 1, "templateData": template_text(f"{number}-{version}-{f}", chars)}
                 for f in fingers]
    return {"enrollNumber": str(number), "enabled": version % 2 == 0,
            "name": f"User {number} v{version}", "cardNumber": str(500000 + version),
            "password": f"pw{version % 97}", "privilege": version % 4,
            "fpTemplates": templates, "fpCount": len(templates)}


def is_failure(remark):
    """The protocol's rule for telling a failed finish remark from a successful one."""
    tail = remark.rstrip("0123456789").rstrip("-")
    return (tail.endswith("ErrorCode=") or tail.endswith("ErrorCode=!")
            or remark.endswith(" failed! Can not connect.") or " interrupted by shutdown: " in remark)


class Client:
    """One WebSocket connection to vantorixd; runs one command at a time."""

    def __init__(self, socket):
        self.socket = socket
        self.counter = 0

    @classmethod
    async def connect(cls, port):
        socket = await websockets.connect(f"ws://127.0.0.1:{port}/", max_size=None,
                                          ping_interval=None)
        return cls(socket)

    async def close(self):
        await self.socket.close()

    async def run(self, command, timeout=600):
        """Sends a device command for one terminal; returns (finish remark, users document or
        None)."""
        self.counter += 1
        state = f"drive-{os.getpid()}-{self.counter}"
        command = dict(command, state=state)
        await self.socket.send(json.dumps(command, separators=(",", ":")))
        users = None
        started = False
        while True:
            message = json.loads(await asyncio.wait_for(self.socket.recv(), timeout))
            if message.get("state") == state and message.get("status") == "start":
                started = True
            elif started and "status" not in message and users is None:
                users = message.get("users", [])
            if message.get("state") == state and message.get("status") == "finish":
                return message["remarks"], users

    async def sync(self, terminal_port, users):
        remark, _ = await self.run({"act": "synctodevice", "devices": [device(terminal_port)],
                                    "users": users})
        return remark

    async def read(self, terminal_port):
        """The terminal's users, or raises with the finish remark when the read failed."""
        remark, users = await self.run({"act": "getfromdevice", "ip": "127.0.0.1",
                                        "port": str(terminal_port), "key": "0"})
        if not remark.startswith("Fetch completed: ") or users is None:
            raise RuntimeError(f"read failed: {remark}")
        return users

    async def delete(self, terminal_port, numbers, option=12):
        entries = [{"enrollNumber": str(n), "deleteOption": str(option)} for n in numbers]
        remark, _ = await self.run({"act": "deleteenrolleddata",
                                    "devices": [device(terminal_port)], "users": entries})
        return remark


def device(port):
    return {"ip": "127.0.0.1", "port": str(port), "key": "0"}


def comparable(record):
    """A user record as read back, in a form that compares with what a sync wrote."""
    card = record.get("cardNumber", "")
    return {"enrollNumber": record["enrollNumber"], "enabled": bool(record.get("enabled")),
            "name": record.get("name", ""), "cardNumber": "" if card == "0" else card,
            "password": record.get("password", ""), "privilege": int(record.get("privilege", 0)),
            "fpTemplates": [(t["fingerIndex"], t["flag"], t["templateData"])
                            for t in record.get("fpTemplates", [])[:record.get("fpCount", 0)]]}
