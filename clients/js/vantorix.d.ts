// Type declarations for vantorix.js.

/** A terminal: its numeric address, TCP port and communication password. */
export interface Device {
  ip: string;
  /** 1 to 65535; a number or a text holding one. */
  port: number | string;
  /** The communication password, a 32-bit integer; 0 when left out. */
  key?: number | string;
}

/** One fingerprint template of a user. */
export interface TemplateRecord {
  /** Finger slot, 0 to 9. */
  fingerIndex: number;
  flag: number;
  /** The template as the terminal gives it; passed through unchanged. */
  templateData: string;
}

/** One user of a terminal, as read and as written. */
export interface UserRecord {
  enrollNumber: string;
  enabled: boolean;
  name: string;
  /** "" or "0": no card. */
  cardNumber: string;
  password: string;
  privilege: number;
  /** Present only when the user has templates; ascending finger order. */
  fpTemplates?: TemplateRecord[];
  /** How many entries of fpTemplates a write stores; a read sets it to their number. */
  fpCount: number;
}

/** The reply to a read: {} for a terminal without users. */
export interface UsersDocument {
  users?: UserRecord[];
}

/**
 * What to delete with deleteEnrolledData: deleteOption 0 to 9 one finger's template, 10 the
 * password, 11 every template, 12 the user with all its data.
 */
export interface EnrolmentDeletion {
  enrollNumber: string | number;
  deleteOption: number | string;
}

/** What to delete with deleteFingerTemplate: one finger slot, 0 to 9. */
export interface FingerDeletion {
  enrollNumber: string | number;
  fingerIndex: number | string;
}

export type Act = "echo" | "getfromdevice" | "synctodevice" | "deleteenrolleddata" | "deletefptemplate";

/** What became of one terminal of a call. */
export interface TerminalOutcome {
  device: { ip: string; port: string; key: string };
  status: "waiting" | "running" | "success" | "failure";
  ok: boolean;
  /** The last status remark for this terminal (the finish remark once done). */
  remark: string;
  /** The error code in a failure text, null when it has none. */
  code: number | null;
  /** False when the terminal could not be reached ("... failed! Can not connect."). */
  connected: boolean;
}

export interface CommandResult {
  act: Act;
  /** The state this call's command was sent with. */
  state: string;
  /** True when every terminal's outcome is a success (also for no terminals). */
  ok: boolean;
  /** One per terminal, in the order given. */
  terminals: TerminalOutcome[];
}

export interface ReadResult extends CommandResult {
  act: "getfromdevice";
  /** The users document, or null when the read failed. */
  document: UsersDocument | null;
  /** The users read ([] when the read failed). */
  users: UserRecord[];
}

export interface EchoReply {
  act: "echo";
  state: string;
  state2: string;
  devices: unknown[];
  [member: string]: unknown;
}

export interface ProgressEvent {
  phase: "start" | "finish";
  /** Position of the terminal in the call's device list. */
  index: number;
  /** A copy of that terminal's outcome so far. */
  terminal: TerminalOutcome;
  remark: string;
}

export interface CallOptions {
  onProgress?: (event: ProgressEvent) => void;
}

export interface MessageEvent {
  /** The text as it came (or, for "sent", as it went). */
  data: string;
  /** The parsed JSON, undefined when the text is not JSON. */
  message: any;
  kind: "status" | "users" | "echo" | "other" | "command";
  /** True for messages of this client's own calls (users documents: always false). */
  mine: boolean;
}

export interface CloseEvent {
  code: number;
  reason: string;
  wasClean: boolean;
}

export interface ConnectOptions {
  /** A WebSocket constructor; default globalThis.WebSocket. The ws package's works. */
  WebSocket?: new (url: string) => any;
  /** Start of every state this client sends; default a random one. */
  statePrefix?: string;
}

/** Classifies a finish remark: see README.md, "Outcomes". */
export function classifyRemark(
  act: Act | string,
  remark: string,
): { ok: boolean; code: number | null; connected: boolean };

/** A connection closed before the reply, or could not be opened. */
export class VantorixCloseError extends Error {
  constructor(code: number, reason: string, wasClean: boolean);
  readonly code: number;
  readonly reason: string;
  readonly wasClean: boolean;
}

export class VantorixClient {
  constructor(socket: any, options?: ConnectOptions);
  readonly url: string;
  readonly isOpen: boolean;
  readonly closeEvent: CloseEvent | null;
  on(type: "message" | "status" | "users" | "echo" | "sent", listener: (event: MessageEvent) => void): () => void;
  on(type: "close", listener: (event: CloseEvent) => void): () => void;
  nextState(): string;
  echo(extra?: Record<string, unknown>): Promise<EchoReply>;
  getFromDevice(device: Device, options?: CallOptions): Promise<ReadResult>;
  syncToDevice(devices: Device[], users: UserRecord[], options?: CallOptions): Promise<CommandResult>;
  deleteEnrolledData(devices: Device[], entries: EnrolmentDeletion[], options?: CallOptions): Promise<CommandResult>;
  deleteFingerTemplate(devices: Device[], entries: FingerDeletion[], options?: CallOptions): Promise<CommandResult>;
  close(code?: number, reason?: string): Promise<CloseEvent>;
}

export function connect(url: string, options?: ConnectOptions): Promise<VantorixClient>;
