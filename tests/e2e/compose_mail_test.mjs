// Writing mail in Chromium against the real peers: a new message with To, Cc and Bcc and a
// UTF-8 subject waits in the Outbox, send/receive delivers it through the recording SMTP
// server (one RCPT per recipient, no Bcc in the data, an encoded subject, a Message-Id)
// and it moves to Sent. Screenshots of the compose page at desktop and phone size.
// Usage: node compose_mail_test.mjs <kestrune> <output dir>
import assert from "node:assert/strict";
import { runServerTest, startPeers, testArguments, textOf, writeBody } from "./kestrune_server.mjs";

const { serverPath, outputDir } = testArguments();
const peers = startPeers();

await runServerTest({ serverPath, outputDir, peers, user: { name: "writer", checkOnLogin: false } },
                    async ({ browser, page, dialogs, problems }) => {
  await browser.submitBy(() => page.click("#IWCREATEEMAIL"));
  assert.equal(await page.title(), "Kestrune - New message");
  assert.equal(await textOf(page, "#IWFROM"), "writer@example.test");
  await page.fill("#IWTO", "Ann <ann@example.test>; bob@example.test;");
  await page.fill("#IWCCLIST", "carol@example.test");
  await page.fill("#IWBCCLIST", "hidden@example.test");
  await page.fill("#IWSUBJECT", "Grüße aus Köln");
  await writeBody(page, "Hello all,\nsee you soon.", "Hello all, see you soon.");
  await browser.shoot("compose");

  // A bad address is refused with the focus on its field, the text kept.
  await page.fill("#IWCCLIST", "carol at example");
  await browser.submitBy(() => page.click("#IWSEND"));
  assert.equal(await browser.nextDialog(1),
               "Please enter the email address of the person who you wish to send this message to.");
  assert.equal(await page.evaluate(() => document.activeElement.id), "IWCCLIST");
  assert.equal(await page.inputValue("#IWSUBJECT"), "Grüße aus Köln");
  dialogs.length = 0;
  await page.fill("#IWCCLIST", "carol@example.test");
  await browser.submitBy(() => page.click("#IWSEND"));
  assert.equal(await page.title(), "Kestrune - Home");
  assert.equal(await textOf(page, "#IWOUTBOXLINK"), "Outbox (1)");

  await browser.submitBy(() => page.click("#IWSENDRECV"));
  assert.equal(await textOf(page, "#IWOUTBOXLINK"), "Outbox");
  const sent = peers.recorded("writer@example.test");
  assert.equal(sent.length, 1, "one message reached the relay");
  assert.deepEqual(sent[0].rcpt, ["ann@example.test", "bob@example.test", "carol@example.test",
                                  "hidden@example.test"]);
  const data = sent[0].data;
  const head = data.slice(0, data.indexOf("\r\n\r\n"));
  assert.doesNotMatch(head, /^Bcc:/im, "no Bcc in the data");
  assert.doesNotMatch(data, /hidden@example\.test/, "the Bcc address is nowhere in the data");
  assert.match(head, /^Subject: =\?utf-8\?[BQ]\?/im, "the subject is an encoded word");
  assert.match(head, /^Message-Id: <[^<>\s]+@example\.test>\r?$/im);
  assert.match(head, /^To: .*ann@example\.test.*bob@example\.test/im);
  assert.match(data, /Hello all,/);

  await browser.submitBy(() => page.click("#IWSENTLINK"));
  assert.match(await page.locator("#IWSENT").textContent(), /Grüße aus Köln/);
  await browser.submitBy(() => page.click("#IWOUTBOXLINK"));
  assert.doesNotMatch(await page.locator("body").textContent(), /Grüße aus Köln/);
  assert.deepEqual(problems, []);
  console.log("compose mail test passed");
});
