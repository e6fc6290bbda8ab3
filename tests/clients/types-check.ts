// Compiled with tsc --noEmit by the client tests: the declarations must describe how the README
// uses the module, and reject what it does not allow.
import { connect, classifyRemark, VantorixCloseError, type ReadResult } from "../../clients/js/vantorix.js";

async function main(): Promise<void> {
  const client = await connect("ws://localhost:8989", { statePrefix: "t" });
  const read: ReadResult = await client.getFromDevice({ ip: "127.0.0.1", port: 4370, key: 0 });
  const names: string[] = read.users.map((u) => u.name + u.enrollNumber);
  const write = await client.syncToDevice([{ ip: "127.0.0.1", port: "4371" }], read.users, {
    onProgress: ({ phase, index, terminal }) => console.log(phase, index, terminal.status),
  });
  const codes: (number | null)[] = write.terminals.map((t) => t.code);
  await client.deleteEnrolledData([{ ip: "::1", port: 4370 }], [{ enrollNumber: "2", deleteOption: 12 }]);
  await client.deleteFingerTemplate([{ ip: "::1", port: 4370 }], [{ enrollNumber: 2, fingerIndex: "3" }]);
  const echo = await client.echo({ extra: 1 });
  const stop = client.on("status", (event) => console.log(event.mine, event.message));
  stop();
  client.on("close", ({ code, reason }) => console.log(code, reason));
  const ok: boolean = classifyRemark("synctodevice", echo.state2).ok;
  const closed = await client.close(1000, "done");
  console.log(names, codes, ok, closed.wasClean, new VantorixCloseError(1006, "", false).code);
  // @ts-expect-error a device needs an ip
  await client.getFromDevice({ port: 4370 });
  // @ts-expect-error a deletion entry for deleteEnrolledData needs deleteOption
  await client.deleteEnrolledData([], [{ enrollNumber: "1", fingerIndex: 1 }]);
}
void main;
