// Kestrune page protocol, browser side. The server writes each page with one form
// "SubmitForm" holding the hidden fields "IW_Action" and "IW_ActionParam"; controls call
// SubmitClick/SubmitClickConfirm to post the page with themselves as action control.
"use strict";

var GSubmitting = false;
var GURLBase = GURLBase || "";
var GAppID = GAppID || "";

function IWForm() {
  return document.forms["SubmitForm"] || null;
}

function IWSetHidden(name, value) {
  var form = IWForm();
  if (form && form.elements[name]) {
    form.elements[name].value = value;
  }
}

// Posts the page with objname as action control. Does nothing while a post is already
// under way; stops when validation is asked for and fails. Always returns false so that
// links and buttons do not follow their default action.
function SubmitClick(objname, param, ADoValidation) {
  if (GSubmitting) {
    return false;
  }
  if (ADoValidation && typeof Validate === "function" && !Validate()) {
    return false;
  }
  var form = IWForm();
  if (!form) {
    return false;
  }
  GSubmitting = true;
  IWSetHidden("IW_Action", objname);
  IWSetHidden("IW_ActionParam", param);
  IWWatchForDownload();
  form.submit();
  return false;
}

// A download answer leaves the browser on this page, which would then ignore every
// further click. The server marks such an answer with the cookie "IW_Download_"; seeing
// it, the page takes it away and may post again. A page answer replaces this page and
// its timer with it.
var GDownloadMark = "IW_Download_";

function IWClearDownloadMark() {
  document.cookie = GDownloadMark + "=; path=" + (GURLBase || "/") +
    "; expires=Thu, 01 Jan 1970 00:00:00 GMT; SameSite=Lax";
}

function IWWatchForDownload() {
  IWClearDownloadMark();
  var timer = window.setInterval(function () {
    if (document.cookie.split(/;\s*/).indexOf(GDownloadMark + "=1") < 0) {
      return;
    }
    window.clearInterval(timer);
    IWClearDownloadMark();
    GSubmitting = false;
  }, 250);
}

// As SubmitClick, after a yes/no question when AConfirmation is not empty.
function SubmitClickConfirm(objname, param, ADoValidation, AConfirmation) {
  if (GSubmitting) {
    return false;
  }
  if (AConfirmation && !window.confirm(AConfirmation)) {
    return false;
  }
  return SubmitClick(objname, param, ADoValidation);
}

// Enter in a field posts the page with the field as action control.
function CheckReturnKey(AKey, AName, AValidation) {
  if (AKey === 13) {
    SubmitClick(AName, "", AValidation);
    return false;
  }
  return true;
}

// Status-bar text; today's browsers ignore window.status, which is harmless.
function Status(msg) {
  try {
    window.status = msg;
  } catch (e) {
    // Some browsers make window.status read-only.
  }
  return true;
}

function NewWindow(URL, Name, Options) {
  window.open(URL, Name || "_blank", Options || "");
  return true;
}

function IWFocus(name) {
  var form = IWForm();
  var field = form && form.elements[name];
  if (field && typeof field.focus !== "function" && field.length) {
    field = field[0];
  }
  if (!field || typeof field.focus !== "function") {
    field = document.getElementById(name);
  }
  if (field && typeof field.focus === "function") {
    field.focus();
  }
}

// Start-up helpers called by each page's Initialize().
function InitSubmitter() {
  GSubmitting = false;
}

function StaticInit() {
  IWCL.Reset();
}

function InitRects(width, height) {
  IWCL.DesignWidth = width;
  IWCL.DesignHeight = height;
}

function ReleaseIWCL() {
  IWCL.Reset();
}

// A page restored from the browser's back-forward cache may post again.
window.addEventListener("pageshow", function () {
  GSubmitting = false;
});
