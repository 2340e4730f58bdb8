"""A real SMTP server for the session tests: aiosmtpd on 127.0.0.1.

usage: smtp_peer.py PORT MODE AUTH OUTDIR [CERT KEY]
  MODE: plain | starttls | tls (implicit)
  AUTH: both | plain | login | none
Each message is saved (unless OUTDIR is "-") as OUTDIR/N.eml (the content as received) and
OUTDIR/N.env (MAIL FROM, then one RCPT per line). Login: user / s3cret:pw.
"""
import asyncio
import os
import ssl
import sys
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

port, mode, auth, outdir = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
cert = sys.argv[5] if len(sys.argv) > 5 else None
key = sys.argv[6] if len(sys.argv) > 6 else None
USER, PASSWORD = b"user", b"s3cret:pw"


class Saver:
    count = 0

    async def handle_DATA(self, server, session, envelope):
        if outdir == "-":  # a sink for the benchmark: keep nothing
            return "250 OK"
        Saver.count += 1
        base = os.path.join(outdir, str(Saver.count))
        with open(base + ".eml.tmp", "wb") as f:
            f.write(envelope.original_content or envelope.content)
        with open(base + ".env", "w") as f:
            f.write(envelope.mail_from + "\n" + "\n".join(envelope.rcpt_tos) + "\n")
        os.rename(base + ".eml.tmp", base + ".eml")
        return "250 OK"


def authenticator(server, session, envelope, mechanism, data):
    ok = isinstance(data, LoginPassword) and data.login == USER and data.password == PASSWORD
    # handled=False makes the server answer 535 itself.
    return AuthResult(success=ok, handled=False)


kwargs = dict(hostname="127.0.0.1", port=port, decode_data=False)
if auth != "none":
    kwargs.update(authenticator=authenticator, auth_require_tls=False)
    if auth == "plain":
        kwargs["auth_exclude_mechanism"] = ["LOGIN"]
    elif auth == "login":
        kwargs["auth_exclude_mechanism"] = ["PLAIN"]
if mode in ("starttls", "tls"):
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(cert, key)
    if mode == "starttls":
        kwargs["tls_context"] = ctx
    else:
        kwargs["ssl_context"] = ctx

controller = Controller(Saver(), **kwargs)
controller.start()
print("READY", flush=True)
try:
    while True:
        time.sleep(3600)
except KeyboardInterrupt:
    pass
finally:
    controller.stop()
