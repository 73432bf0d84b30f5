// The web till's side of the cash drawer agent's bridge: pair once, then
// read the drawers, open one, and follow every event. Runs in any browser
// with fetch and streams.
//
// The bridge is for web pages: it pairs a page's Origin, which a browser
// sends and a program does not. A local program (Node, a service, a script)
// uses the DLL or the agent's local commands instead; Node may still speak
// to the bridge, as the tests do, by passing a fetch that sends the Origin
// of the page it stands for (see the README).
//
//   import { connect } from "./cashdrawer.js";
//   const agent = await connect({ token: localStorage.cashdrawerToken });
//   if (!agent.token) localStorage.cashdrawerToken = await agent.pair(prompt("Code shown on the terminal"));
//   await agent.open("RN340_CashA", { confirm: true });
//   agent.events((event) => console.log(event.seq, event.kind, event.drawer));

export const DEFAULT_URL = "http://127.0.0.1:17820";

// A refusal or failure of the bridge: the HTTP status, the bridge's reason,
// and for 429 the seconds to wait.
export class AgentError extends Error {
  constructor(status, reason, retryAfter) {
    super(`cash drawer agent: ${status}: ${reason}`);
    this.name = "AgentError";
    this.status = status;
    this.reason = reason;
    this.retryAfter = retryAfter;
  }
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function newKey() {
  if (globalThis.crypto?.randomUUID) return globalThis.crypto.randomUUID();
  const bytes = new Uint8Array(16);
  globalThis.crypto.getRandomValues(bytes);
  return Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
}

// One Server-Sent Events message ("id: 7\nevent: opened\ndata: {...}") as
// { id, event, data }; comments and unknown fields are left out. Exported
// for the tests.
export function parseSseMessage(block) {
  const message = { id: undefined, event: "message", data: "", retry: undefined };
  const data = [];
  for (const line of block.split("\n")) {
    if (line === "" || line.startsWith(":")) continue;
    const colon = line.indexOf(":");
    const field = colon < 0 ? line : line.slice(0, colon);
    let value = colon < 0 ? "" : line.slice(colon + 1);
    if (value.startsWith(" ")) value = value.slice(1);
    if (field === "id") message.id = value;
    else if (field === "event") message.event = value;
    else if (field === "data") data.push(value);
    else if (field === "retry" && /^\d+$/.test(value)) message.retry = Number(value);
  }
  message.data = data.join("\n");
  return message;
}

export class Agent {
  constructor({ url = DEFAULT_URL, token, fetch = globalThis.fetch.bind(globalThis) } = {}) {
    this.url = url.replace(/\/$/, "");
    this.token = token;
    this.fetch = fetch;
  }

  async #call(method, path, { body, headers = {}, auth = true } = {}) {
    const init = { method, headers: { ...headers }, cache: "no-store" };
    if (auth) {
      if (!this.token) throw new AgentError(401, "not paired: call pair(code) first");
      init.headers.Authorization = `Bearer ${this.token}`;
    }
    if (body !== undefined) {
      init.headers["Content-Type"] = "application/json";
      init.body = JSON.stringify(body);
    }
    const response = await this.fetch(`${this.url}${path}`, init);
    const text = await response.text();
    const json = text ? JSON.parse(text) : {};
    if (!response.ok) {
      const retryAfter = Number(response.headers.get("Retry-After")) || undefined;
      throw new AgentError(response.status, json.reason ?? response.statusText, retryAfter);
    }
    return json;
  }

  // The agent's and library's versions, and whether this page is paired.
  health() {
    return this.#call("GET", "/v1/health", { auth: false });
  }

  // Pairs this page's origin with the code the terminal shows
  // (cashdrawer-agent pair); the token is kept here and returned for storing.
  async pair(code) {
    const { token } = await this.#call("POST", "/v1/pair", { body: { code: String(code) }, auth: false });
    this.token = token;
    return token;
  }

  async drawers() {
    return (await this.#call("GET", "/v1/drawers")).drawers;
  }

  drawer(id) {
    return this.#call("GET", `/v1/drawers/${encodeURIComponent(id)}`);
  }

  statistics() {
    return this.#call("GET", "/v1/statistics");
  }

  // Kicks the drawer open; with confirm, waits (up to timeoutMs) for its
  // sensor. The idempotency key is made here and kept across the retries of
  // a lost answer, so the drawer opens once however often the network fails.
  // cashier (up to 64 bytes) and reason (up to 256) go into the journal
  // with the kick.
  async open(id, { confirm = false, timeoutMs, cashier, reason, idempotencyKey = newKey(), attempts = 3 } = {}) {
    const body = { confirm };
    if (timeoutMs !== undefined) body.timeoutMs = timeoutMs;
    if (cashier !== undefined) body.cashier = cashier;
    if (reason !== undefined) body.reason = reason;
    for (let attempt = 1; ; ++attempt) {
      try {
        return await this.#call("POST", `/v1/drawers/${encodeURIComponent(id)}/open`, {
          body,
          headers: { "Idempotency-Key": idempotencyKey },
        });
      } catch (error) {
        if (error instanceof AgentError || attempt >= attempts) throw error;
        await sleep(250 * attempt); // the agent unreachable: the same key again
      }
    }
  }

  // Calls onEvent with every journalled event ({seq, time, kind, drawer,
  // ...}) from lastEventId on, reconnecting with Last-Event-ID whenever the
  // stream breaks: no event is missed across a reconnect or an agent
  // restart. onOpen is called each time the stream is (again) connected,
  // onError each time it breaks. Returns { close() }.
  events(onEvent, { lastEventId = 0, onError = () => {}, onOpen = () => {} } = {}) {
    let last = lastEventId;
    let closed = false;
    let retryMs = 1000;
    const controller = { abort: null };
    const run = async () => {
      while (!closed) {
        const abort = new AbortController();
        controller.abort = () => abort.abort();
        try {
          const headers = { Authorization: `Bearer ${this.token}` };
          if (last) headers["Last-Event-ID"] = String(last);
          const response = await this.fetch(`${this.url}/v1/events`, { headers, signal: abort.signal, cache: "no-store" });
          if (!response.ok) {
            const json = await response.json().catch(() => ({}));
            throw new AgentError(response.status, json.reason ?? response.statusText);
          }
          onOpen();
          const reader = response.body.pipeThrough(new TextDecoderStream()).getReader();
          let buffer = "";
          for (;;) {
            const { value, done } = await reader.read();
            if (done) break;
            buffer += value;
            let end;
            while ((end = buffer.indexOf("\n\n")) >= 0) {
              const message = parseSseMessage(buffer.slice(0, end));
              buffer = buffer.slice(end + 2);
              if (message.retry !== undefined) retryMs = message.retry;
              if (message.id === undefined || message.data === "") continue;
              const event = JSON.parse(message.data);
              if (event.seq <= last) continue;
              last = event.seq;
              onEvent(event);
            }
          }
        } catch (error) {
          if (closed) return;
          onError(error);
          if (error instanceof AgentError && (error.status === 401 || error.status === 403)) return;
        }
        if (!closed) await sleep(retryMs);
      }
    };
    run();
    return {
      close() {
        closed = true;
        controller.abort?.();
      },
      get lastEventId() {
        return last;
      },
    };
  }
}

// An Agent for this page; a stored token makes it paired already.
export async function connect(options = {}) {
  return new Agent(options);
}
