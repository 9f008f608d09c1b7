// Signs in to a real headless server in Chromium: the login page, a wrong password's
// alert, the home page, logging out; screenshots of each at desktop and phone size.
// Usage: node signin_test.mjs <kestrune> <output dir>
import assert from "node:assert/strict";
import { execFileSync, spawn } from "node:child_process";
import { mkdirSync, mkdtempSync, rmSync, writeFileSync } from "node:fs";
import { createServer } from "node:net";
import { tmpdir } from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

const [serverPath, outputDir] = process.argv.slice(2);
if (!serverPath || !outputDir) {
  console.error("usage: node signin_test.mjs <kestrune> <output dir>");
  process.exit(2);
}
mkdirSync(outputDir, { recursive: true });

const home = mkdtempSync(path.join(tmpdir(), "kst-signin-home-"));
const profile = mkdtempSync(path.join(tmpdir(), "kst-signin-profile-"));
const passwordFile = path.join(home, "admin-password.txt");
writeFileSync(passwordFile, "Pa55word\n", { mode: 0o600 });
// A port that is free now (the server's settings take no 0).
const freePort = await new Promise((resolve) => {
  const probe = createServer().listen(0, "127.0.0.1", () => {
    const { port } = probe.address();
    probe.close(() => resolve(port));
  });
});
for (const [name, value] of [["Port", String(freePort)], ["EnableSSL", "0"], ["AllowWebReg", "1"]]) {
  execFileSync(serverPath, ["--home", home, "settings", "set", name, value]);
}
const server = spawn(
  serverPath,
  ["--headless", "--home", home, "--admin-password-file", passwordFile,
   "--smtp-server", "127.0.0.1", "--smtp-port", "25"],
  { stdio: ["ignore", "pipe", "inherit"] });

function waitForReady() {
  return new Promise((resolve, reject) => {
    let output = "";
    const timer = setTimeout(() => reject(new Error(`server did not start:\n${output}`)), 15000);
    server.stdout.on("data", (chunk) => {
      output += chunk;
      const port = output.match(/HTTP Port: (\d+)/);
      if (port && output.includes("Kestrune Server ready")) {
        clearTimeout(timer);
        resolve(`http://127.0.0.1:${port[1]}/`);
      }
    });
    server.on("exit", (code) => reject(new Error(`server exited with ${code}:\n${output}`)));
  });
}

const dialogs = [];
async function nextDialog(count) {
  const deadline = Date.now() + 10000;
  while (dialogs.length < count) {
    if (Date.now() > deadline) throw new Error(`expected ${count} alerts, got ${dialogs}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  return dialogs[count - 1];
}

async function submitBy(page, action) {
  await Promise.all([page.waitForNavigation({ waitUntil: "load" }), action()]);
}

const sizes = { desktop: { width: 1280, height: 800 }, phone: { width: 390, height: 844 } };
async function shoot(page, name) {
  for (const [label, size] of Object.entries(sizes)) {
    await page.setViewportSize(size);
    await page.screenshot({ path: path.join(outputDir, `${name}-${label}.png`), fullPage: true });
  }
  await page.setViewportSize(sizes.desktop);
}

let context;
try {
  const base = await waitForReady();
  context = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium",
    headless: true,
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  const page = context.pages()[0] ?? (await context.newPage());
  page.on("dialog", async (dialog) => {
    dialogs.push(dialog.message());
    await dialog.accept();
  });
  await page.setViewportSize(sizes.desktop);
  await page.goto(base, { waitUntil: "load" });
  assert.equal(await page.title(), "Kestrune - Sign in");
  // The user name field has the focus and its label.
  assert.equal(await page.evaluate(() => document.activeElement.id), "IWUSERNAME");
  assert.equal(await page.textContent("label[for=IWUSERNAME]"), "User name");
  await shoot(page, "login");

  // Registration: the form, one refused field, then a new account.
  await submitBy(page, () => page.click("#IWWEBREG"));
  assert.equal(await page.title(), "Kestrune - Register");
  assert.equal(await page.inputValue("#IWSERVERPORT"), "110");
  await shoot(page, "newuser");
  const fields = {
    IWUSERNAME: "newbie", IWUSERPASS: "pw", IWUSERCONFIRM: "pw", IWDISPLAYNAME: "New Person",
    IWEMAILADDRESS: "newbie@example.test", IWSERVERADDRESS: "127.0.0.1",
    IWSERVERUSERNAME: "newbie", IWSERVERUSERPASS: "pop",
  };
  for (const [id, value] of Object.entries(fields)) await page.fill(`#${id}`, value);
  await submitBy(page, () => page.click("#IWREGISTER"));
  assert.equal(await nextDialog(1), "Please read the terms of use and check the agree checkbox.");
  await page.check("#IWREADTERMS");
  await submitBy(page, () => page.click("#IWREGISTER"));
  assert.match(await nextDialog(2), /^Registration was successful/);
  assert.equal(await page.title(), "Kestrune - Sign in");
  dialogs.length = 0;

  await page.fill("#IWUSERNAME", "admin");
  await page.fill("#IWPASSWORD", "wrong");
  await submitBy(page, () => page.click("#IWSUBMIT"));
  assert.equal(await nextDialog(1), "Incorrect Username or Password.");
  assert.equal(await page.inputValue("#IWUSERNAME"), "admin");
  assert.equal(await page.inputValue("#IWPASSWORD"), "");

  await page.fill("#IWPASSWORD", "PA55WORD");
  // Enter in the password field logs in.
  await submitBy(page, () => page.press("#IWPASSWORD", "Enter"));
  assert.equal(await page.title(), "Kestrune - Home");
  assert.equal(await page.textContent("#IWUSERNAME"), "Admin");
  assert.match((await page.textContent("#IWINBOXSTATS")).replaceAll("\u00a0", " "),
               /no unread Mail/);
  await page.waitForFunction(() => document.getElementById("Clock").textContent.length > 0);
  await shoot(page, "home");

  // On a phone the folder list opens from the header button.
  await page.setViewportSize(sizes.phone);
  assert.equal(await page.isVisible("#IWINBOXLINK"), false);
  await page.click(".kst-menu-button");
  assert.equal(await page.isVisible("#IWINBOXLINK"), true);
  await page.screenshot({ path: path.join(outputDir, "home-phone-folders.png"), fullPage: true });
  await page.setViewportSize(sizes.desktop);

  await submitBy(page, () => page.click("#IWLOGOUT"));
  await page.waitForURL(/\/files\/logout\.htm$/);
  await shoot(page, "logout");
  // The session is gone: the address starts a new one at the login page.
  await page.goto(base, { waitUntil: "load" });
  assert.equal(await page.title(), "Kestrune - Sign in");
  assert.deepEqual(dialogs, ["Incorrect Username or Password."]);
  console.log("sign-in test passed");
} finally {
  if (context) await context.close();
  server.kill("SIGTERM");
  rmSync(profile, { recursive: true, force: true });
  rmSync(home, { recursive: true, force: true });
}
