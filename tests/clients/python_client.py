"""Drives a Vantorix server with Python's websockets package, with its default settings (a
keepalive ping every 20 s, the connection dropped when a pong takes over 20 s).

  python_client.py URL < steps.json   sends each command, checks that exactly the expected replies
                                      come back, then closes with 1000 and checks that the server
                                      answers with 1000
  python_client.py URL invalid TEXT   sends TEXT and prints the close code and reason
  python_client.py URL wait           prints "connected", then the close code and reason once the
                                      server closes
  python_client.py URL job TEXT       sends TEXT (a device command), prints the remark of its
                                      finish status, then closes with 1000"""
import asyncio
import json
import sys

import websockets


async def steps(url, steps):
    async with websockets.connect(url, max_size=None) as socket:
        for step in steps:
            await socket.send(json.dumps(step["command"], ensure_ascii=False, separators=(",", ":")))
            for expected in step["replies"]:
                got = await asyncio.wait_for(socket.recv(), 15)
                if got != expected:
                    raise SystemExit(f"{step['command']['act']}: got {got!r}, expected {expected!r}")
        await socket.close(code=1000, reason="done")
        if socket.close_code != 1000 or socket.close_rcvd is None or socket.close_rcvd.code != 1000:
            raise SystemExit(f"closed with {socket.close_code}, server sent {socket.close_rcvd}")
    print(f"{len(steps)} commands answered exactly; closed 1000")


async def until_closed(socket):
    """Reads until the server closes; prints its close frame's code and reason."""
    try:
        while True:
            await asyncio.wait_for(socket.recv(), 60)
    except websockets.ConnectionClosed:
        pass
    received = socket.close_rcvd
    print(f"closed {received.code if received else None} {received.reason if received else ''}")


async def invalid(url, text):
    async with websockets.connect(url, max_size=None) as socket:
        await socket.send(text)
        await until_closed(socket)


async def wait(url):
    async with websockets.connect(url, max_size=None) as socket:
        print("connected", flush=True)
        await until_closed(socket)


async def job(url, text):
    state = json.loads(text)["state"]
    async with websockets.connect(url, max_size=None) as socket:
        await socket.send(text)
        while True:
            message = json.loads(await asyncio.wait_for(socket.recv(), 300))
            if message.get("status") == "finish" and message.get("state") == state:
                print(message["remarks"])
                break
        await socket.close(code=1000)
        print(f"closed {socket.close_code}")


if __name__ == "__main__":
    url = sys.argv[1]
    mode = sys.argv[2] if len(sys.argv) > 2 else "steps"
    if mode == "invalid":
        asyncio.run(invalid(url, sys.argv[3]))
    elif mode == "wait":
        asyncio.run(wait(url))
    elif mode == "job":
        asyncio.run(job(url, sys.argv[3]))
    else:
        asyncio.run(steps(url, json.load(sys.stdin)))
