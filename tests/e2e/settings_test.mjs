// The settings pages in Chromium against the real server and Dovecot: a Power User moves
// the account to another POP3 mailbox (tested first) and changes the password, then logs
// in with it; the administrator adds a User, that User sees the reduced page, the
// administrator edits the account and deletes it. Screenshots of every page at both sizes.
// Usage: node settings_test.mjs <kestrune> <output dir>
import assert from "node:assert/strict";
import { mkdirSync } from "node:fs";
import path from "node:path";
import { runServerTest, startPeers, testArguments, textOf } from "./kestrune_server.mjs";

const { serverPath, outputDir } = testArguments();
const peers = startPeers();
const { env, box } = peers;
const secondBox = "box002";
mkdirSync(path.join(env.POP3_MAIL_ROOT, ".claims", secondBox), { recursive: true });

// A Power User's own account.
await runServerTest({
  serverPath, outputDir, peers, settings: { WebRegTestHosts: "127.0.0.1" },
  user: { name: "mover", checkOnLogin: false },
}, async ({ server, browser, page, dialogs }) => {
  async function logIn(name, password) {
    await page.goto(server.base, { waitUntil: "load" });
    await page.fill("#IWUSERNAME", name);
    await page.fill("#IWPASSWORD", password);
    await browser.submitBy(() => page.click("#IWSUBMIT"));
    assert.equal(await page.title(), "Kestrune - Home", `log-in of ${name}`);
  }
  async function logOut() {
    // The ended session's answer sends the browser on to the logout page.
    await Promise.all([page.waitForURL(/logout\.htm$/), page.click("#IWLOGOUT")]);
    await page.waitForLoadState("load");
  }

  await browser.submitBy(() => page.click("#IWSETTINGS"));
  assert.equal(await page.title(), "Kestrune - Account settings");
  assert.equal(await page.inputValue("#IWUSERPASS"), "", "no password in the page");
  assert.equal(await page.inputValue("#IWSERVERUSERPASS"), "");
  await browser.shoot("own-settings");
  await page.fill("#IWSERVERUSERNAME", secondBox);
  await page.fill("#IWSERVERUSERPASS", `pw-${secondBox}`);
  await browser.submitBy(() => page.click("#IWTESTCONNECTION"));
  assert.equal(await browser.nextDialog(1), "Your Pop server tested correctly.");
  await page.fill("#IWUSERPASS", "N3w-secret");
  await page.fill("#IWUSERCONFIRM", "N3w-secret");
  await browser.submitBy(() => page.click("#IWOKAYMETH"));
  assert.equal(await page.title(), "Kestrune - Home");
  await logOut();
  await page.goto(server.base, { waitUntil: "load" });
  await page.fill("#IWUSERNAME", "mover");
  await page.fill("#IWPASSWORD", "pw");
  await browser.submitBy(() => page.click("#IWSUBMIT"));
  assert.notEqual(await page.title(), "Kestrune - Home", "the old password is refused");
  await logIn("mover", "N3w-secret");
  await browser.submitBy(() => page.click("#IWSETTINGS"));
  assert.equal(await page.inputValue("#IWSERVERUSERNAME"), secondBox);
  await logOut();

  // The administrator adds a User.
  dialogs.length = 0;
  await logIn("Admin", "Pa55word");
  await browser.submitBy(() => page.click("#IWSETTINGS"));
  assert.equal(await page.title(), "Kestrune - Administration");
  assert.match(await textOf(page, "#IWUSERS"), /mover/);
  await browser.shoot("admin-accounts");
  await browser.submitBy(() => page.click("#IWADDUSER"));
  const account = {
    IWUSERNAME: "newbie", IWUSERPASS: "Start-1", IWUSERCONFIRM: "Start-1",
    IWDISPLAYNAME: "New Bie", IWEMAILADDRESS: "newbie@example.test",
    IWSERVERADDRESS: "127.0.0.1", IWSERVERPORT: env.POP3_PORT, IWSERVERUSERNAME: box,
    IWSERVERUSERPASS: `pw-${box}`,
  };
  for (const [id, value] of Object.entries(account)) await page.fill(`#${id}`, value);
  await page.check('input[name="IWUSERPERMISSIONS"][value="2"]');
  await browser.shoot("admin-add");
  await browser.submitBy(() => page.click("#IWOKAYMETH"));
  assert.equal(await page.title(), "Kestrune - Administration", `added: ${dialogs}`);
  assert.match(await textOf(page, "#IWUSERS"), /newbie/);
  await logOut();

  // The new User's reduced page.
  await logIn("newbie", "Start-1");
  await browser.submitBy(() => page.click("#IWSETTINGS"));
  assert.equal(await page.title(), "Kestrune - Account settings");
  assert.equal(await page.locator("#IWSERVERADDRESS").count(), 0, "the reduced page");
  await browser.shoot("user-settings");
  await page.check("#IWAUTOADDCONTACTS");
  await browser.submitBy(() => page.click("#IWSAVE"));
  assert.equal(await page.title(), "Kestrune - Home");
  await logOut();

  // The administrator edits the account, then deletes it.
  await logIn("Admin", "Pa55word");
  await browser.submitBy(() => page.click("#IWSETTINGS"));
  await browser.submitBy(() => page.click('#IWUSERS a:text-is("newbie")'));
  assert.equal(await page.inputValue("#IWDISPLAYNAME"), "New Bie");
  assert.ok(await page.isChecked("#IWAUTOADDCONTACTS"), "the User's own change is shown");
  await browser.shoot("admin-edit");
  await page.fill("#IWDISPLAYNAME", "Newly Named");
  await browser.submitBy(() => page.click("#IWOKAYMETH"));
  assert.equal(await page.title(), "Kestrune - Administration", `saved: ${dialogs}`);
  await browser.submitBy(() => page.click('#IWUSERS a:text-is("newbie")'));
  assert.equal(await page.inputValue("#IWDISPLAYNAME"), "Newly Named");
  await browser.submitBy(() => page.click("#IWCANCEL"));
  await page.check('#IWUSERS tr:has(a:text-is("newbie")) input[type="checkbox"]');
  await browser.submitBy(() => page.click("#IWDELUSER"));
  assert.doesNotMatch(await textOf(page, "#IWUSERS"), /newbie/);
  assert.match(await textOf(page, "#IWUSERS"), /mover/);
  assert.deepEqual(dialogs, [], "no alerts on the way");
  console.log("settings test passed");
});
