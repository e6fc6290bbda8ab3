// Vantorix client: talks to a Vantorix server over a WebSocket from a browser or Node.js 20+.
// No dependencies. vantorix.global.js is made from this file by tools/build-global.mjs.

const kActs = Object.freeze({
  echo: "echo",
  read: "getfromdevice",
  write: "synctodevice",
  deleteEnrolment: "deleteenrolleddata",
  deleteFinger: "deletefptemplate",
});

// The finish remark of a read that worked; it counts the users of the document sent before it.
const kFetchCompleted = /^Fetch completed: (\d+) total users found$/;
// Every failure text the server reports ends in an error code ("...ErrorCode=-1",
// "...error,ErrorCode=!-5") or is a connection that could not be made ("... failed! Can not
// connect."). Success texts never end that way: the user-supplied parts of a success text
// (enrolment numbers) are always followed by fixed text.
const kErrorCode = /ErrorCode=!?(-?\d+)$/;
const kCannotConnect = / failed! Can not connect\.$/;
// A job that the server's shutdown stopped between two users says how far it got:
// "*Upload interrupted by shutdown: 7 of 20 users written", "*Read interrupted by shutdown: 12
// users read", "*Delete interrupted by shutdown: 3 of 10 entries done" (after "Delete
// completed: " for the delete acts).
const kInterrupted = / interrupted by shutdown: \d+ (of \d+ )?(users written|users read|entries done)$/;

/**
 * Tells whether a finish status remark reports a success or a failure. The one place that knows
 * the server's outcome texts; see README.md ("Outcomes").
 * @param {string} act the command's act
 * @param {string} remark the finish status's "remarks"
 * @returns {{ok: boolean, code: number|null, connected: boolean}} code: the terminal's error code
 *   when the text has one; connected: false when the terminal could not be reached at all
 */
export function classifyRemark(act, remark) {
  const text = String(remark);
  const coded = kErrorCode.exec(text);
  const code = coded ? Number(coded[1]) : null;
  const connected = !kCannotConnect.test(text);
  if (act === kActs.read) {
    return { ok: kFetchCompleted.test(text), code, connected };
  }
  return { ok: coded === null && connected && !kInterrupted.test(text), code, connected };
}

/** The connection closed while calls were waiting, or before it opened. */
export class VantorixCloseError extends Error {
  constructor(code, reason, wasClean) {
    super(
      reason
        ? `connection closed (${code}: ${reason})`
        : `connection closed (${code}) before the reply`,
    );
    this.name = "VantorixCloseError";
    this.code = code;
    this.reason = reason;
    this.wasClean = wasClean;
  }
}

// A message from the server sorted by what it is. Status messages and echo replies carry the
// sender's state; users documents carry nothing but "users". Every echo reply has "act", and
// nothing else the server sends does, so no client can make its echo pass for a status
// message or a users document of somebody else's command.
function sortMessage(message) {
  if (message === null || typeof message !== "object" || Array.isArray(message)) {
    return "other";
  }
  if ("act" in message) {
    return "state2" in message ? "echo" : "other";
  }
  if ((message.status === "start" || message.status === "finish") && "state" in message) {
    return "status";
  }
  return "status" in message ? "other" : "users";
}

function randomPrefix() {
  const bytes = new Uint8Array(6);
  if (globalThis.crypto && typeof globalThis.crypto.getRandomValues === "function") {
    globalThis.crypto.getRandomValues(bytes);
  } else {
    for (let i = 0; i < bytes.length; i++) bytes[i] = Math.floor(Math.random() * 256);
  }
  return "vx" + Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
}

const kInt32 = [-2147483648, 2147483647];

// A whole number from a number or a text in a form the server converts (decimal, or hexadecimal
// after "0x" or "$"); undefined for anything else.
function integer(value, [low, high]) {
  let number = value;
  if (typeof value === "string") {
    const text = value.trim();
    number = text === "" ? NaN : Number(text.startsWith("$") ? "0x" + text.slice(1) : text);
  }
  return typeof number === "number" && Number.isInteger(number) && number >= low && number <= high
    ? number
    : undefined;
}

// Texts the server cannot convert ("port", "key", "deleteOption", "fingerIndex") end the
// connection that sent them, and every other call waiting on it. They are checked here instead,
// so a typing error costs one rejected call, and sent in plain decimal.
function deviceEntry(device, where) {
  if (device === null || typeof device !== "object") {
    throw new TypeError(`${where}: a terminal must be an object {ip, port, key}`);
  }
  const ip = String(device.ip ?? "");
  const port = integer(device.port, [1, 65535]);
  const key = device.key === undefined || device.key === "" ? 0 : integer(device.key, kInt32);
  if (ip === "") throw new TypeError(`${where}: terminal without "ip"`);
  if (port === undefined) {
    throw new TypeError(`${where}: terminal ${ip} has no valid "port" (1 to 65535)`);
  }
  if (key === undefined) {
    throw new TypeError(`${where}: terminal ${ip} has no valid "key" (a 32-bit integer)`);
  }
  return { ip, port: String(port), key: String(key) };
}

function deviceList(devices, where) {
  if (!Array.isArray(devices)) throw new TypeError(`${where}: devices must be an array`);
  return devices.map((d) => deviceEntry(d, where));
}

function isRecord(value) {
  return value !== null && typeof value === "object" && !Array.isArray(value);
}

// A user record the server could not write to the end (an entry that is no object, fewer
// templates than "fpCount") would end the connection; such a list is refused whole.
function userRecords(users) {
  if (!Array.isArray(users)) throw new TypeError("syncToDevice: users must be an array");
  users.forEach((user, i) => {
    if (!isRecord(user)) throw new TypeError(`syncToDevice: user ${i} is not an object`);
    const count = user.fpCount === undefined ? 0 : integer(user.fpCount, kInt32);
    const templates = Array.isArray(user.fpTemplates) ? user.fpTemplates : [];
    if (count === undefined || count > templates.length) {
      throw new TypeError(
        `syncToDevice: user ${i} has fpCount ${user.fpCount} but ${templates.length} templates`,
      );
    }
    if (!templates.slice(0, count).every(isRecord)) {
      throw new TypeError(`syncToDevice: user ${i} has a template that is not an object`);
    }
  });
  return users;
}

function deletionEntries(entries, where, member) {
  if (!Array.isArray(entries)) throw new TypeError(`${where}: entries must be an array`);
  return entries.map((entry, i) => {
    if (!isRecord(entry)) throw new TypeError(`${where}: entry ${i} is not an object`);
    const value = integer(entry[member], kInt32);
    if (value === undefined) {
      throw new TypeError(`${where}: entry ${i} needs "${member}" (an integer)`);
    }
    return { ...entry, enrollNumber: String(entry.enrollNumber ?? ""), [member]: String(value) };
  });
}

// One command in flight: its state, its terminals and what came back for each.
class Call {
  constructor(act, state, devices, onProgress, resolve, reject) {
    this.act = act;
    this.state = state;
    this.onProgress = onProgress;
    this.resolve = resolve;
    this.reject = reject;
    this.terminals = devices.map((device) => ({
      device,
      status: "waiting",
      ok: false,
      remark: "",
      code: null,
      connected: false,
    }));
    this.started = 0;
    this.finished = 0;
    this.readStart = -1;
  }

  progress(event) {
    if (this.onProgress) {
      try {
        this.onProgress(event);
      } catch (e) {
        // A failing progress callback must not lose the call's result.
        queueMicrotask(() => {
          throw e;
        });
      }
    }
  }
}

export class VantorixClient {
  #socket;
  #prefix;
  #counter = 0;
  #calls = new Map();
  #listeners = new Map();
  #sequence = 0;
  #documents = [];
  #closed = null;
  #closeWaiters = [];

  /** Use connect(); the constructor takes a WebSocket that is already open. */
  constructor(socket, options = {}) {
    this.#socket = socket;
    this.#prefix = options.statePrefix ?? randomPrefix();
    socket.onmessage = (event) => this.#receive(event.data);
    socket.onclose = (event) => this.#close(event.code, event.reason, event.wasClean);
  }

  /** The address the client is connected to. */
  get url() {
    return this.#socket.url;
  }

  /** True until the connection has closed. */
  get isOpen() {
    return this.#closed === null;
  }

  /** How the connection closed ({code, reason, wasClean}), or null while it is open. */
  get closeEvent() {
    return this.#closed;
  }

  /**
   * Follows what the server sends to every client: "message" (everything), "status", "users",
   * "echo"; "sent" for each command this client sends; "close" once. Returns a function that stops the listener.
   */
  on(type, listener) {
    if (!this.#listeners.has(type)) this.#listeners.set(type, new Set());
    this.#listeners.get(type).add(listener);
    return () => this.#listeners.get(type).delete(listener);
  }

  /** A fresh state, unique to this client and never reused. */
  nextState() {
    this.#counter += 1;
    return `${this.#prefix}-${this.#counter}`;
  }

  /** Sends {"act":"echo"} with a fresh state plus `extra`; resolves with the reply. */
  echo(extra = {}) {
    return this.#start(kActs.echo, [], { ...extra }, {});
  }

  /** Reads every user of one terminal; resolves with {ok, users, document, terminals, ...}. */
  getFromDevice(device, options = {}) {
    const entry = deviceEntry(device, "getFromDevice");
    return this.#start(kActs.read, [entry], { ...entry }, options);
  }

  /** Writes user records to each terminal. Only the outcome of the last user is reported. */
  syncToDevice(devices, users, options = {}) {
    const list = deviceList(devices, "syncToDevice");
    return this.#start(kActs.write, list, { devices: list, users: userRecords(users) }, options);
  }

  /** Deletes enrolment data ({enrollNumber, deleteOption}) on each terminal. */
  deleteEnrolledData(devices, entries, options = {}) {
    const list = deviceList(devices, "deleteEnrolledData");
    const checked = deletionEntries(entries, "deleteEnrolledData", "deleteOption");
    return this.#start(kActs.deleteEnrolment, list, { devices: list, users: checked }, options);
  }

  /** Deletes single fingerprint templates ({enrollNumber, fingerIndex}) on each terminal. */
  deleteFingerTemplate(devices, entries, options = {}) {
    const list = deviceList(devices, "deleteFingerTemplate");
    const checked = deletionEntries(entries, "deleteFingerTemplate", "fingerIndex");
    return this.#start(kActs.deleteFinger, list, { devices: list, users: checked }, options);
  }

  /** Closes the connection (1000 unless told otherwise); resolves once it is closed. */
  close(code = 1000, reason = "") {
    if (this.#closed) return Promise.resolve(this.#closed);
    return new Promise((resolve) => {
      this.#closeWaiters.push(resolve);
      this.#socket.close(code, reason);
    });
  }

  #start(act, devices, members, options) {
    if (this.#closed) {
      const { code, reason, wasClean } = this.#closed;
      return Promise.reject(new VantorixCloseError(code, reason, wasClean));
    }
    const state = this.nextState();
    return new Promise((resolve, reject) => {
      const call = new Call(act, state, devices, options.onProgress, resolve, reject);
      // A command for no terminal makes the server send nothing at all.
      if (act !== kActs.echo && devices.length === 0) {
        resolve(this.#result(call));
        return;
      }
      // act and state come first, and no member of the caller's can replace them.
      const data = JSON.stringify({ act, state, ...members, ...{ act, state } });
      try {
        this.#socket.send(data);
      } catch (e) {
        reject(e);
        return;
      }
      this.#calls.set(state, call);
      this.#emit("sent", { data, message: JSON.parse(data), kind: "command", mine: true });
    });
  }

  #emit(type, event) {
    const listeners = this.#listeners.get(type);
    if (!listeners) return;
    for (const listener of [...listeners]) {
      try {
        listener(event);
      } catch (e) {
        queueMicrotask(() => {
          throw e;
        });
      }
    }
  }

  #receive(data) {
    if (typeof data !== "string") return;
    let message;
    try {
      message = JSON.parse(data);
    } catch {
      message = undefined;
    }
    const kind = sortMessage(message);
    let call;
    if (kind === "status") {
      call = this.#calls.get(String(message.state));
    } else if (kind === "echo" && message.act === kActs.echo) {
      call = this.#calls.get(String(message.state2));
      if (call && call.act !== kActs.echo) call = undefined;
    }
    const event = { data, message, kind, mine: call !== undefined };
    this.#emit("message", event);
    if (kind !== "other") this.#emit(kind, event);
    if (kind === "users") {
      this.#sequence += 1;
      if (this.#readsPending()) this.#documents.push({ sequence: this.#sequence, document: message });
    } else if (call && kind === "status") {
      this.#status(call, message);
    } else if (call && kind === "echo") {
      this.#calls.delete(call.state);
      call.resolve(message);
    }
  }

  #readsPending() {
    for (const call of this.#calls.values()) if (call.act === kActs.read) return true;
    return false;
  }

  #status(call, message) {
    const remark = String(message.remarks ?? "");
    if (message.status === "start") {
      const index = Math.min(call.started, call.terminals.length - 1);
      call.started += 1;
      call.readStart = this.#sequence;
      const terminal = call.terminals[index];
      terminal.status = "running";
      terminal.remark = remark;
      call.progress({ phase: "start", index, terminal: { ...terminal }, remark });
      return;
    }
    const index = Math.min(call.finished, call.terminals.length - 1);
    call.finished += 1;
    const terminal = call.terminals[index];
    const outcome = classifyRemark(call.act, remark);
    terminal.status = outcome.ok ? "success" : "failure";
    terminal.ok = outcome.ok;
    terminal.code = outcome.code;
    terminal.connected = outcome.connected;
    terminal.remark = remark;
    if (call.act === kActs.read) {
      call.document = outcome.ok ? this.#claimDocument(call, remark) : null;
      if (outcome.ok && call.document === null) {
        terminal.status = "failure";
        terminal.ok = false;
      }
    }
    call.progress({ phase: "finish", index, terminal: { ...terminal }, remark });
    if (call.finished >= call.terminals.length) {
      this.#calls.delete(call.state);
      call.resolve(this.#result(call));
      if (!this.#readsPending()) this.#documents = [];
    }
  }

  // The users document of a read carries no state. It is the latest one since the read started
  // whose user count is the one its finish status gives; the count tells it from the document
  // of a read another client ran at the same time.
  #claimDocument(call, remark) {
    const count = Number(kFetchCompleted.exec(remark)[1]);
    for (let i = this.#documents.length - 1; i >= 0; i--) {
      const { sequence, document } = this.#documents[i];
      const users = Array.isArray(document.users) ? document.users.length : 0;
      if (sequence > call.readStart && users === count) {
        this.#documents.splice(i, 1);
        return document;
      }
    }
    return null;
  }

  #result(call) {
    const result = {
      act: call.act,
      state: call.state,
      ok: call.terminals.every((t) => t.ok),
      terminals: call.terminals,
    };
    if (call.act === kActs.read) {
      result.document = call.document ?? null;
      result.users = call.document && Array.isArray(call.document.users) ? call.document.users : [];
    }
    return result;
  }

  #close(code, reason, wasClean) {
    if (this.#closed) return;
    this.#closed = { code, reason: reason ?? "", wasClean: Boolean(wasClean) };
    const calls = [...this.#calls.values()];
    this.#calls.clear();
    this.#documents = [];
    for (const call of calls) call.reject(new VantorixCloseError(code, reason ?? "", wasClean));
    for (const resolve of this.#closeWaiters.splice(0)) resolve(this.#closed);
    this.#emit("close", this.#closed);
  }
}

/**
 * Opens a connection. options.WebSocket: a WebSocket constructor (default: the global one, as
 * in browsers and Node.js 22, or Node.js 20 with --experimental-websocket; or the "ws" package).
 * Resolves with a VantorixClient once the connection is open; rejects with a VantorixCloseError
 * when it cannot be opened.
 */
export function connect(url, options = {}) {
  const Socket = options.WebSocket ?? globalThis.WebSocket;
  if (typeof Socket !== "function") {
    return Promise.reject(
      new TypeError("no WebSocket: pass options.WebSocket (for example from the ws package)"),
    );
  }
  return new Promise((resolve, reject) => {
    let socket;
    try {
      socket = new Socket(url);
    } catch (e) {
      reject(e);
      return;
    }
    socket.onopen = () => {
      socket.onerror = null;
      resolve(new VantorixClient(socket, options));
    };
    socket.onerror = () => {};
    socket.onclose = (event) =>
      reject(new VantorixCloseError(event.code, event.reason ?? "", event.wasClean));
  });
}
