# Independent MIME parser for the message round trips: reads lines
# "<message file> <expectation file>" on stdin, parses each message with
# Python's email package (policy=default) and checks it against the JSON
# expectation: no defects, the same subject, addresses, body text and
# attachment bytes. Prints every mismatch; exit status 1 if any.
# Two rules hold for every message: no line is longer than 998 octets
# (RFC 5322 2.1.1) and no encoded word longer than 75 characters (RFC 2047 2).
import email
import re
import email.policy
import json
import sys

failures = []


def fail(name, what):
    failures.append("%s: %s" % (name, what))


for line in sys.stdin:
    msg_path, exp_path = line.split()
    exp = json.load(open(exp_path, encoding="utf-8"))
    name = exp["name"]
    data = open(msg_path, "rb").read()
    for number, raw_line in enumerate(data.split(b"\r\n")):
        if len(raw_line) > 998:
            fail(name, "line %d has %d octets" % (number + 1, len(raw_line)))
    for word in re.findall(rb"=\?[^?\s]+\?[QqBb]\?[^?\s]*\?=", data):
        if len(word) > 75:
            fail(name, "encoded word of %d characters: %r" % (len(word), word[:80]))
    msg = email.message_from_bytes(data, policy=email.policy.default)
    for part in msg.walk():
        if part.defects:
            fail(name, "defects %r in %s" % (part.defects, part.get_content_type()))
        for key, value in part.items():
            if getattr(value, "defects", None):
                fail(name, "header %s defects %r" % (key, value.defects))
    if str(msg["subject"] or "") != exp["subject"]:
        fail(name, "subject %r != %r" % (str(msg["subject"]), exp["subject"]))
    to = [[a.display_name, a.addr_spec] for a in msg["to"].addresses] if msg["to"] else []
    if to != exp["to"]:
        fail(name, "to %r != %r" % (to, exp["to"]))
    frm = msg["from"].addresses[0]
    if [frm.display_name, frm.addr_spec] != exp["from"]:
        fail(name, "from %r != %r" % ([frm.display_name, frm.addr_spec], exp["from"]))
    body_part = msg.get_body(preferencelist=("html", "plain") if exp["html"] else ("plain",))
    text = body_part.get_content().replace("\r\n", "\n") if body_part is not None else ""
    want = exp["body"].replace("\r\n", "\n")
    if exp["html"]:
        if want not in text:
            fail(name, "html body %r does not hold %r" % (text, want))
    elif text != want:
        fail(name, "body %r != %r" % (text, want))
    atts = [[p.get_filename(), p.get_payload(decode=True).hex()] for p in msg.iter_attachments()]
    if atts != exp["attachments"]:
        fail(name, "attachments %r != %r" % ([[a[0], len(a[1]) // 2] for a in atts],
                                             [[a[0], len(a[1]) // 2] for a in exp["attachments"]]))

for f in failures:
    print(f)
sys.exit(1 if failures else 0)
