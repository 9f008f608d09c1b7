#!/usr/bin/python3
"""Recording SMTP servers for the tests, on 127.0.0.1, built on aiosmtpd.

Each accepted message becomes one directory in the record directory (renamed into
place when complete) holding two files:
  envelope  "key value" lines: instance, mail_from, one rcpt_to per recipient in command
            order, auth_login (only when authenticated), tls (0/1), esmtp (0/1), helo
  data      the message bytes as received, dot-stuffing removed, CR LF kept

Instances (each on its own free port, written to the ports file when listening):
  plain     EHLO with "AUTH LOGIN PLAIN", authentication allowed without TLS
  starttls  offers STARTTLS; authentication only after it
  tls       TLS from the first byte
  helo      refuses EHLO with 500, so clients must fall back to HELO
  autheq    announces authentication only in the old form "AUTH=LOGIN PLAIN"
  reject    refuses every recipient whose local part starts with "reject" with 550
"""

import argparse
import asyncio
import itertools
import os
import signal
import ssl

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

USER = "sender"
PASSWORD = "secret"


def authenticator(server, session, envelope, mechanism, auth_data):
    if isinstance(auth_data, LoginPassword):
        if auth_data.login.decode() == USER and auth_data.password.decode() == PASSWORD:
            return AuthResult(success=True, auth_data=USER)
    return AuthResult(success=False, handled=False)


class Recorder:
    counter = itertools.count(1)

    def __init__(self, name, record_dir):
        self.name = name
        self.record_dir = record_dir

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        if self.name == "helo":
            session.extended_smtp = False
            return ["500 5.5.1 Command unrecognized: EHLO"]
        session.host_name = hostname
        if self.name == "autheq":
            return ["250-AUTH=LOGIN PLAIN" if r.startswith("250-AUTH ") else r
                    for r in responses]
        return responses

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.name == "reject" and address.lower().startswith("reject"):
            return f"550 5.1.1 <{address}>: Recipient address rejected: User unknown"
        envelope.rcpt_tos.append(address)
        return "250 2.1.5 OK"

    async def handle_DATA(self, server, session, envelope):
        lines = [f"instance {self.name}", f"mail_from {envelope.mail_from}"]
        lines += [f"rcpt_to {address}" for address in envelope.rcpt_tos]
        if session.authenticated:
            lines.append(f"auth_login {session.auth_data}")
        # session.ssl is set by STARTTLS only; a TLS listener shows in the transport.
        tls = session.ssl is not None or server.transport.get_extra_info("ssl_object")
        lines.append(f"tls {1 if tls else 0}")
        lines.append(f"esmtp {1 if session.extended_smtp else 0}")
        lines.append(f"helo {session.host_name}")
        name = f"{self.name}-{os.getpid()}-{next(self.counter):06d}"
        temp = os.path.join(self.record_dir, "." + name)
        os.mkdir(temp)
        with open(os.path.join(temp, "envelope"), "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        with open(os.path.join(temp, "data"), "wb") as f:
            f.write(envelope.original_content)
        os.rename(temp, os.path.join(self.record_dir, name))
        return "250 2.0.0 OK: queued"


def server_context(cert, key):
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)
    return context


async def main(args):
    loop = asyncio.get_running_loop()
    tls = server_context(args.cert, args.key)
    instances = {
        "plain": dict(auth_require_tls=False),
        "starttls": dict(tls_context=tls),
        "tls": dict(auth_require_tls=False, ssl=tls),
        "helo": dict(auth_require_tls=False),
        "autheq": dict(auth_require_tls=False),
        "reject": dict(auth_require_tls=False),
    }
    ports = {}
    for name, options in instances.items():
        listen_ssl = options.pop("ssl", None)
        handler = Recorder(name, args.record_dir)

        def factory(handler=handler, options=options):
            return SMTP(handler, hostname="recorder.test", authenticator=authenticator,
                        **options)

        server = await loop.create_server(factory, "127.0.0.1", 0, ssl=listen_ssl)
        ports[name] = server.sockets[0].getsockname()[1]

    temp = args.ports_file + ".tmp"
    with open(temp, "w") as f:
        for name, port in ports.items():
            f.write(f"{name}={port}\n")
    os.rename(temp, args.ports_file)

    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)
    await stop.wait()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--record-dir", required=True)
    parser.add_argument("--ports-file", required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    asyncio.run(main(parser.parse_args()))
