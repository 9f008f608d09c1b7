// A user with "check mail at log-in" against the real Dovecot and SMTP peers: registers
// with the connection test, logs in and sees the fetched mail counted, fetches more with
// send/receive. Starts its own peers with scripts/peers.
// Usage: node mail_login_test.mjs <kestrune> <output dir>
import assert from "node:assert/strict";
import { openBrowser, startPeers, startServer, textOf } from "./kestrune_server.mjs";

const [serverPath, outputDir] = process.argv.slice(2);
if (!serverPath || !outputDir) {
  console.error("usage: node mail_login_test.mjs <kestrune> <output dir>");
  process.exit(2);
}
const peers = startPeers();
const { env, box } = peers;
function deliver(subject) {
  peers.deliver(`From: Sender <sender@example.test>\nTo: ${box}@example.test\n` +
                `Subject: ${subject}\nMessage-ID: <${subject}.${process.pid}@example.test>\n` +
                "\nHello.\n");
}

// The registration page tests a connection before log-in only to hosts the site lists.
const server = await startServer(serverPath, { AllowWebReg: "1", WebRegTestHosts: "127.0.0.1" },
                                 { host: "127.0.0.1", port: Number(env.SMTP_PORT) });
let browser;
try {
  deliver("First");
  deliver("Second");
  browser = await openBrowser(outputDir);
  const { page, dialogs } = browser;
  await page.goto(server.base, { waitUntil: "load" });
  await browser.submitBy(() => page.click("#IWWEBREG"));
  const fields = {
    IWUSERNAME: "reader", IWUSERPASS: "pw", IWUSERCONFIRM: "pw", IWDISPLAYNAME: "Reader",
    IWEMAILADDRESS: "reader@example.test", IWSERVERADDRESS: "127.0.0.1",
    IWSERVERPORT: env.POP3_PORT, IWSERVERUSERNAME: box, IWSERVERUSERPASS: `pw-${box}`,
  };
  for (const [id, value] of Object.entries(fields)) await page.fill(`#${id}`, value);
  await browser.submitBy(() => page.click("#IWTESTCONNECTION"));
  assert.equal(await browser.nextDialog(1), "Your Pop server tested correctly.");
  await page.check("#IWLOGONCHECKEMAIL");
  await page.check("#IWLEAVEMSGS");
  await page.check("#IWREADTERMS");
  await browser.submitBy(() => page.click("#IWREGISTER"));
  assert.match(await browser.nextDialog(2), /^Registration was successful/);

  await page.fill("#IWUSERNAME", "reader");
  await page.fill("#IWPASSWORD", "pw");
  await browser.submitBy(() => page.click("#IWSUBMIT"));
  assert.equal(await page.title(), "Kestrune - Home");
  assert.equal(await textOf(page, "#IWINBOXSTATS"), "2 unread Mail messages");
  assert.equal(await textOf(page, "#IWINBOXLINK"), "Inbox (2)");
  assert.equal(dialogs.length, 2, `no alert at log-in: ${dialogs}`);
  await browser.shoot("home-unread");

  deliver("Third");
  await browser.submitBy(() => page.click("#IWSENDRECV"));
  assert.equal(await textOf(page, "#IWINBOXSTATS"), "3 unread Mail messages");
  // Messages are kept on the server: a second send/receive files nothing twice.
  await browser.submitBy(() => page.click("#IWSENDRECV"));
  assert.equal(await textOf(page, "#IWINBOXSTATS"), "3 unread Mail messages");
  assert.equal(dialogs.length, 2, `no alerts from send/receive: ${dialogs}`);
  console.log("mail log-in test passed");
} finally {
  if (browser) await browser.close();
  await server.stop();
  peers.stop();
}
