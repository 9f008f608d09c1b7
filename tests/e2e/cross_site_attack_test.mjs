// Cross-site request forgery against a logged-in user in Chromium. The victim reads mail at
// http://kestrune.test:<port> (plain HTTP, not localhost: the browser sends no
// Sec-Fetch-Site); while the session is open, a page of another origin of the same site,
// http://ads.kestrune.test:<port> with <meta name="referrer" content="no-referrer">, drives
// the session with GETs that name page actions (compose, send, send/receive, delete, purge)
// and with a form posted to the session. Nothing may reach the SMTP recorder, nothing may
// leave the Inbox or the mail store, and the victim's own pages must still work.
// Usage: node cross_site_attack_test.mjs <kestrune> <output dir>
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { readdirSync, readFileSync } from "node:fs";
import { createServer } from "node:http";
import path from "node:path";
import {
  registerAndLogIn, runServerTest, startPeers, testArguments, textOf, writeBody,
} from "./kestrune_server.mjs";

const { serverPath, outputDir } = testArguments();

const peers = startPeers();
const { env, box } = peers;
const total = 3;
for (let n = 1; n <= total; ++n) {
  peers.deliver(`From: Ann <ann@example.test>\r\nTo: ${box}@example.test\r\n` +
                `Subject: Private note ${n}\r\nDate: Thu, 10 Dec 2026 09:00:00 +0000\r\n` +
                `Message-ID: <note${n}@example.test>\r\n\r\nOnly for the victim.\r\n`);
}

// Every message the relay took, by envelope sender.
function relayed() {
  return readdirSync(env.SMTP_RECORD_DIR).filter((name) => !name.startsWith("."))
    .map((name) => readFileSync(path.join(env.SMTP_RECORD_DIR, name, "envelope"), "utf8"));
}

// The attacker's page; `steps` are filled in once the victim's page names are known.
let attackPage = "";
const attacker = createServer((request, response) => {
  response.writeHead(200, { "Content-Type": "text/html; charset=utf-8" });
  response.end(attackPage);
});
await new Promise((resolve) => attacker.listen(0, "127.0.0.1", resolve));

const attackerUrl = `http://ads.kestrune.test:${attacker.address().port}/`;
await runServerTest({
  serverPath, outputDir, peers, settings: { AllowWebReg: "1" },
  browserArgs: [
    "--host-resolver-rules=MAP kestrune.test 127.0.0.1, MAP ads.kestrune.test 127.0.0.1"],
}, async ({ server, browser, page, dialogs, problems, atEnd }) => {
  atEnd(() => attacker.close());
  // The victim's pages by a host name: the attacker's origin is of the same site.
  const victimBase = server.base.replace("127.0.0.1", "kestrune.test");
  await registerAndLogIn(browser, victimBase, { name: "victim", env, box });
  assert.equal(await textOf(page, "#IWINBOXLINK"), `Inbox (${total})`);

  // The names of the Inbox's check boxes, as the attacker knows them from an installation
  // of his own; then the victim goes back home.
  await browser.submitBy(() => page.click("#IWINBOXLINK"));
  const boxes = await page.locator("#IWINBOX input[type=checkbox]").evaluateAll(
    (inputs) => inputs.map((input) => input.name).filter((name) => name !== "IWSELECTALL"));
  assert.equal(boxes.length, total);
  await browser.submitBy(() => page.click("#IWHOMELINK"));
  const storeDir = execFileSync(serverPath, ["--home", server.home, "users", "list"], {
    encoding: "utf8" }).split("\n").map((line) => line.split("\t"))
    .find((row) => row[1]?.toLowerCase() === "victim").at(-1);
  const storedBefore = readdirSync(storeDir).filter((name) => name.endsWith(".eml")).length;
  assert.equal(storedBefore, total);

  const action = (name, values = "") =>
    `${values}${values ? "&" : ""}IW_Action=${name}&IW_ActionParam=`;
  const checked = boxes.map((name) => `${name}=on`).join("&");
  const steps = [
    action("IWCREATEEMAIL"),
    action("IWSEND", "IWTO=thief%40evil.test&IWCCLIST=&IWBCCLIST=&IWSUBJECT=Loot" +
                     "&IWEMAILBODY=stolen"),
    action("IWSENDRECV"),
    action("IWINBOXLINK"),
    action("IWDELETE", checked),
    action("IWDELLINK"),
    action("IWDELETE", checked),
    action("IWCONFIRMPURGE"),
    action("IWHOMELINK"),
  ];
  const target = `${victimBase}index`;
  attackPage = `<!DOCTYPE html><html><head><meta name="referrer" content="no-referrer">
<title>Win a prize</title></head><body>
<iframe name="sink" style="display:none"></iframe>
<form id="forged" method="POST" action="${target}" target="sink">
<input type="hidden" name="IW_Action" value="IWSENDRECV">
<input type="hidden" name="IW_ActionParam" value="">
</form>
<script>
(async () => {
  const sink = document.querySelector("iframe");
  for (const step of ${JSON.stringify(steps)}) {
    // A link followed in the page's own frame, then the same as a fetch and an image.
    await new Promise((resolve) => { sink.onload = resolve; sink.src = "${target}?" + step; });
    await fetch("${target}?" + step, { mode: "no-cors", credentials: "include" });
  }
  await new Promise((resolve) => {
    sink.onload = resolve;
    document.getElementById("forged").submit();
  });
  document.title = "done";
})();
</script></body></html>`;

  const attack = await page.context().newPage();
  await attack.goto(attackerUrl, { waitUntil: "load" });
  await attack.waitForFunction(() => document.title === "done", null, { timeout: 60000 });
  await attack.close();

  assert.deepEqual(relayed().filter((envelope) => envelope.includes("victim@example.test")), [],
                   "nothing was sent through the relay");
  assert.equal(readdirSync(storeDir).filter((name) => name.endsWith(".eml")).length, storedBefore,
               "nothing was purged from the mail store");

  // The victim's pages work on: a reload shows the page where the victim left it, the
  // Inbox still holds every message, and the victim's own send still goes out.
  await page.reload({ waitUntil: "load" });
  assert.equal(await page.title(), "Kestrune - Home");
  assert.equal(await textOf(page, "#IWOUTBOXLINK"), "Outbox");
  await browser.submitBy(() => page.click("#IWINBOXLINK"));
  assert.equal(await page.locator("#IWINBOX tr").count(), total + 1);
  await browser.submitBy(() => page.click("#IWHOMELINK"));
  await browser.submitBy(() => page.click("#IWCREATEEMAIL"));
  await page.fill("#IWTO", "friend@example.test");
  await page.fill("#IWSUBJECT", "Still works");
  await writeBody(page, "Hello");
  await browser.submitBy(() => page.click("#IWSEND"));
  await browser.submitBy(() => page.click("#IWSENDRECV"));
  const sent = relayed().filter((envelope) => envelope.includes("victim@example.test"));
  assert.equal(sent.length, 1, "the victim's own message went out");
  assert.match(sent[0], /rcpt_to friend@example\.test/);
  assert.deepEqual(problems, []);
  console.log("cross-site attack test passed");
});
