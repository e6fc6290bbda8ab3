// The JavaScript client module against the real server and simulated terminals.
import assert from "node:assert/strict";
import { after, before, describe, test } from "node:test";
import WebSocket from "ws";

import { classifyRemark, connect, VantorixCloseError } from "../../clients/js/vantorix.js";
import { Programs, startServer, startTerminal } from "./support/programs.mjs";

const programs = new Programs();
let server;
let demo;
let empty;
let refusing;
let deadPort;

before(async () => {
  server = await programs.server();
  demo = await programs.terminal(["--demo"]);
  empty = await programs.terminal();
  refusing = await programs.terminal(["--demo", "--refuse", "2:-5", "--fail-deletions"]);
  const gone = await startTerminal();
  deadPort = gone.port;
  await gone.stop();
});
after(() => programs.stopAll());

const open = () => connect(server.url, { WebSocket });
const dead = () => ({ ip: "127.0.0.1", port: deadPort, key: 0 });

describe("classifyRemark", () => {
  test("knows every success and failure text of the server", () => {
    const cases = [
      ["getfromdevice", "Fetch completed: 4 total users found", true, null],
      ["getfromdevice", "Fetch completed: 0 total users found", true, null],
      ["getfromdevice", "sync from device:10.0.0.9 failed! Can not connect.", false, null],
      ["getfromdevice", "sync from device:::1 failed! Can not read,ErrorCode=-2", false, -2],
      ["synctodevice", "*Upload user successful!", true, null],
      ["synctodevice", "", true, null],
      ["synctodevice", "*Upload user 17 error,ErrorCode=!-5", false, -5],
      ["synctodevice", "*Upload user 3 error,ErrorCode=!0", false, 0],
      ["synctodevice", "sync to device:::1 failed! Can not connect.", false, null],
      ["synctodevice", "*Operation failed,ErrorCode=-8", false, -8],
      ["deleteenrolleddata", "Delete completed: SSR_DeleteEnrollData,UserID=7 BackupNumber=12", true, null],
      ["deleteenrolleddata", "Delete completed: *Operation failed,ErrorCode=-1", false, -1],
      ["deleteenrolleddata", "Delete completed: *Operation failed,ErrorCode=0", false, 0],
      ["deleteenrolleddata", "delete from device:1.2.3.4 failed! Can not connect.", false, null],
      ["deletefptemplate", "Delete fingerprint completed: SSR_DelUserTmpExt,UserID=2 FingerIndex=3", true, null],
      ["deletefptemplate", "Delete fingerprint completed: *Operation failed,ErrorCode=-4", false, -4],
      ["deletefptemplate", "delete finger from device:1.2.3.4 failed! Can not connect.", false, null],
      // A job stopped by the server's shutdown between two users.
      ["synctodevice", "*Upload interrupted by shutdown: 7 of 20 users written", false, null],
      ["getfromdevice", "*Read interrupted by shutdown: 12 users read", false, null],
      ["deleteenrolleddata", "Delete completed: *Delete interrupted by shutdown: 3 of 10 entries done", false, null],
      ["deletefptemplate", "Delete fingerprint completed: *Delete interrupted by shutdown: 0 of 2 entries done", false, null],
      // User numbers are the client's own text; they cannot make a success look like a failure.
      ["deleteenrolleddata", "Delete completed: SSR_DeleteEnrollData,UserID=ErrorCode=5 BackupNumber=12", true, null],
      ["deletefptemplate", "Delete fingerprint completed: SSR_DelUserTmpExt,UserID=x failed! Can not connect. FingerIndex=1", true, null],
      ["deleteenrolleddata", "Delete completed: SSR_DeleteEnrollData,UserID=* interrupted by shutdown: 1 users read BackupNumber=12", true, null],
    ];
    for (const [act, remark, ok, code] of cases) {
      const connected = !remark.endsWith(" failed! Can not connect.");
      assert.deepEqual(classifyRemark(act, remark), { ok, code, connected }, `${act}: ${remark}`);
    }
  });
});

describe("against the server", () => {
  test("every act resolves with its reply and each terminal's outcome", async () => {
    const client = await open();
    const echo = await client.echo({ extra: [1, "two"] });
    assert.equal(echo.state2, echo.state);
    assert.deepEqual(echo.extra, [1, "two"]);

    const read = await client.getFromDevice(demo.device);
    assert.equal(read.ok, true);
    assert.deepEqual(read.users.map((u) => u.enrollNumber), ["1", "2", "3", "4"]);
    assert.equal(read.terminals[0].remark, "Fetch completed: 4 total users found");

    const chosen = read.users.filter((u) => u.enrollNumber === "1" || u.enrollNumber === "2");
    const progress = [];
    const write = await client.syncToDevice([empty.device, refusing.device, dead()], chosen, {
      onProgress: ({ phase, index, terminal }) => progress.push(`${phase} ${index} ${terminal.status}`),
    });
    assert.deepEqual(
      write.terminals.map((t) => [t.device.port, t.ok, t.code, t.connected]),
      [
        [String(empty.port), true, null, true],
        [String(refusing.port), false, -5, true],
        [String(deadPort), false, null, false],
      ],
    );
    assert.equal(write.ok, false);
    assert.deepEqual(progress, [
      "start 0 running", "finish 0 success",
      "start 1 running", "finish 1 failure",
      "start 2 running", "finish 2 failure",
    ]);
    // What the read gave was written whole.
    assert.deepEqual((await client.getFromDevice(empty.device)).users, chosen);

    const finger = await client.deleteFingerTemplate(
      [empty.device, refusing.device],
      [{ enrollNumber: "1", fingerIndex: chosen[0].fpTemplates[0].fingerIndex }],
    );
    assert.deepEqual(finger.terminals.map((t) => [t.ok, t.code]), [[true, null], [false, 0]]);
    const enrolment = await client.deleteEnrolledData(
      [empty.device, empty.device],
      [{ enrollNumber: "2", deleteOption: "12" }],
    );
    // The second time there is nobody left to delete.
    assert.deepEqual(enrolment.terminals.map((t) => [t.ok, t.code]), [[true, null], [false, -1]]);
    const after = await client.getFromDevice(empty.device);
    assert.deepEqual(after.users.map((u) => [u.enrollNumber, u.fpCount]), [["1", chosen[0].fpCount - 1]]);

    const failedRead = await client.getFromDevice(dead());
    assert.deepEqual([failedRead.ok, failedRead.document, failedRead.users], [false, null, []]);
    assert.deepEqual(await client.close(), { code: 1000, reason: "", wasClean: true });
  });

  test("a client sees the calls of another client, marked as not its own", async () => {
    const watcher = await open();
    const sender = await open();
    const seen = [];
    watcher.on("message", ({ kind, mine }) => seen.push(`${kind} ${mine}`));
    const read = await sender.getFromDevice(demo.device);
    assert.equal(read.ok, true);
    await sender.echo();
    await watcher.echo(); // everything before it has reached the watcher by now
    assert.deepEqual(seen, ["status false", "users false", "status false", "echo false", "echo true"]);
    await Promise.all([watcher.close(), sender.close()]);
  });

  test("another client's echo cannot pass for this client's replies", async () => {
    const slow = await programs.terminal(["--demo", "--delay", "300"]);
    const client = await open();
    const forger = new WebSocket(server.url);
    await new Promise((resolve) => forger.once("open", resolve));
    // As soon as the read starts, the forger echoes a users document and a finish status with
    // the read's state; they come back to everybody long before the slow terminal answers.
    forger.on("message", (data) => {
      const message = JSON.parse(data.toString());
      if (message.status !== "start") return;
      const forged = { act: "echo", state: message.state, remarks: "Fetch completed: 1 total users found" };
      forger.send(JSON.stringify({ act: "echo", state: "x", users: [{ enrollNumber: "666" }] }));
      forger.send(JSON.stringify({ ...forged, status: "finish" }));
    });
    const read = await client.getFromDevice(slow.device);
    assert.deepEqual(read.users.map((u) => u.enrollNumber), ["1", "2", "3", "4"]);
    // Nor can the caller's own members replace the act or the state.
    const echo = await client.echo({ act: "getfromdevice", state: "mine" });
    assert.deepEqual([echo.act, echo.state === echo.state2, echo.state === "mine"], ["echo", true, false]);
    forger.close();
    await client.close();
  });

  test("reads running at the same time each get their own users document", async () => {
    const clients = await Promise.all([open(), open(), open()]);
    const slow = await programs.terminal(["--demo", "--delay", "20"]);
    const none = await programs.terminal();
    const reads = await Promise.all([
      clients[0].getFromDevice(demo.device),
      clients[1].getFromDevice(none.device),
      clients[2].getFromDevice(slow.device),
      clients[0].getFromDevice(none.device),
    ]);
    assert.deepEqual(reads.map((r) => [r.ok, r.users.length]), [[true, 4], [true, 0], [true, 4], [true, 0]]);
    assert.notEqual(reads[0].document, reads[2].document);
    await Promise.all(clients.map((c) => c.close()));
  });

  test("inputs the server would end the connection for are refused before sending", async () => {
    const client = await open();
    const sent = [];
    client.on("sent", ({ data }) => sent.push(data));
    const bad = [
      () => client.getFromDevice({ ip: "127.0.0.1", port: "forty" }),
      () => client.getFromDevice({ ip: "127.0.0.1", port: 4370, key: "1.5" }),
      () => client.getFromDevice({ port: 4370 }),
      () => client.syncToDevice([demo.device], [{ enrollNumber: "1", fpCount: 1 }]),
      () => client.syncToDevice([demo.device], [null]),
      () => client.syncToDevice([null], []),
      () => client.deleteEnrolledData([demo.device], [{ enrollNumber: "1" }]),
      () => client.deleteFingerTemplate([demo.device], [{ enrollNumber: "1", fingerIndex: "abc" }]),
    ];
    for (const call of bad) assert.throws(call, TypeError);
    assert.deepEqual(sent, []);
    // The connection is still good, and texts in the server's other forms go out as decimal.
    const read = await client.getFromDevice({ ip: "127.0.0.1", port: ` ${demo.port}`, key: "$0" });
    assert.equal(read.ok, true);
    assert.match(sent[0], new RegExp(`"port":"${demo.port}","key":"0"`));
    await client.close();
  });

  test("a terminal dropping the link at any step gives a failure exactly when the user was not saved", async () => {
    const client = await open();
    const user = (await client.getFromDevice(demo.device)).users[0];
    assert.ok(user.fpCount >= 2);
    // Hello, EnableDevice, SetUser, one SetTemplate per template, Refresh, EnableDevice.
    const steps = 5 + user.fpCount;
    // Dropped at the Refresh, the terminal holds the user in memory but never confirmed saving
    // it: that must be reported as a failure too.
    const refreshDrop = 3 + user.fpCount;
    for (let drop = 0; drop <= steps; drop++) {
      const target = await startTerminal(["--drop-after", String(drop)]);
      try {
        const write = await client.syncToDevice([target.device], [user]);
        // A drop the write did not reach hits the first read instead; the second is whole.
        let back = await client.getFromDevice(target.device);
        if (!back.ok) back = await client.getFromDevice(target.device);
        assert.equal(back.ok, true);
        const stored = back.users.length === 1 && back.users[0].fpCount === user.fpCount;
        const saved = stored && drop !== refreshDrop;
        assert.equal(write.terminals[0].ok, saved, `drop after ${drop}: ${write.terminals[0].remark}`);
      } finally {
        await target.stop();
      }
    }
    await client.close();
  });
});

describe("when the connection closes", () => {
  test("mid-command, the call and those queued behind it reject with the close code", async () => {
    const own = await startServer();
    const slow = await startTerminal(["--delay", "400"]);
    try {
      const client = await connect(own.url, { WebSocket });
      const closes = [];
      client.on("close", (event) => closes.push(event.code));
      const started = new Promise((resolve) => client.on("status", resolve));
      const pending = [
        client.syncToDevice([slow.device], [{ enrollNumber: "9", fpCount: 0 }]),
        client.echo(),
      ];
      await started; // the terminal is being written
      own.child.kill("SIGKILL");
      for (const call of pending) {
        await assert.rejects(call, (e) => e instanceof VantorixCloseError && e.code === 1006);
      }
      await assert.rejects(client.echo(), (e) => e instanceof VantorixCloseError && e.code === 1006);
      assert.deepEqual(closes, [1006]);
      assert.equal(client.isOpen, false);
    } finally {
      await slow.stop();
      await own.stop();
    }
  });

  test("connecting where nothing listens rejects with 1006", async () => {
    await assert.rejects(
      connect(`ws://127.0.0.1:${deadPort}`, { WebSocket }),
      (e) => e instanceof VantorixCloseError && e.code === 1006,
    );
  });
});
