"""A real FTP server (pyftpdlib) for the FTP client's tests, on 127.0.0.1.

One user with a home folder. Every command line the client sends is appended
to --commands, one per line, so a test can assert the exact sequence.

With --firewall TYPE the server first plays an FTP firewall of that logon type:
it expects the firewall's part of the logon sequence line by line, answers it
itself, and hands the remote user's part on to the real logon (rewriting
"USER user@host" to "USER user" and so on). Any unexpected line is refused with
530 and ends the session, so a wrong sequence cannot log on.
"""
import argparse
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def firewall_script(kind, user, password, host, fire_user, fire_pass):
    """(expected line, reply text or ('pass', rewritten line)) per step."""
    fw = [("USER " + fire_user, "331 Firewall password required."),
          ("PASS " + fire_pass, "230 Firewall logon accepted.")]
    scripts = {
        1: fw + [("SITE " + host, "331 Connected to " + host + ", send USER.")],
        2: fw + [("USER " + user + "@" + host, ("pass", "USER " + user))],
        3: [("OPEN " + host, "220 Connected to " + host + ".")],
        4: fw,
        5: [("USER " + user + "@" + host, ("pass", "USER " + user))],
        6: [("USER " + fire_user + "@" + host, "331 Firewall password required."),
            ("PASS " + fire_pass, "230 Firewall logon accepted.")],
        7: [("USER " + user + "@" + host + " " + fire_user, ("pass", "USER " + user))],
        8: [("USER " + user + "@" + fire_user + "@" + host, ("pass", "USER " + user)),
            ("PASS " + password + "@" + fire_pass, ("pass", "PASS " + password))],
    }
    return list(scripts[kind])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--user", required=True)
    ap.add_argument("--password", required=True)
    ap.add_argument("--home", required=True)
    ap.add_argument("--pasv-low", type=int, required=True)
    ap.add_argument("--pasv-high", type=int, required=True)
    ap.add_argument("--commands", required=True)
    ap.add_argument("--readonly", action="store_true")
    ap.add_argument("--firewall", type=int, default=0)
    ap.add_argument("--server-text", default="")
    ap.add_argument("--fire-user", default="")
    ap.add_argument("--fire-pass", default="")
    args = ap.parse_args()

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.home, perm="elr" if args.readonly else "elradfmwMT")

    commands = open(args.commands, "a", buffering=1)

    class Handler(FTPHandler):
        def on_connect(self):
            self.script = (firewall_script(args.firewall, args.user, args.password, args.server_text,
                                           args.fire_user, args.fire_pass) if args.firewall else [])

        def pre_process_command(self, line, cmd, arg):
            commands.write(line + "\n")
            if self.script:
                expected, action = self.script.pop(0)
                if line != expected:
                    self.script = []
                    self.respond("530 Firewall expected: " + expected)
                    self.close_when_done()
                    return
                if isinstance(action, str):
                    self.respond(action)
                    return
                line = action[1]
                cmd, _, arg = line.partition(" ")
            FTPHandler.pre_process_command(self, line, cmd, arg)

    Handler.authorizer = authorizer
    Handler.passive_ports = range(args.pasv_low, args.pasv_high + 1)
    Handler.auth_failed_timeout = 0
    Handler.permit_foreign_addresses = False
    Handler.banner = "Zelmar test server ready."

    server = FTPServer(("127.0.0.1", args.port), Handler)
    sys.stdout.write("listening\n")
    sys.stdout.flush()
    server.serve_forever()


if __name__ == "__main__":
    main()
