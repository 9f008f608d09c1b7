#!/usr/bin/env python3
"""The web application as a user meets it, measured on loopback against the real server:

  - start to listening: `kestrune --headless` started until its port accepts (10 starts);
  - the login page and the home page of one live session under wrk, next to nginx serving
    a static file in the same run (a session serves one request at a time: one connection);
  - memory per idle session: RSS growth of the server over 1,000 new sessions, each shown
    its login page once (spread over 25 loopback addresses, under the per-address cap).

Not run by CI. Usage: bench/webapp_bench.py [BUILD_DIR] (default build/release);
BENCH_SECONDS sets the wrk duration (default 10). Needs wrk and nginx (apt installs them).
"""
import http.client
import os
import random
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse

AGENT = "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build/release"))
KESTRUNE = os.path.join(BUILD, "kestrune")
SECONDS = os.environ.get("BENCH_SECONDS", "10")
PASSWORD = "bench-password"


def free_port():
    """A free port below the kernel's range of client ports: a port from that range may be
    held by a client socket in TIME_WAIT (other benchmarks' connections), and then the
    server cannot bind it."""
    while True:
        port = random.randint(20000, 32000)
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue


def kestrune(home, *args):
    subprocess.run([KESTRUNE, "--home", home, *args], check=True, stdout=subprocess.DEVNULL)


def wait_listening(port, process, limit=10.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if process.poll() is not None:
            raise SystemExit(f"kestrune ended with status {process.returncode}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.05).close()
            return
        except OSError:
            time.sleep(0.001)
    raise SystemExit("kestrune did not listen in time")


def start_server(home, port):
    process = subprocess.Popen([KESTRUNE, "--headless", "--home", home],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    started = time.monotonic()
    wait_listening(port, process)
    return process, time.monotonic() - started


def request(port, method, path, cookie="", body=None, source="127.0.0.1"):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10,
                                            source_address=(source, 0))
    headers = {"User-Agent": AGENT}
    if cookie:
        headers["Cookie"] = cookie
    if body is not None:
        headers["Content-Type"] = "application/x-www-form-urlencoded"
        body = urllib.parse.urlencode(body)
    connection.request(method, path, body=body, headers=headers)
    response = connection.getresponse()
    data = response.read()
    cookies = [c.split(";", 1)[0] for k, c in response.getheaders() if k == "Set-Cookie"]
    connection.close()
    return response.status, data, "; ".join(cookies)


def new_session(port, source="127.0.0.1"):
    """Opens a session and renders its login page; returns the session cookie."""
    return open_login_page(port, source)[0]


def open_login_page(port, source="127.0.0.1"):
    """Opens a session and renders its login page; returns the session cookie and the
    form token that a post must return."""
    _, _, cookie = request(port, "GET", "/", source=source)
    status, page, update = request(port, "GET", "/index", cookie, source=source)
    if status != 200 or b"IWLogin" not in page:
        raise SystemExit(f"no login page (status {status})")
    token = re.search(rb'name="IW_FormToken" value="([0-9A-Fa-f]*)"', page)
    return merge_cookies(cookie, update), token.group(1).decode() if token else ""


def merge_cookies(old, new):
    """The cookie header after a response's Set-Cookie lines (the page tracking counter)."""
    jar = dict(part.split("=", 1) for part in old.split("; ") if "=" in part)
    jar.update(dict(part.split("=", 1) for part in new.split("; ") if "=" in part))
    return "; ".join(f"{name}={value}" for name, value in jar.items())


def log_in(port):
    cookie, token = open_login_page(port)
    status, page, update = request(port, "POST", "/index", cookie, {
        "IWUSERNAME": "Admin", "IWPASSWORD": PASSWORD, "IW_Action": "IWSUBMIT",
        "IW_ActionParam": "", "IW_FormName": "IWLogin", "IW_FormClass": "TIWLogin",
        "IW_FormToken": token})
    if status != 200 or b"Kestrune - Home" not in page:
        raise SystemExit("log-in failed")
    return merge_cookies(cookie, update)


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))


def cpu_seconds(pid):
    """User and system CPU time the process has used so far."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wrk(label, url, connections, cookie="", server_pid=None):
    """Requests per second; with server_pid also the server's CPU time per request, which
    a loaded machine disturbs far less than the rate."""
    args = ["wrk", f"-d{SECONDS}s", "--latency", f"-t{min(2, connections)}", f"-c{connections}",
            "-H", f"User-Agent: {AGENT}"]
    if cookie:
        args += ["-H", f"Cookie: {cookie}"]
    cpu_before = cpu_seconds(server_pid) if server_pid else 0.0
    started = time.monotonic()
    out = subprocess.run(args + [url], check=True, capture_output=True, text=True).stdout
    elapsed = time.monotonic() - started
    cpu_used = cpu_seconds(server_pid) - cpu_before if server_pid else 0.0
    if "Non-2xx" in out:
        raise SystemExit(f"{label}: wrk saw answers other than 2xx")
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    p50 = re.search(r"^\s*50%\s+(\S+)", out, re.M).group(1)  # not a stdev column's "75.50%"
    p99 = re.search(r"^\s*99%\s+(\S+)", out, re.M).group(1)
    cpu = f"   server CPU {cpu_used / (rps * elapsed) * 1e6:6.1f} us/req" if server_pid else ""
    print(f"{label:44s} {rps:10.0f} req/s   p50 {p50:>8s}   p99 {p99:>8s}{cpu}")
    return rps


def main():
    for tool in ("wrk", "nginx"):
        if shutil.which(tool) is None:
            subprocess.run(["apt-get", "install", "-y", "-q", tool], check=True)
    subprocess.run(["cmake", "--build", BUILD, "--target", "kestrune"], check=True,
                   stdout=subprocess.DEVNULL)
    work = tempfile.mkdtemp(prefix="kestrune-webapp-bench-")
    home = os.path.join(work, "home")
    port = free_port()
    kestrune(home, "settings", "set", "Port", str(port))
    kestrune(home, "settings", "set", "EnableSSL", "0")
    with open(os.path.join(work, "pw"), "w") as f:
        f.write(PASSWORD + "\n")
    kestrune(home, "setup", "--admin-password-file", os.path.join(work, "pw"),
             "--smtp-server", "127.0.0.1")

    starts = []
    for _ in range(10):
        process, seconds = start_server(home, port)
        starts.append(seconds * 1000)
        process.terminate()
        process.wait()
    print(f"start to listening: median {statistics.median(starts):.1f} ms, "
          f"min {min(starts):.1f}, max {max(starts):.1f} (10 starts)")

    process, _ = start_server(home, port)
    nginx = None
    try:
        time.sleep(0.5)
        idle = rss_kib(process.pid)
        for n in range(1000):
            new_session(port, source=f"127.0.1.{1 + n % 25}")
        grown = rss_kib(process.pid)
        print(f"idle server RSS {idle} KiB; after 1,000 sessions {grown} KiB: "
              f"{(grown - idle) / 1000:.1f} KiB per session")

        static = os.path.join(work, "static")
        os.makedirs(static)
        os.chmod(work, 0o755)  # nginx's workers run as another user
        shutil.copy(os.path.join(ROOT, "res/Files/kestrune.css"), static)
        nginx_port = free_port()
        os.makedirs(os.path.join(work, "nginx/logs"))
        with open(os.path.join(work, "nginx/nginx.conf"), "w") as conf:
            conf.write(f"""worker_processes 1;
error_log {work}/nginx/logs/error.log;
pid {work}/nginx/nginx.pid;
events {{ worker_connections 1024; }}
http {{ access_log off; server {{ listen 127.0.0.1:{nginx_port}; root {static}; }} }}
""")
        nginx = subprocess.Popen(["nginx", "-p", f"{work}/nginx", "-c", f"{work}/nginx/nginx.conf",
                                  "-g", "daemon off;"])
        time.sleep(0.5)
        login = wrk("login page, live session (c1)", f"http://127.0.0.1:{port}/index", 1,
                    new_session(port), process.pid)
        session = log_in(port)
        home_page = wrk("home page, live session (c1)", f"http://127.0.0.1:{port}/index", 1,
                        session, process.pid)
        if b"Kestrune - Home" not in request(port, "GET", "/index", session)[1]:
            raise SystemExit("the session left the home page during the run")
        ours = wrk("static file, Kestrune (c32)", f"http://127.0.0.1:{port}/files/kestrune.css", 32)
        theirs = wrk("static file, nginx (c32)", f"http://127.0.0.1:{nginx_port}/kestrune.css", 32)
        print(f"ratios to nginx's static file: login page {login / theirs:.3f}, "
              f"home page {home_page / theirs:.3f}, Kestrune static file {ours / theirs:.3f}")
    finally:
        if nginx is not None:
            nginx.terminate()
        process.terminate()
        process.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
