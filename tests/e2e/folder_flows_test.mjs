// The folder pages as a user works them in Chromium, on mail fetched from the real Dovecot
// peer: whole rows open their message (by mouse and by keyboard), senders by name, no
// clipped column at desktop size with the contacts panel open, the status line after each
// action with the Undo of a move, newest first kept as the user's choice, the purge asked
// before it happens, and Send with SendOnCompose through the SMTP recorder. Screenshots.
// Usage: node folder_flows_test.mjs <kestrune> <output dir>
import assert from "node:assert/strict";
import { runServerTest, startPeers, testArguments, textOf, writeBody } from "./kestrune_server.mjs";

const { serverPath, outputDir } = testArguments();

const peers = startPeers();
const { box } = peers;
const subjects = ["Lunch on Friday?", "Quarterly figures for the whole northern region",
                  "Re: the trip", "Tickets", "Minutes of the meeting"];
subjects.forEach((subject, i) => {
  peers.deliver(`From: Ann Example <ann.example.with.a.long.address@example.test>\r\n` +
                `To: ${box}@example.test\r\nSubject: ${subject}\r\n` +
                `Date: Thu, 10 Dec 2026 0${i}:00:00 +0000\r\n` +
                `Message-ID: <flow${i}@example.test>\r\n\r\nBody ${i}\r\n`);
});

await runServerTest(
  { serverPath, outputDir, peers, settings: { SendOnCompose: "1" }, user: { name: "filer" } },
  async ({ browser, page, dialogs, problems }) => {
  await browser.submitBy(() => page.click("#IWINBOXLINK"));
  const rows = page.locator("#IWINBOX tr");
  const status = async () => (await textOf(page, ".kst-status")).replace(/\s+/g, " ").trim();
  const subjectsShown = async () =>
    (await rows.locator("td:nth-child(4)").allTextContents()).slice(1).map((text) => text.trim());
  assert.deepEqual(await subjectsShown(), subjects);

  // The sender by name, the address as its tooltip; nothing clipped at 1280 px.
  const from = rows.nth(1).locator("td:nth-child(3) a");
  assert.equal((await from.textContent()).trim(), "Ann Example");
  assert.match(await from.getAttribute("title"), /ann\.example\.with\.a\.long\.address@/);
  const panelIcon = () => page.getAttribute("#IWHIDECONTACTS img", "src");
  if (/co\.gif$/i.test(await panelIcon())) {
    await browser.submitBy(() => page.click("#IWHIDECONTACTS"));
  }
  assert.match(await panelIcon(), /cc\.gif$/i, "the contacts panel is open");
  const clipped = await page.evaluate(() => {
    const grid = document.querySelector(".kst-grid-mail");
    const out = [];
    if (grid.scrollWidth > grid.clientWidth + 1) out.push(`grid ${grid.scrollWidth}>${grid.clientWidth}`);
    const gridRight = grid.getBoundingClientRect().right;
    for (const cell of grid.querySelectorAll("td:nth-child(5)")) {
      if (cell.getBoundingClientRect().right > gridRight + 1) out.push(`date ${cell.textContent}`);
    }
    return out;
  });
  assert.deepEqual(clipped, [], "no column is clipped");
  await browser.shoot("folder-rows");

  // The subject opens the message; so does Enter on it.
  await browser.submitBy(() => rows.nth(2).locator("td:nth-child(4) a").click());
  assert.equal(await page.locator("#IWINBOX").count(), 0, "the subject opens the message");
  await browser.submitBy(() => page.click("#IWINBOXLINK"));
  await rows.nth(3).locator("td:nth-child(4) a").focus();
  await browser.submitBy(() => page.keyboard.press("Enter"));
  assert.equal(await page.locator("#IWINBOX").count(), 0, "Enter on a subject opens it");
  await browser.submitBy(() => page.click("#IWINBOXLINK"));

  // Nothing ticked; then a move, its count and its Undo.
  await browser.submitBy(() => page.click("#IWDELETE"));
  assert.equal(await status(), "Tick a message first.");
  await rows.nth(1).locator("input[type=checkbox]").check();
  await rows.nth(2).locator("input[type=checkbox]").check();
  await browser.submitBy(() => page.click("#IWDELETE"));
  assert.equal(await status(), "2 messages moved to Deleted.");
  assert.ok(await page.isVisible("#IWUNDO"));
  assert.deepEqual(await subjectsShown(), subjects.slice(2));
  await browser.shoot("moved-with-undo");
  await page.focus("#IWUNDO");
  await browser.submitBy(() => page.keyboard.press("Enter"));
  assert.equal(await status(), "2 messages moved back to Inbox.");
  assert.deepEqual(await subjectsShown(), subjects);
  assert.equal(await page.locator("#IWUNDO").count(), 0, "the Undo is offered once");

  // Newest first, kept for the next visit.
  await browser.submitBy(() => page.click("#IWSORTORDER"));
  assert.deepEqual(await subjectsShown(), [...subjects].reverse());
  assert.equal(await textOf(page, "#IWSORTORDER"), "Show oldest first");
  await browser.submitBy(() => page.click("#IWHOMELINK"));
  await browser.submitBy(() => page.click("#IWINBOXLINK"));
  assert.deepEqual(await subjectsShown(), [...subjects].reverse());
  await browser.shoot("newest-first");

  // A purge is asked first, and happens only when confirmed.
  await rows.nth(1).locator("input[type=checkbox]").check();
  await browser.submitBy(() => page.click("#IWDELETE"));
  await browser.submitBy(() => page.click("#IWDELLINK"));
  const deletedRows = page.locator("#IWDELETED tr");
  await deletedRows.nth(1).locator("input[type=checkbox]").check();
  await browser.submitBy(() => page.click("#IWDELETE"));
  assert.equal(await textOf(page, "#IWPURGEQUESTION"),
               "Delete 1 message for good? It cannot be restored.");
  assert.equal(await deletedRows.count(), 2);
  await browser.shoot("purge-confirm");
  await browser.submitBy(() => page.click("#IWCANCELPURGE"));
  assert.equal(await deletedRows.count(), 2);
  assert.equal(await page.locator("#IWCONFIRMPURGE").count(), 0);
  await deletedRows.nth(1).locator("input[type=checkbox]").check();
  await browser.submitBy(() => page.click("#IWDELETE"));
  await browser.submitBy(() => page.click("#IWCONFIRMPURGE"));
  assert.equal(await status(), "1 message deleted for good.");
  assert.equal(await deletedRows.count(), 1);

  // Send with SendOnCompose: the message goes at once and the home page says so.
  await browser.submitBy(() => page.click("#IWCREATEEMAIL"));
  await page.fill("#IWTO", "ann@example.test");
  await page.fill("#IWSUBJECT", "Sent at once");
  await writeBody(page, "Hello");
  await browser.submitBy(() => page.click("#IWSEND"));
  assert.equal(await page.title(), "Kestrune - Home");
  assert.equal(await status(), "Sent.");
  assert.equal(await textOf(page, "#IWOUTBOXLINK"), "Outbox");
  await browser.shoot("sent-status");

  assert.deepEqual(dialogs, [], "every outcome is told in the page, not in alerts");
  assert.deepEqual(problems, []);
  console.log("folder flows test passed");
});
