// Types of cashdrawer.js: the web till's client of the cash drawer agent.

export declare const DEFAULT_URL: string;

export declare class AgentError extends Error {
  readonly status: number;
  readonly reason: string;
  /** Seconds to wait, for a 429. */
  readonly retryAfter?: number;
}

export interface Health {
  agent: string;
  version: string;
  library: string;
  api: number;
  paired: boolean;
  /** The fleet publisher's state: { publisher: "off" } or { publisher, state, cause }. */
  fleet: Record<string, unknown>;
  /** The journal's alarms a technician has not yet acknowledged. */
  alarms: AgentEvent[];
}

export interface Drawer {
  id: string;
  state: "open" | "closed" | "unknown";
  raw: 0 | 1 | null;
  reachable: boolean;
  reason?: string;
  lastSeq: number;
}

export interface KickAnswer {
  drawer: string;
  confirm: boolean;
  result: number;
  outcome: "opened" | "not-opened" | "kicked" | "unknown-drawer" | "unreachable" | "bad-argument" | "unexpected";
  reason?: string;
  /** The kick's journal line; null when the journal could not take it. */
  seq: number | null;
}

export interface AgentEvent {
  seq: number;
  time: string;
  kind: string;
  drawer?: string;
  [field: string]: unknown;
}

export interface EventSubscription {
  close(): void;
  readonly lastEventId: number;
}

export interface AgentOptions {
  url?: string;
  token?: string;
  fetch?: typeof fetch;
}

export declare class Agent {
  constructor(options?: AgentOptions);
  url: string;
  token?: string;
  health(): Promise<Health>;
  pair(code: string | number): Promise<string>;
  drawers(): Promise<Drawer[]>;
  drawer(id: string): Promise<Drawer>;
  statistics(): Promise<Record<string, unknown>>;
  open(
    id: string,
    options?: {
      confirm?: boolean;
      timeoutMs?: number;
      /** Who asked, journalled with the kick: 1 to 64 bytes of UTF-8. */
      cashier?: string;
      /** Why, journalled with the kick: 1 to 256 bytes of UTF-8. */
      reason?: string;
      idempotencyKey?: string;
      attempts?: number;
    },
  ): Promise<KickAnswer>;
  events(
    onEvent: (event: AgentEvent) => void,
    options?: { lastEventId?: number; onError?: (error: unknown) => void; onOpen?: () => void },
  ): EventSubscription;
}

export declare function connect(options?: AgentOptions): Promise<Agent>;

export declare function parseSseMessage(block: string): {
  id?: string;
  event: string;
  data: string;
  retry?: number;
};
