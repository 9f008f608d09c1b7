// Shows every <time class="kst-local-time"> of the page in the browser's own time zone
// and language; without script the server's text stays.
(function () {
  "use strict";
  function show() {
    var times = document.querySelectorAll("time.kst-local-time");
    for (var i = 0; i < times.length; i++) {
      var when = new Date(times[i].getAttribute("datetime"));
      if (isNaN(when.getTime())) continue;
      times[i].title = times[i].textContent;
      times[i].textContent = when.toLocaleString(undefined, {
        weekday: "short", year: "numeric", month: "short", day: "numeric",
        hour: "2-digit", minute: "2-digit"
      });
    }
  }
  if (document.readyState === "loading") {
    document.addEventListener("DOMContentLoaded", show);
  } else {
    show();
  }
})();
