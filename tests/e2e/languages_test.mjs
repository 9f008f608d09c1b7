// The language packs in a browser: the server's language is the default, the login page
// offers every installed language named in itself, a choice holds for the session and,
// through a cookie, for the browser's next sessions; a forged cookie changes nothing. The
// login page, a refused password's alert, the home and compose pages in each language, with
// screenshots at desktop and phone size and no text running out of its box.
// Usage: node languages_test.mjs <kestrune> <output dir>
import assert from "node:assert/strict";
import { runServerTest, sizes, testArguments, textOf } from "./kestrune_server.mjs";

const { serverPath, outputDir } = testArguments();

// Texts of known keys in each shipped pack.
const languages = [
  { code: "Eng", tag: "en", name: "English", heading: "Sign in", userLabel: "User name",
    submit: "Login", refused: "Incorrect Username or Password.", inbox: "Inbox",
    outbox: "Outbox", stats: /no unread Mail/, compose: "new Mail message", welcome: "Welcome",
    skip: "Skip to content", folders: "Folders", newMessage: "New message", subject: "Subject",
    bold: "Bold", linkButton: "Link", failed: "Something went wrong" },
  { code: "Deu", tag: "de", name: "Deutsch", heading: "Anmelden", userLabel: "Benutzername",
    submit: "Anmelden", refused: "Benutzername oder Passwort falsch.", inbox: "Posteingang",
    outbox: "Postausgang", stats: /keine ungelesenen Nachrichten/, compose: "Neue Nachricht",
    welcome: "Willkommen", skip: "Zum Inhalt springen", folders: "Ordner",
    newMessage: "Neue Nachricht", subject: "Betreff", bold: "Fett", linkButton: "Link",
    failed: "Ein Problem ist aufgetreten" },
  { code: "Fra", tag: "fr", name: "Français", heading: "Connexion",
    userLabel: "Nom d’utilisateur", submit: "Se connecter",
    refused: "Nom d’utilisateur ou mot de passe incorrect.", inbox: "Boîte de réception",
    outbox: "Boîte d’envoi", stats: /aucun message non lu/, compose: "Nouveau message",
    welcome: "Bienvenue", skip: "Aller au contenu", folders: "Dossiers",
    newMessage: "Nouveau message", subject: "Objet", bold: "Gras", linkButton: "Lien",
    failed: "Un problème est survenu" },
  { code: "Esp", tag: "es", name: "Español", heading: "Iniciar sesión",
    userLabel: "Nombre de usuario", submit: "Iniciar sesión",
    refused: "Nombre de usuario o contraseña incorrectos.", inbox: "Bandeja de entrada",
    outbox: "Bandeja de salida", stats: /ningún mensaje sin leer/, compose: "Mensaje nuevo",
    welcome: "Bienvenido", skip: "Ir al contenido", folders: "Carpetas",
    newMessage: "Mensaje nuevo", subject: "Asunto", bold: "Negrita", linkButton: "Enlace",
    failed: "Se ha producido un problema" },
];
const spanish = languages[3];

async function expectLoginPage(page, language) {
  assert.equal(await page.evaluate(() => document.documentElement.lang), language.tag);
  assert.equal(await textOf(page, "h1"), language.heading);
  assert.equal(await page.title(), `Kestrune - ${language.heading}`);
  assert.equal(await textOf(page, "label[for=IWUSERNAME]"), language.userLabel);
  assert.equal(await page.inputValue("#IWSUBMIT"), language.submit);
  assert.equal(await textOf(page, "#IWLANGUAGE [aria-current]"), language.name);
  // Every language is offered, named in itself and marked with its own language.
  const offered = await page.$$eval("#IWLANGUAGE li > *",
                                    (items) => items.map((item) => `${item.lang}:${item.textContent}`));
  assert.deepEqual(offered, languages.map((l) => `${l.tag}:${l.name}`));
  // One row of names under the card at desktop size, not a bulleted list: the stylesheet's
  // rules after an unclosed phone-only block once reached phones only.
  const tops = await page.$$eval("#IWLANGUAGE li", (items) => items.map((item) => item.offsetTop));
  assert.equal(new Set(tops).size, 1, `language names on one row: ${tops}`);
  assert.equal(await page.$eval("#IWLANGUAGE ul", (list) => getComputedStyle(list).listStyleType),
               "none");
}

// Nothing on the page is wider than the window, and no button or link cuts its text.
async function expectNoOverflow(page, where) {
  for (const [label, size] of Object.entries(sizes)) {
    await page.setViewportSize(size);
    const problems = await page.evaluate(() => {
      const found = [];
      if (document.documentElement.scrollWidth > window.innerWidth + 1) {
        found.push(`page ${document.documentElement.scrollWidth}px wide`);
      }
      for (const element of document.querySelectorAll("input[type=submit], input[type=button], button, a, h1, label")) {
        // Text meant for screen readers only is clipped on purpose.
        if (element.offsetParent === null || element.closest(".kst-visually-hidden")) continue;
        if (element.scrollWidth > element.clientWidth + 1 && getComputedStyle(element).overflow !== "visible") {
          found.push(`${element.id || element.tagName} cuts "${element.value || element.textContent}"`);
        }
        const box = element.getBoundingClientRect();
        if (box.right > window.innerWidth + 1) {
          found.push(`${element.id || element.tagName} ends at ${Math.round(box.right)}px`);
        }
      }
      return found;
    });
    assert.deepEqual(problems, [], `${where} at ${label} size`);
  }
  await page.setViewportSize(sizes.desktop);
}

await runServerTest({ serverPath, outputDir, settings: { StringsLanguage: spanish.name } },
                    async ({ server, browser, page, dialogs }) => {
  const context = page.context();

  // Without a choice the server's language serves.
  await page.goto(server.base, { waitUntil: "load" });
  await expectLoginPage(page, spanish);

  // A cookie naming no installed language, or a path, is ignored.
  for (const forged of ["Klingon", "..%2F..%2Fetc", "Deu%00"]) {
    const url = new URL(server.base);
    await context.addCookies([{ name: "KestruneLanguage", value: forged, domain: url.hostname,
                                path: "/" }]);
    await page.goto(server.base, { waitUntil: "load" });
    await expectLoginPage(page, spanish);
  }
  await context.clearCookies();

  for (const language of languages) {
    await page.goto(server.base, { waitUntil: "load" });
    // The page is still in the language chosen last (the server's at first); the link is
    // used by keyboard: focused, then Enter.
    await page.focus(`#IWLANGUAGE a[lang=${language.tag}]`);
    await browser.submitBy(() => page.keyboard.press("Enter"));
    await expectLoginPage(page, language);
    const kept = (await context.cookies()).find((cookie) => cookie.name === "KestruneLanguage");
    assert.equal(kept.value, language.code);
    assert.equal(kept.sameSite, "Lax");
    assert.equal(kept.httpOnly, true);
    assert.ok(kept.expires > Date.now() / 1000 + 300 * 24 * 3600, "kept for about a year");
    await expectNoOverflow(page, `login page (${language.code})`);
    await browser.shoot(`login-${language.code}`);

    // The messages come from the chosen pack too.
    dialogs.length = 0;
    await page.fill("#IWUSERNAME", "admin");
    await page.fill("#IWPASSWORD", "wrong");
    await browser.submitBy(() => page.click("#IWSUBMIT"));
    assert.equal(await browser.nextDialog(1), language.refused);
    await page.fill("#IWPASSWORD", "Pa55word");
    await browser.submitBy(() => page.click("#IWSUBMIT"));

    assert.equal(await page.evaluate(() => document.documentElement.lang), language.tag);
    assert.equal(await textOf(page, "#IWINBOXLINK"), language.inbox);
    assert.equal(await textOf(page, "#IWOUTBOXLINK"), language.outbox);
    assert.match(await textOf(page, "#IWINBOXSTATS"), language.stats);
    assert.equal(await textOf(page, "#IWCREATEEMAILLINK"), language.compose);
    // The template's own words too: heading, title, skip link, announced landmarks.
    assert.equal(await textOf(page, "h1"), language.welcome);
    assert.equal(await textOf(page, ".kst-skip"), language.skip);
    assert.equal(await page.getAttribute("nav.kst-nav", "aria-label"), language.folders);
    await page.waitForFunction(() => document.getElementById("Clock").textContent.length > 0);
    await expectNoOverflow(page, `home page (${language.code})`);
    await browser.shoot(`home-${language.code}`);
    await page.setViewportSize(sizes.phone);
    await page.click(".kst-menu-button");
    await page.screenshot({ path: `${outputDir}/home-${language.code}-phone-folders.png`,
                            fullPage: true });
    await page.setViewportSize(sizes.desktop);

    await browser.submitBy(() => page.click("#IWCREATEEMAIL"));
    assert.equal(await page.title(), `Kestrune - ${language.newMessage}`);
    assert.equal(await textOf(page, "label[for=IWSUBJECT]"), language.subject);
    // The editor's buttons take their names from the page.
    assert.match(await page.getAttribute(".kst-editor-bold", "title"),
                 new RegExp(`^${language.bold} `));
    assert.equal(await textOf(page, ".kst-editor-link"), language.linkButton);
    await expectNoOverflow(page, `compose page (${language.code})`);
    await browser.shoot(`compose-${language.code}`);

    await browser.submitBy(() => page.click("#IWLOGOUT"));
    await page.waitForURL(/\/files\/logout\.htm$/);
    // The error page of a browser with a chosen language.
    await page.goto(`${server.base}no-such-command`, { waitUntil: "load" });
    assert.equal(await page.evaluate(() => document.documentElement.lang), language.tag);
    assert.equal(await textOf(page, "h1"), language.failed);
    // The next session of this browser opens in the chosen language.
    await page.goto(server.base, { waitUntil: "load" });
    await expectLoginPage(page, language);
  }
  console.log("languages test passed");
});
