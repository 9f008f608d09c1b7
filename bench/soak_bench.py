#!/usr/bin/env python3
"""Many logged-in sessions kept busy for a long time, against the real server on loopback.

USERS users (default 50) get a mail store of MESSAGES messages each (default 200, as fetching
leaves them); SESSIONS sessions (default 500) log in, spread over the users and over 50
loopback addresses. Then, for SOAK_SECONDS (default 600), every session acts in turn with a
pause of THINK seconds on average (default 3) between its actions: the home page, the Inbox
page, opening a message (a status save), moving two checked rows to Deleted, and the Deleted
page with two rows moved back. WORKERS threads (default 32) carry the requests.

Every 30 s one line: requests and errors so far, latency percentiles of that interval and
the server's resident memory. An error is a failed connection, a status other than 200 or
a page other than the one the action leads to (a lost session shows the login page). At
the end: the totals and the memory growth after the warm-up (the first minute).

Not run by CI. Usage: bench/soak_bench.py [BUILD_DIR] [--short] (default build/release);
--short is a quick check: 50 sessions of 10 users for 60 s.
"""
import heapq
import html
import os
import random
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time

SHORT = "--short" in sys.argv
sys.argv = [argument for argument in sys.argv if argument != "--short"]  # BUILD_DIR is argv[1]
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/tools"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from datfiles import encode_record  # noqa: E402
from datfiles_folders import EMAIL_FIELDS, EMAIL_RECORD_SIZE, data_file  # noqa: E402
from reading_bench import message_text  # noqa: E402
from webapp_bench import (KESTRUNE, free_port, kestrune, merge_cookies, open_login_page,  # noqa: E402
                          request, rss_kib, start_server)

SESSIONS = int(os.environ.get("SESSIONS", "50" if SHORT else "500"))
USERS = int(os.environ.get("USERS", "10" if SHORT else "50"))
MESSAGES = int(os.environ.get("MESSAGES", "200"))
SECONDS = float(os.environ.get("SOAK_SECONDS", "60" if SHORT else "600"))
THINK = float(os.environ.get("THINK", "3"))
WORKERS = int(os.environ.get("WORKERS", "32"))
REPORT_EVERY = 30
WARM_UP = 60
PASSWORD = "soak-password"
ADDRESSES = 50
ACTIONS = {}  # requests per action, for the summary
ACTIONS_LOCK = threading.Lock()


def fill_store(store, user):
    rng = random.Random(user)
    os.makedirs(store, mode=0o700, exist_ok=True)
    records = bytearray()
    for i in range(MESSAGES):
        subject, sender, attached, text = message_text(i, rng)
        name = f"s{i:07d}.eml"
        with open(os.path.join(store, name), "w", newline="") as f:
            f.write(text)
        records += encode_record(EMAIL_RECORD_SIZE, EMAIL_FIELDS, {
            "Subject": subject, "Sender": sender, "Recipient": f"{user}@example.test",
            "DateText": "12/10/26 10:00:00", "HasAttachment": attached, "FileName": name,
            "Status": i % 2})
    with open(os.path.join(store, "Emails.Dat"), "wb") as f:
        f.write(data_file(b"KSTE", bytes(records), EMAIL_RECORD_SIZE))


class SoakError(Exception):
    pass


INPUT = re.compile(rb"<input\b([^>]*)>", re.IGNORECASE)
ATTRIBUTE = re.compile(rb"([A-Za-z_:][-\w:.]*)\s*=\s*(?:\"([^\"]*)\"|'([^']*)')")


class Form:
    """What a browser would post from a page: its hidden inputs, and its check boxes (the
    pages are the server's own, so a pattern reads them at a fraction of a parser's cost,
    which keeps the driver from being the bottleneck)."""

    def __init__(self, page):
        self.fields = {}
        self.check_boxes = []
        for tag in INPUT.finditer(page):
            attrs = {name.decode().lower(): html.unescape((double or single or b"").decode(
                         "utf-8", "replace")) for name, double, single in ATTRIBUTE.findall(tag.group(1))}
            if "name" not in attrs:
                continue
            kind = attrs.get("type", "").lower()
            if kind == "checkbox":
                self.check_boxes.append(attrs["name"])
            elif kind == "hidden":
                self.fields[attrs["name"]] = attrs.get("value", "")


class Session:
    """One browser: its cookie and the page it shows (whose form the next post sends)."""

    def __init__(self, port, user, source):
        self.port, self.user, self.source = port, user, source
        cookie, token = open_login_page(port, source)
        status, page, update = request(port, "POST", "/index", cookie, {
            "IWUSERNAME": user, "IWPASSWORD": PASSWORD, "IW_Action": "IWSUBMIT",
            "IW_ActionParam": "", "IW_FormName": "IWLogin", "IW_FormClass": "TIWLogin",
            "IW_FormToken": token}, source=source)
        if status != 200 or b"Kestrune - Home" not in page:
            raise SoakError(f"log-in of {user} failed (status {status})")
        self.cookie = merge_cookies(cookie, update)
        self.page = page

    def post(self, action, expected_title, param="", extra=None, latencies=None):
        body = dict(Form(self.page).fields, IW_Action=action, IW_ActionParam=param,
                    **(extra or {}))
        started = time.perf_counter()
        try:
            status, page, update = request(self.port, "POST", "/index", self.cookie, body,
                                           source=self.source)
        except OSError as error:
            raise SoakError(f"{action}: {error}") from error
        latencies.append(time.perf_counter() - started)
        with ACTIONS_LOCK:
            ACTIONS[action] = ACTIONS.get(action, 0) + 1
        if status != 200:
            raise SoakError(f"{action}: status {status}")
        self.cookie = merge_cookies(self.cookie, update)
        self.page = page
        title = self.title()
        if expected_title is not None and expected_title not in title:
            raise SoakError(f"{action}: page {title!r}")
        return title

    def title(self):
        start = self.page.find(b"<title>")
        return self.page[start + 7:self.page.find(b"</title>")].decode("utf-8", "replace")

    def act(self, rng, latencies):
        choice = rng.random()
        if choice < 0.15:
            self.post("IWHOMELINK", "Home", latencies=latencies)
        elif choice < 0.45:
            self.post("IWINBOXLINK", "Inbox", latencies=latencies)
        elif choice < 0.75:
            if "Inbox" not in self.title():
                self.post("IWINBOXLINK", "Inbox", latencies=latencies)
            rows = len(Form(self.page).check_boxes)
            if rows:
                # A message page (or a message a parallel session of the user moved away).
                self.post("IWINBOX", None, f"{rng.randint(1, min(rows, 20))}_2",
                          latencies=latencies)
        elif choice < 0.9:
            if "Inbox" not in self.title():
                self.post("IWINBOXLINK", "Inbox", latencies=latencies)
            boxes = Form(self.page).check_boxes
            if boxes:
                rows = {name: "on" for name in rng.sample(boxes, min(2, len(boxes)))}
                self.post("IWDELETE", None, extra=rows, latencies=latencies)
        else:
            self.post("IWDELLINK", "Deleted", latencies=latencies)
            boxes = Form(self.page).check_boxes
            if boxes:
                rows = {name: "on" for name in rng.sample(boxes, min(2, len(boxes)))}
                self.post("IWUNDELETE", None, extra=rows, latencies=latencies)


def percentile(samples, fraction):
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(len(ordered) * fraction))] * 1000


class Soak:
    def __init__(self, sessions, pid):
        self.pid = pid
        self.lock = threading.Lock()
        self.due = [(time.monotonic() + random.random() * THINK, n) for n in range(len(sessions))]
        heapq.heapify(self.due)
        self.sessions = sessions
        self.latencies = []
        self.all_latencies = []
        self.requests = 0
        self.errors = []
        self.end = time.monotonic() + SECONDS

    def worker(self, seed):
        rng = random.Random(seed)
        while True:
            with self.lock:
                if not self.due:
                    return
                at, n = heapq.heappop(self.due)
            if at > self.end:
                return
            time.sleep(max(0.0, at - time.monotonic()))
            latencies = []
            try:
                self.sessions[n].act(rng, latencies)
            except SoakError as error:
                with self.lock:
                    self.errors.append(f"{self.sessions[n].user}: {error}")
            with self.lock:
                self.requests += len(latencies)
                self.latencies += latencies
                self.all_latencies += latencies
                heapq.heappush(self.due, (time.monotonic() + rng.expovariate(1 / THINK), n))

    def report(self, started, rss):
        with self.lock:
            interval, self.latencies = self.latencies, []
            requests, errors = self.requests, len(self.errors)
        elapsed = time.monotonic() - started
        rss.append((elapsed, rss_kib(self.pid)))
        if interval:
            spread = (f"p50 {percentile(interval, 0.5):6.1f}  p90 {percentile(interval, 0.9):6.1f}"
                      f"  p99 {percentile(interval, 0.99):7.1f}  max {max(interval) * 1000:7.1f} ms")
        else:
            spread = "no requests"
        print(f"{elapsed:5.0f} s  {requests:7d} requests  {errors:3d} errors  {spread}  "
              f"RSS {rss[-1][1] / 1024:6.1f} MiB", flush=True)


def main():
    home = tempfile.mkdtemp(prefix="kst-soak-bench-")
    port = free_port()
    password_file = os.path.join(home, "password")
    with open(password_file, "w") as f:
        f.write(PASSWORD + "\n")
    kestrune(home, "settings", "set", "Port", str(port))
    kestrune(home, "settings", "set", "EnableSSL", "0")
    kestrune(home, "setup", "--admin-password-file", password_file, "--smtp-server", "127.0.0.1")
    users = [f"soak{n:03d}" for n in range(USERS)]
    for user in users:
        kestrune(home, "users", "add", user, "--password-file", password_file)
    listing = subprocess.run([KESTRUNE, "--home", home, "users", "list"], check=True,
                             capture_output=True, text=True).stdout
    stores = {line.split("\t")[1]: line.split("\t")[-1] for line in listing.splitlines()
              if len(line.split("\t")) > 2}
    for user in users:
        fill_store(stores[user], user)
    server, _ = start_server(home, port)
    try:
        started = time.monotonic()
        sessions = [Session(port, users[n % USERS], f"127.0.3.{1 + n % ADDRESSES}")
                    for n in range(SESSIONS)]
        print(f"{SESSIONS} sessions of {USERS} users ({MESSAGES} messages each) logged in in "
              f"{time.monotonic() - started:.1f} s; {SECONDS:.0f} s of work, {WORKERS} workers, "
              f"a pause of {THINK} s on average", flush=True)
        soak = Soak(sessions, server.pid)
        threads = [threading.Thread(target=soak.worker, args=(n,), daemon=True)
                   for n in range(WORKERS)]
        started = time.monotonic()
        for thread in threads:
            thread.start()
        rss = []
        while any(thread.is_alive() for thread in threads):
            next_report = started + (len(rss) + 1) * REPORT_EVERY
            while time.monotonic() < next_report and any(t.is_alive() for t in threads):
                time.sleep(0.5)
            soak.report(started, rss)
            if server.poll() is not None:
                raise SystemExit(f"the server ended with status {server.returncode}")
        total = soak.all_latencies
        print(f"total: {soak.requests} requests, {len(soak.errors)} errors; latency p50 "
              f"{percentile(total, 0.5):.1f} ms, p90 {percentile(total, 0.9):.1f}, p99 "
              f"{percentile(total, 0.99):.1f}, max {max(total) * 1000:.1f} ms")
        print("requests per action:", ", ".join(f"{a} {n}" for a, n in sorted(ACTIONS.items())))
        after_warm_up = [kib for elapsed, kib in rss if elapsed >= WARM_UP] or [rss[-1][1]]
        print(f"RSS after the warm-up: first {after_warm_up[0] / 1024:.1f} MiB, last "
              f"{after_warm_up[-1] / 1024:.1f} MiB, highest {max(after_warm_up) / 1024:.1f} MiB, "
              f"median {statistics.median(after_warm_up) / 1024:.1f} MiB")
        for error in soak.errors[:20]:
            print("error:", error)
        if soak.errors:
            sys.exit(1)
    finally:
        server.terminate()
        server.wait()
        subprocess.run(["rm", "-rf", home], check=False)


if __name__ == "__main__":
    main()
