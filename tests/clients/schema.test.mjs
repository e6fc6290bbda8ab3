// docs/schema against real messages of a running server, the examples of docs/protocol.md, and
// messages the schemas must refuse.
import assert from "node:assert/strict";
import { readdirSync, readFileSync } from "node:fs";
import { after, before, test } from "node:test";
import Ajv2020 from "ajv/dist/2020.js";
import WebSocket from "ws";

import { Programs, repositoryRoot } from "./support/programs.mjs";
import { scenario } from "./support/scenario.mjs";

const schemaDir = `${repositoryRoot}docs/schema/`;
const ajv = new Ajv2020({ allErrors: true, strict: true, allowUnionTypes: true, strictRequired: false });
for (const file of readdirSync(schemaDir).filter((f) => f.endsWith(".json"))) {
  ajv.addSchema(JSON.parse(readFileSync(schemaDir + file, "utf8")));
}
const validate = (id, value) => {
  const check = ajv.getSchema(id);
  assert.ok(check, `no schema ${id}`);
  return check(value) ? "valid" : ajv.errorsText(check.errors);
};

// Which schema a message from the server answers to.
function replySchema(message) {
  if ("status" in message) return "status.json";
  if ("state2" in message) return "echo-reply.json";
  return "users-document.json";
}

const programs = new Programs();
let server;
let terminals;
before(async () => {
  server = await programs.server();
  terminals = {
    demo: await programs.terminal(["--demo"]),
    empty: await programs.terminal(),
    refusing: await programs.terminal(["--refuse", "2:-5"]),
  };
});
after(() => programs.stopAll());

test("every command sent and every message received fits its schema", async () => {
  const socket = new WebSocket(server.url);
  const received = [];
  socket.on("message", (data) => received.push(data.toString()));
  await new Promise((resolve) => socket.once("open", resolve));
  const waitFor = async (n) => {
    for (let i = 0; i < 300 && received.length < n; i++) await new Promise((r) => setTimeout(r, 50));
    assert.ok(received.length >= n, `${received.length} of ${n} messages`);
  };
  socket.send(JSON.stringify({ act: "getfromdevice", state: "all", ...terminals.demo.device }));
  await waitFor(3);
  const users = JSON.parse(received[1]).users;
  const steps = scenario(terminals, users);
  let expected = received.length;
  for (const { command, replies } of steps) {
    assert.equal(validate("command.json", command), "valid", JSON.stringify(command));
    socket.send(JSON.stringify(command));
    expected += replies.length;
    await waitFor(expected);
  }
  const kinds = new Set();
  for (const text of received) {
    const message = JSON.parse(text);
    const id = replySchema(message);
    kinds.add(id);
    assert.equal(validate(id, message), "valid", text);
  }
  assert.deepEqual([...kinds].sort(), ["echo-reply.json", "status.json", "users-document.json"]);
  socket.close(1000);
});

test("every JSON example in docs/protocol.md fits its schema", () => {
  const doc = readFileSync(`${repositoryRoot}docs/protocol.md`, "utf8");
  const blocks = [...doc.matchAll(/```json\n([\s\S]*?)```/g)].map((m) => JSON.parse(m[1]));
  assert.ok(blocks.length >= 8);
  for (const block of blocks) {
    const id = "act" in block && !("state2" in block) ? "command.json" : replySchema(block);
    assert.equal(validate(id, block), "valid", JSON.stringify(block));
  }
});

test("the schemas refuse what the server cannot use", () => {
  const device = { ip: "127.0.0.1", port: "4370", key: "0" };
  const cases = [
    ["command.json", { act: "Echo", state: "s" }],
    ["command.json", { act: "getfromdevice", state: "s", ip: "127.0.0.1", port: "forty", key: "0" }],
    ["command.json", { act: "getfromdevice", state: "s", ip: "127.0.0.1", port: "4370" }],
    ["command.json", { act: "synctodevice", state: "s", devices: device, users: [] }],
    ["command.json", { act: "synctodevice", state: "s", devices: [null], users: [] }],
    ["command.json", { act: "synctodevice", state: ["s"], devices: [], users: [] }],
    ["command.json", { act: "deleteenrolleddata", state: "s", devices: [device], users: [{ enrollNumber: "1" }] }],
    ["command.json", { act: "deletefptemplate", state: "s", devices: [device], users: [{ enrollNumber: "1", fingerIndex: "1 " }] }],
    ["command.json", { act: "synctodevice", state: "s", devices: [device], users: [{ enrollNumber: "1", fpTemplates: [{ fingerIndex: 10, flag: 1, templateData: "" }] }] }],
    ["status.json", { status: "begin", state: "s", remarks: "" }],
    ["status.json", { status: "finish", state: "s" }],
    ["status.json", { status: "finish", state: "s", remarks: "", extra: 1 }],
    ["echo-reply.json", { act: "echo", state: "s", devices: [] }],
    ["users-document.json", { users: [] }],
    ["users-document.json", { users: [{ enrollNumber: "1", name: "A" }] }],
    ["users-document.json", { users: [{ enrollNumber: "1", enabled: true, name: "A", cardNumber: "", password: "", privilege: 0, fpCount: "0" }] }],
  ];
  for (const [id, value] of cases) {
    assert.notEqual(validate(id, value), "valid", `${id} took ${JSON.stringify(value)}`);
  }
});
