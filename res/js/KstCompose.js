// Quick writing: files chosen or dropped on the compose page are attached at once (the
// page's Attach button posts them), the recipient boxes complete every address of a
// list from the contacts, and the recipient picker's rows can be searched.
(function () {
  "use strict";

  function attachFiles(button) {
    if (button && !button.disabled) button.click();
  }

  function setUpFiles() {
    var input = document.getElementById("IWCOMPOSEFILES");
    var button = document.getElementById("IWATTACHFILES");
    if (!input || !button) return;
    input.addEventListener("change", function () {
      if (input.files && input.files.length > 0) attachFiles(button);
    });
    var zone = document.querySelector(".kst-compose") || document.body;
    var depth = 0;
    function hasFiles(event) {
      var types = event.dataTransfer && event.dataTransfer.types;
      return types && Array.prototype.indexOf.call(types, "Files") >= 0;
    }
    zone.addEventListener("dragenter", function (event) {
      if (!hasFiles(event)) return;
      event.preventDefault();
      depth++;
      zone.classList.add("kst-dragging");
    });
    zone.addEventListener("dragover", function (event) {
      if (!hasFiles(event)) return;
      event.preventDefault();
      event.dataTransfer.dropEffect = "copy";
    });
    zone.addEventListener("dragleave", function () {
      depth = Math.max(0, depth - 1);
      if (depth === 0) zone.classList.remove("kst-dragging");
    });
    zone.addEventListener("drop", function (event) {
      if (!hasFiles(event)) return;
      event.preventDefault();
      depth = 0;
      zone.classList.remove("kst-dragging");
      input.files = event.dataTransfer.files;
      attachFiles(button);
    });
  }

  // A box may hold a list ("a@x; Ann <ann@y>"): the suggestions keep what is typed before
  // the last separator, so that the browser completes the address being typed.
  function setUpCompletion() {
    var list = document.getElementById("kst-contacts");
    if (!list) return;
    var options = list.querySelectorAll("option");
    var contacts = [];
    for (var i = 0; i < options.length; i++) contacts.push(options[i].value);
    function refresh(box) {
      var text = box.value;
      var cut = Math.max(text.lastIndexOf(","), text.lastIndexOf(";"));
      var head = cut < 0 ? "" : text.slice(0, cut + 1) + " ";
      for (var k = 0; k < options.length; k++) options[k].value = head + contacts[k];
    }
    var boxes = document.querySelectorAll("input[list='kst-contacts']");
    for (var b = 0; b < boxes.length; b++) {
      (function (box) {
        box.addEventListener("focus", function () { refresh(box); });
        box.addEventListener("input", function () { refresh(box); });
      })(boxes[b]);
    }
  }

  // The picker: rows whose name or address does not hold the searched text are hidden.
  function setUpPickerSearch() {
    var search = document.getElementById("kst-contact-search");
    var grid = document.getElementById("IWREPLIST");
    if (!search || !grid) return;
    search.hidden = false;
    search.addEventListener("input", function () {
      var wanted = search.value.trim().toLowerCase();
      var rows = grid.querySelectorAll("tr");
      for (var r = 1; r < rows.length; r++) {
        var text = rows[r].textContent.toLowerCase();
        rows[r].hidden = wanted !== "" && text.indexOf(wanted) < 0;
      }
    });
  }

  function start() {
    setUpFiles();
    setUpCompletion();
    setUpPickerSearch();
  }
  if (document.readyState === "loading") {
    document.addEventListener("DOMContentLoaded", start);
  } else {
    start();
  }
})();
