# Independent decoder for the round-trip tests: reads "<kind> <in> <out>"
# lines on stdin and decodes each input file with Python's own modules.
import base64
import binascii
import email.header
import sys

for line in sys.stdin:
    kind, src, dst = line.split()
    data = open(src, "rb").read()
    if kind == "b64":
        out = base64.b64decode(data, validate=False)
    elif kind == "qp":
        out = binascii.a2b_qp(data)
    elif kind == "word":
        text = data.decode("ascii").replace("\r\n\t", " ")
        out = str(email.header.make_header(email.header.decode_header(text))).encode("utf-8")
    else:
        raise SystemExit("unknown kind " + kind)
    open(dst, "wb").write(out)
