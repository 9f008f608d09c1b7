// Reading mail in Chromium as a user does, on mail fetched from the real Dovecot peer: the
// Inbox, hostile messages opened one by one (no script runs, nothing is fetched from the
// outside, nothing is written outside its place), remote content on request, attachments
// by position, the print copy private to the session, and moving messages between folders
// down to a purge. Screenshots of each page at desktop and phone size.
// Usage: node reading_mail_test.mjs <kestrune> <output dir>
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { existsSync, readdirSync, readFileSync } from "node:fs";
import { createServer } from "node:http";
import path from "node:path";
import { fileURLToPath } from "node:url";
import {
  registerAndLogIn, runServerTest, startPeers, testArguments, textOf,
} from "./kestrune_server.mjs";

const { serverPath, outputDir } = testArguments();
const here = path.dirname(fileURLToPath(import.meta.url));
const hostileDir = path.join(here, "../data/hostile");

// A web server standing for the rest of the world: every request a message makes it
// receive is a fault unless the user allowed remote content.
const outsideRequests = [];
const outside = createServer((request, response) => {
  outsideRequests.push(request.url);
  response.writeHead(200, { "Content-Type": "image/png" });
  response.end();
});
await new Promise((resolve) => outside.listen(0, "127.0.0.1", resolve));
const outsideOrigin = `127.0.0.1:${outside.address().port}`;

const peers = startPeers();
const { env, box } = peers;
let delivered = 0;
function deliver(text) {
  delivered = peers.deliver(text);
}
function plainMessage(subject, body, extraHeaders = "") {
  return `From: Ann Example <ann@example.test>\r\nTo: ${box}@example.test\r\n` +
         `Subject: ${subject}\r\nDate: Thu, 10 Dec 2026 09:00:00 +0000\r\n` +
         `Message-ID: <${subject.replace(/\W/g, "")}.${delivered}@example.test>\r\n` +
         `${extraHeaders}\r\n${body}\r\n`;
}

// Oldest first: the Inbox lists in the order the mail arrived.
const hostile = readdirSync(hostileDir).filter((name) => name.endsWith(".eml")).sort();
for (const name of hostile) {
  deliver(readFileSync(path.join(hostileDir, name), "latin1").replaceAll("REMOTE_ORIGIN",
                                                                          outsideOrigin));
}
deliver(plainMessage("Lunch on Friday?",
                     "Hi,\r\n\r\nare we still on for Friday? The menu: https://example.test/menu\r\n" +
                     "<b>This is not bold.</b>\r\n\r\nAnn"));
deliver(plainMessage("Quarterly figures", "The figures are attached.",
                     "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n")
        .replace("The figures are attached.",
                 "--b\r\nContent-Type: text/plain\r\n\r\nThe figures are attached.\r\n--b\r\n" +
                 "Content-Type: text/csv; name=\"figures.csv\"\r\n" +
                 "Content-Disposition: attachment; filename=\"figures.csv\"\r\n\r\n" +
                 "quarter,total\r\nQ1,10\r\nQ2,12\r\n--b--"));
const total = delivered;

await runServerTest({ serverPath, outputDir, peers, settings: { AllowWebReg: "1" } },
                    async ({ server, browser, page, dialogs, problems, atEnd }) => {
  atEnd(() => outside.close());
  const consoleMessages = [];
  page.on("console", (message) => consoleMessages.push(message.text()));
  // No hostile text may run script, open a dialog or fetch from outside the server.
  const checkNothingRan = (where) => {
    assert.deepEqual(dialogs, [], `${where}: dialogs ${dialogs}`);
    assert.deepEqual(consoleMessages, [], `${where}: console ${consoleMessages}`);
    assert.deepEqual(problems, [], `${where}: ${problems}`);
    assert.deepEqual(outsideRequests, [], `${where}: outside requests ${outsideRequests}`);
  };

  await registerAndLogIn(browser, server.base, { name: "reader", env, box });
  assert.equal(await textOf(page, "#IWINBOXLINK"), `Inbox (${total})`);

  // The Inbox: one row per message, oldest first, every text shown as text.
  await browser.submitBy(() => page.click("#IWINBOXLINK"));
  assert.match(await page.title(), /Inbox/);
  const rows = page.locator("#IWINBOX tr");
  assert.equal(await rows.count(), total + 1);
  assert.equal(await page.locator("#IWINBOX script, #IWINBOX svg, #IWINBOX iframe").count(), 0);
  const headerRow = await rows.nth(hostile.indexOf("xss_headers.eml") + 1).textContent();
  assert.match(headerRow, /<script>/, "a subject's markup is shown as text");
  await browser.shoot("inbox");
  checkNothingRan("inbox");

  const openRow = async (row) => {
    await browser.submitBy(() => rows.nth(row).locator("td:nth-child(3) a").click());
  };
  const backToInbox = () => browser.submitBy(() => page.click("#IWINBOXLINK"));

  // Every hostile message opened: nothing runs, nothing loads from outside.
  for (const [position, name] of hostile.entries()) {
    await openRow(position + 1);
    assert.equal(await page.locator("#IWSUBJECT").count(), 1, name);
    if (await page.locator("iframe").count() > 0) {
      const frame = page.locator("iframe").first();
      assert.equal(await frame.getAttribute("sandbox"), "allow-popups allow-popups-to-escape-sandbox");
    }
    await page.waitForTimeout(200);  // let a frame's images and styles try to load
    checkNothingRan(name);
    await browser.shoot(`view-${path.basename(name, ".eml")}`);
    await backToInbox();
  }

  // Remote content: blocked until the user asks for it, for this message only.
  await openRow(hostile.indexOf("remote_image.eml") + 1);
  assert.ok(await page.isVisible("#IWSHOWREMOTE"), "the remote content control is offered");
  await browser.submitBy(() => page.click("#IWSHOWREMOTE"));
  await page.waitForTimeout(300);
  assert.ok(outsideRequests.some((url) => url.startsWith("/tracker.png")),
            `remote image loaded after the click: ${outsideRequests}`);
  outsideRequests.length = 0;
  await backToInbox();
  await openRow(hostile.indexOf("remote_image.eml") + 1);
  await page.waitForTimeout(300);
  checkNothingRan("remote content is allowed for one showing only");
  await backToInbox();

  // Attachments by position: both "report.txt" parts download with their own content.
  await openRow(hostile.indexOf("same_name_attachments.eml") + 1);
  const links = page.locator("#IWATTACHLIST td:nth-child(2) a");
  assert.equal(await links.count(), 2);
  const downloaded = [];
  for (let i = 0; i < 2; ++i) {
    const [download] = await Promise.all([page.waitForEvent("download"),
                                          links.nth(i).click()]);
    assert.equal(download.suggestedFilename(), "report.txt");
    downloaded.push(readFileSync(await download.path(), "utf8"));
    // The page takes clicks again once it saw the download's answer.
    await page.waitForFunction(() => !window.GSubmitting);
  }
  assert.notEqual(downloaded[0], downloaded[1], "each part is its own download");
  await backToInbox();

  // A hostile attachment name saves nothing outside its place.
  await openRow(hostile.indexOf("attachment_names.eml") + 1);
  const names = await page.locator("#IWATTACHLIST td:nth-child(2) a").allTextContents();
  assert.ok(names.length >= 3, `attachments listed: ${names}`);
  for (const name of names) assert.doesNotMatch(name, /[/\\]|[\u0000-\u001f]/, name);
  // Where a name "../../x" could land; something of that name may be there already (the
  // temporary directory's parent is shared), so what counts is that nothing new appears.
  const outsidePlaces = [path.join(server.home, "x"), path.join(server.home, "..", "x")];
  const existedBefore = outsidePlaces.map((place) => existsSync(place));
  const [hostileDownload] = await Promise.all([
    page.waitForEvent("download"), page.locator("#IWATTACHLIST td:nth-child(2) a").first().click()]);
  await page.waitForFunction(() => !window.GSubmitting);
  assert.doesNotMatch(hostileDownload.suggestedFilename(), /[/\\]/);
  assert.deepEqual(outsidePlaces.map((place) => existsSync(place)), existedBefore);
  checkNothingRan("hostile attachment names");
  await backToInbox();

  // The plain message: markup as text, the web address a link to a new tab.
  await openRow(total - 1);
  assert.equal(await textOf(page, "#IWSUBJECT"), "Lunch on Friday?");
  assert.match(await textOf(page, "#IWEMAILBODY"), /<b>This is not bold\.<\/b>/);
  const link = page.locator("#IWEMAILBODY a[href='https://example.test/menu']");
  assert.equal(await link.getAttribute("target"), "_blank");
  await browser.shoot("view-plain");

  // Print: a copy in a new window, for this session only.
  const [printWindow] = await Promise.all([page.context().waitForEvent("page"),
                                           page.click("#IWPRINT")]);
  await printWindow.waitForLoadState("load");
  assert.match(await printWindow.textContent("body"), /Lunch on Friday\?/);
  const printUrl = printWindow.url();
  await printWindow.screenshot({ path: path.join(outputDir, "print.png"), fullPage: true });
  await printWindow.close();
  const anonymous = await fetch(printUrl);
  assert.equal(anonymous.status, 404, "the print copy is not served without the session");
  assert.equal((await fetch(new URL("/files/Attachments/report.txt", server.base))).status, 404);
  await backToInbox();

  // Folders: delete two, restore one from Deleted, purge the other.
  const subjects = async () => (await rows.allTextContents()).slice(1);
  const before = await subjects();
  await rows.nth(total - 1).locator("input[type=checkbox]").check();
  await rows.nth(total).locator("input[type=checkbox]").check();
  await browser.submitBy(() => page.click("#IWDELETE"));
  assert.equal(await rows.count(), total - 1);
  await browser.submitBy(() => page.click("#IWDELLINK"));
  const deletedRows = page.locator("#IWDELETED tr");
  assert.equal(await deletedRows.count(), 3);
  await browser.shoot("deleted");
  await deletedRows.nth(1).locator("input[type=checkbox]").check();
  await browser.submitBy(() => page.click("#IWUNDELETE"));
  assert.equal(await deletedRows.count(), 2);
  const storeDir = execFileSync(serverPath, ["--home", server.home, "users", "list"], {
    encoding: "utf8" }).split("\n").map((line) => line.split("\t"))
    .find((fields) => fields[1]?.toLowerCase() === "reader").at(-1);
  const filesBefore = readdirSync(storeDir).filter((name) => name.endsWith(".eml")).length;
  await deletedRows.nth(1).locator("input[type=checkbox]").check();
  await browser.submitBy(() => page.click("#IWDELETE"));
  // Nothing is destroyed before the confirmation.
  assert.equal(await deletedRows.count(), 2);
  await browser.submitBy(() => page.click("#IWCONFIRMPURGE"));
  assert.equal(await deletedRows.count(), 1);
  assert.ok(await page.isVisible("#IWNOMSGS"), "an empty folder says so");
  assert.equal(readdirSync(storeDir).filter((name) => name.endsWith(".eml")).length,
               filesBefore - 1, "the purged message's file is gone");
  await browser.submitBy(() => page.click("#IWINBOXLINK"));
  const after = await subjects();
  assert.equal(after.length, before.length - 1);

  // Select all checks every row, a second click unchecks them.
  await browser.submitBy(() => rows.nth(0).locator("input[type=checkbox]").click());
  assert.equal(await page.locator("#IWINBOX input[type=checkbox]:checked").count(), total);
  await browser.submitBy(() => rows.nth(0).locator("input[type=checkbox]").click());
  assert.equal(await page.locator("#IWINBOX input[type=checkbox]:checked").count(), 0);
  checkNothingRan("folders");
  console.log("reading mail test passed");
});
