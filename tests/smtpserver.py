#!/usr/bin/python3
"""SMTP server over implicit TLS with required AUTH for the mail client tests.

Prints "READY <port> <certificate file>" when it listens on 127.0.0.1, then one line per event:
"CONNECT", "CLOSE", "DATA" (a whole message is in, its reply not yet sent), "MESSAGE <json file>".
The same lines go to events.log in the --dir folder, and the server ends when a file named stop
appears there. With --launch PORT_FILE it is a launcher instead: listening on a free TCP port of
127.0.0.1, written to PORT_FILE once it listens, it starts a server for every connection that
sends a JSON list of arguments in one line, and answers in one line {"ready": "READY ..."} once
that server listens, or {"error": why}. A Windows test under Wine asks for its servers that way,
since Wine does not start Linux programs reliably, and the server's paths may then be Windows
paths of that prefix.
A recipient with "refused" in its address is refused, one with "explained" in it is refused in
three reply lines; a message to one with "rejected" in it is refused after its data. Every accepted message is stored as msg-N.eml (raw) and msg-N.json (what a mail reader would
see: decoded headers, body text, attachments).
Run it with /usr/bin/python3 (needs Debian's python3-aiosmtpd).
"""

import argparse
import asyncio
import base64
import email
import email.policy
import email.utils
import itertools
import json
import logging
import os
import signal
import socketserver
import ssl
import subprocess
import sys
import threading
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, TLSSetupException

# aiosmtpd counts only STARTTLS as TLS; here the whole connection is TLS from the first byte.
warnings.filterwarnings("ignore", message="Requiring AUTH while not requiring TLS")


events = None


def say(line):
    print(line, flush=True)
    events.write(line + "\n")
    events.flush()


def local_path(path):
    """A Windows path of the Wine prefix the test runs in (C:/users/...) as a Linux path."""
    prefix = os.environ.get("WINEPREFIX")
    if not prefix or len(path) < 3 or path[1] != ":" or path[2] not in "/\\":
        return path
    drive = os.path.realpath(os.path.join(prefix, "dosdevices", path[0].lower() + ":"))
    return os.path.join(drive, path[3:].replace("\\", "/"))


async def stop_when_asked(stop_file):
    while not os.path.exists(stop_file):
        await asyncio.sleep(0.1)


def make_certificate(cert_dir, name):
    """Self-signed certificate valid for `name` (plus 127.0.0.1 when it is localhost)."""
    cert = os.path.join(cert_dir, name + ".pem")
    key = os.path.join(cert_dir, name + ".key")
    if not (os.path.exists(cert) and os.path.exists(key)):
        alt = "DNS:" + name + (",IP:127.0.0.1" if name == "localhost" else "")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                        "-keyout", key + ".tmp", "-out", cert + ".tmp", "-days", "2",
                        "-subj", "/CN=" + name, "-addext", "subjectAltName=" + alt],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.replace(key + ".tmp", key)
        os.replace(cert + ".tmp", cert)
    return cert, key


def digest(envelope, ehlo):
    """What a mail reader makes of the message, for the test to compare."""
    raw = envelope.original_content or envelope.content
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    # Physical lines of the top-level headers the client writes itself (folded lines included).
    ours = (b"from:", b"to:", b"subject:", b"date:", b"message-id:")
    lengths, current = [], None
    for line in raw.split(b"\r\n\r\n", 1)[0].split(b"\r\n"):
        if not line[:1].isspace():
            current = line.lower().startswith(ours)
        if current:
            lengths.append(len(line))
    result = {
        "ehlo": ehlo,
        "mail_from": envelope.mail_from,
        "rcpt_tos": envelope.rcpt_tos,
        "from": str(msg["From"]),
        "to": str(msg["To"]),
        "from_addresses": [a.addr_spec for a in msg["From"].addresses],
        "to_addresses": [a.addr_spec for a in msg["To"].addresses],
        "to_names": [a.display_name for a in msg["To"].addresses],
        "from_names": [a.display_name for a in msg["From"].addresses],
        "subject": str(msg["Subject"]),
        "date": str(msg["Date"]),
        "date_epoch": email.utils.parsedate_to_datetime(str(msg["Date"])).timestamp(),
        "message_id": str(msg["Message-ID"]),
        "mime_version": str(msg["MIME-Version"]),
        "content_type": msg.get_content_type(),
        "longest_header_line": max(lengths),
        "defects": [repr(d) for part in msg.walk() for d in part.defects],
        "body": None,
        "attachments": [],
    }
    for part in msg.walk():
        if part.is_multipart():
            continue
        payload = part.get_payload(decode=True)
        if part.get_filename() is None and result["body"] is None:
            text = payload.decode(part.get_content_charset() or "ascii")
            result["body"] = text.replace("\r\n", "\n")
            result["body_type"] = part.get_content_type()
            result["body_charset"] = part.get_content_charset()
        else:
            result["attachments"].append({
                "filename": part.get_filename(),
                "content_type": part.get_content_type() + (
                    "; charset=" + part.get_content_charset() if part.get_content_charset() else ""),
                "encoding": part.get("Content-Transfer-Encoding", ""),
                "data": base64.b64encode(payload).decode("ascii"),
            })
    return result


class Handler:
    def __init__(self, out_dir, data_delay):
        self.out_dir = out_dir
        self.data_delay = data_delay
        self.counter = itertools.count(1)

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if "refused" in address:
            return "550 5.1.1 Mailbox unavailable"
        if "explained" in address:
            return ("550-5.1.1 Mailbox unavailable,\r\n550-5.1.1 orders go to\r\n"
                    "550 5.1.1 prodej@obojky-test.cz")
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        say("DATA")
        if self.data_delay:
            await asyncio.sleep(self.data_delay)
        if any("rejected" in rcpt for rcpt in envelope.rcpt_tos):
            return "554 5.7.1 Message rejected as spam"
        n = next(self.counter)
        base = os.path.join(self.out_dir, "msg-%d" % n)
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content or envelope.content)
        try:
            data = digest(envelope, session.host_name)
        except Exception as e:  # a message Python cannot read is a finding too
            data = {"error": repr(e)}
        with open(base + ".json.tmp", "w", encoding="utf-8") as f:
            json.dump(data, f, ensure_ascii=False)
        os.replace(base + ".json.tmp", base + ".json")
        say("MESSAGE " + base + ".json")
        return "250 Message accepted"


class ReportingSMTP(SMTP):
    def connection_made(self, transport):
        say("CONNECT")
        super().connection_made(transport)

    def connection_lost(self, exc):
        say("CLOSE")
        super().connection_lost(exc)


class Silent(asyncio.Protocol):
    """Accepts the connection (and the TLS handshake when given a context), then says nothing."""

    def connection_made(self, transport):
        say("CONNECT")

    def connection_lost(self, exc):
        say("CLOSE")


async def serve(args):
    cert, key = make_certificate(args.cert_dir, args.cert_name)
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(cert, key)
    loop = asyncio.get_running_loop()

    def check(server, session, envelope, mechanism, data):
        ok = data.login == args.login.encode() and data.password == args.password.encode()
        return AuthResult(success=ok, handled=False)

    data_delay = {"stall-data": 3600, "slow-data": args.data_delay}.get(args.mode, 0)
    handler = Handler(args.dir, data_delay)
    if args.mode == "starttls":
        def factory():
            return ReportingSMTP(handler, hostname="zirave-test.invalid", authenticator=check,
                                 tls_context=ctx, require_starttls=True, auth_required=True)
        tls = None
    elif args.mode in ("normal", "stall-data", "slow-data", "plain"):
        def factory():
            return ReportingSMTP(handler, hostname="zirave-test.invalid", authenticator=check,
                                 auth_required=True, auth_require_tls=False)
        tls = None if args.mode == "plain" else ctx
    else:
        factory = Silent
        tls = ctx if args.mode == "silent-tls" else None

    server = await loop.create_server(factory, host="127.0.0.1", port=0, ssl=tls)
    # The certificate as the caller names it, which may be a Windows path.
    say("READY %d %s" % (server.sockets[0].getsockname()[1],
                         args.cert_dir_given.rstrip("/\\") + "/" + os.path.basename(cert)))
    stopping = asyncio.ensure_future(stop_when_asked(os.path.join(args.dir, "stop")))
    serving = asyncio.ensure_future(server.serve_forever())
    await asyncio.wait([stopping, serving], return_when=asyncio.FIRST_COMPLETED)


def start_server(arguments, servers):
    """A server started with arguments, once it listens: the answer to a launcher's request."""
    server = subprocess.Popen([sys.executable, os.path.abspath(__file__)] + arguments,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    servers.append(server)
    said = []

    def report():  # what the server says on stderr goes on to ours, as before
        for line in server.stderr:
            said.append(line.decode(errors="replace"))
            sys.stderr.write(said[-1])
            sys.stderr.flush()

    reporting = threading.Thread(target=report, daemon=True)
    reporting.start()
    ready = server.stdout.readline().decode(errors="replace").strip()
    if ready.startswith("READY "):
        # Its events go to events.log as well; read them here only so that it never blocks.
        threading.Thread(target=lambda: (server.stdout.read(), server.wait()), daemon=True).start()
        return {"ready": ready}
    server.wait()
    reporting.join()
    return {"error": "tests/smtpserver.py ended with exit code %d before it listened: %s"
            % (server.returncode, "".join(said[-5:]).strip() or "it said nothing")}


def launch(port_file):
    """Starts a server for every request that comes in, until ended; its servers end with it."""
    servers = []

    class Request(socketserver.StreamRequestHandler):
        def handle(self):
            try:
                answer = start_server([str(a) for a in json.loads(self.rfile.readline())],
                                      servers)
            except Exception as e:  # the test reads the reason from the answer
                answer = {"error": repr(e)}
            self.wfile.write(json.dumps(answer).encode() + b"\n")

    socketserver.ThreadingTCPServer.daemon_threads = True
    listener = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Request)
    with open(port_file + ".part", "w") as f:
        f.write("%d\n" % listener.server_address[1])
    os.replace(port_file + ".part", port_file)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        listener.serve_forever()
    finally:
        for server in servers:
            server.kill()


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--launch":
        launch(sys.argv[2])
        return
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--dir", required=True, help="where received messages are written")
    p.add_argument("--cert-dir", required=True, help="where certificates are made and reused")
    p.add_argument("--cert-name", default="localhost", help="host name the certificate is for")
    p.add_argument("--login", default="objednavky")
    p.add_argument("--password", default="tajne-heslo")
    p.add_argument("--mode", default="normal",
                   choices=["normal", "plain", "starttls", "stall-data", "slow-data",
                            "silent-tcp", "silent-tls"],
                   help="normal: TLS from the first byte; plain: SMTP without TLS; starttls: "
                        "plain until STARTTLS, which it requires; stall-data: never answers the "
                        "end of a message; slow-data: answers it after --data-delay seconds; "
                        "silent-*: accepts connections and never says a word")
    p.add_argument("--data-delay", type=float, default=1.0,
                   help="seconds slow-data waits before accepting a message")
    args = p.parse_args()
    windows_paths = local_path(args.cert_dir) != args.cert_dir
    args.cert_dir_given = args.cert_dir if windows_paths else os.path.abspath(args.cert_dir)
    args.dir = local_path(args.dir)
    args.cert_dir = os.path.abspath(local_path(args.cert_dir))
    os.makedirs(args.dir, exist_ok=True)
    os.makedirs(args.cert_dir, exist_ok=True)
    global events
    events = open(os.path.join(args.dir, "events.log"), "a")
    logging.basicConfig(level=logging.ERROR, stream=sys.stderr)
    # A client refusing our certificate is what some tests want; keep other errors visible.
    logging.getLogger("mail.log").addFilter(
        lambda record: not (record.exc_info and isinstance(record.exc_info[1], TLSSetupException)))
    try:
        asyncio.run(serve(args))
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
