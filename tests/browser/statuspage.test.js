// The status page in a real browser: Debian's Chromium, driven by
// puppeteer-core, against a zendrald with the stand-in engine on free
// loopback ports. The table shows the jobs; a job added over the client
// protocol appears within 2 s without a reload; a finished job shows 100 %;
// the page says it lost the service while it is away and comes back by
// itself after a restart; Chinese follows the browser's language; a phone's
// width needs no sideways scrolling. Saves a screenshot (--screenshot).
//
// node statuspage.test.js --zendrald P --client P --engine P [--screenshot F] [--chromium P]
"use strict";

const { spawn, execFileSync } = require("child_process");
const fs = require("fs");
const net = require("net");
const os = require("os");
const path = require("path");

let puppeteer;
try {
  puppeteer = require("puppeteer-core");
} catch (error) {
  console.error("FAIL: puppeteer-core is missing: run 'npm ci' in tests/browser (scripts/test.sh does)");
  process.exit(1);
}

const args = {};
for (let i = 2; i + 1 < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, "")] = process.argv[i + 1];
for (const needed of ["zendrald", "client", "engine"])
  if (!args[needed]) { console.error(`FAIL: --${needed} missing`); process.exit(1); }
const chromium = args.chromium || "/usr/bin/chromium";

function check(condition, message) {
  if (!condition) throw new Error(message);
  console.log(`PASS: ${message}`);
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on("error", reject);
    server.listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

const root = fs.mkdtempSync(path.join(os.tmpdir(), "zendral-browser-"));
// Chromium's profile and its socket need a short path (a socket's name is
// limited to about 100 bytes), so they go to a folder of their own in /tmp.
const profile = fs.mkdtempSync("/tmp/zbt-");
const order = path.join(root, "order.aex");
fs.writeFileSync(order, '<?xml version="1.0"?><MARKER_DOCUMENT><MARKER/></MARKER_DOCUMENT>');
let service = null;

// Starts zendrald and resolves once its status page and its listener are up.
function startService(config) {
  return new Promise((resolve, reject) => {
    const env = { ...process.env, XDG_CONFIG_HOME: path.join(root, "config"), XDG_DATA_HOME: path.join(root, "data"),
                  ZENDRAL_STUB_PAUSE_MS: "400", ZENDRAL_PROBE_HOST: "127.0.0.1" };
    delete env.ZENDRAL_TEST_ANY_PORT;
    delete env.ZENDRAL_TEST_HTTP_OFF;
    delete env.NOTIFY_SOCKET;
    service = spawn(args.zendrald, ["--config", config], { env, stdio: ["ignore", "ignore", "pipe"] });
    let seen = "";
    const timer = setTimeout(() => reject(new Error(`zendrald did not start:\n${seen}`)), 20000);
    service.stderr.on("data", (chunk) => {
      seen += chunk;
      if (/Status page on http/.test(seen) && /Listening on/.test(seen)) {
        clearTimeout(timer);
        resolve();
      }
    });
    service.on("exit", () => reject(new Error(`zendrald ended:\n${seen}`)));
  });
}

function stopService() {
  return new Promise((resolve) => {
    if (!service || service.exitCode !== null) return resolve();
    const timer = setTimeout(() => service.kill("SIGKILL"), 15000);
    service.once("exit", () => { clearTimeout(timer); resolve(); });
    service.kill("SIGTERM");
  });
}

function add(port, work, name, seconds) {
  return execFileSync(args.client, ["--port", String(port), "add", order, "--work", work, "--name", name,
                                    "--time", String(seconds)], { encoding: "utf8", timeout: 30000 }).trim();
}

const rowsOf = (page) => page.$$eval("#jobs tbody tr", (rows) => rows.map((row) => ({
  id: row.dataset.id, state: row.className, cells: [...row.cells].map((cell) => cell.textContent),
})));

async function main() {
  const port = await freePort();
  const httpPort = await freePort();
  const config = path.join(root, "zendrald.conf");
  fs.writeFileSync(config, `[worker]\nport=${port}\nengine=${args.engine}\n[config]\npick_job_interval=1\n` +
                           `[http]\nport=${httpPort}\n`);
  await startService(config);
  const url = `http://127.0.0.1:${httpPort}/`;

  const first = add(port, "Spring 2027", "jacket-front", 1);
  const browser = await puppeteer.launch({ executablePath: chromium, headless: "new",
                                           args: ["--no-sandbox", "--lang=en-US", "--disable-gpu"],
                                           userDataDir: path.join(profile, "p"), env: { ...process.env, TMPDIR: profile } });
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1280, height: 560 });
    let navigations = 0;
    page.on("framenavigated", (frame) => { if (frame === page.mainFrame()) ++navigations; });
    await page.goto(url, { waitUntil: "load", timeout: 15000 });

    await page.waitForFunction((id) => {
      const row = document.querySelector(`tr[data-id="${id}"]`);
      return row && row.classList.contains("finished") && row.querySelector(".bar span").textContent === "100 %";
    }, { timeout: 20000, polling: 100 }, first);
    let rows = await rowsOf(page);
    check(rows.length === 1 && rows[0].cells.includes("jacket-front") && rows[0].cells.includes("Spring 2027"),
          "the table shows the job with its work and name");
    check(rows[0].cells.includes("finished") && rows[0].cells.includes("100 %"), "a finished job shows 100 %");
    check(await page.$eval("#counts li.finished b", (b) => b.textContent) === "1", "the counts show one finished job");

    // Added over the client protocol: on the page within 2 s, no reload.
    const second = add(port, "Spring 2027", "jacket-back", 30);
    const added = Date.now();
    await page.waitForSelector(`tr[data-id="${second}"]`, { timeout: 2000, polling: 50 });
    check(Date.now() - added <= 2000 && navigations === 1, `the new row appeared after ${Date.now() - added} ms without a reload`);
    const third = add(port, "Summer 2027", "trousers", 60);
    await page.waitForFunction((id) => {
      const row = document.querySelector(`tr[data-id="${id}"]`);
      const bar = row && row.querySelector(".bar");
      return row && row.classList.contains("running") && Number(bar.getAttribute("aria-valuenow")) > 0;
    }, { timeout: 20000, polling: 100 }, second);
    await page.waitForSelector(`tr[data-id="${third}"].waiting`, { timeout: 2000 });
    rows = await rowsOf(page);
    check(rows.map((row) => row.id).join() === [first, second, third].join(), "the rows are in queue order");
    if (args.screenshot) {
      await page.screenshot({ path: args.screenshot });
      console.log(`Screenshot: ${args.screenshot}`);
    }

    // A phone's width: the less important columns go, nothing scrolls sideways.
    await page.setViewport({ width: 390, height: 760 });
    check(await page.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth + 1),
          "a phone's width needs no sideways scrolling");
    await page.setViewport({ width: 1280, height: 560 });

    // Chinese after the browser's language.
    const chinese = await browser.newPage();
    await chinese.evaluateOnNewDocument(() => {
      Object.defineProperty(navigator, "language", { get: () => "zh-CN" });
      Object.defineProperty(navigator, "languages", { get: () => ["zh-CN", "zh"] });
    });
    await chinese.goto(url, { waitUntil: "load", timeout: 15000 });
    await chinese.waitForSelector(`tr[data-id="${first}"]`, { timeout: 5000 });
    check(await chinese.$eval("th[data-text=work]", (th) => th.textContent) === "作业名称"
          && (await rowsOf(chinese))[0].cells.includes("已完成"), "Chinese texts for a Chinese browser");
    await chinese.close();

    // The service goes away and comes back: the page says so, then recovers.
    await stopService();
    await page.waitForSelector("#offline:not([hidden])", { timeout: 5000 });
    check(true, "the page shows that the service is away");
    await startService(config);
    await page.waitForSelector("#offline[hidden]", { timeout: 5000 });
    await page.waitForSelector(`tr[data-id="${first}"]`, { timeout: 5000 });
    check(navigations === 1, "the page came back by itself after the restart");
  } finally {
    await browser.close();
  }
}

main().then(async () => {
  await stopService();
  fs.rmSync(root, { recursive: true, force: true });
  fs.rmSync(profile, { recursive: true, force: true });
  console.log("All checks passed");
}, async (error) => {
  console.error(`FAIL: ${error.stack || error}`);
  await stopService();
  fs.rmSync(profile, { recursive: true, force: true });
  process.exit(1);
});
