// The time in Chromium from a click on "Inbox" to a list the user can use (the new page
// loaded and its rows laid out), median of ROUNDS clicks from the home page, next to the
// time the same browser takes for a static page of the server: opened by the driver
// (page.goto) and reached by the same kind of click from the home page (a link to it put
// into the home page), so that the driver's own work around a click is on both sides.
// Then a traced pass splits one click into server time and the browser's main-thread work
// (parse, script, style, layout, paint: processor time of that thread, steadier than the
// wall time on a busy machine). Run by bench/reading_bench.py against its server; not run
// by CI.
// Usage: node reading_browser_bench.mjs <base URL> <Admin password>; VIEWPORT=390x844 takes
// the clicks on a phone-sized page (the folder menu is opened before each, untimed).
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

const [base, password] = process.argv.slice(2);
const rounds = Number(process.env.ROUNDS ?? "20");
const tracedRounds = Number(process.env.TRACED_ROUNDS ?? "5");
const staticUrl = new URL("/files/terms.htm", base).href;
const [width, height] = (process.env.VIEWPORT ?? "1280x800").split("x").map(Number);
const browser = await chromium.launch({
  executablePath: "/usr/bin/chromium",
  args: ["--headless", "--no-sandbox", "--disable-gpu"],
});

// Main-thread trace events and the phase each counts for. A phase gets an event's time
// less the time of tracked events nested in it (a script run by the parser is script).
const phases = new Map([
  ["ParseHTML", "parse"], ["HTMLDocumentParser::ScanAndPreload", "parse"],
  ["EvaluateScript", "script"], ["FunctionCall", "script"], ["v8.compile", "script"],
  ["TimerFire", "script"], ["EventDispatch", "script"],
  ["UpdateLayoutTree", "style"], ["Layout", "layout"], ["PrePaint", "paint"], ["Paint", "paint"],
  ["RunTask", "other"],
]);

function mainThreadWork(tracePath) {
  const events = JSON.parse(fs.readFileSync(tracePath, "utf8")).traceEvents;
  const mainThreads = new Set(events
    .filter((e) => e.ph === "M" && e.name === "thread_name" && e.args.name === "CrRendererMain")
    .map((e) => `${e.pid}/${e.tid}`));
  const work = { parse: 0, script: 0, style: 0, layout: 0, paint: 0, other: 0 };
  const byThread = new Map();
  for (const e of events) {
    if (e.ph !== "X" || !phases.has(e.name) || !mainThreads.has(`${e.pid}/${e.tid}`)) continue;
    // The driver's own scripts (no URL) are not the page's work.
    if (e.name === "EvaluateScript" && !e.args?.data?.url) continue;
    const key = `${e.pid}/${e.tid}`;
    if (!byThread.has(key)) byThread.set(key, []);
    byThread.get(key).push(e);
  }
  for (const list of byThread.values()) {
    list.sort((a, b) => a.ts - b.ts || b.dur - a.dur);
    const stack = [];
    for (const e of list) {
      const cpu = (e.tdur ?? e.dur) / 1000;
      while (stack.length && e.ts >= stack[stack.length - 1].ts + stack[stack.length - 1].dur) stack.pop();
      if (stack.length) work[phases.get(stack[stack.length - 1].name)] -= cpu;
      work[phases.get(e.name)] += cpu;
      stack.push(e);
    }
  }
  return work;
}

try {
  const page = await browser.newPage({ viewport: { width, height } });
  const logIn = async () => {
    await page.goto(base, { waitUntil: "load" });
    await page.fill("#IWUSERNAME", "Admin");
    await page.fill("#IWPASSWORD", password);
    await Promise.all([page.waitForNavigation({ waitUntil: "load" }), page.click("#IWSUBMIT")]);
  };
  await logIn();
  // What a click fetches over the network (files the browser holds are not asked again).
  const cdp = await page.context().newCDPSession(page);
  await cdp.send("Network.enable");
  const fetched = new Map();
  const cached = new Set();
  cdp.on("Network.requestServedFromCache", (event) => cached.add(event.requestId));
  cdp.on("Network.responseReceived", (event) => {
    const { response } = event;
    if (!response.fromDiskCache && !response.fromPrefetchCache && !response.fromServiceWorker) {
      fetched.set(event.requestId, `${new URL(response.url).pathname} ${response.status}`);
    }
  });
  const network = () => [...fetched].filter(([id]) => !cached.has(id)).map(([, what]) => what);
  // The browser's own account of a navigation (its start to the load event's end), without
  // the driver's round trips around a click.
  const navigation = () =>
    page.evaluate(() => performance.getEntriesByType("navigation")[0].duration);
  const serverTime = () => page.evaluate(() => {
    const entry = performance.getEntriesByType("navigation")[0];
    return entry.responseEnd - entry.requestStart;
  });
  // On a phone the folder list is behind the header's menu button.
  const openFolders = async () => {
    if (!(await page.isVisible("#IWINBOXLINK"))) await page.click(".kst-menu-button");
  };
  const clickInbox = async () => {
    await openFolders();
    const started = performance.now();
    await Promise.all([page.waitForNavigation({ waitUntil: "load" }), page.click("#IWINBOXLINK")]);
    // Usable: the rows are there and laid out (reading a box forces the layout).
    await page.evaluate(() => document.querySelector("#IWINBOX tr:last-child").getBoundingClientRect());
    return performance.now() - started;
  };
  const backHome = async () => {
    await openFolders();
    await Promise.all([page.waitForNavigation({ waitUntil: "load" }), page.click("#IWHOMELINK")]);
  };
  const inPage = [];
  const inPageStatic = [];
  const samples = [];
  for (let i = 0; i < rounds; ++i) {
    fetched.clear();
    cached.clear();
    samples.push(await clickInbox());
    inPage.push(await navigation());
    if (i === rounds - 1) console.log(`requests of the last Inbox click: ${network().join(", ") || "none"}`);
    await backHome();
  }
  // The static page reached by the same kind of click from the home page.
  const clicked = [];
  for (let i = 0; i < rounds; ++i) {
    await page.evaluate((href) => {
      const link = document.createElement("a");
      link.id = "kst-bench-static";
      link.href = href;
      link.textContent = "static page";
      document.querySelector(".kst-content").prepend(link);
    }, staticUrl);
    const started = performance.now();
    await Promise.all([page.waitForNavigation({ waitUntil: "load" }), page.click("#kst-bench-static")]);
    clicked.push(performance.now() - started);
    await logIn();  // a page of the server opened anew starts a new session
  }
  // The traced pass: one Inbox click at a time, each in its own trace.
  const tracePath = path.join(os.tmpdir(), `kst-reading-trace-${process.pid}.json`);
  const traced = [];
  const servedIn = [];
  for (let i = 0; i < tracedRounds; ++i) {
    await openFolders();
    await browser.startTracing(page, {
      path: tracePath,
      categories: ["devtools.timeline", "disabled-by-default-devtools.timeline", "blink", "loading", "v8"],
    });
    await clickInbox();
    await browser.stopTracing();
    traced.push(mainThreadWork(tracePath));
    servedIn.push(await serverTime());
    await backHome();
  }
  fs.rmSync(tracePath, { force: true });
  // The same browser loading a static page of the server, for scale on this machine.
  const baseline = [];
  for (let i = 0; i < rounds; ++i) {
    const started = performance.now();
    await page.goto(staticUrl, { waitUntil: "load" });
    baseline.push(performance.now() - started);
    inPageStatic.push(await navigation());
  }
  const median = (list) => [...list].sort((a, b) => a - b)[list.length >> 1].toFixed(1);
  const p90 = (list) => [...list].sort((a, b) => a - b)[Math.floor(list.length * 0.9)].toFixed(1);
  console.log(`Chromium: click on Inbox to a usable list ${median(samples)} ms (p90 ${p90(samples)}); ` +
              `a static page ${median(baseline)} ms, reached by a click ${median(clicked)} ms; ` +
              `in the page's own timing (navigation start to load end): Inbox ${median(inPage)} ms, ` +
              `static page ${median(inPageStatic)} ms`);
  const phase = (name) => median(traced.map((work) => work[name]));
  console.log(`  one Inbox click (median of ${tracedRounds} traced): request to last byte ` +
              `${median(servedIn)} ms; main thread ${phase("parse")} parse, ${phase("script")} script, ` +
              `${phase("style")} style, ${phase("layout")} layout, ${phase("paint")} paint, ` +
              `${phase("other")} other ms (processor time)`);
} finally {
  await browser.close();
}
