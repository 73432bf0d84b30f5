// The demo page in a real browser (Debian's Chromium, headless, driven by
// puppeteer-core) against the Linux agent on the simulated library:
//  - the page served from one origin pairs with the code the terminal
//    shows, opens the drawer with confirm, and sees it open then close;
//  - the agent restarts and the page misses no event;
//  - a page of a second origin, not paired, gets health and nothing else,
//    not even with the first page's token;
//  - a page that reaches the agent under another host name (DNS
//    rebinding) is refused;
//  - with the agent stopped the page shows it offline and no state, and
//    finds it again; a refusal's Retry-After is the page's to read.
//   node browser_test.mjs AGENT SIM_LIBRARY_DIR DEMO_DIR [CHROMIUM]
import { execFileSync } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { agentRunner, launchChromium, serveDemo, sleep } from "./browser_kit.mjs";

const [agentExe, simDir, demoDir, chromium = "/usr/bin/chromium"] = process.argv.slice(2);
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

const work = mkdtempSync(join(tmpdir(), "cashdrawer-browser-"));
const agentPort = 21000 + (process.pid % 20000);
const runner = agentRunner({ agentExe, simDir, work, port: agentPort });
const { env, ini } = runner;
const startAgent = runner.start;
const stopAgent = runner.stop;
let agent = startAgent();
const demo = await serveDemo(demoDir);
const tillPort = demo.address().port;
const browser = await launchChromium(chromium, [`--host-resolver-rules=MAP rebind.test 127.0.0.1`]);
try {
  const agentUrl = runner.url;
  await runner.waitForBridge();

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

  // The agent stops: the page says so and shows no state as the truth;
  // it restarts: the page finds it again and reconnects with Last-Event-ID.
  await stopAgent(agent);
  await till.waitForSelector("#status.offline", { timeout: 20000 });
  const whileAway = await till.evaluate(() => ({
    status: document.getElementById("status").textContent,
    state: document.querySelector('[data-drawer="RN340_CashA"] .state').className,
    button: document.querySelector('[data-drawer="RN340_CashA"] button').disabled,
  }));
  check("with the agent gone the page says it is offline, the state unknown, and offers no kick",
    /offline/.test(whileAway.status) && whileAway.state === "state unknown" && whileAway.button, JSON.stringify(whileAway));
  agent = startAgent();
  await till.waitForFunction(() => /agent-started/.test(document.getElementById("log").textContent), { timeout: 30000 });
  await till.waitForSelector("#status.online", { timeout: 20000 });
  check("the page is online again once the agent is back", await till.$eval("#status", (e) => e.className) === "online");
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

  // The wait in a refusal is the page's to read: wrong codes lock pairing.
  const retryAfter = await till.evaluate(async (url) => {
    const { Agent } = await import("./cashdrawer.js");
    const client = new Agent({ url });
    for (let i = 0; i < 6; i++) {
      try {
        await client.pair("00000000"); // the code shown was used up by the pairing above
      } catch (error) {
        if (error.status === 429) return error.retryAfter;
      }
    }
    return "never locked";
  }, agentUrl);
  check("the page reads the Retry-After of a 429", retryAfter === 60, String(retryAfter));
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
