// Browser test of the rich-text editor (res/Files/editor.js) in headless Chromium, without
// the server: a small HTTP server here serves res/Files, res/js and the compose page
// fixture of tests/e2e/editor/, and records the form the page posts. Types and formats by
// keyboard and mouse, links through the address dialog, pastes hostile HTML, posts with
// the toolkit's form.submit(), loads a reply's quote, works the toolbar by keyboard alone,
// and writes screenshots at a desktop and a phone size.
//   node tests/e2e/editor_test.mjs [output dir]
import assert from "node:assert/strict";
import { mkdirSync, readFileSync } from "node:fs";
import http from "node:http";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
const outputDir = path.resolve(process.argv[2] ?? path.join(root, "build/screenshots/editor"));
mkdirSync(outputDir, { recursive: true });

// The quote block a reply starts with, with what a hostile original could leave in it.
const replyBody =
  '<p>Thanks, see below.</p><div style="color:red" onclick="window.pwned=1">On Monday, ' +
  '<b>Ann</b> wrote:</div><blockquote type="cite" style="border-left:2px solid">' +
  '<img src="/beacon/reply.gif" onerror="window.pwned=2">Meet at <a href="https://' +
  'example.org/map?a=1&amp;b=2" target="_blank">the cafe</a> &lt;noon&gt;' +
  '<script>window.pwned=3</script><a href="javascript:window.pwned=4">here</a></blockquote>';

function EscapeHtml(text) {
  return text.replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;");
}

const fixture = readFileSync(path.join(root, "tests/e2e/editor/compose.htm"), "utf8");
const fixtures = {
  "/compose.htm": fixture.replace("{%BODY%}", ""),
  "/reply.htm": fixture.replace("{%BODY%}", EscapeHtml(replyBody)),
  // The signature page's form has no KstBodyIsHtml field.
  "/signature.htm": fixture.replace("{%BODY%}", "<p>Ann</p>")
    .replace(/<input type="hidden" name="KstBodyIsHtml"[^>]*>/, ""),
};
const mounts = [
  ["/files/", path.join(root, "res/Files")],
  ["/js/", path.join(root, "res/js")],
];
const types = { ".css": "text/css", ".gif": "image/gif", ".js": "text/javascript" };

const posts = [];  // the bodies of the form posts, in order
const unexpected = [];  // requests for anything else (a beacon image, say)

const server = http.createServer((request, response) => {
  const urlPath = new URL(request.url, "http://localhost").pathname;
  if (request.method === "POST" && urlPath === "/post") {
    let body = "";
    request.on("data", (chunk) => (body += chunk));
    request.on("end", () => {
      posts.push(new URLSearchParams(body));
      response.writeHead(200, { "Content-Type": "text/html; charset=utf-8" });
      response.end("<!DOCTYPE html><title>Posted</title><p>Posted</p>");
    });
    return;
  }
  if (fixtures[urlPath]) {
    response.writeHead(200, { "Content-Type": "text/html; charset=utf-8" });
    response.end(fixtures[urlPath]);
    return;
  }
  for (const [prefix, dir] of mounts) {
    if (!urlPath.toLowerCase().startsWith(prefix)) continue;
    const file = path.resolve(dir, "." + decodeURIComponent(urlPath.slice(prefix.length - 1)));
    if (!file.startsWith(dir + path.sep)) break;
    try {
      const bytes = readFileSync(file);
      response.writeHead(200, { "Content-Type": types[path.extname(file)] ?? "text/plain" });
      response.end(bytes);
      return;
    } catch {
      break;
    }
  }
  if (urlPath === "/favicon.ico") {
    response.writeHead(204).end();
    return;
  }
  unexpected.push(request.url);
  response.writeHead(404).end();
});
await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
const base = `http://127.0.0.1:${server.address().port}`;

const browser = await chromium.launch({
  executablePath: process.env.KESTRUNE_CHROMIUM ?? "/usr/bin/chromium",
  headless: true,
  args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking"],
});

// A fresh page on a fixture. Dialogs are answered from `answers` in order and recorded;
// page errors and console messages are collected and must stay empty.
async function Open(fixturePath, options = {}) {
  const context = await browser.newContext({
    viewport: options.viewport ?? { width: 1280, height: 800 },
    colorScheme: options.scheme ?? "light",
    deviceScaleFactor: 1,
  });
  const page = await context.newPage();
  const state = { page, context, dialogs: [], answers: [], problems: [] };
  page.on("dialog", async (dialog) => {
    state.dialogs.push(`${dialog.type()}: ${dialog.message()}`);
    if (dialog.type() === "prompt") {
      const answer = state.answers.shift();
      if (answer === null) await dialog.dismiss();
      else await dialog.accept(answer ?? "");
    } else {
      await dialog.accept();
    }
  });
  page.on("pageerror", (error) => state.problems.push(`page error: ${error.message}`));
  page.on("console", (message) => state.problems.push(`console: ${message.text()}`));
  await page.goto(base + fixturePath, { waitUntil: "load" });
  return state;
}

async function Body(page) {
  return page.$eval("#IWEMAILBODY", (textarea) => textarea.value);
}

async function Flag(page) {
  return page.$eval('input[name="KstBodyIsHtml"]', (input) => input.value);
}

async function Pressed(page, name) {
  return page.getAttribute(`.kst-editor-toolbar button[aria-label="${name}"]`, "aria-pressed");
}

// What has the focus: a toolbar button's label, the area, or an element's id.
async function Focused(page) {
  return page.evaluate(() => {
    const element = document.activeElement;
    if (element.classList.contains("kst-editor-area")) return "area";
    return element.getAttribute("aria-label") ?? element.id;
  });
}

async function Paste(page, data) {
  await page.evaluate((items) => {
    const transfer = new DataTransfer();
    for (const [type, value] of Object.entries(items)) {
      if (type === "file") {
        transfer.items.add(new File([new Uint8Array([71, 73, 70])], value, { type: "image/gif" }));
      } else {
        transfer.setData(type, value);
      }
    }
    const event = new ClipboardEvent("paste", {
      clipboardData: transfer, bubbles: true, cancelable: true,
    });
    document.querySelector(".kst-editor-area").dispatchEvent(event);
  }, data);
}

const tests = [];
function Test(name, body) {
  tests.push({ name, body });
}

Test("the textarea becomes a toolbar and an editing area in its place", async () => {
  const { page, problems, context } = await Open("/compose.htm");
  assert.equal(await page.isVisible("#IWEMAILBODY"), false);
  assert.equal(await page.$eval("#IWEMAILBODY", (t) => t.form.name), "SubmitForm");
  const buttons = await page.$$eval(".kst-editor-toolbar button", (list) =>
    list.map((b) => [b.type, b.getAttribute("aria-label"), b.getAttribute("aria-pressed")]));
  assert.deepEqual(buttons, [
    ["button", "Bold", "false"],
    ["button", "Italic", "false"],
    ["button", "Underline", "false"],
    ["button", "Bulleted list", "false"],
    ["button", "1. List \u2013 Numbered list", "false"],
    ["button", "Quote", "false"],
    ["button", "Link", null],
    ["button", "Clear formatting", null],
  ]);
  assert.equal(await page.getAttribute(".kst-editor-toolbar", "role"), "toolbar");
  const area = await page.$eval(".kst-editor-area", (a) => [
    a.isContentEditable, a.getAttribute("role"),
    document.getElementById(a.getAttribute("aria-labelledby")).textContent]);
  assert.deepEqual(area, [true, "textbox", "Message"]);
  // The body is HTML from the start, even when the user never types.
  assert.equal(await Body(page), "");
  assert.equal(await Flag(page), "1");
  // A click on the field's label puts the caret in the area.
  await page.click('label[for="IWEMAILBODY"]');
  assert.equal(await Focused(page), "area");
  assert.deepEqual(problems, []);
  await context.close();
});

Test("typing, bold by Ctrl+B and by the button, a list and a quote", async () => {
  const { page, problems, context } = await Open("/compose.htm");
  await page.click(".kst-editor-area");
  await page.keyboard.type("Hello ");
  await page.keyboard.press("Control+b");
  assert.equal(await Pressed(page, "Bold"), "true");
  await page.keyboard.type("bold");
  await page.keyboard.press("Control+b");
  assert.equal(await Pressed(page, "Bold"), "false");
  await page.keyboard.type(" and ");
  await page.click('button[aria-label="Bold"]');
  assert.equal(await Pressed(page, "Bold"), "true");
  assert.equal(await Focused(page), "area");
  await page.keyboard.type("more");
  await page.click('button[aria-label="Bold"]');
  await page.keyboard.press("Control+i");
  await page.keyboard.type(" now");
  await page.keyboard.press("Control+i");
  assert.equal(await Body(page), "Hello <b>bold</b>&nbsp;and <b>more</b><i>&nbsp;now</i>");

  await page.keyboard.press("Enter");
  await page.click('button[aria-label="Bulleted list"]');
  assert.equal(await Pressed(page, "Bulleted list"), "true");
  await page.keyboard.type("one");
  await page.keyboard.press("Enter");
  await page.keyboard.press("Control+u");
  await page.keyboard.type("two");
  await page.keyboard.press("Control+u");
  await page.keyboard.press("Enter");
  await page.keyboard.press("Enter");  // an empty item ends the list
  assert.equal(await Pressed(page, "Bulleted list"), "false");
  await page.click('button[aria-label^="1. List"]');
  await page.keyboard.type("first");
  await page.keyboard.press("Enter");
  await page.keyboard.press("Enter");
  await page.click('button[aria-label="Quote"]');
  assert.equal(await Pressed(page, "Quote"), "true");
  await page.keyboard.type("quoted");
  assert.equal(
    await Body(page),
    "Hello <b>bold</b>&nbsp;and <b>more</b><i>&nbsp;now</i>" +
      "<div><ul><li>one</li><li><u>two</u></li></ul><div><ol><li>first</li></ol>" +
      "<blockquote>quoted</blockquote></div></div>");
  // The quote button again takes the line out of the quote and keeps it a line.
  await page.click('button[aria-label="Quote"]');
  assert.equal(await Pressed(page, "Quote"), "false");
  await page.keyboard.type("!");
  assert.equal(
    await Body(page),
    "Hello <b>bold</b>&nbsp;and <b>more</b><i>&nbsp;now</i>" +
      "<div><ul><li>one</li><li><u>two</u></li></ul><div><ol><li>first</li></ol>" +
      "<div>quoted!</div></div></div>");

  // Clear formatting takes bold, italic and underline off the selection.
  await page.keyboard.press("Control+a");
  await page.click('button[aria-label="Clear formatting"]');
  const cleared = await Body(page);
  assert.doesNotMatch(cleared, /<[biu]>/);
  assert.match(cleared, /^Hello bold&nbsp;and more&nbsp;now<div><ul>/);
  assert.equal(await Flag(page), "1");
  assert.deepEqual(problems, []);
  await context.close();
});

Test("links: the address asked for, only http:, https: and mailto: taken", async () => {
  const state = await Open("/compose.htm");
  const { page, problems, context, dialogs, answers } = state;
  await page.click(".kst-editor-area");
  await page.keyboard.type("see the site");
  for (let i = 0; i < 4; i++) await page.keyboard.press("Shift+ArrowLeft");
  answers.push("https://example.org/a?b=1&c=2");
  await page.click('button[aria-label="Link"]');
  assert.equal(await Body(page), 'see the <a href="https://example.org/a?b=1&amp;c=2">site</a>');
  assert.deepEqual(dialogs, ["prompt: Link address (http:, https: or mailto:)"]);

  // A script address is refused with a message and leaves the text as it was.
  await page.keyboard.press("End");
  await page.keyboard.type(" or this");
  for (let i = 0; i < 4; i++) await page.keyboard.press("Shift+ArrowLeft");
  answers.push(" JavaScript:window.pwned=1");
  await page.click('button[aria-label="Link"]');
  assert.equal(dialogs[2], "alert: Only http:, https: and mailto: addresses can be linked.");
  answers.push("java\tscript:window.pwned=1");
  await page.keyboard.press("Control+k");
  answers.push("data:text/html,<script>window.pwned=1</script>");
  await page.keyboard.press("Control+k");
  assert.deepEqual(dialogs.slice(3), [
    "prompt: Link address (http:, https: or mailto:)",
    "alert: Only http:, https: and mailto: addresses can be linked.",
    "prompt: Link address (http:, https: or mailto:)",
    "alert: Only http:, https: and mailto: addresses can be linked.",
  ]);
  assert.equal(await Body(page),
    'see the <a href="https://example.org/a?b=1&amp;c=2">site</a>&nbsp;or this');

  // Ctrl+K with a bare address makes a mailto: link; with nothing selected the address
  // is written as the link's text. A cancelled dialog changes nothing.
  answers.push("ann@example.org");
  await page.keyboard.press("Control+k");
  await page.keyboard.press("End");
  await page.keyboard.type(", ");
  answers.push(null);
  await page.keyboard.press("Control+k");
  answers.push("www.example.org");
  await page.keyboard.press("Control+k");
  assert.equal(await Body(page),
    'see the <a href="https://example.org/a?b=1&amp;c=2">site</a>&nbsp;or ' +
      '<a href="mailto:ann@example.org">this</a>,&nbsp;<a href="https://www.example.org/">' +
      "https://www.example.org/</a>");
  assert.equal(await page.evaluate(() => window.pwned), undefined);
  assert.deepEqual(problems, []);
  await context.close();
});

Test("paste: hostile HTML cleaned, images as data dropped, plain text kept", async () => {
  const { page, problems, context } = await Open("/compose.htm");
  await page.click(".kst-editor-area");
  await page.keyboard.type("Start ");
  await Paste(page, {
    "text/html":
      "<html><head><style>p{color:red}</style><title>T</title></head><body>" +
      '<!--StartFragment--><p style="font-size:40px" class="x" onclick="window.pwned=1">' +
      'Big <img src="/beacon/paste.gif" onerror="window.pwned=2"><strong>words</strong>' +
      "</p><script>window.pwned=3</script>" +
      '<a href="javascript:window.pwned=4" style="color:red">bad link</a> ' +
      '<a href=" https://example.org/ok " title="t">good link</a>' +
      '<img src="data:image/png;base64,iVBORw0KGgo=">' +
      '<span style="font-weight:bold" lang="en">span</span>' +
      "<iframe src=\"/beacon/frame\"></iframe><svg><a href=\"https://x.test/\">svg</a></svg>" +
      "<h1>Title</h1><table><tr><td>a</td><td>b</td></tr></table>" +
      "<form action=\"/beacon/form\"><input value=\"v\"><button>Go</button></form>" +
      "<!--EndFragment--></body></html>",
    "text/plain": "ignored when there is HTML",
  });
  // Give a beacon or a handler the chance to fire before looking.
  await page.waitForTimeout(300);
  const html = await Body(page);
  assert.equal(html,
    "Start&nbsp;Big <strong>words</strong><br>bad link " +
      '<a href="https://example.org/ok">good link</a>span' +
      "<div>Title</div><div><div>a b</div></div>");
  const inArea = await page.$$eval(".kst-editor-area *", (list) => list.map((e) =>
    [e.localName, ...Array.from(e.attributes, (a) => a.name)].join(" ")));
  for (const element of inArea) {
    assert.match(element, /^(p|div|br|b|strong|i|em|u|s|ul|ol|li|blockquote|span|a href|a)$/,
      `the area holds <${element}>`);
  }

  // Plain text keeps its lines; a pasted image file adds nothing.
  await page.keyboard.press("Control+End");
  await Paste(page, { "text/plain": "line <1>\nline 2" });
  await Paste(page, { file: "shot.gif" });
  assert.equal(await Body(page), html.replace(/<div><div>a b<\/div><\/div>$/,
    "<div><div>a bline &lt;1&gt;</div>line 2</div>"));
  assert.notEqual(await Body(page), html);
  // HTML dropped in from outside is cleaned the same way.
  await page.evaluate(() => {
    const area = document.querySelector(".kst-editor-area");
    area.replaceChildren("Drop here:");
    const transfer = new DataTransfer();
    transfer.setData("text/html",
      '<img src="/beacon/drop.gif" onerror="window.pwned=5"><i style="color:red">dropped</i>');
    const box = area.getBoundingClientRect();
    area.dispatchEvent(new DragEvent("drop", {
      dataTransfer: transfer, bubbles: true, cancelable: true,
      clientX: box.right - 5, clientY: box.bottom - 5,
    }));
  });
  await page.waitForTimeout(300);
  assert.equal(await Body(page), "Drop here:<i>dropped</i>");
  assert.equal(await page.evaluate(() => window.pwned), undefined);
  assert.deepEqual(unexpected, []);
  assert.deepEqual(problems, []);
  await context.close();
});

Test("the allow-list cleaner on its own", async () => {
  const { page, context } = await Open("/compose.htm");
  const cases = [
    ["<b>b</b><strong>s</strong><i>i</i><em>e</em><u>u</u><s>s</s>",
      "<b>b</b><strong>s</strong><i>i</i><em>e</em><u>u</u><s>s</s>"],
    ['<p align="center" id="x">p</p><div dir="rtl">d</div>a<br clear="all">b',
      "<p>p</p><div>d</div>a<br>b"],
    ["<ul><li>a<ol><li>b</li></ol></li></ul><blockquote cite=x>q</blockquote>",
      "<ul><li>a<ol><li>b</li></ol></li></ul><blockquote>q</blockquote>"],
    ['<a href="HTTPS://Example.ORG/x y">l</a>', '<a href="https://example.org/x%20y">l</a>'],
    ['<a href="mailto:ann@example.org?subject=Hi">m</a>',
      '<a href="mailto:ann@example.org?subject=Hi">m</a>'],
    ['<a href="/relative">r</a><a href="vbscript:x">v</a><a href="ftp://x/">f</a><a>n</a>',
      "rvfn"],
    ['<a href="jav&#x09;ascript:alert(1)">e</a><a href="&#106;avascript:x">j</a>', "ej"],
    ["<font color=red>f</font><center>c</center><pre>a\n b</pre>",
      "f<div>c</div><div>a<br> b</div>"],
    ["<select><option>o</option></select><textarea>t</textarea><noscript>n</noscript>", ""],
    ["<math><mi>x</mi></math><svg><script>alert(1)</script></svg>&lt;tag&gt; &amp;",
      "&lt;tag&gt; &amp;"],
    ["<b>" + "<span>".repeat(150) + "deep" + "</span>".repeat(150) + "</b>",
      "<b>" + "<span>".repeat(99) + "deep" + "</span>".repeat(99) + "</b>"],
  ];
  for (const [input, expected] of cases) {
    assert.equal(await page.evaluate((html) => window.KstEditor.CleanHtml(html), input),
      expected, input);
  }
  await context.close();
});

Test("form.submit() from script posts the area's HTML and KstBodyIsHtml=1", async () => {
  const { page, problems, context } = await Open("/compose.htm");
  await page.click(".kst-editor-area");
  await page.keyboard.type("Dear Bob,");
  // A change the browser reports with no input event (a spelling fix, say) still goes out.
  await page.evaluate(() => {
    const area = document.querySelector(".kst-editor-area");
    area.insertAdjacentHTML("beforeend",
      '<div style="color:red">See <u onclick="x()">you</u></div>');
  });
  await Promise.all([
    page.waitForNavigation({ waitUntil: "load" }),
    // The toolkit's SubmitClick (form.submit(), no submit event) while the area keeps the
    // focus, as when a shortcut or a timer posts the page.
    page.evaluate(() => SubmitClick("IWSEND", "", false)),
  ]);
  assert.equal(await page.textContent("p"), "Posted");
  assert.equal(posts.length, 1);
  const post = posts.pop();
  assert.equal(post.get("IW_Action"), "IWSEND");
  assert.equal(post.get("IWTO"), "bob@example.org");
  assert.equal(post.get("IWEMAILBODY"), "Dear Bob,<div>See <u>you</u></div>");
  assert.equal(post.get("KstBodyIsHtml"), "1");
  assert.deepEqual(problems, []);
  await context.close();
});

Test("a reply's quote block loads as cleaned HTML and posts unchanged", async () => {
  const { page, problems, context } = await Open("/reply.htm");
  await page.waitForTimeout(300);
  const expected =
    "<p>Thanks, see below.</p><div>On Monday, <b>Ann</b> wrote:</div><blockquote>Meet at " +
    '<a href="https://example.org/map?a=1&amp;b=2">the cafe</a> &lt;noon&gt;here</blockquote>';
  assert.equal(await page.$eval(".kst-editor-area", (a) => a.innerHTML), expected);
  assert.equal(await Body(page), expected);
  assert.equal(await Flag(page), "1");
  assert.equal(await page.evaluate(() => window.pwned), undefined);
  assert.deepEqual(unexpected, []);
  // The user writes above the quote and posts through form.submit().
  await page.click(".kst-editor-area p");
  await page.keyboard.press("Home");
  await page.keyboard.type("Yes! ");
  await Promise.all([
    page.waitForNavigation({ waitUntil: "load" }),
    page.evaluate(() => document.forms.SubmitForm.submit()),
  ]);
  const post = posts.pop();
  assert.equal(post.get("IWEMAILBODY"), expected.replace("<p>Thanks", "<p>Yes! Thanks"));
  assert.equal(post.get("KstBodyIsHtml"), "1");
  assert.deepEqual(problems, []);
  await context.close();
});

Test("a form without KstBodyIsHtml (the signature page) posts its HTML", async () => {
  const { page, problems, context } = await Open("/signature.htm");
  await page.click(".kst-editor-area");
  await page.keyboard.press("Control+End");
  await page.keyboard.press("Control+b");
  await page.keyboard.type(" Smith");
  await Promise.all([
    page.waitForNavigation({ waitUntil: "load" }),
    page.evaluate(() => document.forms.SubmitForm.requestSubmit()),
  ]);
  const post = posts.pop();
  assert.equal(post.get("IWEMAILBODY"), "<p>Ann<b>&nbsp;Smith</b></p>");
  assert.equal(post.has("KstBodyIsHtml"), false);
  assert.deepEqual(problems, []);
  await context.close();
});

Test("keyboard only: the toolbar is one tab stop, arrows move in it, Tab leaves", async () => {
  const { page, problems, context } = await Open("/compose.htm");
  await page.focus("#IWSUBJECT");
  await page.keyboard.press("Tab");
  assert.equal(await Focused(page), "Bold");
  // The focused button shows a ring.
  const ring = await page.evaluate(() => getComputedStyle(document.activeElement).outlineStyle);
  assert.notEqual(ring, "none");
  await page.keyboard.press("ArrowRight");
  assert.equal(await Focused(page), "Italic");
  await page.keyboard.press("End");
  assert.equal(await Focused(page), "Clear formatting");
  await page.keyboard.press("ArrowRight");
  assert.equal(await Focused(page), "Bold");
  await page.keyboard.press("ArrowLeft");
  await page.keyboard.press("ArrowLeft");
  assert.equal(await Focused(page), "Link");
  await page.keyboard.press("Home");
  await page.keyboard.press("ArrowRight");
  await page.keyboard.press("Enter");  // Italic: on, and the caret goes to the area
  assert.equal(await Focused(page), "area");
  await page.keyboard.type("slanted");
  assert.equal(await Body(page), "<i>slanted</i>");
  // Back into the toolbar lands on the button used last; Space presses it.
  await page.keyboard.press("Shift+Tab");
  assert.equal(await Focused(page), "Italic");
  assert.equal(await Pressed(page, "Italic"), "true");
  await page.keyboard.press(" ");
  await page.keyboard.type(" plain");
  assert.equal(await Body(page), "<i>slanted</i>&nbsp;plain");
  // Tab leaves the area for the next control and types no tab.
  await page.keyboard.press("Tab");
  assert.equal(await Focused(page), "IWSEND");
  assert.equal(await Body(page), "<i>slanted</i>&nbsp;plain");
  await page.keyboard.press("Shift+Tab");
  assert.equal(await Focused(page), "area");
  assert.deepEqual(problems, []);
  await context.close();
});

Test("look: desktop and phone, light and dark", async () => {
  for (const scheme of ["light", "dark"]) {
    for (const viewport of [{ width: 1280, height: 800 }, { width: 390, height: 844 }]) {
      const { page, problems, context } = await Open("/reply.htm", { viewport, scheme });
      await page.click(".kst-editor-area p");
      await page.keyboard.press("End");
      await page.keyboard.press("Control+b");
      await page.keyboard.type(" Bold words");
      const overflow = await page.evaluate(
        () => document.documentElement.scrollWidth - document.documentElement.clientWidth);
      assert.ok(overflow <= 0, `the page scrolls sideways by ${overflow}px`);
      // The toolbar and the area lie within the field's row; the area is a usable size.
      const [row, bar, area] = await page.evaluate(() => [".kst-field:has(.kst-editor-area)",
        ".kst-editor-toolbar", ".kst-editor-area"].map((s) => {
        const box = document.querySelector(s).getBoundingClientRect();
        return { left: box.left, right: box.right, height: box.height };
      }));
      assert.ok(bar.left >= row.left - 0.5 && bar.right <= row.right + 0.5, "toolbar outside");
      assert.ok(area.left >= row.left - 0.5 && area.right <= row.right + 0.5, "area outside");
      assert.ok(area.height >= 150, `area only ${area.height}px high`);
      const colours = await page.$eval(".kst-editor-area", (a) =>
        [getComputedStyle(a).color, getComputedStyle(a).backgroundColor]);
      assert.notEqual(colours[0], colours[1]);
      const name = `editor-${viewport.width}x${viewport.height}-${scheme}.png`;
      await page.screenshot({ path: path.join(outputDir, name), fullPage: true });
      assert.deepEqual(problems, []);
      await context.close();
    }
  }
});

const failures = [];
try {
  for (const test of tests) {
    try {
      await test.body();
      console.log(`ok   ${test.name}`);
    } catch (error) {
      failures.push(test.name);
      console.log(`FAIL ${test.name}\n${error.stack}`);
    }
  }
} finally {
  await browser.close();
  server.close();
}
if (failures.length) {
  console.error(`editor: ${failures.length} of ${tests.length} failed`);
  process.exit(1);
}
console.log(`editor: ${tests.length} tests passed; screenshots in ${outputDir}`);
