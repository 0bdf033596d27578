#!/usr/bin/python3
"""Parses a message that mail_server.py spooled, with Python's email package,
and compares it with what was sent. Prints every difference; exits 0 when
there is none, 1 otherwise, 2 on bad use.
"""
import argparse
import email
import email.policy
import email.utils
import json
import os
import sys


def addresses(header_values):
    return [addr for _name, addr in email.utils.getaddresses(header_values) if addr]


def split_list(text):
    return [a.strip() for a in text.replace(";", ",").split(",") if a.strip()] if text else []


def norm_text(data: bytes) -> bytes:
    # Line ends travel as CRLF whatever the input had; the MIME framing adds
    # one line end after a text part.
    return data.replace(b"\r\n", b"\n").replace(b"\r", b"\n").rstrip(b"\n")


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--spool", required=True)
    p.add_argument("--index", type=int, default=1, help="1-based message number")
    p.add_argument("--count", type=int, help="exact number of spooled messages")
    p.add_argument("--one-connection", action="store_true",
                   help="all spooled messages came over one connection")
    p.add_argument("--from", dest="from_", help="From header address")
    p.add_argument("--from-name", help="From header display name")
    p.add_argument("--to", help="To header addresses, comma separated")
    p.add_argument("--cc", help="Cc header addresses, comma separated ('' = no Cc header)")
    p.add_argument("--mail-from", help="envelope sender")
    p.add_argument("--rcpt", help="envelope recipients in order, comma separated")
    p.add_argument("--mail-option", action="append", default=[], help="expected MAIL FROM parameter")
    p.add_argument("--rcpt-option", action="append", default=[], help="expected RCPT TO parameter")
    p.add_argument("--login", help="authenticated user name")
    p.add_argument("--tls", choices=["yes", "no"], help="whether the message came over TLS")
    p.add_argument("--helo", help="EHLO/HELO name")
    p.add_argument("--subject")
    p.add_argument("--body-file", help="file holding the text body")
    p.add_argument("--multipart", choices=["yes", "no"])
    p.add_argument("--attach", action="append", default=[], help="attached file, in order")
    a = p.parse_args()

    errors = []

    def expect(what, got, want):
        if got != want:
            errors.append("%s: got %r, want %r" % (what, got, want))

    names = sorted(n for n in os.listdir(a.spool) if n.endswith(".eml"))
    if a.count is not None:
        expect("number of messages", len(names), a.count)
    if a.one_connection:
        conns = set()
        for n in names:
            with open(os.path.join(a.spool, n[:-4] + ".json")) as f:
                conns.add(json.load(f)["connection"])
        expect("connections used", len(conns), 1 if names else 0)
    base = os.path.join(a.spool, "%04d" % a.index)
    if not os.path.exists(base + ".eml"):
        print("no message %d in the spool (%d there)" % (a.index, len(names)))
        return 1
    with open(base + ".json") as f:
        meta = json.load(f)
    with open(base + ".eml", "rb") as f:
        raw = f.read()
    msg = email.message_from_bytes(raw, policy=email.policy.default)

    for defect in msg.defects:
        errors.append("message defect: %r" % defect)
    if a.mail_from is not None:
        expect("envelope sender", meta["mail_from"], a.mail_from)
    if a.rcpt is not None:
        expect("envelope recipients", meta["rcpt_tos"], split_list(a.rcpt))
    for opt in a.mail_option:
        if opt.upper() not in meta["mail_options"]:
            errors.append("MAIL FROM parameter %r missing from %r" % (opt, meta["mail_options"]))
    for opt in a.rcpt_option:
        if opt.upper() not in meta["rcpt_options"]:
            errors.append("RCPT TO parameter %r missing from %r" % (opt, meta["rcpt_options"]))
    if not a.mail_option and any("=" in o and o.split("=")[0] in ("RET", "ENVID") for o in meta["mail_options"]):
        errors.append("unexpected DSN parameters %r" % meta["mail_options"])
    if a.tls is not None:
        expect("over TLS", meta.get("tls"), a.tls == "yes")
    if a.login is not None:
        expect("authenticated user", meta["login"], a.login or None)
    if a.helo is not None:
        expect("HELO name", meta["helo"], a.helo)

    if a.from_ is not None:
        expect("From", addresses(msg.get_all("From", [])), [a.from_])
    if a.from_name is not None:
        expect("From name", email.utils.parseaddr(str(msg["From"]))[0], a.from_name)
    if a.to is not None:
        expect("To", addresses(msg.get_all("To", [])), split_list(a.to))
    if a.cc is not None:
        expect("Cc", addresses(msg.get_all("Cc", [])), split_list(a.cc))
    if msg.get_all("Bcc"):
        errors.append("Bcc header present: %r" % msg.get_all("Bcc"))
    if a.subject is not None:
        expect("Subject", str(msg["Subject"]), a.subject)
    if msg["Date"] is None:
        errors.append("no Date header")

    if a.multipart is not None:
        expect("multipart", "yes" if msg.is_multipart() else "no", a.multipart)
    if a.body_file is not None:
        with open(a.body_file, "rb") as f:
            want = f.read()
        text_part = None
        for part in msg.walk():
            if part.get_content_type() == "text/plain" and part.get_filename() is None:
                text_part = part
                break
        if text_part is None:
            errors.append("no text/plain part")
        else:
            got = text_part.get_payload(decode=True)
            if norm_text(got) != norm_text(want):
                errors.append("body differs: got %r, want %r" % (got[:300], want[:300]))
    attachments = [part for part in msg.walk() if part.get_filename() is not None]
    if a.attach:
        expect("number of attachments", len(attachments), len(a.attach))
    for part, path in zip(attachments, a.attach):
        expect("attachment name", part.get_filename(), os.path.basename(path))
        with open(path, "rb") as f:
            want = f.read()
        got = part.get_payload(decode=True) or b""
        if got != want:
            errors.append("attachment %s differs: %d bytes received, %d sent"
                          % (os.path.basename(path), len(got), len(want)))

    for e in errors:
        print(e)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
