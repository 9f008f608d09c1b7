#!/usr/bin/env python3
"""Reading mail in a big mailbox, measured on loopback against the real server.

A user's mail store is filled with 10,000 messages of about 4 KB (every sixth with an
attachment) and an index naming them, as fetching would leave it. Then, in one session:

  - the Inbox page (its first page: the newest FolderPageSize messages);
  - opening an unread message from the Inbox (the cell click, with its status save);
  - moving 10 checked rows to Deleted (one action, one index save); they are moved back
    from the Deleted page between rounds;
  - in Chromium, the click on "Inbox" to a usable list (bench/reading_browser_bench.mjs).

Each is the time from sending the request to the whole answer, the median of ROUNDS
(default 30), and the processor time the server spent on it (all its threads, from
/proc: steadier than the wall time on a busy machine). bench/store_bench sets the index's compression (libdeflate) against two plain
zlib passes, bench/email_db_bench times one index change at several sizes.

Not run by CI. Usage: bench/reading_bench.py [BUILD_DIR] (default build/release);
MESSAGES (default 10000) and ROUNDS set the size and the repetitions; BROWSER=0 leaves
out the Chromium part.
"""
import html.parser
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/tools"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from datfiles import encode_record  # noqa: E402
from datfiles_folders import EMAIL_FIELDS, EMAIL_RECORD_SIZE, data_file  # noqa: E402
from webapp_bench import (KESTRUNE, PASSWORD, free_port, kestrune, log_in, merge_cookies,  # noqa: E402
                          request, start_server)

MESSAGES = int(os.environ.get("MESSAGES", "10000"))
ROUNDS = int(os.environ.get("ROUNDS", "30"))
WORDS = ("report budget meeting travel invoice project draft review summary weekly "
         "customer release notes agenda minutes plan update question answer").split()


def message_text(i, rng):
    subject = " ".join(rng.choice(WORDS) for _ in range(5)).capitalize() + f" #{i}"
    sender = f"Sender {i % 97} <sender{i % 97}@example.org>"
    lines = [" ".join(rng.choice(WORDS) for _ in range(12)) for _ in range(48)]
    body = "\r\n".join(lines)
    head = (f"From: {sender}\r\nTo: admin@example.test\r\nSubject: {subject}\r\n"
            f"Date: Thu, 10 Dec 2026 10:{i % 60:02d}:00 +0000\r\n"
            f"Message-ID: <bench{i}@example.org>\r\nMIME-Version: 1.0\r\n")
    if i % 6:
        return subject, sender, False, head + "Content-Type: text/plain\r\n\r\n" + body + "\r\n"
    attachment = "".join(rng.choice("ABCDEFGHabcdefgh0123456789") for _ in range(76))
    text = (head + "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
            "Content-Type: text/plain\r\n\r\n" + "\r\n".join(lines[:30]) + "\r\n--b\r\n"
            "Content-Type: application/octet-stream; name=\"data.bin\"\r\n"
            "Content-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename=\"data.bin\"\r\n\r\n" +
            "\r\n".join(attachment for _ in range(12)) + "\r\n--b--\r\n")
    return subject, sender, True, text


def fill_store(store):
    rng = random.Random(1)
    os.makedirs(store, mode=0o700, exist_ok=True)
    records = bytearray()
    for i in range(MESSAGES):
        subject, sender, attached, text = message_text(i, rng)
        name = f"b{i:07d}.eml"
        with open(os.path.join(store, name), "w", newline="") as f:
            f.write(text)
        records += encode_record(EMAIL_RECORD_SIZE, EMAIL_FIELDS, {
            "Subject": subject, "Sender": sender, "Recipient": "admin@example.test",
            "DateText": "12/10/26 10:00:00", "HasAttachment": attached, "FileName": name,
            "Status": 0 if i >= MESSAGES - 200 else 1})
    with open(os.path.join(store, "Emails.Dat"), "wb") as f:
        f.write(data_file(b"KSTE", bytes(records), EMAIL_RECORD_SIZE))


class Form(html.parser.HTMLParser):
    """The fields a browser would post from a page: hidden inputs and the check boxes."""

    def __init__(self, page):
        super().__init__()
        self.fields = {}
        self.check_boxes = []
        self.feed(page.decode("utf-8", "replace"))

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag != "input" or "name" not in attrs:
            return
        if attrs.get("type", "").lower() == "checkbox":
            self.check_boxes.append(attrs["name"])
        elif attrs.get("type", "").lower() == "hidden":
            self.fields[attrs["name"]] = attrs.get("value", "")


def server_cpu_seconds(pid):
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass  # the thread ended meanwhile
    return total / 1e9


class Session:
    def __init__(self, port, pid):
        self.port = port
        self.pid = pid
        self.cpu = {}
        deadline = time.monotonic() + 10
        while True:  # the server shows the busy page until it is ready
            try:
                self.cookie = log_in(port)
                break
            except SystemExit:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        # The page as the browser holds it: its form carries the session's token.
        _, self.page, update = request(port, "GET", "/index", self.cookie)
        self.cookie = merge_cookies(self.cookie, update)

    def post(self, action, param="", extra=None):
        form = Form(self.page)
        body = dict(form.fields, IW_Action=action, IW_ActionParam=param, **(extra or {}))
        cpu_before = server_cpu_seconds(self.pid)
        started = time.perf_counter()
        status, page, update = request(self.port, "POST", "/index", self.cookie, body)
        elapsed = time.perf_counter() - started
        self.cpu.setdefault(action, []).append(server_cpu_seconds(self.pid) - cpu_before)
        if status != 200:
            raise SystemExit(f"{action}: status {status}")
        self.cookie = merge_cookies(self.cookie, update)
        self.page = page
        return elapsed

    def title(self):
        start = self.page.find(b"<title>")
        return self.page[start + 7:self.page.find(b"</title>")].decode()


def median_ms(samples):
    return f"{statistics.median(samples) * 1000:7.1f} ms (p90 {sorted(samples)[len(samples) * 9 // 10] * 1000:.1f})"


def main():
    home = tempfile.mkdtemp(prefix="kst-reading-bench-")
    port = free_port()
    with open(os.path.join(home, "password"), "w") as f:
        f.write(PASSWORD + "\n")
    kestrune(home, "settings", "set", "Port", str(port))
    kestrune(home, "settings", "set", "EnableSSL", "0")
    kestrune(home, "setup", "--admin-password-file", os.path.join(home, "password"),
             "--smtp-server", "127.0.0.1")
    listing = subprocess.run([KESTRUNE, "--home", home, "users", "list"], check=True,
                             capture_output=True, text=True).stdout
    store = next(line.split("\t")[-1] for line in listing.splitlines()
                 if line.split("\t")[1:2] == ["Admin"])
    started = time.monotonic()
    fill_store(store)
    print(f"{MESSAGES} messages written in {time.monotonic() - started:.1f} s")
    server, _ = start_server(home, port)
    try:
        session = Session(port, server.pid)
        _, session.page, update = request(port, "GET", "/index", session.cookie)
        session.cookie = merge_cookies(session.cookie, update)
        inbox, opening, moving = [], [], []
        for round_number in range(ROUNDS):
            inbox.append(session.post("IWINBOXLINK"))
            assert "Inbox" in session.title(), session.title()
            # A message not opened yet (the newest 200 are unread): a status save each time.
            opening.append(session.post("IWINBOX", f"{round_number + 1}_2"))
            assert "Inbox" not in session.title(), session.title()
            session.post("IWINBOXLINK")
            rows = {name: "on" for name in Form(session.page).check_boxes[-10:]}
            moving.append(session.post("IWDELETE", extra=rows))
            session.post("IWDELLINK")
            rows = {name: "on" for name in Form(session.page).check_boxes[1:11]}
            session.post("IWUNDELETE", extra=rows)
        cpu = session.cpu
        print(f"Inbox page of {MESSAGES:6d}       {median_ms(inbox)}, server CPU "
              f"{median_ms(cpu['IWINBOXLINK'])}")
        print(f"open a message (status save) {median_ms(opening)}, server CPU "
              f"{median_ms(cpu['IWINBOX'])}")
        print(f"move 10 checked rows         {median_ms(moving)}, server CPU "
              f"{median_ms(cpu['IWDELETE'])}")
        if os.environ.get("BROWSER", "1") == "0":
            return
        subprocess.run(["node", os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                             "reading_browser_bench.mjs"),
                        f"http://127.0.0.1:{port}/", PASSWORD], check=True)
    finally:
        server.terminate()
        server.wait()
        subprocess.run(["rm", "-rf", home], check=False)


if __name__ == "__main__":
    main()
