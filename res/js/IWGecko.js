// Browser-kind script for pages served to the "gecko" kind of browser. Today's browsers
// share one standard event model, so only the kind is recorded here.
"use strict";

var IWBrowserKind = "gecko";

// The key code of a key event, for handlers written as CheckReturnKey(event.keyCode, ...).
function IWKeyCode(event) {
  return event ? event.keyCode || event.which || 0 : 0;
}
