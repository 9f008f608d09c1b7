#!/usr/bin/env python3
"""Sending a message with a big attachment from the compose page, against the real server
and the recording SMTP server of scripts/peers, in one HTTP session:

  - the upload of a SIZE_MB (default 20) MB file of random bytes on the attachments page
    (one multipart post, as the browser's Attach sends it);
  - Send on the compose page (the message built and stored in the Outbox);
  - send/receive (the message delivered to the recorder);

each as the wall time from sending the request to the whole answer, and the server's peak
memory growth over the three: the highest resident size seen (VmRSS sampled every 5 ms and
VmHWM at the end) above the resident size just before the upload, against the goal of under
three times the attachment's size. The recorded message is decoded and its attachment
compared with the file.

Not run by CI. Usage: bench/compose_send_bench.py [BUILD_DIR] (default build/release);
SIZE_MB sets the attachment's size.
"""
import email
import email.policy
import http.client
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from reading_bench import Form  # noqa: E402
from webapp_bench import AGENT, KESTRUNE, ROOT, free_port, kestrune, merge_cookies  # noqa: E402

SIZE_MB = int(os.environ.get("SIZE_MB", "20"))
USER, PASSWORD = "sender", "bench-password"
FROM = "sender@example.test"
TO = "ann@example.test"


def status_kib(pid, field):
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(rf"{field}:\s+(\d+)", status.read()).group(1))


class Sampler(threading.Thread):
    """The highest VmRSS of a process while it runs, every 5 ms."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.peak, self.stopped = pid, 0, threading.Event()

    def run(self):
        while not self.stopped.is_set():
            self.peak = max(self.peak, status_kib(self.pid, "VmRSS"))
            time.sleep(0.005)


class Session:
    def __init__(self, port):
        self.port, self.cookie, self.page = port, "", b""

    def send(self, method, body=None, content_type="application/x-www-form-urlencoded",
             path="/index"):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=600)
        headers = {"User-Agent": AGENT}
        if self.cookie:
            headers["Cookie"] = self.cookie
        if body is not None:
            headers["Content-Type"] = content_type
        started = time.perf_counter()
        connection.request(method, path, body=body, headers=headers)
        response = connection.getresponse()
        page = response.read()
        elapsed = time.perf_counter() - started
        cookies = [c.split(";", 1)[0] for k, c in response.getheaders() if k == "Set-Cookie"]
        connection.close()
        self.cookie = merge_cookies(self.cookie, "; ".join(cookies))
        if response.status not in (200, 302):
            raise SystemExit(f"{method} {path}: status {response.status}")
        self.page = page
        return elapsed

    def post(self, action, extra=None):
        fields = dict(Form(self.page).fields, IW_Action=action, IW_ActionParam="",
                      **(extra or {}))
        return self.send("POST", urllib.parse.urlencode(fields).encode())

    def upload(self, action, field, name, content):
        boundary = "KstBenchBoundary0d1e"
        fields = dict(Form(self.page).fields, IW_Action=action, IW_ActionParam="")
        body = b"".join(
            f"--{boundary}\r\nContent-Disposition: form-data; name=\"{key}\"\r\n\r\n{value}\r\n"
            .encode() for key, value in fields.items())
        body += (f"--{boundary}\r\nContent-Disposition: form-data; name=\"{field}\"; "
                 f"filename=\"{name}\"\r\nContent-Type: application/octet-stream\r\n\r\n"
                 .encode() + content + f"\r\n--{boundary}--\r\n".encode())
        return self.send("POST", body, f"multipart/form-data; boundary={boundary}")

    def title(self):
        start = self.page.find(b"<title>")
        return self.page[start + 7:self.page.find(b"</title>")].decode()

    def expect(self, title):
        if self.title() != title:
            raise SystemExit(f"expected the page {title!r}, got {self.title()!r}")
        alert = re.search(rb"alert\(\"([^\"]*)\"", self.page)
        if alert:
            raise SystemExit(f"{title}: the page says {alert.group(1).decode()!r}")


def peers_env(directory):
    with open(os.path.join(directory, "peers.env")) as f:
        return dict(line.strip().split("=", 1) for line in f if "=" in line)


def recorded(record_dir):
    out = []
    for name in sorted(os.listdir(record_dir)):
        if name.startswith("."):
            continue
        with open(os.path.join(record_dir, name, "envelope")) as f:
            if f"mail_from {FROM}" in f.read().split("\n"):
                out.append(os.path.join(record_dir, name, "data"))
    return out


def main():
    subprocess.run(["cmake", "--build", os.path.dirname(KESTRUNE), "--target", "kestrune"],
                   check=True, stdout=subprocess.DEVNULL)
    work = tempfile.mkdtemp(prefix="kst-compose-bench-")
    peers_dir = os.path.join(work, "peers")
    peers = os.path.join(ROOT, "scripts/peers")
    subprocess.run([peers, "start", peers_dir], check=True, stdout=subprocess.DEVNULL)
    server = None
    try:
        env = peers_env(peers_dir)
        box = "box001"
        os.makedirs(os.path.join(env["POP3_MAIL_ROOT"], ".claims", box), exist_ok=True)
        home = os.path.join(work, "home")
        port = free_port()
        password_file = os.path.join(work, "pw")
        with open(password_file, "w") as f:
            f.write(PASSWORD + "\n")
        pop_password_file = os.path.join(work, "pop-pw")
        with open(pop_password_file, "w") as f:
            f.write(f"pw-{box}\n")
        kestrune(home, "settings", "set", "Port", str(port))
        kestrune(home, "settings", "set", "EnableSSL", "0")
        kestrune(home, "setup", "--admin-password-file", password_file,
                 "--smtp-server", "127.0.0.1", "--smtp-port", env["SMTP_PORT"])
        kestrune(home, "users", "add", USER, "--password-file", password_file, "--email", FROM,
                 "--display-name", "Sender", "--pop-server", "127.0.0.1", "--pop-port",
                 env["POP3_PORT"], "--pop-user", box, "--pop-password-file", pop_password_file)
        server = subprocess.Popen([KESTRUNE, "--headless", "--home", home],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        session = Session(port)
        deadline = time.monotonic() + 15
        while True:  # the server shows the busy page until it is ready
            try:
                session.send("GET", path="/")
                session.send("GET")
                if b"IWLogin" in session.page:
                    break
            except (OSError, SystemExit):
                pass
            if time.monotonic() > deadline:
                raise SystemExit("no login page")
            time.sleep(0.1)
        session.post("IWSUBMIT", {"IWUSERNAME": USER, "IWPASSWORD": PASSWORD})
        session.expect("Kestrune - Home")
        session.post("IWCREATEEMAIL")
        session.expect("Kestrune - New message")
        message = {"IWTO": TO, "IWSUBJECT": "The big file", "IWCCLIST": "", "IWBCCLIST": "",
                   "IWEMAILBODY": "<p>The file is attached.</p>", "KstBodyIsHtml": "1"}
        session.post("IWADDEDITATTACHMENTS", message)
        session.expect("Kestrune - Attachments")

        content = os.urandom(SIZE_MB * 1024 * 1024)
        pid = server.pid
        baseline = status_kib(pid, "VmRSS")
        sampler = Sampler(pid)
        sampler.start()
        upload = session.upload("IWATTACH", "IWFINDFILE", "big.bin", content)
        phases = [("upload", max(sampler.peak, status_kib(pid, "VmHWM")))]
        session.expect("Kestrune - Attachments")
        if b"big.bin" not in session.page:
            raise SystemExit("the upload is not listed")
        session.post("IWOKAY")
        session.expect("Kestrune - New message")
        send = session.post("IWSEND", message)
        phases.append(("Send", max(sampler.peak, status_kib(pid, "VmHWM"))))
        session.expect("Kestrune - Home")
        deliver = session.post("IWSENDRECV")
        sampler.stopped.set()
        sampler.join()
        peak = max(sampler.peak, status_kib(pid, "VmHWM"))
        phases.append(("send/receive", peak))
        if session.title() != "Kestrune - Home":
            raise SystemExit(f"send/receive ended on {session.title()!r}")

        data = recorded(env["SMTP_RECORD_DIR"])
        if len(data) != 1:
            raise SystemExit(f"{len(data)} messages at the recorder")
        with open(data[0], "rb") as f:
            parsed = email.message_from_binary_file(f, policy=email.policy.default)
        files = [part for part in parsed.iter_attachments() if part.get_filename() == "big.bin"]
        if len(files) != 1 or files[0].get_content() != content:
            raise SystemExit("the recorded attachment differs from the file")

        size_mib = len(content) / 1048576
        growth_mib = (peak - baseline) / 1024
        print(f"attachment                   {size_mib:7.1f} MiB (message at the relay "
              f"{os.path.getsize(data[0]) / 1048576:.1f} MiB, attachment intact)")
        print(f"upload (attachments page)    {upload * 1000:7.0f} ms")
        print(f"Send (to the Outbox)         {send * 1000:7.0f} ms")
        print(f"send/receive (delivery)      {deliver * 1000:7.0f} ms")
        print(f"server RSS before the upload {baseline / 1024:7.1f} MiB, peak "
              f"{peak / 1024:.1f} MiB")
        print("peak RSS after each step     " +
              ", ".join(f"{name} {kib / 1024:.1f} MiB" for name, kib in phases))
        print(f"peak RSS growth              {growth_mib:7.1f} MiB = "
              f"{growth_mib / size_mib:.2f} x the attachment (goal: under 3 x) "
              f"{'met' if growth_mib < 3 * size_mib else 'NOT MET'}")
    finally:
        if server is not None:
            server.terminate()
            server.wait()
        subprocess.run([peers, "stop", peers_dir], check=False, stdout=subprocess.DEVNULL)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
