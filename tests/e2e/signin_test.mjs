// Signs in to a real headless server in Chromium: the login page, registration, a wrong
// password's alert, the home page, the phone's folder button, logging out; screenshots
// of each at desktop and phone size. Usage: node signin_test.mjs <kestrune> <output dir>
import assert from "node:assert/strict";
import path from "node:path";
import { runServerTest, sizes, testArguments, textOf } from "./kestrune_server.mjs";

const { serverPath, outputDir } = testArguments();

await runServerTest({ serverPath, outputDir, settings: { AllowWebReg: "1" } },
                    async ({ server, browser, page, dialogs }) => {
  await page.goto(server.base, { waitUntil: "load" });
  assert.equal(await page.title(), "Kestrune - Sign in");
  // The user name field has the focus and its label.
  assert.equal(await page.evaluate(() => document.activeElement.id), "IWUSERNAME");
  assert.equal(await page.textContent("label[for=IWUSERNAME]"), "User name");
  await browser.shoot("login");

  // Registration: the form, one refused check, then a new account.
  await browser.submitBy(() => page.click("#IWWEBREG"));
  assert.equal(await page.title(), "Kestrune - Register");
  assert.equal(await page.inputValue("#IWSERVERPORT"), "110");
  await browser.shoot("newuser");
  const fields = {
    IWUSERNAME: "newbie", IWUSERPASS: "pw", IWUSERCONFIRM: "pw", IWDISPLAYNAME: "New Person",
    IWEMAILADDRESS: "newbie@example.test", IWSERVERADDRESS: "127.0.0.1",
    IWSERVERUSERNAME: "newbie", IWSERVERUSERPASS: "pop",
  };
  for (const [id, value] of Object.entries(fields)) await page.fill(`#${id}`, value);
  await browser.submitBy(() => page.click("#IWREGISTER"));
  assert.equal(await browser.nextDialog(1),
               "Please read the terms of use and check the agree checkbox.");
  await page.check("#IWREADTERMS");
  await browser.submitBy(() => page.click("#IWREGISTER"));
  assert.match(await browser.nextDialog(2), /^Registration was successful/);
  assert.equal(await page.title(), "Kestrune - Sign in");
  dialogs.length = 0;

  await page.fill("#IWUSERNAME", "admin");
  await page.fill("#IWPASSWORD", "wrong");
  await browser.submitBy(() => page.click("#IWSUBMIT"));
  assert.equal(await browser.nextDialog(1), "Incorrect Username or Password.");
  assert.equal(await page.inputValue("#IWUSERNAME"), "admin");
  assert.equal(await page.inputValue("#IWPASSWORD"), "");

  await page.fill("#IWPASSWORD", "PA55WORD");
  // Enter in the password field logs in.
  await browser.submitBy(() => page.press("#IWPASSWORD", "Enter"));
  assert.equal(await page.title(), "Kestrune - Home");
  assert.equal(await page.textContent("#IWUSERNAME"), "Admin");
  assert.match(await textOf(page, "#IWINBOXSTATS"), /no unread Mail/);
  await page.waitForFunction(() => document.getElementById("Clock").textContent.length > 0);
  await browser.shoot("home");

  // On a phone the folder list opens from the header button.
  await page.setViewportSize(sizes.phone);
  assert.equal(await page.isVisible("#IWINBOXLINK"), false);
  await page.click(".kst-menu-button");
  assert.equal(await page.isVisible("#IWINBOXLINK"), true);
  await page.screenshot({ path: path.join(outputDir, "home-phone-folders.png"), fullPage: true });
  await page.setViewportSize(sizes.desktop);

  await browser.submitBy(() => page.click("#IWLOGOUT"));
  await page.waitForURL(/\/files\/logout\.htm$/);
  await browser.shoot("logout");
  // The session is gone: the address starts a new one at the login page.
  await page.goto(server.base, { waitUntil: "load" });
  assert.equal(await page.title(), "Kestrune - Sign in");
  assert.deepEqual(dialogs, ["Incorrect Username or Password."]);
  console.log("sign-in test passed");
});
