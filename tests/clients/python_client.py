"""Drives a Vantorix server with Python's websockets package: sends each command read from
standard input, checks that exactly the expected replies come back, then closes with 1000 and
checks that the server answers with 1000. Usage: python_client.py URL < steps.json"""
import asyncio
import json
import sys

import websockets


async def run(url, steps):
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


if __name__ == "__main__":
    asyncio.run(run(sys.argv[1], json.load(sys.stdin)))
