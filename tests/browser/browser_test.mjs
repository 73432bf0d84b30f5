// The demo page in a real browser (Debian's Chromium, headless, driven by
// puppeteer-core) against the Linux agent on the simulated library:
//  - the page served from one origin pairs with the code the terminal
//    shows, opens the drawer with confirm, and sees it open then close;
//  - the agent restarts and the page misses no event;
//  - a page of a second origin, not paired, gets health and nothing else,
//    not even with the first page's token;
//  - a page that reaches the agent under another host name (DNS
//    rebinding) is refused.
//   node browser_test.mjs AGENT SIM_LIBRARY_DIR DEMO_DIR [CHROMIUM]
import puppeteer from "puppeteer-core";
import { spawn, execFileSync } from "node:child_process";
import { createServer } from "node:http";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { extname, join } from "node:path";

const [agentExe, simDir, demoDir, chromium = "/usr/bin/chromium"] = process.argv.slice(2);
const env = { ...process.env, LD_LIBRARY_PATH: simDir, CASHDRAWER_SIM_DRAWER_CLOSES_MS: "400", ASAN_OPTIONS: "detect_leaks=0" };
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
let passed = 0;
let failed = 0;
const check = (what, ok, detail = "") => {
  if (ok) {
    passed++;
    console.log(`ok: ${what}`);
  } else {
    failed++;
    console.log(`FAILED: ${what} ${detail}`);
  }
};

// The demo's folder, served as a web till would be.
function serveDemo() {
  const types = { ".html": "text/html", ".js": "text/javascript" };
  const server = createServer((request, response) => {
    const name = new URL(request.url, "http://x").pathname.slice(1) || "demo.html";
    if (!["demo.html", "cashdrawer.js", "blank.html"].includes(name)) {
      response.writeHead(404).end();
      return;
    }
    const body = name === "blank.html" ? "<!doctype html><title>other</title>" : readFileSync(join(demoDir, name));
    response.writeHead(200, { "Content-Type": types[extname(name)] }).end(body);
  });
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve(server)));
}

const work = mkdtempSync(join(tmpdir(), "cashdrawer-browser-"));
const agentPort = 21000 + (process.pid % 20000);
const ini = join(work, "agent.ini");
writeFileSync(ini, `[Agent]\nDrawers=RN340_CashA\nPollMs=20\nJournalFolder=${join(work, "journal")}\n` +
  `BridgePort=${agentPort}\nKickGuardMs=0\n[RN340_CashA]\nOpenWhen=1\n`);
const startAgent = () => spawn(agentExe, ["--config", ini, "serve", "--no-console"], { env, stdio: "ignore" });
const stopAgent = (child) => new Promise((resolve) => {
  child.once("exit", resolve);
  child.kill("SIGTERM");
});
let agent = startAgent();
const demo = await serveDemo();
const tillPort = demo.address().port;
const browser = await puppeteer.launch({
  executablePath: chromium,
  headless: true,
  args: ["--no-sandbox", "--disable-gpu", `--host-resolver-rules=MAP rebind.test 127.0.0.1`],
});
try {
  const agentUrl = `http://127.0.0.1:${agentPort}`;
  for (let i = 0; i < 100; i++) {
    if (await fetch(`${agentUrl}/v1/health`).then(() => true, () => false)) break;
    await sleep(50);
  }

  // The till: pairs, opens with confirm, sees opened then closed. (The
  // waits end as soon as the page shows what is awaited; their bounds are
  // room for a machine with every core busy.)
  const till = await browser.newPage();
  await till.goto(`http://127.0.0.1:${tillPort}/demo.html?agent=${encodeURIComponent(agentUrl)}`);
  await till.waitForSelector("#pairing:not([hidden])", { timeout: 20000 });
  const code = execFileSync(agentExe, ["--config", ini, "pair"], { env }).toString().match(/pairing code: (\d{8})/)[1];
  await till.type("#code", code);
  await till.click("#pairing button");
  await till.waitForSelector('[data-drawer="RN340_CashA"] .state.closed', { timeout: 20000 });
  check("the page paired and shows the drawer closed", true);
  await till.click('[data-drawer="RN340_CashA"] button');
  await till.waitForFunction(() => /open RN340_CashA: opened/.test(document.getElementById("log").textContent), { timeout: 20000 });
  await till.waitForFunction(() => /seq \d+ closed RN340_CashA[\s\S]*$/.test(document.getElementById("log").textContent.split("opened RN340_CashA")[1] ?? ""), { timeout: 20000 });
  let log = await till.$eval("#log", (e) => e.textContent);
  // (The kick's answer and its event come by two roads: the answer's line
  // may fall before the event, or between it and the opening.)
  check("the confirmed kick opened the drawer, and the page saw it open and close",
    /seq \d+ kick RN340_CashA\n(?:open RN340_CashA: opened \(seq \d+\)\n)?seq \d+ opened RN340_CashA[\s\S]*seq \d+ closed RN340_CashA/.test(log), log);

  // The agent restarts; the page reconnects with Last-Event-ID.
  await stopAgent(agent);
  agent = startAgent();
  await till.waitForFunction(() => /agent-started/.test(document.getElementById("log").textContent), { timeout: 30000 });
  await till.click('[data-drawer="RN340_CashA"] button');
  await till.waitForFunction(() => (document.getElementById("log").textContent.match(/closed RN340_CashA/g) ?? []).length >= 3, { timeout: 20000 });
  log = await till.$eval("#log", (e) => e.textContent);
  const seqs = [...log.matchAll(/^seq (\d+) /gm)].map((m) => Number(m[1]));
  check("across the restart every event came once and in order", seqs.length > 6 && seqs.every((s, i) => i === 0 || s === seqs[i - 1] + 1), seqs.join(","));
  check("the stop and the start are among them", /agent-stopped[\s\S]*agent-started/.test(log), log);
  const token = await till.evaluate(() => localStorage.getItem("cashdrawerToken"));

  // A second origin (localhost is another origin than 127.0.0.1), not paired.
  const other = await browser.newPage();
  await other.goto(`http://localhost:${tillPort}/blank.html`);
  const seen = await other.evaluate(async (url, stolen) => {
    const attempt = async (path, init) => {
      try {
        const response = await fetch(url + path, init);
        return String(response.status);
      } catch (error) {
        return "blocked";
      }
    };
    const health = await (await fetch(url + "/v1/health")).json();
    return {
      paired: health.paired,
      drawers: await attempt("/v1/drawers", { headers: { Authorization: "Bearer " + stolen } }),
      open: await attempt("/v1/drawers/RN340_CashA/open", { method: "POST", headers: { Authorization: "Bearer " + stolen,
        "Content-Type": "application/json", "Idempotency-Key": "x" }, body: "{}" }),
      form: await attempt("/v1/drawers/RN340_CashA/open", { method: "POST", mode: "no-cors", body: "{}" }),
      events: await attempt("/v1/events", { headers: { Authorization: "Bearer " + stolen } }),
    };
  }, agentUrl, token);
  check("the other origin's health says it is not paired", seen.paired === false, JSON.stringify(seen));
  check("the other origin reads no drawer, kicks none and gets no events, even with the till's token",
    seen.drawers === "blocked" && seen.open === "blocked" && seen.events === "blocked", JSON.stringify(seen));
  log = await till.$eval("#log", (e) => e.textContent);
  check("no kick came from the other origin", (log.match(/kick RN340_CashA/g) ?? []).length === 2, log);

  // DNS rebinding: a page whose name now leads to the agent asks it
  // as its own origin (the refusal names no origin a page of another could read).
  const rebound = await browser.newPage();
  const landing = await rebound.goto(`http://rebind.test:${agentPort}/v1/health`);
  check("the rebound page's own load is refused (403)", landing.status() === 403, String(landing.status()));
  const rebinding = await rebound.evaluate(async () => {
    const response = await fetch("/v1/health");
    return { status: response.status, reason: (await response.json()).reason, cors: response.headers.get("access-control-allow-origin") };
  });
  check("the refusal allows no other origin", rebinding.cors === null, JSON.stringify(rebinding));
  check("a page that reaches the agent as rebind.test is refused (403)", rebinding.status === 403, JSON.stringify(rebinding));
} catch (error) {
  check("the browser run", false, error.stack);
} finally {
  await browser.close();
  demo.close();
  await stopAgent(agent);
  rmSync(work, { recursive: true, force: true });
}
console.log(`browser: ${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
