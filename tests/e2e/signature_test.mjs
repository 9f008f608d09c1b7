// A signature written in Chromium: Settings -> Create signature -> typed in the rich-text
// editor -> Save back on the settings page with "Add signature" ticked -> a new message
// started from the home page carries it. Screenshots of the signature page at desktop and phone size. Exits with
// 77 (skipped) when the program has no settings page to open the signature page from.
// Usage: node signature_test.mjs <kestrune> <output dir>
import assert from "node:assert/strict";
import { runServerTest, startPeers, testArguments } from "./kestrune_server.mjs";

const { serverPath, outputDir } = testArguments();
const peers = startPeers();
let skipped = false;
await runServerTest({ serverPath, outputDir, peers, user: { name: "signer", checkOnLogin: false } },
                    async ({ browser, page, dialogs, problems }) => {
  const home = await page.title();
  await browser.submitBy(() => page.click("#IWSETTINGS"));
  if (await page.title() === home || await page.locator("#IWCREATESIG").count() === 0) {
    console.log("signature test skipped: this build has no settings page (IWUserSettings) " +
                "to open the signature page from");
    skipped = true;
  } else {
    const settingsTitle = await page.title();
    await browser.submitBy(() => page.click("#IWCREATESIG"));
    assert.equal(await page.title(), "Kestrune - Signature");
    const area = page.locator(".kst-editor-area");
    await area.click();
    await page.keyboard.type("Best regards, ");
    await page.keyboard.press("Control+B");
    await page.keyboard.type("Signer");
    await browser.shoot("signature");
    await browser.submitBy(() => page.click("#IWSAVE"));
    assert.equal(await page.title(), settingsTitle);
    assert.equal(await page.isChecked("#IWADDSIG"), true);

    // Left without saving the settings page: the session's account carries the flag.
    await browser.submitBy(() => page.click("#IWHOMELINK"));
    await browser.submitBy(() => page.click("#IWCREATEEMAIL"));
    assert.equal(await page.title(), "Kestrune - New message");
    assert.match(await page.locator(".kst-editor-area").innerHTML(),
                 /Best regards, <(b|strong)>Signer<\/(b|strong)>/);
    assert.deepEqual(dialogs, []);
    assert.deepEqual(problems, []);
    console.log("signature test passed");
  }
});
if (skipped) process.exit(77);
