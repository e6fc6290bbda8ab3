// Starts vantorixd and vantorix-terminal as child processes on free loopback ports for the client
// tests, and stops them again. CTest passes the programs' paths in VANTORIXD and
// VANTORIX_TERMINAL; by hand they default to the dev build of this checkout.
import { spawn } from "node:child_process";
import { createInterface } from "node:readline";
import { fileURLToPath } from "node:url";

const root = fileURLToPath(new URL("../../../", import.meta.url));
export const vantorixdPath = process.env.VANTORIXD ?? `${root}build/dev/app/vantorixd`;
export const terminalPath =
  process.env.VANTORIX_TERMINAL ?? `${root}build/dev/terminal/vantorix-terminal`;
export const repositoryRoot = root;

const kStartWaitMs = 15000;

// A running program. `lines` holds what it printed so far, one entry a line.
class Program {
  constructor(path, args) {
    this.lines = [];
    this.child = spawn(path, args, { stdio: ["ignore", "pipe", "inherit"] });
    this.exited = new Promise((resolve) => this.child.once("exit", (code) => resolve(code)));
    this.waiters = [];
    createInterface({ input: this.child.stdout }).on("line", (line) => {
      this.lines.push(line);
      for (const waiter of [...this.waiters]) waiter();
    });
  }

  // Resolves with the first line that matches `pattern`, however long ago it was printed.
  waitFor(pattern, timeoutMs = kStartWaitMs) {
    return new Promise((resolve, reject) => {
      const check = () => {
        const line = this.lines.find((l) => pattern.test(l));
        if (line === undefined) return false;
        clearTimeout(timer);
        this.waiters = this.waiters.filter((w) => w !== check);
        resolve(line);
        return true;
      };
      const timer = setTimeout(() => {
        this.waiters = this.waiters.filter((w) => w !== check);
        reject(new Error(`no line matching ${pattern} within ${timeoutMs} ms: ${this.lines}`));
      }, timeoutMs);
      if (!check()) this.waiters.push(check);
    });
  }

  async port() {
    const line = await this.waitFor(/^listening on /);
    return Number(line.slice(line.lastIndexOf(":") + 1));
  }

  // SIGTERM, then the exit status.
  async stop() {
    if (this.child.exitCode === null && this.child.signalCode === null) {
      this.child.kill("SIGTERM");
    }
    return this.exited;
  }
}

export async function startServer() {
  const server = new Program(vantorixdPath, ["--port", "0", "--loopback"]);
  server.port = await server.port();
  server.url = `ws://127.0.0.1:${server.port}`;
  return server;
}

// extraArgs: --demo, --refuse USER:CODE, --fail-deletions, --drop-after N, --delay MS.
export async function startTerminal(extraArgs = []) {
  const terminal = new Program(terminalPath, ["--listen", "127.0.0.1:0", ...extraArgs]);
  terminal.port = await terminal.port();
  terminal.device = { ip: "127.0.0.1", port: String(terminal.port), key: "0" };
  return terminal;
}

// Everything a test started, stopped in reverse order.
export class Programs {
  constructor() {
    this.started = [];
  }
  async server() {
    const server = await startServer();
    this.started.push(server);
    return server;
  }
  async terminal(extraArgs = []) {
    const terminal = await startTerminal(extraArgs);
    this.started.push(terminal);
    return terminal;
  }
  async stopAll() {
    for (const program of this.started.reverse()) await program.stop();
    this.started = [];
  }
}
