// Writing mail in Chromium against the real peers, checked at the recording SMTP server:
//   - a message with bold text from the editor's toolbar and two uploaded attachments (5 MB
//     of random bytes and a small text file): both decode to their exact bytes, the HTML part
//     holds the bold text and a text/plain part exists;
//   - a reply to a fetched message with an attachment: "Re: ", the quote block, no file
//     carried, In-Reply-To and References naming the source, the source then "Replied";
//     a forward of it: "Fwd: ", the source's file arrives with its bytes, then "Forwarded";
//   - the address book: two contacts added, a duplicate refused, one picked as To and one
//     as Cc in the picker and the compose fields filled.
// Screenshots of the compose, attachments, contacts and picker pages at desktop and phone
// size.
// Usage: node writing_mail_test.mjs <kestrune> <output dir>
import assert from "node:assert/strict";
import { randomBytes } from "node:crypto";
import { writeFileSync } from "node:fs";
import path from "node:path";
import { runServerTest, startPeers, testArguments, textOf } from "./kestrune_server.mjs";

const { serverPath, outputDir } = testArguments();
const peers = startPeers();
const { box } = peers;

// A small MIME reader for the recorded data: { headers (lower-case name -> unfolded value),
// type, body (the raw text), parts (for multipart) }, with decoded() giving the bytes.
function parseEntity(text) {
  const split = text.indexOf("\r\n\r\n");
  const head = split < 0 ? text : text.slice(0, split);
  const body = split < 0 ? "" : text.slice(split + 4);
  const headers = {};
  for (const line of head.replace(/\r\n[ \t]+/g, " ").split("\r\n")) {
    const colon = line.indexOf(":");
    if (colon > 0) headers[line.slice(0, colon).trim().toLowerCase()] = line.slice(colon + 1).trim();
  }
  const contentType = headers["content-type"] ?? "text/plain";
  const entity = { headers, type: contentType.split(";")[0].trim().toLowerCase(), body, parts: [] };
  if (entity.type.startsWith("multipart/")) {
    const boundary = contentType.match(/boundary="?([^";]+)"?/i)[1];
    const pieces = body.split(`--${boundary}`);
    // pieces[0] is the preamble; the piece after the closing delimiter starts with "--".
    for (const piece of pieces.slice(1)) {
      if (piece.startsWith("--")) break;
      entity.parts.push(parseEntity(piece.replace(/^\r\n/, "").replace(/\r\n$/, "")));
    }
  }
  entity.decoded = () => {
    const encoding = (headers["content-transfer-encoding"] ?? "7bit").toLowerCase();
    if (encoding === "base64") return Buffer.from(body.replace(/\s+/g, ""), "base64");
    if (encoding === "quoted-printable") {
      return Buffer.from(body.replace(/=\r\n/g, "").replace(/=([0-9A-Fa-f]{2})/g,
                                                            (_, hex) => String.fromCharCode(parseInt(hex, 16))),
                         "latin1");
    }
    return Buffer.from(body, "latin1");
  };
  return entity;
}
function leaves(entity) {
  return entity.parts.length === 0 ? [entity] : entity.parts.flatMap(leaves);
}
function fileName(entity) {
  const where = `${entity.headers["content-disposition"] ?? ""}; ${entity.headers["content-type"] ?? ""}`;
  return where.match(/(?:file)?name="?([^";]+)"?/i)?.[1];
}

// The sources of the reply and of the forward, each with a file, fetched at log-in. A
// message once replied to keeps that state when forwarded, so each has its own source.
const sourceCsv = "quarter,total\r\nQ1,10\r\nQ2,12\r\n";
const sourceId = (subject) => `<${subject.replace(/\W/g, "")}.1@example.test>`;
for (const subject of ["Quarterly figures", "Annual figures"]) {
  peers.deliver(
      `From: Ann Example <ann@example.test>\r\nTo: ${box}@example.test\r\n` +
      `Subject: ${subject}\r\nDate: Thu, 10 Dec 2026 09:00:00 +0000\r\n` +
      `Message-ID: ${sourceId(subject)}\r\nMIME-Version: 1.0\r\n` +
      `Content-Type: multipart/mixed; boundary="b"\r\n\r\n` +
      `--b\r\nContent-Type: text/plain\r\n\r\nThe figures are attached.\r\n--b\r\n` +
      `Content-Type: text/csv; name="figures.csv"\r\n` +
      `Content-Disposition: attachment; filename="figures.csv"\r\n\r\n${sourceCsv}\r\n--b--\r\n`);
}

// The files uploaded: several MB of random bytes and a small text.
const bigFile = path.join(outputDir, "archive.bin");
const bigBytes = randomBytes(5 * 1024 * 1024);
writeFileSync(bigFile, bigBytes);
const smallFile = path.join(outputDir, "notes.txt");
const smallBytes = Buffer.from("Agenda:\n1. figures\n2. lunch\n", "latin1");
writeFileSync(smallFile, smallBytes);

await runServerTest({ serverPath, outputDir, peers, user: { name: "writer" } },
                    async ({ browser, page, dialogs, problems }) => {
  assert.equal(await textOf(page, "#IWINBOXLINK"), "Inbox (2)");

  // (a) Formatting and two attachments.
  await browser.submitBy(() => page.click("#IWCREATEEMAIL"));
  await page.fill("#IWTO", "ann@example.test");
  await page.fill("#IWSUBJECT", "Files for Friday");
  const area = page.locator(".kst-editor-area");
  await area.click();
  await page.keyboard.type("Please read ");
  await page.click(".kst-editor-bold");
  await page.keyboard.type("both files");
  await page.click(".kst-editor-bold");
  await page.keyboard.type(" before Friday.");
  assert.match(await area.innerHTML(), /<(b|strong)>both files<\/(b|strong)>/);
  await browser.submitBy(() => page.click("#IWADDEDITATTACHMENTS"));
  assert.equal(await page.title(), "Kestrune - Attachments");
  for (const file of [bigFile, smallFile]) {
    await page.setInputFiles("#IWFINDFILE", file);
    await browser.submitBy(() => page.click("#IWATTACH"));
  }
  assert.deepEqual(dialogs, []);
  const listed = await page.locator("#IWATTACHMENTS option").allTextContents();
  assert.equal(listed.length, 3, `the list: ${listed}`);
  assert.match(listed[1], /archive\.bin/);
  assert.match(listed[2], /notes\.txt/);
  await browser.shoot("attachments");
  await browser.submitBy(() => page.click("#IWOKAY"));
  assert.equal(await page.title(), "Kestrune - New message");
  // The composition came back with its text, its bold run and its files.
  assert.equal(await page.inputValue("#IWSUBJECT"), "Files for Friday");
  assert.match(await area.innerHTML(), /<(b|strong)>both files<\/(b|strong)>/);
  const attachs = await textOf(page, ".kst-compose-attachs");
  assert.match(attachs, /archive\.bin/);
  assert.match(attachs, /notes\.txt/);
  await browser.shoot("compose-attachments");
  await browser.submitBy(() => page.click("#IWSEND"));
  assert.deepEqual(dialogs, []);
  assert.equal(await page.title(), "Kestrune - Home");
  await browser.submitBy(() => page.click("#IWSENDRECV"));
  assert.equal(await textOf(page, "#IWOUTBOXLINK"), "Outbox");
  assert.deepEqual(dialogs, ["There are no new messages waiting."]);
  dialogs.length = 0;
  let sent = peers.recorded("writer@example.test");
  assert.equal(sent.length, 1, "one message reached the relay");
  assert.deepEqual(sent[0].rcpt, ["ann@example.test"]);
  const withFiles = parseEntity(sent[0].data);
  assert.equal(withFiles.type, "multipart/mixed");
  const parts = leaves(withFiles);
  const byName = (name) => parts.find((part) => fileName(part) === name);
  assert.ok(byName("archive.bin"), `parts: ${parts.map((part) => part.type)}`);
  assert.ok(byName("archive.bin").decoded().equals(bigBytes), "the 5 MB file arrives intact");
  assert.ok(byName("notes.txt"), "the text file is attached");
  assert.ok(byName("notes.txt").decoded().equals(smallBytes), "the text file arrives intact");
  const html = parts.find((part) => part.type === "text/html" && !fileName(part));
  assert.ok(html, "an HTML body part");
  assert.match(html.decoded().toString("utf8"), /<(b|B)>both files<\/(b|B)>/);
  const plain = parts.find((part) => part.type === "text/plain" && !fileName(part));
  assert.ok(plain, "a text/plain body part");
  assert.match(plain.decoded().toString("utf8"), /Please read\s+both files\s+before Friday\./);

  // (b) Reply to the fetched message: no file carried, threaded on the source.
  const openSource = async (subject) => {
    if (!/Inbox/.test(await page.title())) await browser.submitBy(() => page.click("#IWINBOXLINK"));
    const row = page.locator("#IWINBOX tr").filter({ hasText: subject });
    await browser.submitBy(() => row.locator("td:nth-child(3) a").click());
    assert.equal(await textOf(page, "#IWSUBJECT"), subject);
  };
  const sourceIcon = async (subject) => {
    await browser.submitBy(() => page.click("#IWINBOXLINK"));
    const row = page.locator("#IWINBOX tr").filter({ hasText: subject });
    return row.locator("img").evaluateAll((images) => images.map(
        (image) => `${image.getAttribute("src").split("/").pop()} ${image.getAttribute("alt")}`));
  };
  await openSource("Quarterly figures");
  await browser.submitBy(() => page.click("#IWREPLY"));
  assert.equal(await page.title(), "Kestrune - New message");
  assert.equal(await page.inputValue("#IWSUBJECT"), "Re: Quarterly figures");
  assert.equal(await page.inputValue("#IWTO"), "ann@example.test");
  assert.equal(await area.locator("blockquote").count(), 1, "the quote block");
  assert.match(await area.locator("blockquote").textContent(), /The figures are attached\./);
  assert.equal((await textOf(page, ".kst-compose-attachs")).trim(), "", "no file carried");
  await area.click();
  await page.keyboard.press("Control+Home");
  await page.keyboard.type("Thanks, noted.");
  await browser.shoot("compose-reply");
  await browser.submitBy(() => page.click("#IWSEND"));
  assert.deepEqual(dialogs, []);
  assert.ok((await sourceIcon("Quarterly figures")).includes("rpe.gif Replied"), "the source shows as replied");

  await openSource("Annual figures");
  await browser.submitBy(() => page.click("#IWFORWARD"));
  assert.equal(await page.inputValue("#IWSUBJECT"), "Fwd: Annual figures");
  assert.match(await textOf(page, ".kst-compose-attachs"), /figures\.csv/);
  await page.fill("#IWTO", "bob@example.test");
  await browser.submitBy(() => page.click("#IWSEND"));
  assert.deepEqual(dialogs, []);
  const afterForward = await sourceIcon("Annual figures");
  assert.ok(afterForward.includes("rpe.gif Forwarded"), `the source shows as forwarded: ${afterForward}`);
  await browser.submitBy(() => page.click("#IWSENDRECV"));
  assert.equal(await textOf(page, "#IWOUTBOXLINK"), "Outbox");
  assert.deepEqual(dialogs, ["There are no new messages waiting."]);
  dialogs.length = 0;

  sent = peers.recorded("writer@example.test");
  assert.equal(sent.length, 3, "the reply and the forward reached the relay");
  const later = sent.slice(1).map((message) => parseEntity(message.data));
  const reply = later.find((message) => message.headers.subject.startsWith("Re: "));
  const forward = later.find((message) => message.headers.subject.startsWith("Fwd: "));
  assert.ok(reply && forward, `subjects: ${later.map((message) => message.headers.subject)}`);
  assert.equal(forward.headers.subject, "Fwd: Annual figures");
  assert.equal(reply.headers.subject, "Re: Quarterly figures");
  assert.equal(reply.headers["in-reply-to"], sourceId("Quarterly figures"));
  assert.equal(reply.headers.references, sourceId("Quarterly figures"));
  assert.equal(leaves(reply).filter(fileName).length, 0, "the reply carries no file");
  const replyHtml = leaves(reply).find((part) => part.type === "text/html");
  assert.match(replyHtml.decoded().toString("utf8"), /Thanks, noted\.[\s\S]*<blockquote/i);
  const forwarded = leaves(forward).find((part) => fileName(part) === "figures.csv");
  assert.ok(forwarded, "the source's file is forwarded");
  assert.equal(forwarded.decoded().toString("latin1"), sourceCsv);
  assert.equal(forward.headers["in-reply-to"], undefined);

  // (c) The address book and the picker.
  await browser.submitBy(() => page.click("#IWEDITCONTACTS"));
  assert.equal(await page.title(), "Kestrune - Contacts");
  const addContact = async (name, address) => {
    await page.fill("#IWCONTACTNAME", name);
    await page.fill("#IWCONTACTADDRESS", address);
    await browser.submitBy(() => page.click("#IWCONTACTMETH"));
  };
  await addContact("Carol Jones", "carol@example.test");
  await addContact("Dan Brown", "dan@example.test");
  assert.deepEqual(dialogs, []);
  await addContact("Carol Jones", "carol2@example.test");
  assert.equal(await browser.nextDialog(1),
               "A contact already exists with the same name, please choose a unique name for " +
               "this contact.");
  dialogs.length = 0;
  const contactsText = await page.locator(".kst-grid-contacts").textContent();
  assert.match(contactsText, /Carol Jones[\s\S]*carol@example\.test/);
  assert.match(contactsText, /Dan Brown[\s\S]*dan@example\.test/);
  assert.doesNotMatch(contactsText, /carol2@/);
  await browser.shoot("contacts");

  await browser.submitBy(() => page.click("#IWCREATEEMAIL"));
  await page.fill("#IWSUBJECT", "Picked");
  await browser.submitBy(() => page.click("#IWTOADDR"));
  assert.equal(await page.title(), "Kestrune - Recipients");
  await page.getByLabel("To: Carol Jones", { exact: true }).check();
  await page.getByLabel("Cc: Dan Brown", { exact: true }).check();
  await browser.shoot("picker");
  await browser.submitBy(() => page.click("#IWOKAY"));
  assert.equal(await page.title(), "Kestrune - New message");
  assert.match(await page.inputValue("#IWTO"), /^(Carol Jones <)?carol@example\.test>?;?$/);
  assert.match(await page.inputValue("#IWCCLIST"), /^(Dan Brown <)?dan@example\.test>?;?$/);
  assert.equal(await page.inputValue("#IWBCCLIST"), "");
  assert.equal(await page.inputValue("#IWSUBJECT"), "Picked");
  await browser.shoot("compose-picked");
  assert.deepEqual(dialogs, []);
  assert.deepEqual(problems, []);
  console.log("writing mail test passed");
});
