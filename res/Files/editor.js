// Kestrune's rich-text editor. Every <textarea class="kst-editor"> becomes a formatting
// toolbar and an editing area; the textarea stays in its form, hidden, and always holds the
// area's HTML after an allow-list clean-up, so the page posts the message as HTML.
// Loaded by the compose and the signature pages; no framework, no build step.
"use strict";

(function () {
  if (window.KstEditor) {
    return;
  }

  // The texts the editor shows. The page gives them in its language as data-text-* attributes
  // of the text area (data-text-linkprompt for linkPrompt); these stand in for any it lacks.
  const kTexts = {
    toolbar: "Formatting",
    area: "Message text",
    bold: "Bold",
    italic: "Italic",
    underline: "Underline",
    bullets: "Bulleted list",
    numbers: "Numbered list",
    quote: "Quote",
    link: "Link",
    clear: "Clear formatting",
    linkPrompt: "Link address (http:, https: or mailto:)",
    linkRefused: "Only http:, https: and mailto: addresses can be linked.",
    bulletsFace: "List",
    numbersFace: "List",
    quoteFace: "Quote",
    linkFace: "Link",
    clearFace: "Clear",
  };

  function TextsOf(textarea) {
    const texts = {};
    for (const [name, english] of Object.entries(kTexts)) {
      const given = textarea.getAttribute("data-text-" + name.toLowerCase());
      texts[name] = given ? given : english;
    }
    return texts;
  }

  // What survives a clean-up: these elements with no attribute but a checked href on links.
  const kAllowedTags = new Set([
    "p", "div", "br", "b", "strong", "i", "em", "u", "s", "ul", "ol", "li", "blockquote", "a",
    "span",
  ]);
  // Elements whose content is not text a reader sees: dropped with everything inside.
  const kDroppedTags = new Set([
    "script", "style", "template", "noscript", "head", "title", "meta", "link", "base",
    "iframe", "frame", "frameset", "object", "embed", "applet", "img", "picture", "video",
    "audio", "source", "track", "canvas", "map", "select", "datalist", "option", "optgroup",
    "button", "input", "textarea", "hr",
  ]);
  // Other blocks become divs rather than being unwrapped, so a pasted heading, table row or
  // preformatted line does not run into the text after it.
  const kBlockTags = new Set([
    "h1", "h2", "h3", "h4", "h5", "h6", "pre", "address", "article", "aside", "center",
    "details", "summary", "dd", "dl", "dt", "fieldset", "figcaption", "figure", "footer",
    "form", "header", "hgroup", "main", "nav", "section", "table", "caption", "tr", "legend",
    "listing", "plaintext", "xmp",
  ]);
  const kCellTags = new Set(["td", "th"]);
  const kLinkSchemes = new Set(["http:", "https:", "mailto:"]);
  const kHtmlNamespace = "http://www.w3.org/1999/xhtml";
  // Nesting deeper than this is flattened: no mail needs it and the server bounds it too.
  const kMaxDepth = 100;

  // The address as the link's href, or "" when it is not an absolute http:, https: or
  // mailto: URL. The URL parser strips the blanks and control characters a browser would,
  // so "java\tscript:" is seen as what it is.
  function SafeHref(value) {
    if (typeof value !== "string") {
      return "";
    }
    let url;
    try {
      url = new URL(value.trim());
    } catch {
      return "";
    }
    return kLinkSchemes.has(url.protocol) ? url.href : "";
  }

  // Copies the cleaned content of source's children into target (an element of out_doc).
  function CleanChildren(source, target, out_doc, depth, in_pre) {
    const children = source.childNodes;
    for (let index = 0; index < children.length; index++) {
      const node = children[index];
      if (node.nodeType === Node.TEXT_NODE) {
        AppendText(target, node.data, out_doc, in_pre);
        continue;
      }
      if (node.nodeType !== Node.ELEMENT_NODE) {
        continue;  // comments, processing instructions
      }
      if (node.namespaceURI !== kHtmlNamespace) {
        continue;  // svg, math and their content
      }
      const tag = node.localName;
      if (kDroppedTags.has(tag)) {
        continue;
      }
      const pre = in_pre || tag === "pre" || tag === "listing" || tag === "xmp" ||
        tag === "plaintext";
      if (depth >= kMaxDepth) {
        CleanChildren(node, target, out_doc, depth, pre);
        continue;
      }
      let copy = null;
      if (kAllowedTags.has(tag)) {
        copy = out_doc.createElement(tag);
        if (tag === "a") {
          const href = SafeHref(node.getAttribute("href"));
          if (href) {
            copy.setAttribute("href", href);
          } else {
            copy = null;  // a link to nowhere (or somewhere unsafe) is its text
          }
        }
      } else if (kBlockTags.has(tag)) {
        copy = out_doc.createElement("div");
      }
      if (copy) {
        CleanChildren(node, copy, out_doc, depth + 1, pre);
        if (copy.hasChildNodes() || kAllowedTags.has(tag)) {
          target.appendChild(copy);  // a block made here of nothing is left out
        }
      } else {
        CleanChildren(node, target, out_doc, depth, pre);
        if (kCellTags.has(tag) && node.nextElementSibling) {
          target.appendChild(out_doc.createTextNode(" "));
        }
      }
    }
  }

  // Text keeps its characters; inside preformatted blocks its line breaks become <br>.
  function AppendText(target, text, out_doc, in_pre) {
    if (!in_pre) {
      target.appendChild(out_doc.createTextNode(text));
      return;
    }
    const lines = text.split(/\r\n|\r|\n/);
    lines.forEach((line, index) => {
      if (index > 0) {
        target.appendChild(out_doc.createElement("br"));
      }
      if (line) {
        target.appendChild(out_doc.createTextNode(line));
      }
    });
  }

  // A detached document to build cleaned markup in: nothing in it loads or runs.
  let build_doc = null;
  function BuildDocument() {
    if (!build_doc) {
      build_doc = document.implementation.createHTMLDocument("");
    }
    return build_doc;
  }

  // The allow-listed HTML of a node's content (an editing area, a parsed body).
  function CleanNode(source) {
    const out_doc = BuildDocument();
    const holder = out_doc.createElement("div");
    CleanChildren(source, holder, out_doc, 0, false);
    return holder.innerHTML;
  }

  // The allow-listed form of an HTML text. DOMParser makes an inert document: its scripts
  // do not run and its images do not load, so hostile markup is only ever data here.
  function CleanHtml(html) {
    const parsed = new DOMParser().parseFromString(String(html ?? ""), "text/html");
    return parsed.body ? CleanNode(parsed.body) : "";
  }

  function EscapeText(text) {
    return text.replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;")
      .replace(/"/g, "&quot;");
  }

  // Plain text as HTML: escaped, its line breaks kept.
  function TextToHtml(text) {
    return EscapeText(text).replace(/\r\n|\r|\n/g, "<br>");
  }

  // Toolbar buttons in order: id, text, the command they run, whether they show a state.
  const kButtons = [
    { id: "bold", face: "B", key: "B", toggle: true },
    { id: "italic", face: "I", key: "I", toggle: true },
    { id: "underline", face: "U", key: "U", toggle: true },
    { id: "bullets", mark: "\u2022 ", toggle: true },
    { id: "numbers", mark: "1. ", toggle: true },
    { id: "quote", mark: "\u201c ", toggle: true },
    { id: "link", mark: "", key: "K", toggle: false },
    { id: "clear", mark: "", toggle: false },
  ];

  // Runs change (which moves nodes) and puts the selection back where it was: a moved node
  // keeps its identity, but a live range inside it would collapse onto its old parent. A
  // boundary in `from` (an element being replaced) is put in `to`.
  function KeepSelection(change, from, to) {
    const selection = window.getSelection();
    const range = selection && selection.rangeCount ? selection.getRangeAt(0) : null;
    const ends = range ? [range.startContainer, range.startOffset, range.endContainer,
      range.endOffset] : null;
    change();
    if (!ends) {
      return;
    }
    const restored = document.createRange();
    try {
      restored.setStart(ends[0] === from ? to : ends[0], ends[1]);
      restored.setEnd(ends[2] === from ? to : ends[2], ends[3]);
    } catch {
      return;  // the boundary's node left the document; the browser's own place stays
    }
    selection.removeAllRanges();
    selection.addRange(restored);
  }

  let editor_count = 0;
  const editors = [];  // every attached editor, for the form hooks

  function IsMac() {
    return /Mac|iPhone|iPad/.test(navigator.platform || navigator.userAgent || "");
  }

  class Editor {
    constructor(textarea) {
      this.textarea = textarea;
      this.texts = TextsOf(textarea);
      this.form = textarea.form;
      this.number = ++editor_count;
      this.saved_range = null;
      this.drag_inside = false;
      this.Build();
      this.Load(textarea.value);
      this.WriteBack();
    }

    Build() {
      const textarea = this.textarea;
      const wrap = document.createElement("div");
      wrap.className = "kst-editor-wrap";

      const toolbar = document.createElement("div");
      toolbar.className = "kst-editor-toolbar";
      toolbar.setAttribute("role", "toolbar");
      toolbar.setAttribute("aria-label", this.texts.toolbar);
      this.toolbar = toolbar;
      this.buttons = new Map();
      const shortcut = IsMac() ? "\u2318" : "Ctrl+";
      for (const entry of kButtons) {
        const button = document.createElement("button");
        button.type = "button";
        button.className = "kst-editor-button kst-editor-" + entry.id;
        // A letter of its own (B, I, U), or a mark and a word of the page's language.
        const face = entry.face ?? entry.mark + this.texts[entry.id + "Face"];
        button.textContent = face;
        // The spoken name starts with what the button shows, so that a user who says or
        // reads the visible text ("1. List") finds it.
        const spoken = this.texts[entry.id];
        const shown = face.replace(/[^\p{L}\p{N} ]/gu, "").trim().toLowerCase();
        button.setAttribute("aria-label", /\p{L}{2}/u.test(face) &&
          !spoken.toLowerCase().includes(shown) ? face + " – " + spoken : spoken);
        button.title = spoken + (entry.key ? " (" + shortcut + entry.key + ")" : "");
        if (entry.key) {
          button.setAttribute("aria-keyshortcuts", (IsMac() ? "Meta+" : "Control+") + entry.key);
        }
        if (entry.toggle) {
          button.setAttribute("aria-pressed", "false");
        }
        button.tabIndex = this.buttons.size === 0 ? 0 : -1;
        // The area keeps the focus and its selection when a button is clicked.
        button.addEventListener("mousedown", (event) => event.preventDefault());
        button.addEventListener("click", () => this.Run(entry.id));
        this.buttons.set(entry.id, button);
        toolbar.appendChild(button);
      }
      toolbar.addEventListener("keydown", (event) => this.ToolbarKey(event));

      const area = document.createElement("div");
      area.className = "kst-editor-area";
      area.id = "kst-editor-area-" + this.number;
      area.contentEditable = textarea.readOnly || textarea.disabled ? "false" : "true";
      area.setAttribute("role", "textbox");
      area.setAttribute("aria-multiline", "true");
      area.spellcheck = true;
      this.Label(area);
      toolbar.setAttribute("aria-controls", area.id);
      this.area = area;

      // The area takes the room the page gave the textarea.
      const height = textarea.offsetHeight;
      if (height > 0) {
        area.style.height = height + "px";
      }

      wrap.appendChild(toolbar);
      wrap.appendChild(area);
      textarea.parentNode.insertBefore(wrap, textarea);
      textarea.classList.add("kst-editor-source");
      textarea.setAttribute("aria-hidden", "true");
      textarea.tabIndex = -1;
      textarea.style.setProperty("display", "none");
      if (textarea.readOnly || textarea.disabled) {
        for (const button of this.buttons.values()) {
          button.disabled = true;
        }
      }

      area.addEventListener("input", () => this.WriteBack());
      area.addEventListener("keydown", (event) => this.AreaKey(event));
      area.addEventListener("paste", (event) => this.Paste(event));
      area.addEventListener("dragstart", () => {
        this.drag_inside = true;
      });
      area.addEventListener("dragend", () => {
        this.drag_inside = false;
      });
      area.addEventListener("drop", (event) => this.Drop(event));
      area.addEventListener("blur", () => this.WriteBack());
      area.addEventListener("keyup", () => this.UpdateState());
      area.addEventListener("mouseup", () => this.UpdateState());
      area.addEventListener("focus", () => this.UpdateState());
      document.addEventListener("selectionchange", () => {
        if (this.SelectionInside()) {
          this.saved_range = window.getSelection().getRangeAt(0).cloneRange();
          this.UpdateState();
        }
      });
    }

    // The area is named like the field it stands for; a click on the field's label focuses it.
    Label(area) {
      const textarea = this.textarea;
      const label = textarea.id
        ? document.querySelector('label[for="' + CSS.escape(textarea.id) + '"]')
        : null;
      if (label) {
        if (!label.id) {
          label.id = "kst-editor-label-" + this.number;
        }
        area.setAttribute("aria-labelledby", label.id);
        label.addEventListener("click", (event) => {
          event.preventDefault();
          area.focus();
        });
      } else {
        area.setAttribute("aria-label",
          textarea.getAttribute("aria-label") || textarea.title || this.texts.area);
      }
      if (textarea.placeholder) {
        area.setAttribute("data-placeholder", textarea.placeholder);
      }
    }

    Load(html) {
      this.area.innerHTML = CleanHtml(html);
    }

    // The textarea gets the area's cleaned HTML, and the form says the body is HTML.
    WriteBack() {
      let html = CleanNode(this.area);
      if (html === "<br>") {
        html = "";  // what a browser leaves in an area whose text was all deleted
      }
      this.textarea.value = html;
      const flag = this.form ? this.form.elements.namedItem("KstBodyIsHtml") : null;
      if (flag && "value" in flag) {
        flag.value = "1";
      }
      return html;
    }

    SelectionInside() {
      const selection = window.getSelection();
      if (!selection || selection.rangeCount === 0) {
        return false;
      }
      return this.area.contains(selection.getRangeAt(0).commonAncestorContainer);
    }

    // Focuses the area with the selection it last had (a button or a dialog took it away).
    Focus() {
      if (document.activeElement !== this.area) {
        this.area.focus({ preventScroll: true });
      }
      if (!this.SelectionInside() && this.saved_range &&
          this.area.contains(this.saved_range.commonAncestorContainer)) {
        const selection = window.getSelection();
        selection.removeAllRanges();
        selection.addRange(this.saved_range);
      }
      if (!this.SelectionInside()) {
        const range = document.createRange();
        range.selectNodeContents(this.area);
        range.collapse(false);
        const selection = window.getSelection();
        selection.removeAllRanges();
        selection.addRange(range);
      }
    }

    Exec(command, value) {
      document.execCommand("styleWithCSS", false, false);
      document.execCommand("defaultParagraphSeparator", false, "div");
      return document.execCommand(command, false, value);
    }

    // The nearest element with the tag around the selection, inside the area.
    Enclosing(tag) {
      const selection = window.getSelection();
      if (!selection || selection.rangeCount === 0) {
        return null;
      }
      let node = selection.getRangeAt(0).startContainer;
      while (node && node !== this.area) {
        if (node.nodeType === Node.ELEMENT_NODE && node.localName === tag) {
          return node;
        }
        node = node.parentNode;
      }
      return null;
    }

    Run(id) {
      if (this.area.isContentEditable === false) {
        return;
      }
      this.Focus();
      switch (id) {
        case "bold":
        case "italic":
        case "underline":
          this.Exec(id);
          break;
        case "bullets":
          this.Exec("insertUnorderedList");
          break;
        case "numbers":
          this.Exec("insertOrderedList");
          break;
        case "quote":
          this.ToggleQuote();
          break;
        case "link":
          this.AskLink();
          break;
        case "clear":
          this.Exec("removeFormat");
          break;
      }
      this.WriteBack();
      this.UpdateState();
    }

    ToggleQuote() {
      const quote = this.Enclosing("blockquote");
      if (!quote) {
        // Browsers differ in the value form they take; the first that quotes the line wins.
        for (const [command, value] of [["formatBlock", "blockquote"],
          ["formatBlock", "<blockquote>"], ["indent", undefined]]) {
          this.Exec(command, value);
          if (this.Enclosing("blockquote")) {
            break;
          }
        }
        return;
      }
      // Unquote by putting the quote's content in a plain block in its place (it stays on
      // lines of its own); execCommand has no dependable opposite of formatBlock.
      const block = document.createElement("div");
      KeepSelection(() => {
        block.append(...quote.childNodes);
        quote.replaceWith(block);
      }, quote, block);
    }

    // Asks for the address; the selected text becomes the link, or the address itself
    // when nothing is selected. An empty answer inside a link removes it.
    AskLink() {
      const current = this.Enclosing("a");
      // Run() put the selection in the area; the dialog may take it away, so keep it.
      const range = this.SelectionInside() ? window.getSelection().getRangeAt(0).cloneRange()
        : null;
      const answer =
        window.prompt(this.texts.linkPrompt, current ? current.getAttribute("href") : "https://");
      this.Focus();
      if (range && this.area.contains(range.commonAncestorContainer)) {
        const selection = window.getSelection();
        selection.removeAllRanges();
        selection.addRange(range);
      }
      if (answer === null) {
        return;
      }
      let address = answer.trim();
      if (address === "" || address === "https://") {
        if (current) {
          this.Exec("unlink");
        }
        return;
      }
      if (/^[^\s@:/]+@[^\s@/]+\.[^\s@/]+$/.test(address)) {
        address = "mailto:" + address;  // a bare e-mail address
      } else if (!/^[a-z][a-z0-9+.-]*:/i.test(address)) {
        address = "https://" + address;  // a bare host name
      }
      const href = SafeHref(address);
      if (!href) {
        window.alert(this.texts.linkRefused);
        this.Focus();
        return;
      }
      const selection = window.getSelection();
      if (selection.rangeCount && !selection.getRangeAt(0).collapsed) {
        this.Exec("createLink", href);
      } else if (current) {
        current.setAttribute("href", href);
      } else {
        const shown = href.startsWith("mailto:") ? href.slice(7) : href;
        this.Exec("insertHTML", '<a href="' + EscapeText(href) + '">' + EscapeText(shown) + "</a>");
      }
    }

    AreaKey(event) {
      if (!(event.ctrlKey || event.metaKey) || event.altKey || event.shiftKey) {
        return;
      }
      const commands = { b: "bold", i: "italic", u: "underline", k: "link" };
      const id = commands[event.key.toLowerCase()];
      if (id) {
        event.preventDefault();
        this.Run(id);
      }
    }

    // The toolbar is one tab stop; the arrow keys, Home and End move between its buttons.
    ToolbarKey(event) {
      const buttons = Array.from(this.buttons.values());
      const current = buttons.indexOf(document.activeElement);
      if (current < 0) {
        return;
      }
      let next = -1;
      if (event.key === "ArrowRight" || event.key === "ArrowDown") {
        next = (current + 1) % buttons.length;
      } else if (event.key === "ArrowLeft" || event.key === "ArrowUp") {
        next = (current + buttons.length - 1) % buttons.length;
      } else if (event.key === "Home") {
        next = 0;
      } else if (event.key === "End") {
        next = buttons.length - 1;
      }
      if (next < 0) {
        return;
      }
      event.preventDefault();
      buttons[current].tabIndex = -1;
      buttons[next].tabIndex = 0;
      buttons[next].focus();
    }

    UpdateState() {
      if (!this.SelectionInside()) {
        return;
      }
      const states = {
        bold: document.queryCommandState("bold"),
        italic: document.queryCommandState("italic"),
        underline: document.queryCommandState("underline"),
        bullets: this.Enclosing("ul") !== null,
        numbers: this.Enclosing("ol") !== null,
        quote: this.Enclosing("blockquote") !== null,
      };
      for (const [id, on] of Object.entries(states)) {
        this.buttons.get(id).setAttribute("aria-pressed", on ? "true" : "false");
      }
    }

    // Inserts pasted or dropped content as cleaned HTML; images and files are left out.
    InsertTransfer(transfer) {
      const html = transfer.getData("text/html");
      const text = transfer.getData("text/plain");
      let clean = "";
      if (html) {
        clean = CleanHtml(html);
      } else if (text) {
        clean = TextToHtml(text);
      }
      if (clean) {
        this.Exec("insertHTML", clean);
        this.Tidy();
      }
      this.WriteBack();
      this.UpdateState();
    }

    // Chromium's insertHTML writes style attributes (and spans to hold them) of its own to
    // keep the pasted text's look; the area keeps only what the cleaner lets through, so it
    // shows what is posted.
    Tidy() {
      const styled_spans = [];
      for (const element of this.area.querySelectorAll("*")) {
        if (element.localName === "span" && element.hasAttribute("style")) {
          styled_spans.push(element);
        }
        for (const name of element.getAttributeNames()) {
          if (!(name === "href" && element.localName === "a")) {
            element.removeAttribute(name);
          }
        }
      }
      KeepSelection(() => {
        for (const span of styled_spans) {
          span.replaceWith(...span.childNodes);
        }
      });
    }

    Paste(event) {
      event.preventDefault();
      if (event.clipboardData && this.area.isContentEditable) {
        this.InsertTransfer(event.clipboardData);
      }
    }

    // A drag from inside the area moves its own (clean) content as the browser does; a
    // drop from outside is cleaned like a paste, at the point it was dropped.
    Drop(event) {
      if (this.drag_inside || !event.dataTransfer) {
        return;
      }
      event.preventDefault();
      let range = null;
      if (document.caretRangeFromPoint) {
        range = document.caretRangeFromPoint(event.clientX, event.clientY);
      } else if (document.caretPositionFromPoint) {
        const position = document.caretPositionFromPoint(event.clientX, event.clientY);
        if (position) {
          range = document.createRange();
          range.setStart(position.offsetNode, position.offset);
        }
      }
      this.area.focus();
      if (range && this.area.contains(range.startContainer)) {
        const selection = window.getSelection();
        selection.removeAllRanges();
        selection.addRange(range);
      }
      this.InsertTransfer(event.dataTransfer);
    }
  }

  function WriteBackForm(form) {
    for (const editor of editors) {
      if (editor.form === form) {
        editor.WriteBack();
      }
    }
  }

  // The toolkit posts its form with form.submit(), which fires no submit event: every
  // submit() writes the editors of its form back first. A submit event (a real submit
  // button, requestSubmit) and the form data event cover the other ways a form is sent.
  let hooked = false;
  function HookForms() {
    if (hooked) {
      return;
    }
    hooked = true;
    const native_submit = HTMLFormElement.prototype.submit;
    HTMLFormElement.prototype.submit = function () {
      WriteBackForm(this);
      return native_submit.call(this);
    };
    document.addEventListener("submit", (event) => WriteBackForm(event.target), true);
    document.addEventListener("formdata", (event) => {
      for (const editor of editors) {
        if (editor.form === event.target) {
          const html = editor.WriteBack();
          if (editor.textarea.name) {
            event.formData.set(editor.textarea.name, html);
          }
          if (event.formData.has("KstBodyIsHtml")) {
            event.formData.set("KstBodyIsHtml", "1");
          }
        }
      }
    }, true);
  }

  // Turns one textarea into an editor (once); returns the editor.
  function Attach(textarea) {
    if (!(textarea instanceof HTMLTextAreaElement)) {
      return null;
    }
    const known = editors.find((editor) => editor.textarea === textarea);
    if (known) {
      return known;
    }
    HookForms();
    const editor = new Editor(textarea);
    editors.push(editor);
    return editor;
  }

  function AttachAll() {
    document.querySelectorAll("textarea.kst-editor").forEach(Attach);
  }

  window.KstEditor = { Attach, AttachAll, CleanHtml };
  // The pages' loader may name the field to turn into an editor.
  window.editor_generate = function (name) {
    const field = document.getElementById(name) || document.getElementsByName(name)[0];
    return Attach(field) !== null;
  };

  if (document.readyState === "loading") {
    document.addEventListener("DOMContentLoaded", AttachAll);
  } else {
    AttachAll();
  }
})();
