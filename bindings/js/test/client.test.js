// The client against the real Linux agent on the simulated library, when
// the build names them (CASHDRAWER_AGENT, CASHDRAWER_SIM_DIR): pairing,
// drawers, a confirmed kick that the simulated drawer follows, the events
// across an agent restart, and a page of another origin refused.
import { test } from "node:test";
import assert from "node:assert/strict";
import { spawn, execFileSync } from "node:child_process";
import { mkdtempSync, writeFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { Agent, AgentError, parseSseMessage } from "../cashdrawer.js";

test("an SSE message gives its id, event name and data; comments and unknown fields are left out", () => {
  const rows = [
    ["id: 7\nevent: opened\ndata: {\"seq\":7}", { id: "7", event: "opened", data: "{\"seq\":7}", retry: undefined }],
    [": still here", { id: undefined, event: "message", data: "", retry: undefined }],
    ["retry: 1000", { id: undefined, event: "message", data: "", retry: 1000 }],
    ["retry: soon\ndata:a\ndata: b", { id: undefined, event: "message", data: "a\nb", retry: undefined }],
    ["id:3\nfoo: bar\ndata:x", { id: "3", event: "message", data: "x", retry: undefined }],
  ];
  for (const [block, expected] of rows) assert.deepEqual(parseSseMessage(block), expected, block);
});

const agentExe = process.env.CASHDRAWER_AGENT;
const simDir = process.env.CASHDRAWER_SIM_DIR;
const skip = !agentExe || !simDir ? "CASHDRAWER_AGENT and CASHDRAWER_SIM_DIR name the agent and the simulated library" : false;

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const env = { ...process.env, LD_LIBRARY_PATH: simDir, CASHDRAWER_SIM_DRAWER_CLOSES_MS: "300", ASAN_OPTIONS: "detect_leaks=0" };

// fetch from a page of `origin`, as a browser would send it.
const fetchFrom = (origin) => (url, init = {}) => fetch(url, { ...init, headers: { ...init.headers, Origin: origin } });

async function waitFor(check, what, ms = 5000) {
  for (const end = Date.now() + ms; Date.now() < end; await sleep(20)) {
    if (await check()) return;
  }
  assert.fail(`waited ${ms} ms for ${what}`);
}

test("a paired page kicks, follows the events across a restart, and another origin is refused", { skip }, async () => {
  const work = mkdtempSync(join(tmpdir(), "cashdrawer-js-"));
  const port = 20000 + (process.pid % 20000);
  const ini = join(work, "agent.ini");
  writeFileSync(ini, `[Agent]\nDrawers=RN340_CashA\nPollMs=20\nJournalFolder=${join(work, "journal")}\nBridgePort=${port}\n` +
    "KickGuardMs=0\n[RN340_CashA]\nOpenWhen=1\n");
  const start = () => spawn(agentExe, ["--config", ini, "serve", "--no-console"], { env, stdio: "ignore" });
  let serving = start();
  let stream;
  try {
    const url = `http://127.0.0.1:${port}`;
    const till = new Agent({ url, fetch: fetchFrom("http://till.test:8080") });
    await waitFor(async () => (await till.health().catch(() => null))?.paired === false, "the agent's bridge");

    const code = execFileSync(agentExe, ["--config", ini, "pair"], { env }).toString().match(/pairing code: (\d{8})/)[1];
    await assert.rejects(till.pair("00000000" === code ? "11111111" : "00000000"), (e) => e instanceof AgentError && e.status === 403);
    const token = await till.pair(code);
    assert.match(token, /^[0-9a-f]{64}$/);
    assert.equal((await till.health()).paired, true);

    const [drawer] = await till.drawers();
    assert.deepEqual({ id: drawer.id, state: drawer.state, reachable: drawer.reachable }, { id: "RN340_CashA", state: "closed", reachable: true });

    const seen = [];
    stream = till.events((event) => seen.push(event));
    const sale = { confirm: true, timeoutMs: 2000, cashier: "Zo\u00eb", reason: "sale", idempotencyKey: "sale-1" };
    const kick = await till.open("RN340_CashA", sale);
    assert.equal(kick.outcome, "opened");
    assert.deepEqual(await till.open("RN340_CashA", sale), kick, "a retry is answered, not kicked");
    // The same key for another kick (here: another timeout) is refused, never answered with the first.
    await assert.rejects(till.open("RN340_CashA", { ...sale, timeoutMs: undefined }),
      (e) => e instanceof AgentError && e.status === 422);
    await waitFor(() => seen.some((e) => e.kind === "closed" && e.seq > kick.seq), "the drawer closing");
    const journalled = seen.find((e) => e.kind === "kick");
    assert.deepEqual([journalled.by, journalled.cashier, journalled.kickReason], ["http://till.test:8080", "Zo\u00eb", "sale"]);

    // The agent restarts: the stream reconnects and misses nothing.
    serving.kill("SIGTERM");
    await new Promise((resolve) => serving.once("exit", resolve));
    serving = start();
    await waitFor(() => seen.some((e) => e.kind === "agent-started" && e.seq > kick.seq), "the events after the restart");
    await till.open("RN340_CashA", { idempotencyKey: "sale-2" });
    await waitFor(() => seen.some((e) => e.kind === "kick" && e.seq > kick.seq), "the second kick's event");
    stream.close();
    const seqs = seen.map((e) => e.seq);
    assert.deepEqual(seqs, seqs.map((_, i) => seqs[0] + i), `every seq once, in order: ${seqs}`);
    assert.ok(seen.some((e) => e.kind === "agent-stopped"), "the stop, from the journal after the reconnect");

    // Another origin with the stolen token, and without one.
    const other = new Agent({ url, token, fetch: fetchFrom("https://other.example") });
    await assert.rejects(other.drawers(), (e) => e instanceof AgentError && e.status === 403);
    await assert.rejects(new Agent({ url, token: "0".repeat(64), fetch: fetchFrom("https://other.example") }).drawers(),
      (e) => e.status === 401);
    assert.equal((await other.health()).paired, false);
  } finally {
    stream?.close(); // (an open stream would keep the test's process alive after a failure)
    serving.kill("SIGTERM");
    await new Promise((resolve) => serving.once("exit", resolve));
    rmSync(work, { recursive: true, force: true });
  }
});
