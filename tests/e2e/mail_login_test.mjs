// A user with "check mail at log-in" against the real Dovecot and SMTP peers: registers
// with the connection test, logs in and sees the fetched mail counted, fetches more with
// send/receive. Starts its own peers with scripts/peers.
// Usage: node mail_login_test.mjs <kestrune> <output dir>
import assert from "node:assert/strict";
import { runServerTest, startPeers, testArguments, textOf } from "./kestrune_server.mjs";

const { serverPath, outputDir } = testArguments();
const peers = startPeers();
const { box } = peers;
function deliver(subject) {
  peers.deliver(`From: Sender <sender@example.test>\nTo: ${box}@example.test\n` +
                `Subject: ${subject}\nMessage-ID: <${subject}.${process.pid}@example.test>\n` +
                "\nHello.\n");
}

deliver("First");
deliver("Second");
// The registration page tests a connection before log-in only to hosts the site lists; the
// connection test and the registration must pass.
await runServerTest({
  serverPath, outputDir, peers, settings: { WebRegTestHosts: "127.0.0.1" },
  user: { name: "reader", testConnection: true, leaveOnServer: true },
}, async ({ browser, page, dialogs }) => {
  assert.equal(await page.title(), "Kestrune - Home");
  assert.equal(await textOf(page, "#IWINBOXSTATS"), "2 unread Mail messages");
  assert.equal(await textOf(page, "#IWINBOXLINK"), "Inbox (2)");
  assert.equal(dialogs.length, 0, `no alert at log-in: ${dialogs}`);
  await browser.shoot("home-unread");

  deliver("Third");
  await browser.submitBy(() => page.click("#IWSENDRECV"));
  assert.equal(await textOf(page, "#IWINBOXSTATS"), "3 unread Mail messages");
  // Messages are kept on the server: a second send/receive files nothing twice.
  await browser.submitBy(() => page.click("#IWSENDRECV"));
  assert.equal(await textOf(page, "#IWINBOXSTATS"), "3 unread Mail messages");
  assert.equal(dialogs.length, 0, `no alerts from send/receive: ${dialogs}`);
  console.log("mail log-in test passed");
});
