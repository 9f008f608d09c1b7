// Shared by the browser tests of the real server: a headless kestrune on a fresh home
// with Admin created unattended, Chromium, alerts collected in order, screenshots at a
// desktop and a phone size.
import { execFileSync, spawn } from "node:child_process";
import {
  chownSync, mkdirSync, mkdtempSync, readdirSync, readFileSync, renameSync, rmSync, writeFileSync,
} from "node:fs";
import { createServer } from "node:net";
import { tmpdir } from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";

export const sizes = { desktop: { width: 1280, height: 800 }, phone: { width: 390, height: 844 } };

// The command line of every browser test of the real server: <kestrune> <output dir>. Exits
// with the usage line when one is missing; makes the output directory.
export function testArguments() {
  const [serverPath, outputDir] = process.argv.slice(2);
  if (!serverPath || !outputDir) {
    console.error(`usage: node ${path.basename(process.argv[1])} <kestrune> <output dir>`);
    process.exit(2);
  }
  mkdirSync(outputDir, { recursive: true });
  return { serverPath, outputDir };
}

function freePort() {
  return new Promise((resolve) => {
    const probe = createServer().listen(0, "127.0.0.1", () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

// Starts the server with the settings given (name -> value) and resolves to its address.
export async function startServer(serverPath, settings, smtp) {
  const home = mkdtempSync(path.join(tmpdir(), "kst-e2e-home-"));
  const passwordFile = path.join(home, "admin-password.txt");
  writeFileSync(passwordFile, "Pa55word\n", { mode: 0o600 });
  const values = { Port: String(await freePort()), EnableSSL: "0", ...settings };
  for (const [name, value] of Object.entries(values)) {
    execFileSync(serverPath, ["--home", home, "settings", "set", name, value]);
  }
  const process = spawn(
    serverPath,
    ["--headless", "--home", home, "--admin-password-file", passwordFile,
     "--smtp-server", smtp.host, "--smtp-port", String(smtp.port)],
    { stdio: ["ignore", "pipe", "inherit"] });
  const base = await new Promise((resolve, reject) => {
    let output = "";
    const timer = setTimeout(() => reject(new Error(`server did not start:\n${output}`)), 15000);
    process.stdout.on("data", (chunk) => {
      output += chunk;
      const port = output.match(/HTTP Port: (\d+)/);
      if (port && output.includes("Kestrune Server ready")) {
        clearTimeout(timer);
        resolve(`http://127.0.0.1:${port[1]}/`);
      }
    });
    process.on("exit", (code) => reject(new Error(`server exited with ${code}:\n${output}`)));
  });
  return {
    base,
    home,
    // Ends the server (it saves its settings and users on the way out), then its home.
    async stop() {
      if (process.exitCode === null && process.signalCode === null) {
        const exited = new Promise((resolve) => process.once("exit", resolve));
        process.kill("SIGTERM");
        await exited;
      }
      rmSync(home, { recursive: true, force: true });
    },
  };
}

// Chromium with one page whose alerts are collected (and accepted) in order; extraArgs go
// to Chromium's command line (e.g. host names mapped to 127.0.0.1).
export async function openBrowser(outputDir, extraArgs = []) {
  mkdirSync(outputDir, { recursive: true });
  const profile = mkdtempSync(path.join(tmpdir(), "kst-e2e-profile-"));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium",
    headless: true,
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync",
           ...extraArgs],
  });
  const page = context.pages()[0] ?? (await context.newPage());
  const dialogs = [];
  page.on("dialog", async (dialog) => {
    dialogs.push(dialog.message());
    await dialog.accept();
  });
  await page.setViewportSize(sizes.desktop);
  return {
    page,
    dialogs,
    async nextDialog(count) {
      const deadline = Date.now() + 15000;
      while (dialogs.length < count) {
        if (Date.now() > deadline) throw new Error(`expected ${count} alerts, got ${dialogs}`);
        await new Promise((resolve) => setTimeout(resolve, 50));
      }
      return dialogs[count - 1];
    },
    // Clicks something that posts the page and waits for the answer to load.
    async submitBy(action) {
      await Promise.all([page.waitForNavigation({ waitUntil: "load" }), action()]);
    },
    async shoot(name) {
      for (const [label, size] of Object.entries(sizes)) {
        await page.setViewportSize(size);
        await page.screenshot({ path: path.join(outputDir, `${name}-${label}.png`), fullPage: true });
      }
      await page.setViewportSize(sizes.desktop);
    },
    async close() {
      await context.close();
      rmSync(profile, { recursive: true, force: true });
    },
  };
}

// Writes the message text on the compose page: into the rich-text editor's area when it
// runs (typed, as `typed` when given), else into the plain text area.
export async function writeBody(page, text, typed = text) {
  if (await page.isVisible("#IWEMAILBODY")) {
    await page.fill("#IWEMAILBODY", text);
  } else {
    await page.locator("[contenteditable=true]").first().click();
    await page.keyboard.type(typed);
  }
}

// Label and link texts may hold non-breaking spaces; compare them as plain ones.
export async function textOf(page, selector) {
  return (await page.textContent(selector)).replaceAll("\u00a0", " ");
}

// Starts Dovecot and the SMTP recorders with scripts/peers and claims the pool's first
// mailbox, box001 (its POP3 password is "pw-box001"). deliver(text) puts one message into
// it as a mail server would; recorded(from) gives the messages the SMTP recorder took from
// that envelope sender, oldest first, as { rcpt, data }.
export function startPeers() {
  const script = path.join(path.dirname(fileURLToPath(import.meta.url)), "../../scripts/peers");
  const dir = mkdtempSync(path.join(tmpdir(), "kst-e2e-peers-"));
  execFileSync(script, ["start", dir], { stdio: ["ignore", "ignore", "inherit"] });
  const env = Object.fromEntries(
    readFileSync(path.join(dir, "peers.env"), "utf8").trim().split("\n")
      .map((line) => [line.slice(0, line.indexOf("=")), line.slice(line.indexOf("=") + 1)]));
  const box = "box001";
  mkdirSync(path.join(env.POP3_MAIL_ROOT, ".claims", box), { recursive: true });
  const maildir = path.join(env.POP3_MAIL_ROOT, box, "Maildir");
  let delivered = 0;
  return {
    env,
    box,
    deliver(text) {
      ++delivered;
      const name = `${1000000000 + delivered}.M${delivered}P${process.pid}.test`;
      const temp = path.join(maildir, "tmp", name);
      writeFileSync(temp, text);
      chownSync(temp, Number(env.POP3_UID), Number(env.POP3_GID));
      renameSync(temp, path.join(maildir, "new", name));
      return delivered;
    },
    recorded(from) {
      const dir = env.SMTP_RECORD_DIR;
      const out = [];
      for (const name of readdirSync(dir).sort()) {
        if (name.startsWith(".")) continue;
        const envelope = readFileSync(path.join(dir, name, "envelope"), "utf8").split("\n");
        if (!envelope.includes(`mail_from ${from}`)) continue;
        out.push({
          rcpt: envelope.filter((line) => line.startsWith("rcpt_to ")).map((line) => line.slice(8)),
          data: readFileSync(path.join(dir, name, "data"), "latin1"),
        });
      }
      return out;
    },
    stop() {
      execFileSync(script, ["stop", dir], { stdio: "ignore" });
      rmSync(dir, { recursive: true, force: true });
    },
  };
}

// Registers `name` (password "pw") on the login page at `base` with the peers' POP3 mailbox
// `box`, then logs in: the road every mail test starts on. checkOnLogin ticks the fetch at
// log-in, leaveOnServer keeps the messages on the POP3 server, testConnection tests the
// mailbox first (and expects it to pass). The alerts are consumed; the page is left on the
// home page.
export async function registerAndLogIn(browser, base, { name, env, box, checkOnLogin = true,
                                                       leaveOnServer = false,
                                                       testConnection = false }) {
  const { page, dialogs } = browser;
  await page.goto(base, { waitUntil: "load" });
  await browser.submitBy(() => page.click("#IWWEBREG"));
  const fields = {
    IWUSERNAME: name, IWUSERPASS: "pw", IWUSERCONFIRM: "pw",
    IWDISPLAYNAME: name[0].toUpperCase() + name.slice(1), IWEMAILADDRESS: `${name}@example.test`,
    IWSERVERADDRESS: "127.0.0.1", IWSERVERPORT: env.POP3_PORT, IWSERVERUSERNAME: box,
    IWSERVERUSERPASS: `pw-${box}`,
  };
  for (const [id, value] of Object.entries(fields)) await page.fill(`#${id}`, value);
  if (testConnection) {
    await browser.submitBy(() => page.click("#IWTESTCONNECTION"));
    const tested = await browser.nextDialog(1);
    if (tested !== "Your Pop server tested correctly.") {
      throw new Error(`connection test of ${name} failed: ${tested}`);
    }
  }
  if (checkOnLogin) await page.check("#IWLOGONCHECKEMAIL");
  if (leaveOnServer) await page.check("#IWLEAVEMSGS");
  await page.check("#IWREADTERMS");
  const before = dialogs.length;
  await browser.submitBy(() => page.click("#IWREGISTER"));
  const registered = await browser.nextDialog(before + 1);
  if (!/^Registration was successful/.test(registered)) {
    throw new Error(`registration of ${name} failed: ${registered}`);
  }
  dialogs.length = 0;
  await page.fill("#IWUSERNAME", name);
  await page.fill("#IWPASSWORD", "pw");
  await browser.submitBy(() => page.click("#IWSUBMIT"));
}

// Runs one browser test of the server at serverPath: the server started with `settings` (web
// registration on when there is a `user`), its SMTP relay the recorder of `peers` (without
// peers a closed port); Chromium opened with browserArgs, its page errors collected in
// `problems`; with `user` ({ name, checkOnLogin, ... } as registerAndLogIn takes them), that
// user registered on the peers' mailbox and logged in. test({ server, browser, page,
// dialogs, problems, atEnd }) does the rest and its result is returned. Whatever happens the
// browser, the server, the functions given to atEnd (last first) and the peers are ended.
export async function runServerTest({ serverPath, outputDir, peers, settings = {},
                                      browserArgs = [], user }, test) {
  const cleanups = [];
  let server;
  let browser;
  try {
    const smtp = peers ? { host: "127.0.0.1", port: Number(peers.env.SMTP_PORT) }
      : { host: "127.0.0.1", port: 25 };
    server = await startServer(serverPath, { ...(user ? { AllowWebReg: "1" } : {}), ...settings },
                               smtp);
    browser = await openBrowser(outputDir, browserArgs);
    const { page, dialogs } = browser;
    const problems = [];
    page.on("pageerror", (error) => problems.push(`page error: ${error.message}`));
    if (user) {
      await registerAndLogIn(browser, server.base, { env: peers.env, box: peers.box, ...user });
    }
    return await test({ server, browser, page, dialogs, problems,
                        atEnd: (cleanup) => cleanups.push(cleanup) });
  } finally {
    if (browser) await browser.close();
    for (const cleanup of cleanups.reverse()) await cleanup();
    if (server) await server.stop();
    if (peers) peers.stop();
  }
}
