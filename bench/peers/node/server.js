// The Node peer of bench/run: the echo act of Vantorix on the ws package. Each text message is
// parsed as JSON; an object whose "act" is "echo" gets "devices":[] when it has no "devices"
// member and "state2" set to its "state" read as text, and the compact JSON goes to every
// client. Anything else is dropped. Prints "listening on ADDR:PORT" once it accepts connections.
//
//   node server.js [--port N]    (default 0: a free port on 127.0.0.1)
'use strict';

const { WebSocketServer, OPEN } = require('ws');

function PortArgument(args) {
  const at = args.indexOf('--port');
  if (at < 0) return 0;
  const port = Number(args[at + 1]);
  if (!Number.isInteger(port) || port < 0 || port > 65535) {
    console.error('usage: node server.js [--port N]');
    process.exit(2);
  }
  return port;
}

// A member read as text: a string as it is, a number or a boolean as its JSON text, anything
// else (missing, null) as the empty text. The load sends only strings here.
function Text(value) {
  if (typeof value === 'string') return value;
  if (typeof value === 'number' || typeof value === 'boolean') return JSON.stringify(value);
  return '';
}

// The reply to one message, or null when the message is not an echo command.
function EchoReply(text) {
  let command;
  try {
    command = JSON.parse(text);
  } catch {
    return null;
  }
  if (command === null || typeof command !== 'object' || Array.isArray(command)) return null;
  if (Text(command.act) !== 'echo') return null;
  const state = Text(command.state);
  if (!Object.prototype.hasOwnProperty.call(command, 'devices')) command.devices = [];
  command.state2 = state;
  return JSON.stringify(command);
}

const server = new WebSocketServer({
  host: '127.0.0.1',
  port: PortArgument(process.argv.slice(2)),
  perMessageDeflate: false,
  maxPayload: 256 * 1024 * 1024,
});

server.on('listening', () => {
  const address = server.address();
  console.log(`listening on ${address.address}:${address.port}`);
});

server.on('connection', (socket) => {
  socket.on('message', (data, isBinary) => {
    if (isBinary) return;
    const reply = EchoReply(data.toString('utf8'));
    if (reply === null) return;
    // Encoded once, sent to everyone.
    const bytes = Buffer.from(reply, 'utf8');
    for (const client of server.clients) {
      if (client.readyState === OPEN) client.send(bytes, { binary: false });
    }
  });
  socket.on('error', () => {});
});
