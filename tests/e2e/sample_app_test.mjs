// Opens the sample application in headless Chromium and works through it like a user:
// types, chooses, clicks, uploads a file, follows grid links, switches pages and reads
// the alerts the server sends. Usage: node sample_app_test.mjs <sample app> <output dir>
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

const [appPath, outputDir] = process.argv.slice(2);
if (!appPath || !outputDir) {
  console.error("usage: node sample_app_test.mjs <kestrune_sample_app> <output dir>");
  process.exit(2);
}

const home = mkdtempSync(path.join(tmpdir(), "kst-e2e-home-"));
const profile = mkdtempSync(path.join(tmpdir(), "kst-e2e-profile-"));
const app = spawn(appPath, ["--home", home, "--port", "0"], {
  stdio: ["ignore", "pipe", "inherit"],
});

function waitForStart() {
  return new Promise((resolve, reject) => {
    let output = "";
    const timer = setTimeout(() => reject(new Error("sample app did not start")), 15000);
    app.stdout.on("data", (chunk) => {
      output += chunk;
      const match = output.match(/Listening on (http:\/\/\S+)/);
      if (match) {
        clearTimeout(timer);
        resolve(match[1]);
      }
    });
    app.on("exit", (code) => reject(new Error(`sample app exited with ${code}`)));
  });
}

const dialogs = [];  // alerts, in order
const questions = [];  // confirmation questions, in order
let confirmAnswer = true;

async function nextDialog(count) {
  const deadline = Date.now() + 10000;
  while (dialogs.length < count) {
    if (Date.now() > deadline) throw new Error(`expected ${count} alerts, got ${dialogs}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  return dialogs[count - 1];
}

// Labels write spaces as non-breaking ones; compare them as plain spaces.
async function labelText(page, selector) {
  return (await page.textContent(selector)).replaceAll("\u00a0", " ");
}

// Clicks something that posts the page and waits for the answer to load.
async function submitBy(page, action) {
  await Promise.all([page.waitForNavigation({ waitUntil: "load" }), action()]);
}

let context;
try {
  const base = await waitForStart();
  context = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium",
    headless: true,
    args: [
      "--headless",
      "--no-sandbox",
      "--disable-gpu",
      "--disable-quic",
      "--no-first-run",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
    ],
  });
  const page = context.pages()[0] ?? (await context.newPage());
  page.on("dialog", async (dialog) => {
    if (dialog.type() === "confirm") {
      questions.push(dialog.message());
      await (confirmAnswer ? dialog.accept() : dialog.dismiss());
      return;
    }
    dialogs.push(dialog.message());
    await dialog.accept();
  });

  // The first request starts a session and lands on the sample page.
  await page.goto(base);
  assert.match(page.url(), /\/index$/);
  assert.equal(await page.title(), "Kestrune sample");
  // The template's own onload code ran after the toolkit's start-up script.
  assert.equal(await page.textContent("#Loaded"), "ready");

  // Type, choose and tick, then let the server report what it received.
  await page.fill("#IWNAME", "Ann O'Neil <x>");
  await page.fill("#IWPASSWORD", "secret");
  await page.check("input[name=IWAGREE]");
  await page.selectOption("#IWCOLOUR", { label: "Green" });
  await page.check("input[name=IWSIZE][value='1']");
  await page.fill("#IWNOTES", "line one\nline two");
  await page.check("#IWCHECKBOX2");
  await submitBy(page, () => page.click("#IWSHOW"));
  assert.equal(
    await nextDialog(1),
    "Name=Ann O'Neil <x>; Password length=6; Agree=yes; Colour=Green; Size=Large; " +
      "Notes lines=2; Checked=2",
  );
  // Values survive the round trip.
  assert.equal(await page.inputValue("#IWNAME"), "Ann O'Neil <x>");
  assert.equal(await page.inputValue("#IWCOLOUR"), "1");
  assert.equal(await page.inputValue("#IWNOTES"), "line one\nline two");
  assert.ok(await page.isChecked("#IWCHECKBOX2"));

  // Enter in the name field fires its submit event.
  await submitBy(page, () => page.press("#IWNAME", "Enter"));
  assert.equal(await nextDialog(2), "Hello, Ann O'Neil <x>");

  // Upload a file through the file field.
  const upload = path.join(home, "hello.txt");
  writeFileSync(upload, "Hello upload\n");
  await page.setInputFiles("#IWUPLOAD", upload);
  await submitBy(page, () => page.click("#IWSEND"));
  assert.equal(await nextDialog(3), "Uploaded hello.txt (13 bytes)");
  assert.equal(readFileSync(path.join(home, "Files", "upload.dat"), "utf8"), "Hello upload\n");

  // A download leaves the browser on the page, and the page still answers clicks.
  const [download] = await Promise.all([page.waitForEvent("download"), page.click("#IWGET")]);
  assert.equal(download.suggestedFilename(), "notes.txt");
  assert.equal(readFileSync(await download.path(), "utf8"), "line one\r\nline two");
  await page.waitForFunction(() => !window.GSubmitting, null, { timeout: 5000 });
  await submitBy(page, () => page.click("#IWSHOW"));
  assert.match(await nextDialog(4), /^Name=Ann O'Neil <x>; /);

  // Grid links fire the grid's cell click; a script in a cell is shown, never run.
  await submitBy(page, () => page.click("text=Minutes & notes"));
  assert.equal(await labelText(page, "#IWSUMMARY"), "Opened Minutes & notes");
  await submitBy(page, () => page.click("text=<script>alert('cell')</script>"));
  assert.equal(await labelText(page, "#IWSUMMARY"), "Opened <script>alert('cell')</script>");
  assert.equal(dialogs.length, 4, `unexpected alerts: ${dialogs}`);

  await page.screenshot({ path: path.join(outputDir, "sample_app.png"), fullPage: true });

  // A link with a confirmation posts only when the user says yes.
  confirmAnswer = false;
  await page.click("#IWCLEAR");
  await page.waitForTimeout(300);
  assert.deepEqual(questions, ["Clear the name? It's gone then."]);
  assert.equal(await page.inputValue("#IWNAME"), "Ann O'Neil <x>");
  confirmAnswer = true;
  await submitBy(page, () => page.click("#IWCLEAR"));
  assert.equal(questions.length, 2);
  assert.equal(await page.inputValue("#IWNAME"), "");
  await page.fill("#IWNAME", "Ann O'Neil <x>");

  // Switch to the second page and back; the first page kept its contents.
  await submitBy(page, () => page.click("#IWNEXT"));
  assert.equal(await page.textContent("h1"), "Second page");
  await submitBy(page, () => page.click("#IWBACK"));
  assert.equal(await page.title(), "Kestrune sample");
  assert.equal(await page.inputValue("#IWNAME"), "Ann O'Neil <x>");
  assert.equal(dialogs.length, 4, `unexpected alerts: ${dialogs}`);
  console.log("browser test passed");
} finally {
  if (context) await context.close();
  app.kill("SIGTERM");
  rmSync(profile, { recursive: true, force: true });
  rmSync(home, { recursive: true, force: true });
}
