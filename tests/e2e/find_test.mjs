// Finding mail in Chromium: messages fetched from the real Dovecot peer at log-in, found by
// subject and by sender from the toolbar's find button, one opened in the view page (and
// left unread), New search emptying the criteria. Screenshots at desktop and phone size.
// Usage: node find_test.mjs <kestrune> <output dir>
import assert from "node:assert/strict";
import { runServerTest, startPeers, testArguments, textOf } from "./kestrune_server.mjs";

const { serverPath, outputDir } = testArguments();
const peers = startPeers();
const { box } = peers;
const mail = [
  ["Ann Example <ann@example.test>", "Lunch on Friday?"],
  ["Bob <bob@example.test>", "Quarterly figures <draft>"],
  ["Ann Example <ann@example.test>", "Holiday photos"],
];
mail.forEach(([from, subject], n) => {
  peers.deliver(`From: ${from}\r\nTo: ${box}@example.test\r\nSubject: ${subject}\r\n` +
                `Date: Thu, 10 Dec 2026 09:0${n}:00 +0000\r\n` +
                `Message-ID: <find${n}@example.test>\r\n\r\nHello number ${n}.\r\n`);
});

await runServerTest({ serverPath, outputDir, peers, user: { name: "finder" } },
                    async ({ browser, page, dialogs, problems }) => {
  assert.equal(await textOf(page, "#IWINBOXLINK"), "Inbox (3)");

  await browser.submitBy(() => page.click("#IWFIND"));
  assert.equal(await page.title(), "Kestrune - Find");
  assert.equal(await page.locator("#IWFIND").count(), 0, "no find button on the find page");
  await browser.shoot("find-empty");

  const rows = page.locator("#IWSEARCHRESULTS tr");
  await page.fill("#IWFINDSUBJECT", "FIGURES");
  await browser.submitBy(() => page.click("#IWSEARCH"));
  assert.equal(await rows.count(), 2);
  assert.match(await rows.nth(1).textContent(), /Quarterly figures <draft>/);

  await page.fill("#IWFINDSUBJECT", "");
  await page.fill("#IWFINDFROM", "ann@");
  // Enter in a criterion searches as the button does.
  await browser.submitBy(() => page.press("#IWFINDFROM", "Enter"));
  assert.equal(await rows.count(), 3);
  assert.match(await rows.nth(1).textContent(), /Lunch on Friday\?/);
  assert.match(await rows.nth(2).textContent(), /Holiday photos/);
  await browser.shoot("find-results");

  await browser.submitBy(() => rows.nth(2).locator("td").nth(2).locator("a").click());
  assert.equal(await page.title(), "Kestrune - Message");
  assert.equal(await textOf(page, "#IWSUBJECT"), "Holiday photos");
  // Opened from the results, the message stays unread.
  assert.equal(await textOf(page, "#IWINBOXLINK"), "Inbox (3)");

  await browser.submitBy(() => page.click("#IWFIND"));
  await page.fill("#IWFINDTO", "example");
  await browser.submitBy(() => page.click("#IWSEARCH"));
  assert.equal(await rows.count(), 4);
  await browser.submitBy(() => page.click("#IWNEWSEARCH"));
  assert.equal(await page.inputValue("#IWFINDTO"), "");
  assert.equal(await rows.count(), 1);
  assert.deepEqual(dialogs, []);
  assert.deepEqual(problems, []);
  console.log("find test passed");
});
