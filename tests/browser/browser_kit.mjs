// What the browser test and the screenshots share: the demo's folder served
// as a web till would serve it, the agent started on the simulated library
// with a settings file of the caller's, and headless Chromium.
import puppeteer from "puppeteer-core";
import { spawn } from "node:child_process";
import { createServer } from "node:http";
import { readFileSync, writeFileSync } from "node:fs";
import { extname, join } from "node:path";

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Serves demo.html, cashdrawer.js and an empty page of another origin.
export function serveDemo(demoDir) {
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

// The agent on the simulated library, with [Agent] settings `agentKeys`
// (one "Key=value" a line) and the drawer RN340_CashA.
export function agentRunner({ agentExe, simDir, work, port, agentKeys = "", closesMs = 400 }) {
  const env = { ...process.env, LD_LIBRARY_PATH: simDir, CASHDRAWER_SIM_DRAWER_CLOSES_MS: String(closesMs),
    ASAN_OPTIONS: "detect_leaks=0" };
  const ini = join(work, "agent.ini");
  writeFileSync(ini, `[Agent]\nDrawers=RN340_CashA\nPollMs=20\nJournalFolder=${join(work, "journal")}\n` +
    `BridgePort=${port}\nKickGuardMs=0\n${agentKeys}[RN340_CashA]\nOpenWhen=1\n`);
  return {
    env,
    ini,
    url: `http://127.0.0.1:${port}`,
    start: () => spawn(agentExe, ["--config", ini, "serve", "--no-console"], { env, stdio: "ignore" }),
    stop: (child) => new Promise((resolve) => {
      if (child.exitCode !== null) return resolve();
      child.once("exit", resolve);
      child.kill("SIGTERM");
    }),
    async waitForBridge() {
      for (let i = 0; i < 200; i++) {
        if (await fetch(`${this.url}/v1/health`).then(() => true, () => false)) return;
        await sleep(50);
      }
      throw new Error(`no agent answered at ${this.url}`);
    },
  };
}

export function launchChromium(chromium, extraArgs = []) {
  return puppeteer.launch({ executablePath: chromium, headless: true, args: ["--no-sandbox", "--disable-gpu", ...extraArgs] });
}
