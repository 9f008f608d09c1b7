// Every page of the server checked with the axe-core rules of WCAG 2.1 A and AA, in the
// light and the dark colour scheme, at a desktop and a phone size: no violation may be
// left. Also what the rules do not see: one <h1> per page, one live region in the frame
// for status messages, every tool bar button reached by Tab in document order, and the
// phone frame (contacts panel folded, unread count instead of the clock, one log-out).
// Usage: node accessibility_test.mjs <kestrune> <output dir>
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { createRequire } from "node:module";
import path from "node:path";
import {
  openBrowser, registerAndLogIn, sizes, startPeers, startServer, testArguments,
} from "./kestrune_server.mjs";

const { serverPath, outputDir } = testArguments();
const axeSource = readFileSync(createRequire(import.meta.url).resolve("axe-core/axe.min.js"),
                               "utf8");
const wcagTags = ["wcag2a", "wcag2aa", "wcag21a", "wcag21aa"];

const peers = startPeers();
const { env, box } = peers;
const message = (subject, extra, body) =>
  `From: Ann Example <ann@example.test>\r\nTo: ${box}@example.test\r\n` +
  `Cc: Bob <bob@example.test>\r\nSubject: ${subject}\r\n` +
  `Date: Thu, 10 Dec 2026 09:00:00 +0000\r\n${extra}\r\n${body}\r\n`;
peers.deliver(message("Lunch on Friday?", "", "Hi,\r\n\r\n> are we on?\r\nYes.\r\n"));
peers.deliver(message("Figures", "MIME-Version: 1.0\r\n" +
                      "Content-Type: multipart/mixed; boundary=\"b\"\r\n",
                      "--b\r\nContent-Type: text/plain\r\n\r\nAttached.\r\n--b\r\n" +
                      "Content-Type: text/csv; name=\"figures.csv\"\r\n" +
                      "Content-Disposition: attachment; filename=\"figures.csv\"\r\n\r\n" +
                      "q,t\r\nQ1,10\r\n--b--"));

const failures = [];
const audited = [];

// Runs axe on the page as it is, in both schemes and at both sizes; the page is not
// reloaded (a reload of a session page is harmless, but it is not needed).
async function audit(page, name, { frame = false } = {}) {
  audited.push(name);
  console.log(`auditing ${name}`);
  for (const scheme of ["light", "dark"]) {
    for (const [sizeName, size] of Object.entries(sizes)) {
      await page.emulateMedia({ colorScheme: scheme, reducedMotion: "reduce" });
      await page.setViewportSize(size);
      if (!(await page.evaluate(() => typeof window.axe === "object"))) {
        await page.evaluate(axeSource);
      }
      const result = await Promise.race([
        page.evaluate(
          (tags) => window.axe.run(document, { runOnly: { type: "tag", values: tags },
                                               // touch targets of 24 px (WCAG 2.2) too
                                               rules: { "target-size": { enabled: true } },
                                               iframes: false, resultTypes: ["violations"] }),
          wcagTags),
        new Promise((resolve, reject) =>
          setTimeout(() => reject(new Error(`axe did not finish on ${name}`)), 60000)),
      ]);
      const where = `${name} ${sizeName} ${scheme}`;
      for (const violation of result.violations) {
        const targets = violation.nodes.map((node) => node.target.join(" ")).slice(0, 4);
        failures.push(`${where}: ${violation.id} (${violation.impact}, ` +
                      `${violation.nodes.length}x) ${targets.join(" | ")}`);
      }
      const headings = await page.locator("h1").count();
      if (headings !== 1) failures.push(`${where}: ${headings} <h1> elements`);
      if (frame) {
        const live = await page.locator("[aria-live]").count();
        if (live !== 1) failures.push(`${where}: ${live} aria-live regions`);
      }
    }
  }
  await page.emulateMedia({ colorScheme: "light" });
  await page.setViewportSize(sizes.desktop);
}

// Tab from the top of the page: every tool bar button must take the focus, in the order
// the page lists them, and show a focus ring.
async function checkTabOrder(page, name) {
  const expected = await page.$$eval(".kst-toolbar button, .kst-toolbar a[href]",
                                     (controls) => controls.map((control) => control.id));
  if (expected.length === 0) {
    failures.push(`${name}: the tool bar holds no buttons`);
    return [];
  }
  await page.evaluate(() => document.activeElement?.blur());
  await page.locator("body").focus();
  const reached = [];
  for (let step = 0; step < 120 && reached.length < expected.length; ++step) {
    await page.keyboard.press("Tab");
    const [id, inToolbar, outline] = await page.evaluate(() => {
      const element = document.activeElement;
      return [element.id, !!element.closest(".kst-toolbar"), getComputedStyle(element).outlineStyle];
    });
    if (!inToolbar) continue;
    reached.push(id);
    if (outline === "none") failures.push(`${name}: ${id} shows no focus ring`);
  }
  if (JSON.stringify(reached) !== JSON.stringify(expected)) {
    failures.push(`${name}: Tab reached ${reached.join(",")}; tool bar ${expected.join(",")}`);
  }
  return reached;
}

// Phone frame: the contacts panel folded behind its toggle, the unread count where the
// desktop shows the clock, one visible log-out control.
async function checkPhoneFrame(page, name) {
  await page.setViewportSize(sizes.phone);
  const where = `${name} phone`;
  const visible = async (selector) => {
    const all = page.locator(selector);
    let count = 0;
    for (let i = 0; i < (await all.count()); ++i) if (await all.nth(i).isVisible()) ++count;
    return count;
  };
  if (await visible(".kst-panel-body") !== 0) failures.push(`${where}: contacts panel open`);
  if (await visible(".kst-panel-toggle") !== 1) failures.push(`${where}: no contacts toggle`);
  if (await visible("#Clock") !== 0) failures.push(`${where}: the clock is shown`);
  if (await visible(".kst-unread") !== 1) failures.push(`${where}: no unread count`);
  if (await visible("#IWLOGOUT, #IWCLOSE") !== 1) {
    failures.push(`${where}: ${await visible("#IWLOGOUT, #IWCLOSE")} log-out controls`);
  }
  if (await visible(".kst-panel-toggle") === 1) {
    await page.click(".kst-panel-toggle");
    if (await visible(".kst-panel-body") !== 1) failures.push(`${where}: toggle does not open`);
    await page.click(".kst-panel-toggle");
  }
  await page.setViewportSize(sizes.desktop);
  if (await visible("#Clock") !== 1) failures.push(`${name} desktop: no clock`);
  if (await visible(".kst-panel-body") !== 1) failures.push(`${name} desktop: panel folded`);
}

// Screenshots of a page at both sizes in both schemes, with no focus ring left over.
async function shootBoth(page, name) {
  await page.evaluate(() => document.activeElement?.blur());
  for (const scheme of ["light", "dark"]) {
    await page.emulateMedia({ colorScheme: scheme, reducedMotion: "reduce" });
    for (const [sizeName, size] of Object.entries(sizes)) {
      await page.setViewportSize(size);
      await page.screenshot({ path: path.join(outputDir, `${name}-${sizeName}-${scheme}.png`),
                              fullPage: true });
    }
  }
  await page.emulateMedia({ colorScheme: "light" });
  await page.setViewportSize(sizes.desktop);
}

// A free port may be taken by another program (a benchmark's many connections) before the
// server binds it: a few more tries.
async function start(settings) {
  const smtp = { host: "127.0.0.1", port: Number(env.SMTP_PORT) };
  for (let attempt = 1; ; ++attempt) {
    try {
      return await startServer(serverPath, settings, smtp);
    } catch (error) {
      if (attempt === 5 || !/Address already in use/.test(error.message)) throw error;
    }
  }
}

let server;
let busyServer;
let browser;
const tabOrders = {};
try {
  server = await start({ AllowWebReg: "1", BindToIP: "1", BoundIP: "127.0.0.1" });
  browser = await openBrowser(outputDir);
  const { page, dialogs } = browser;
  const go = (selector) => browser.submitBy(() => page.click(selector));

  await page.goto(server.base, { waitUntil: "load" });
  await audit(page, "login");
  await go("#IWWEBREG");
  await audit(page, "new user");

  await registerAndLogIn(browser, server.base, { name: "reader", env, box });
  await audit(page, "home", { frame: true });
  tabOrders.home = await checkTabOrder(page, "home");
  await checkPhoneFrame(page, "home");
  await shootBoth(page, "home");

  await go("#IWEDITCONTACTS");
  await page.fill("#IWCONTACTNAME", "Carol Jones");
  await page.fill("#IWCONTACTADDRESS", "carol@example.test");
  await go("#IWCONTACTMETH");
  // The side panel open, so that its list of contacts is checked on every page.
  if (await page.locator("#IWCONTACTS").count() === 0) await go("#IWHIDECONTACTS");
  await audit(page, "contacts", { frame: true });

  for (const [link, name] of [["#IWSAVEDLINK", "saved"], ["#IWOUTBOXLINK", "outbox"],
                              ["#IWSENTLINK", "sent"], ["#IWDELLINK", "deleted"],
                              ["#IWINBOXLINK", "inbox"]]) {
    await go(link);
    await audit(page, name, { frame: true });
  }
  tabOrders.inbox = await checkTabOrder(page, "inbox");

  await go("#IWINBOX tr:nth-child(3) td:nth-child(3) a");
  await audit(page, "message", { frame: true });
  tabOrders.message = await checkTabOrder(page, "message");
  await shootBoth(page, "message");
  const [printWindow] = await Promise.all([page.context().waitForEvent("page"),
                                           page.click("#IWPRINT")]);
  await printWindow.waitForLoadState("load");
  // The print copy forbids every script by its policy; axe is let in for this test only.
  await printWindow.route(printWindow.url(), async (route) => {
    const response = await route.fetch();
    const headers = response.headers();
    delete headers["content-security-policy"];
    await route.fulfill({ response, headers });
  });
  await printWindow.reload({ waitUntil: "load" });
  await audit(printWindow, "print");
  await printWindow.close();

  await go("#IWCREATEEMAIL");
  await audit(page, "compose", { frame: true });
  tabOrders.compose = await checkTabOrder(page, "compose");
  await shootBoth(page, "compose");
  await go("#IWTOADDR");
  await audit(page, "pick contacts", { frame: true });
  await go("#IWOKAY");
  await go("#IWADDEDITATTACHMENTS");
  await audit(page, "attachments", { frame: true });
  await go("#IWOKAY");

  await go("#IWFIND");
  await audit(page, "find", { frame: true });

  await go("#IWSETTINGS");
  await audit(page, "settings", { frame: true });
  if (await page.locator("#IWCREATESIG").count() > 0) {
    await go("#IWCREATESIG");
    await audit(page, "signature", { frame: true });
  }
  await Promise.all([page.waitForURL(/logout\.htm$/), page.click("#IWLOGOUT")]);
  await audit(page, "logged out");

  await page.goto(server.base, { waitUntil: "load" });
  await page.fill("#IWUSERNAME", "Admin");
  await page.fill("#IWPASSWORD", "Pa55word");
  await go("#IWSUBMIT");
  await go("#IWSETTINGS");
  await audit(page, "administration", { frame: true });
  await go("#IWADDUSER");
  await audit(page, "new account", { frame: true });
  await Promise.all([page.waitForURL(/logout\.htm$/), page.click("#IWLOGOUT")]);

  await page.goto(new URL("/index/no-such-session/IWMain", server.base).href,
                  { waitUntil: "load" });
  await audit(page, "error");

  // Three wrong passwords from one address: the bad-login page.
  for (let attempt = 0; attempt < 3; ++attempt) {
    await page.goto(server.base, { waitUntil: "load" });
    if (await page.locator("#IWPASSWORD").count() === 0) break;
    await page.fill("#IWUSERNAME", "Admin");
    await page.fill("#IWPASSWORD", "wrong");
    await go("#IWSUBMIT");
  }
  dialogs.length = 0;
  await audit(page, "bad login");

  busyServer = await start({ LimitConnections: "1", MaxConnections: "0", BindToIP: "1",
                            BoundIP: "127.0.0.1" });
  await page.goto(busyServer.base, { waitUntil: "load" });
  await audit(page, "busy");
} catch (error) {
  failures.push(`stopped after ${audited.at(-1)}: ${error.stack}`);
} finally {
  await browser?.close();
  await busyServer?.stop();
  await server?.stop();
  peers.stop();
}

console.log(`audited: ${audited.join(", ")}`);
for (const [name, order] of Object.entries(tabOrders)) {
  console.log(`Tab order ${name}: ${order.join(" ")}`);
}
if (failures.length > 0) {
  console.error(failures.join("\n"));
  console.error(`${failures.length} problems`);
  process.exit(1);
}
console.log("accessibility test passed");
