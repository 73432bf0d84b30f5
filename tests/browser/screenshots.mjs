// The demo page's real states, photographed in headless Chromium against
// the agent on the simulated library, for the README: not paired, closed,
// open and left open, and the agent gone.
//   node screenshots.mjs AGENT SIM_LIBRARY_DIR DEMO_DIR CHROMIUM OUT_DIR
import { execFileSync } from "node:child_process";
import { mkdirSync, mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { agentRunner, launchChromium, serveDemo } from "./browser_kit.mjs";

const [agentExe, simDir, demoDir, chromium, outDir] = process.argv.slice(2);
mkdirSync(outDir, { recursive: true });
const work = mkdtempSync(join(tmpdir(), "cashdrawer-shots-"));
// The drawer stays open long enough to be seen left open.
const runner = agentRunner({ agentExe, simDir, work, port: 22000 + (process.pid % 20000), closesMs: 6000,
  agentKeys: "LeftOpenMs=1500\n" });
let agent = runner.start();
const demo = await serveDemo(demoDir);
const browser = await launchChromium(chromium);
try {
  await runner.waitForBridge();
  const page = await browser.newPage();
  await page.setViewport({ width: 720, height: 900 });
  const shoot = (name) => page.screenshot({ path: join(outDir, `demo-${name}.png`) });
  await page.goto(`http://127.0.0.1:${demo.address().port}/demo.html?agent=${encodeURIComponent(runner.url)}&cashier=Ann`);
  await page.waitForSelector("#pairing:not([hidden])", { timeout: 20000 });
  await shoot("pairing");
  const code = execFileSync(agentExe, ["--config", runner.ini, "pair"], { env: runner.env }).toString().match(/pairing code: (\d{8})/)[1];
  await page.type("#code", code);
  await page.click("#pairing button");
  await page.waitForSelector('[data-drawer="RN340_CashA"] .state.closed', { timeout: 20000 });
  await shoot("closed");
  await page.click('[data-drawer="RN340_CashA"] button');
  await page.waitForSelector('[data-alert="RN340_CashA"]', { timeout: 20000 });
  await shoot("open");
  await page.waitForSelector('[data-drawer="RN340_CashA"] .state.closed', { timeout: 20000 });
  await runner.stop(agent);
  await page.waitForSelector("#status.offline", { timeout: 20000 });
  await shoot("offline");
  console.log(`screenshots: demo-{pairing,closed,open,offline}.png in ${outDir}`);
} finally {
  await browser.close();
  demo.close();
  await runner.stop(agent);
  rmSync(work, { recursive: true, force: true });
}
