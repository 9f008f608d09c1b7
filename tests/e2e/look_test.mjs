// Opens the mock-up pages of tests/e2e/look/ and the static pages of res/Files in headless
// Chromium, at a desktop and a phone size, in the light and the dark colour scheme; writes
// a screenshot of each to build/screenshots/ and checks what a user would notice: the
// stylesheet and every image load, nothing makes the page scroll sideways, the fields
// fill their row, links are not left black, focus is visible and the phone's folder
// button opens the folder list.
//   node tests/e2e/look_test.mjs [screenshot directory]
import assert from "node:assert/strict";
import { createReadStream, mkdirSync, statSync } from "node:fs";
import http from "node:http";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
const outputDir = path.resolve(process.argv[2] ?? path.join(root, "build/screenshots"));
mkdirSync(outputDir, { recursive: true });

// "/files/..." is res/Files (the server serves it case-insensitively, so "/Files/" too);
// "/look/..." the mock-ups.
const mounts = [
  ["/files/", path.join(root, "res/Files")],
  ["/look/", path.join(root, "tests/e2e/look")],
];
const types = { ".css": "text/css", ".gif": "image/gif", ".htm": "text/html; charset=utf-8" };

function resolveFile(urlPath) {
  const decoded = decodeURIComponent(urlPath);
  for (const [prefix, dir] of mounts) {
    if (!decoded.toLowerCase().startsWith(prefix)) continue;
    const file = path.resolve(dir, "." + decoded.slice(prefix.length - 1));
    if (!file.startsWith(dir + path.sep)) return null;
    try {
      if (statSync(file).isFile()) return file;
    } catch {
      return null;
    }
  }
  return null;
}

const missing = [];
const server = http.createServer((request, response) => {
  const file = resolveFile(new URL(request.url, "http://localhost").pathname);
  if (!file) {
    missing.push(request.url);
    response.writeHead(404).end();
    return;
  }
  response.writeHead(200, {
    "Content-Type": types[path.extname(file)] ?? "application/octet-stream",
    "X-Content-Type-Options": "nosniff",
  });
  createReadStream(file).pipe(response);
});
await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
const base = `http://127.0.0.1:${server.address().port}`;

const pages = [
  { name: "login", url: "/look/login.htm", fields: ["#IWUSERNAME", "#IWPASSWORD"] },
  { name: "newuser", url: "/look/newuser.htm", fields: ["#IWUSERNAME", "#IWSERVERUSERPASS"] },
  { name: "main", url: "/look/main.htm", frame: true },
  { name: "inbox", url: "/look/inbox.htm", frame: true, grid: "#IWINBOX" },
  { name: "logout", url: "/files/logout.htm" },
  { name: "terms", url: "/Files/terms.htm", focusable: false },
];
const viewports = [
  { name: "desktop", width: 1280, height: 800 },
  { name: "phone", width: 390, height: 844 },
  { name: "narrow", width: 320, height: 640, screenshot: false },
];
const schemes = ["light", "dark"];

const browser = await chromium.launch({
  executablePath: process.env.KESTRUNE_CHROMIUM ?? "/usr/bin/chromium",
  headless: true,
  args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking"],
});

const failures = [];
async function check(label, body) {
  try {
    await body();
  } catch (error) {
    failures.push(`${label}: ${error.message.split("\n")[0]}`);
  }
}

try {
  for (const scheme of schemes) {
    for (const viewport of viewports) {
      const context = await browser.newContext({
        viewport: { width: viewport.width, height: viewport.height },
        colorScheme: scheme,
        deviceScaleFactor: 1,
      });
      // The mock-ups call the toolkit's client functions; they do nothing here.
      await context.addInitScript(() => {
        for (const name of ["Initialize", "ReleaseIWCL", "Status", "SubmitClick",
          "SubmitClickConfirm", "CheckReturnKey", "FormDefaultSubmit", "NewWindow"]) {
          window[name] = () => false;
        }
      });
      const tab = await context.newPage();
      const errors = [];
      tab.on("pageerror", (error) => errors.push(error.message));
      for (const page of pages) {
        const label = `${page.name} ${viewport.name} ${scheme}`;
        await tab.goto(base + page.url, { waitUntil: "load" });

        await check(label, async () => {
          const sheet = await tab.evaluate(() => getComputedStyle(document.body).fontFamily);
          assert.match(sheet, /system-ui/, "the stylesheet did not apply");
          const broken = await tab.$$eval("img", (images) =>
            images.filter((img) => !img.complete || img.naturalWidth === 0).map((img) => img.src));
          assert.deepEqual(broken, [], "images that did not load");
          const overflow = await tab.evaluate(
            () => document.documentElement.scrollWidth - document.documentElement.clientWidth);
          assert.ok(overflow <= 0, `the page scrolls sideways by ${overflow}px`);
        });

        for (const field of page.fields ?? []) {
          await check(`${label} ${field}`, async () => {
            // The field's inline width is a share of its row; it must still fill the row.
            const [own, row] = await tab.$eval(field, (input) => [
              input.getBoundingClientRect().width,
              input.parentElement.getBoundingClientRect().width,
            ]);
            assert.ok(Math.abs(own - row) <= 1, `field ${own}px wide in a row of ${row}px`);
          });
        }

        await check(label, async () => {
          // The pages' head makes links black; on the dark scheme that would be unreadable.
          const colours = await tab.$$eval("a[href]", (links) =>
            links.map((a) => getComputedStyle(a).color));
          assert.ok(!colours.includes("rgb(0, 0, 0)"), "a link is left black");
        });

        await check(label, async () => {
          if (page.focusable === false) return;
          await tab.keyboard.press("Tab");
          const outline = await tab.evaluate(() => {
            const style = getComputedStyle(document.activeElement);
            return document.activeElement === document.body ? "body" : style.outlineStyle;
          });
          assert.notEqual(outline, "none", "the focused element shows no focus ring");
          assert.notEqual(outline, "body", "Tab reached nothing");
          await tab.evaluate(() => document.activeElement.blur());
        });

        if (page.frame) {
          await check(label, async () => {
            const nav = tab.locator(".kst-nav");
            if (viewport.width > 720) {
              assert.ok(await nav.isVisible(), "folder list hidden on a wide screen");
              assert.ok(!(await tab.locator(".kst-menu-button").isVisible()), "folder button shown");
            } else {
              assert.ok(!(await nav.isVisible()), "folder list open before the button is used");
              await tab.locator(".kst-menu-button").click();
              assert.ok(await nav.isVisible(), "the folder button does not open the list");
              if (viewport.screenshot !== false && page.name === "main") {
                await tab.screenshot({
                  path: path.join(outputDir, `${page.name}-folders-${viewport.name}-${scheme}.png`),
                  fullPage: true,
                });
              }
              await tab.locator(".kst-menu-button").click();
              assert.ok(!(await nav.isVisible()), "the folder button does not close the list");
            }
          });
        }

        if (page.grid) {
          await check(label, async () => {
            // A long list scrolls inside its box, never the whole page.
            const [grid, box] = await tab.$eval(page.grid, (table) => [
              table.getBoundingClientRect().right,
              table.closest(".kst-content").getBoundingClientRect().right,
            ]);
            assert.ok(grid <= box + 1 || viewport.width <= 720, `list runs out of its box`);
          });
        }

        if (viewport.screenshot !== false) {
          await tab.mouse.move(viewport.width - 1, viewport.height - 1);
          await tab.screenshot({
            path: path.join(outputDir, `${page.name}-${viewport.name}-${scheme}.png`),
            fullPage: true,
          });
        }
      }
      await check(`${viewport.name} ${scheme}`, async () => {
        assert.deepEqual(errors, [], "script errors");
      });
      await context.close();
    }
  }
  await check("server", async () => {
    const unexpected = missing.filter((url) => url !== "/favicon.ico");
    assert.deepEqual(unexpected, [], "files asked for and not found");
  });
} finally {
  await browser.close();
  server.close();
}

if (failures.length) {
  console.error(failures.join("\n"));
  process.exit(1);
}
console.log(`look: ${pages.length} pages checked; screenshots in ${outputDir}`);
