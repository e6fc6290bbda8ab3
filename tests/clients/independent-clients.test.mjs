// The server driven by clients we did not write: Node's ws package here, Python's websockets in
// python_client.py (run from this file, so both see the same terminals and the same checks).
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { after, before, test } from "node:test";
import { fileURLToPath } from "node:url";
import WebSocket from "ws";

import { Programs } from "./support/programs.mjs";
import { scenario } from "./support/scenario.mjs";

const programs = new Programs();
let terminals;

before(async () => {
  terminals = {
    demo: await programs.terminal(["--demo"]),
    refusing: await programs.terminal(["--refuse", "2:-5"]),
  };
});
after(() => programs.stopAll());

// Connects with ws and collects every text message.
async function open(url) {
  const socket = new WebSocket(url);
  const messages = [];
  const waiters = [];
  socket.on("message", (data, binary) => {
    assert.equal(binary, false);
    messages.push(data.toString("utf8"));
    for (const w of waiters.splice(0)) w();
  });
  const closed = new Promise((resolve) =>
    socket.on("close", (code, reason) => resolve({ code, reason: reason.toString() })),
  );
  await new Promise((resolve, reject) => {
    socket.once("open", resolve);
    socket.once("error", reject);
  });
  const next = async (n) => {
    while (messages.length < n) {
      await new Promise((resolve, reject) => {
        const timer = setTimeout(() => reject(new Error(`only ${messages.length} messages`)), 15000);
        waiters.push(() => {
          clearTimeout(timer);
          resolve();
        });
      });
    }
    return messages.splice(0, n);
  };
  return { socket, next, closed };
}

async function demoUsers(url) {
  const client = await open(url);
  client.socket.send(JSON.stringify({ act: "getfromdevice", state: "u", ...terminals.demo.device }));
  const users = JSON.parse((await client.next(3))[1]).users;
  client.socket.close(1000);
  await client.closed;
  return users;
}

test("ws: every act gets its exact replies, to the sender and a bystander; 1000 both ways", async () => {
  const server = await programs.server();
  const empty = await programs.terminal();
  const steps = scenario({ ...terminals, empty }, await demoUsers(server.url));
  const sender = await open(server.url);
  const bystander = await open(server.url);
  for (const { command, replies } of steps) {
    sender.socket.send(JSON.stringify(command));
    assert.deepEqual(await sender.next(replies.length), replies, command.act);
    assert.deepEqual(await bystander.next(replies.length), replies, `${command.act}, bystander`);
  }
  sender.socket.close(1000, "done");
  assert.deepEqual(await sender.closed, { code: 1000, reason: "" });
  // The bystander is still served after the sender left.
  bystander.socket.send('{"act":"echo","state":"still"}');
  assert.deepEqual(await bystander.next(1), ['{"act":"echo","state":"still","devices":[],"state2":"still"}']);
  bystander.socket.close(1000);
  assert.equal((await bystander.closed).code, 1000);
});

test("python websockets: every act gets its exact replies; 1000 both ways", async () => {
  const server = await programs.server();
  const empty = await programs.terminal();
  const steps = scenario({ ...terminals, empty }, await demoUsers(server.url));
  const script = fileURLToPath(new URL("python_client.py", import.meta.url));
  const python = process.env.VANTORIX_PYTHON ?? "/usr/bin/python3";
  const child = spawn(python, [script, server.url], { stdio: ["pipe", "pipe", "inherit"] });
  let output = "";
  child.stdout.on("data", (chunk) => (output += chunk));
  child.stdin.end(JSON.stringify(steps));
  const code = await new Promise((resolve) => child.on("exit", resolve));
  assert.equal(code, 0, output);
  assert.match(output, new RegExp(`^${steps.length} commands answered exactly; closed 1000\\n$`));
});
