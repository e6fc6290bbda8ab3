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

// python_client.py with the arguments, standard input `input`. `output` grows as it prints;
// `done` resolves with the exit code.
function python(args, input = "") {
  const script = fileURLToPath(new URL("python_client.py", import.meta.url));
  const executable = process.env.VANTORIX_PYTHON ?? "/usr/bin/python3";
  const child = spawn(executable, [script, ...args], { stdio: ["pipe", "pipe", "inherit"] });
  const run = { output: "" };
  const printed = [];
  child.stdout.on("data", (chunk) => {
    run.output += chunk;
    for (const w of printed.splice(0)) w();
  });
  child.stdin.end(input);
  run.done = new Promise((resolve) => child.on("exit", resolve));
  // Resolves once the output holds text; rejects when the script ends without printing it.
  run.printed = (text) =>
    new Promise((resolve, reject) => {
      const check = () => run.output.includes(text) && (resolve(), true);
      const waiter = () => check() || printed.push(waiter);
      waiter();
      run.done.then(() => check() || reject(new Error(`ended without "${text}": ${run.output}`)));
    });
  return run;
}

// A command the server refuses: its port is no number.
const kInvalid = JSON.stringify({
  act: "synctodevice",
  state: "bad",
  devices: [{ ip: "127.0.0.1", port: "abc", key: "0" }],
  users: [],
});

// A synctodevice of `count` users without templates, to one terminal.
function syncOf(state, terminal, count) {
  const users = Array.from({ length: count }, (_, i) => ({ enrollNumber: String(i + 1), name: `U${i + 1}` }));
  return { act: "synctodevice", state, devices: [terminal.device], users };
}

test("python websockets: every act gets its exact replies; 1000 both ways", async () => {
  const server = await programs.server();
  const empty = await programs.terminal();
  const steps = scenario({ ...terminals, empty }, await demoUsers(server.url));
  const run = python([server.url], JSON.stringify(steps));
  assert.equal(await run.done, 0, run.output);
  assert.match(run.output, new RegExp(`^${steps.length} commands answered exactly; closed 1000\\n$`));
});

test("ws: an invalid command ends the connection with 1007 and the reason", async () => {
  const server = await programs.server();
  const client = await open(server.url);
  client.socket.send(kInvalid);
  assert.deepEqual(await client.closed, { code: 1007, reason: "'abc' is not a valid integer value" });
});

test("ws: a shutdown stops the running job, sends its finish status, then 1001", async () => {
  const server = await programs.server();
  const slow = await programs.terminal(["--delay", "200"]);
  const client = await open(server.url);
  client.socket.send(JSON.stringify(syncOf("long", slow, 20)));
  assert.deepEqual(await client.next(1), ['{"status":"start", "state":"long", "remarks":"sync in progress to:127.0.0.1"}']);
  assert.equal(await server.stop(), 0);
  const [finish] = await client.next(1);
  assert.match(JSON.parse(finish).remarks, /^\*Upload interrupted by shutdown: \d+ of 20 users written$/);
  assert.deepEqual(await client.closed, { code: 1001, reason: "server shutting down" });
});

test("python websockets: 1007 with the reason for an invalid command; 1001 at shutdown", async () => {
  const server = await programs.server();
  const refused = python([server.url, "invalid", kInvalid]);
  assert.equal(await refused.done, 0, refused.output);
  assert.equal(refused.output, "closed 1007 'abc' is not a valid integer value\n");
  const waiting = python([server.url, "wait"]);
  await waiting.printed("connected\n");
  assert.equal(await server.stop(), 0);
  assert.equal(await waiting.done, 0, waiting.output);
  assert.equal(waiting.output, "connected\nclosed 1001 server shutting down\n");
});

// Its default keepalive drops a connection whose ping goes unanswered for 20 s: the server must
// answer pings while the connection's job runs.
test("python websockets with its default keepalive stays connected through a 60 s job", async () => {
  const server = await programs.server();
  const slow = await programs.terminal(["--delay", "1100"]);
  const started = Date.now();
  const run = python([server.url, "job", JSON.stringify(syncOf("minute", slow, 55))]);
  assert.equal(await run.done, 0, run.output);
  assert.equal(run.output, "*Upload user successful!\nclosed 1000\n");
  assert.ok(Date.now() - started >= 60000, `the job took only ${Date.now() - started} ms`);
});
