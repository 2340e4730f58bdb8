#!/usr/bin/python3
"""A real SMTP server on 127.0.0.1 for the tests, the benchmarks and the demo (aiosmtpd).

usage: smtp_peer.py PORT OUTDIR [options]
Each accepted message is written to OUTDIR as N.eml (the DATA bytes as received),
N.env (MAIL FROM, then one RCPT per line) and N.json (envelope sender, recipients,
the login used, whether TLS was on). With OUTDIR "-" nothing is kept (a sink).
Options:
  --login USER:PASSWORD   AUTH required with this login (LOGIN and PLAIN offered)
  --plain-only            offer only AUTH PLAIN
  --login-only            offer only AUTH LOGIN
  --tls CERT KEY          offer STARTTLS
  --implicit-tls CERT KEY speak TLS at once
  --refuse ADDR           answer RCPT TO for ADDR with 550 (repeatable)
Prints "ready" once it listens.
"""
import argparse
import json
import os
import ssl
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

ap = argparse.ArgumentParser()
ap.add_argument("port", type=int)
ap.add_argument("outdir")
ap.add_argument("--login")
ap.add_argument("--plain-only", action="store_true")
ap.add_argument("--login-only", action="store_true")
ap.add_argument("--tls", nargs=2)
ap.add_argument("--implicit-tls", nargs=2)
ap.add_argument("--refuse", action="append", default=[])
args = ap.parse_args()


class Handler:
    def __init__(self):
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in args.refuse:
            return "550 5.1.1 No such user here"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if args.outdir == "-":  # a sink for the benchmarks: keep nothing
            return "250 OK"
        self.count += 1
        base = os.path.join(args.outdir, str(self.count))
        with open(base + ".eml.part", "wb") as f:
            f.write(envelope.original_content or envelope.content)
        with open(base + ".env", "w") as f:
            f.write(envelope.mail_from + "\n" + "\n".join(envelope.rcpt_tos) + "\n")
        login = session.auth_data if isinstance(session.auth_data, str) else None
        meta = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "login": login,
            "tls": session.ssl is not None or bool(args.implicit_tls),
        }
        with open(base + ".json", "w") as f:
            json.dump(meta, f)
        # The .eml appears last and whole: a reader that sees it sees the rest.
        os.rename(base + ".eml.part", base + ".eml")
        return "250 Message accepted for delivery"


def authenticator(server, session, envelope, mechanism, auth_data):
    if not isinstance(auth_data, LoginPassword):
        return AuthResult(success=False, handled=False)
    user, password = args.login.split(":", 1)
    if auth_data.login.decode() == user and auth_data.password.decode() == password:
        return AuthResult(success=True, auth_data=user)
    # handled=False makes the server answer 535 itself.
    return AuthResult(success=False, handled=False)


kwargs = dict(hostname="127.0.0.1", port=args.port, decode_data=False)
if args.login:
    kwargs.update(authenticator=authenticator, auth_require_tls=False, auth_required=True)
    if args.plain_only:
        kwargs.update(auth_exclude_mechanism=["LOGIN"])
    elif args.login_only:
        kwargs.update(auth_exclude_mechanism=["PLAIN"])
for option, key in ((args.tls, "tls_context"), (args.implicit_tls, "ssl_context")):
    if option:
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ctx.load_cert_chain(*option)
        kwargs[key] = ctx

controller = Controller(Handler(), **kwargs)
controller.start()
print("ready", flush=True)
try:
    while True:
        time.sleep(3600)
except KeyboardInterrupt:
    pass
finally:
    controller.stop()
