// The time in Chromium from a click on "Inbox" to a list the user can use (the new page
// loaded and its rows laid out), median of ROUNDS clicks from the home page, next to the
// time the same browser takes for a static page of the server. Run by
// bench/reading_bench.py against its server; not run by CI.
// Usage: node reading_browser_bench.mjs <base URL> <Admin password>
import { chromium } from "playwright-core";

const [base, password] = process.argv.slice(2);
const rounds = Number(process.env.ROUNDS ?? "20");
const browser = await chromium.launch({
  executablePath: "/usr/bin/chromium",
  args: ["--headless", "--no-sandbox", "--disable-gpu"],
});
try {
  const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  await page.goto(base, { waitUntil: "load" });
  await page.fill("#IWUSERNAME", "Admin");
  await page.fill("#IWPASSWORD", password);
  await Promise.all([page.waitForNavigation({ waitUntil: "load" }), page.click("#IWSUBMIT")]);
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
  const inPage = [];
  const inPageStatic = [];
  const samples = [];
  for (let i = 0; i < rounds; ++i) {
    fetched.clear();
    cached.clear();
    const started = performance.now();
    await Promise.all([page.waitForNavigation({ waitUntil: "load" }), page.click("#IWINBOXLINK")]);
    // Usable: the rows are there and laid out (reading a box forces the layout).
    await page.evaluate(() => document.querySelector("#IWINBOX tr:last-child").getBoundingClientRect());
    samples.push(performance.now() - started);
    inPage.push(await navigation());
    if (i === rounds - 1) console.log(`requests of the last Inbox click: ${network().join(", ") || "none"}`);
    await Promise.all([page.waitForNavigation({ waitUntil: "load" }), page.click("#IWHOMELINK")]);
  }
  // The same browser loading a static page of the server, for scale on this machine.
  const baseline = [];
  for (let i = 0; i < rounds; ++i) {
    const started = performance.now();
    await page.goto(new URL("/files/terms.htm", base).href, { waitUntil: "load" });
    baseline.push(performance.now() - started);
    inPageStatic.push(await navigation());
  }
  for (const list of [baseline, samples, inPage, inPageStatic]) list.sort((a, b) => a - b);
  const median = (list) => list[list.length >> 1].toFixed(1);
  console.log(`Chromium: click on Inbox to a usable list ${samples[samples.length >> 1].toFixed(1)} ms ` +
              `(p90 ${samples[Math.floor(samples.length * 0.9)].toFixed(1)}); ` +
              `a static page ${baseline[baseline.length >> 1].toFixed(1)} ms; in the page's own ` +
              `timing (navigation start to load end): Inbox ${median(inPage)} ms, static page ` +
              `${median(inPageStatic)} ms`);
} finally {
  await browser.close();
}
