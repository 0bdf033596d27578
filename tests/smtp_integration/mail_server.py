#!/usr/bin/python3
"""Loopback SMTP server for the km7-mail integration tests.

aiosmtpd with credential checks for LOGIN and PLAIN (its own exchanges),
plus CRAM-MD5, NTLM (v2 responses), XOAUTH2 and OAUTHBEARER added here, and
acceptance of the delivery-status-notification parameters. The access tokens
it takes are read from a file at each AUTH ("user token expiry" lines, as the
test's token endpoint writes them); a refused token gets the JSON error
challenge, and what the client answered to it is logged to stderr. Every message is written to the
spool folder as NNNN.eml with an NNNN.json envelope beside it.

Run with Debian's /usr/bin/python3 (aiosmtpd comes from python3-aiosmtpd).
"""
import argparse
import asyncio
import base64
import hashlib
import hmac
import json
import os
import secrets
import signal
import ssl
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from portfile import write_port_file  # noqa: E402

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword, auth_mechanism

DSN_PARAMS = ("RET", "ENVID", "NOTIFY", "ORCPT")


# --- MD4 (RFC 1320): OpenSSL 3 keeps it in the legacy provider, which
# hashlib does not load, so the NTLM check carries its own.
def _md4(data: bytes) -> bytes:
    def f(x, y, z): return (x & y) | (~x & z)
    def g(x, y, z): return (x & y) | (x & z) | (y & z)
    def h(x, y, z): return x ^ y ^ z
    def rol(v, s):
        v &= 0xFFFFFFFF
        return ((v << s) | (v >> (32 - s))) & 0xFFFFFFFF

    msg = bytearray(data)
    bit_len = (8 * len(data)) & 0xFFFFFFFFFFFFFFFF
    msg.append(0x80)
    while len(msg) % 64 != 56:
        msg.append(0)
    msg += struct.pack("<Q", bit_len)
    a, b, c, d = 0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476
    for off in range(0, len(msg), 64):
        x = struct.unpack("<16I", msg[off:off + 64])
        aa, bb, cc, dd = a, b, c, d
        for i in (0, 4, 8, 12):
            a = rol(a + f(b, c, d) + x[i], 3)
            d = rol(d + f(a, b, c) + x[i + 1], 7)
            c = rol(c + f(d, a, b) + x[i + 2], 11)
            b = rol(b + f(c, d, a) + x[i + 3], 19)
        for i in (0, 1, 2, 3):
            a = rol(a + g(b, c, d) + x[i] + 0x5A827999, 3)
            d = rol(d + g(a, b, c) + x[i + 4] + 0x5A827999, 5)
            c = rol(c + g(d, a, b) + x[i + 8] + 0x5A827999, 9)
            b = rol(b + g(c, d, a) + x[i + 12] + 0x5A827999, 13)
        for i in (0, 2, 1, 3):
            a = rol(a + h(b, c, d) + x[i] + 0x6ED9EBA1, 3)
            d = rol(d + h(a, b, c) + x[i + 8] + 0x6ED9EBA1, 9)
            c = rol(c + h(d, a, b) + x[i + 4] + 0x6ED9EBA1, 11)
            b = rol(b + h(c, d, a) + x[i + 12] + 0x6ED9EBA1, 15)
        a = (a + aa) & 0xFFFFFFFF
        b = (b + bb) & 0xFFFFFFFF
        c = (c + cc) & 0xFFFFFFFF
        d = (d + dd) & 0xFFFFFFFF
    return struct.pack("<4I", a, b, c, d)


assert _md4(b"abc").hex() == "a448017aaf21d8525fc10ae87aa6729d"

NTLM_SIG = b"NTLMSSP\x00"
NEG_UNICODE = 0x00000001
NEG_OEM = 0x00000002
REQUEST_TARGET = 0x00000004
NEG_NTLM = 0x00000200
NEG_ALWAYS_SIGN = 0x00008000
TARGET_TYPE_DOMAIN = 0x00010000
NEG_EXT_SEC = 0x00080000
NEG_TARGET_INFO = 0x00800000


def _secbuf(msg: bytes, off: int) -> bytes:
    length, _alloc, start = struct.unpack_from("<HHI", msg, off)
    if start + length > len(msg):
        raise ValueError("security buffer outside the message")
    return msg[start:start + length]


def ntlm_challenge_message(challenge: bytes, client_flags: int) -> bytes:
    target = "KM7TEST".encode("utf-16-le")
    # Target info: NetBIOS domain name, then end of list.
    info = struct.pack("<HH", 2, len(target)) + target + struct.pack("<HH", 0, 0)
    flags = NEG_NTLM | REQUEST_TARGET | NEG_ALWAYS_SIGN | TARGET_TYPE_DOMAIN | NEG_TARGET_INFO
    flags |= NEG_UNICODE if client_flags & NEG_UNICODE else NEG_OEM
    if client_flags & NEG_EXT_SEC:
        flags |= NEG_EXT_SEC
    header_len = 48
    msg = NTLM_SIG + struct.pack("<I", 2)
    msg += struct.pack("<HHI", len(target), len(target), header_len)
    msg += struct.pack("<I", flags) + challenge + b"\x00" * 8
    msg += struct.pack("<HHI", len(info), len(info), header_len + len(target))
    return msg + target + info


def ntlm_check_authenticate(msg: bytes, challenge: bytes, users: dict):
    """Returns (login, None) for a valid NTLMv2 answer, else (None, reason)."""
    if len(msg) < 64 or msg[:8] != NTLM_SIG or struct.unpack_from("<I", msg, 8)[0] != 3:
        return None, "not an NTLM authenticate message"
    nt_resp = _secbuf(msg, 20)
    domain_raw = _secbuf(msg, 28)
    user_raw = _secbuf(msg, 36)
    flags = struct.unpack_from("<I", msg, 60)[0]
    enc = "utf-16-le" if flags & NEG_UNICODE else "latin-1"
    user = user_raw.decode(enc)
    domain = domain_raw.decode(enc)
    if len(nt_resp) <= 24:
        return None, "NTLMv1 response refused"
    password = users.get(user)
    if password is None:
        return None, "unknown user %r" % user
    nt_hash = _md4(password.encode("utf-16-le"))
    v2_key = hmac.new(nt_hash, (user.upper() + domain).encode("utf-16-le"), hashlib.md5).digest()
    proof = hmac.new(v2_key, challenge + nt_resp[16:], hashlib.md5).digest()
    if not hmac.compare_digest(proof, nt_resp[:16]):
        return None, "wrong NTLMv2 proof for %r (domain %r)" % (user, domain)
    return (domain + "\\" + user if domain else user), None


class TestSMTP(SMTP):
    """aiosmtpd plus CRAM-MD5, NTLM and tolerance of DSN parameters."""

    connections = 0
    # The LOGIN prompts most servers send (aiosmtpd's own are "User Name\0"
    # and "Password\0"; --aiosmtpd-login-prompts keeps those).
    AuthLoginUsernameChallenge = "Username:"
    AuthLoginPasswordChallenge = "Password:"

    # Refuse every NTLM answer, as servers do that check only NTLMv1.
    refuse_ntlm = False
    token_file = None

    def __init__(self, handler, users, **kw):
        super().__init__(handler, **kw)
        TestSMTP.connections += 1
        self.connection_id = TestSMTP.connections
        self.users = users

    def _getparams(self, params):
        result = super()._getparams(params)
        if result is not None:
            # DSN parameters stay in mail_options/rcpt_options for the spool.
            for key in DSN_PARAMS:
                result.pop(key, None)
        return result

    @auth_mechanism("CRAM-MD5")
    async def auth_CRAM_MD5(self, _, args):
        if len(args) != 1:
            await self.push("501 5.5.2 CRAM-MD5 takes no initial response")
            return AuthResult(success=False, handled=True)
        challenge = "<%s.%d@km7.test>" % (secrets.token_hex(8), os.getpid())
        answer = await self.challenge_auth(challenge)
        if not isinstance(answer, bytes):
            return AuthResult(success=False)
        refused = AuthResult(success=False, handled=False)
        try:
            user, digest = answer.decode("latin-1").rsplit(" ", 1)
        except ValueError:
            return refused
        password = self.users.get(user)
        if password is None:
            return refused
        expected = hmac.new(password.encode("latin-1"), challenge.encode(), hashlib.md5).hexdigest()
        if not hmac.compare_digest(expected, digest):
            return refused
        return AuthResult(success=True, auth_data=LoginPassword(user.encode(), b""))

    @auth_mechanism("NTLM")
    async def auth_NTLM(self, _, args):
        if len(args) == 2:
            try:
                negotiate = base64.b64decode(args[1], validate=True)
            except Exception:
                await self.push("501 5.5.2 Can't decode base64")
                return AuthResult(success=False, handled=True)
        else:
            negotiate = await self.challenge_auth("")
            if not isinstance(negotiate, bytes):
                return AuthResult(success=False)
        if len(negotiate) < 16 or negotiate[:8] != NTLM_SIG or struct.unpack_from("<I", negotiate, 8)[0] != 1:
            await self.push("501 5.5.2 Not an NTLM negotiate message")
            return AuthResult(success=False, handled=True)
        client_flags = struct.unpack_from("<I", negotiate, 12)[0]
        challenge = secrets.token_bytes(8)
        answer = await self.challenge_auth(ntlm_challenge_message(challenge, client_flags))
        if not isinstance(answer, bytes):
            return AuthResult(success=False)
        try:
            login, reason = ntlm_check_authenticate(answer, challenge, self.users)
        except (ValueError, struct.error, UnicodeDecodeError) as e:
            login, reason = None, str(e)
        if self.refuse_ntlm:
            login, reason = None, "only NTLMv1 is accepted here" 
        if login is None:
            print("NTLM refused: %s" % reason, file=sys.stderr, flush=True)
            return AuthResult(success=False, handled=False)
        return AuthResult(success=True, auth_data=LoginPassword(login.encode(), b""))


    def _token_valid(self, user, token):
        if not self.token_file:
            return False
        try:
            with open(self.token_file) as f:
                lines = f.read().split("\n")
        except OSError:
            return False
        now = time.time()
        for line in lines:
            parts = line.split()
            if len(parts) == 3 and parts[0] == user and hmac.compare_digest(parts[1], token) \
                    and float(parts[2]) > now:
                return True
        return False

    async def _refuse_token(self, mechanism, expected_answer):
        error = json.dumps({"status": "invalid_token", "scope": "https://mail.km7.test/smtp",
                            "schemes": "bearer"})
        answer = await self.challenge_auth(error)
        print("%s error answer: %r" % (mechanism, answer), file=sys.stderr, flush=True)
        if answer != expected_answer:
            await self.push("501 5.5.2 unexpected answer to the error challenge")
            return AuthResult(success=False, handled=True)
        return AuthResult(success=False, handled=False)

    async def _initial(self, args):
        if len(args) == 2:
            try:
                return base64.b64decode(args[1], validate=True)
            except Exception:
                return None
        answer = await self.challenge_auth("")
        return answer if isinstance(answer, bytes) else None

    @auth_mechanism("XOAUTH2")
    async def auth_XOAUTH2(self, _, args):
        raw = await self._initial(args)
        fields = dict(f.split(b"=", 1) for f in (raw or b"").split(b"\x01") if b"=" in f)
        user = fields.get(b"user", b"").decode("latin-1")
        auth = fields.get(b"auth", b"").decode("latin-1")
        if raw is None or not raw.endswith(b"\x01\x01") or not auth.startswith("Bearer "):
            await self.push("501 5.5.2 malformed XOAUTH2 response")
            return AuthResult(success=False, handled=True)
        if self._token_valid(user, auth[7:]):
            return AuthResult(success=True, auth_data=LoginPassword(user.encode(), b""))
        return await self._refuse_token("XOAUTH2", b"")

    @auth_mechanism("OAUTHBEARER")
    async def auth_OAUTHBEARER(self, _, args):
        raw = await self._initial(args)
        parts = (raw or b"").split(b"\x01")
        gs2 = parts[0].decode("latin-1") if parts else ""
        fields = dict(f.split(b"=", 1) for f in parts[1:] if b"=" in f)
        auth = fields.get(b"auth", b"").decode("latin-1")
        user = ""
        for item in gs2.split(","):
            if item.startswith("a="):
                user = item[2:].replace("=2C", ",").replace("=3D", "=")
        if raw is None or not gs2.startswith("n,") or not raw.endswith(b"\x01\x01") \
                or not auth.startswith("Bearer ") or b"host" not in fields or b"port" not in fields:
            await self.push("501 5.5.2 malformed OAUTHBEARER response")
            return AuthResult(success=False, handled=True)
        if self._token_valid(user, auth[7:]):
            return AuthResult(success=True, auth_data=LoginPassword(user.encode(), b""))
        return await self._refuse_token("OAUTHBEARER", b"\x01")


class SpoolHandler:
    def __init__(self, spool, refused, auth_last=False):
        self.spool = spool
        self.count = 0
        self.refused = set(a.lower() for a in refused)
        self.auth_last = auth_last

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower() in self.refused:
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(rcpt_options)
        return "250 OK"

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        responses.insert(len(responses) - 1, "250-DSN")
        if self.auth_last:
            # The AUTH capability as the final line ("250 AUTH ..."), as some
            # servers list it.
            auth = [r for r in responses if r[4:].upper().startswith("AUTH")]
            if auth:
                responses = [r for r in responses if r not in auth]
                last = responses.pop()
                responses.append("250-" + last[4:])
                responses.append("250 " + auth[0][4:])
        return responses

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.spool, "%04d" % self.count)
        login = getattr(session.auth_data, "login", None)
        meta = {
            "connection": server.connection_id,
            "helo": session.host_name,
            "login": login.decode("latin-1") if isinstance(login, bytes) else None,
            "tls": bool(server._tls_protocol) or server.transport.get_extra_info("ssl_object") is not None,
            "mail_from": envelope.mail_from,
            "mail_options": envelope.mail_options,
            "rcpt_tos": envelope.rcpt_tos,
            "rcpt_options": envelope.rcpt_options,
        }
        with open(base + ".eml.part", "wb") as f:
            f.write(envelope.original_content)
        with open(base + ".json.part", "w") as f:
            json.dump(meta, f)
        # The .eml appears last, so a reader that sees it sees both files whole.
        os.rename(base + ".json.part", base + ".json")
        os.rename(base + ".eml.part", base + ".eml")
        return "250 OK message %d queued" % self.count


def authenticator(users):
    def check(server, session, envelope, mechanism, auth_data):
        if not isinstance(auth_data, LoginPassword):
            return AuthResult(success=False, handled=False)
        user = auth_data.login.decode("latin-1")
        if users.get(user) == auth_data.password.decode("latin-1"):
            return AuthResult(success=True, auth_data=auth_data)
        return AuthResult(success=False, handled=False)
    return check


async def serve(args):
    users = {}
    for item in args.user or []:
        name, _, password = item.partition(":")
        users[name] = password
    handler = SpoolHandler(args.spool, args.refuse_rcpt or [], args.auth_last)
    loop = asyncio.get_running_loop()
    context = None
    if args.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls_cert, args.tls_key)

    def factory():
        kw = dict(hostname="mail.km7.test", decode_data=False,
                  data_size_limit=args.size_limit, auth_require_tls=args.auth_after_tls)
        if context is not None and args.tls_mode == "starttls":
            kw.update(tls_context=context, require_starttls=True)
        if users or args.token_file:
            kw.update(authenticator=authenticator(users), auth_required=True)
        else:
            kw.update(auth_exclude_mechanism=["LOGIN", "PLAIN", "CRAM-MD5", "NTLM", "XOAUTH2", "OAUTHBEARER"])
        if users and not args.token_file:
            kw.update(auth_exclude_mechanism=["XOAUTH2", "OAUTHBEARER"])
        if args.exclude:
            kw["auth_exclude_mechanism"] = list(kw.get("auth_exclude_mechanism", [])) + args.exclude
        smtp = TestSMTP(handler, users, **kw)
        smtp.refuse_ntlm = args.refuse_ntlm
        smtp.token_file = args.token_file
        if args.aiosmtpd_login_prompts:
            smtp.AuthLoginUsernameChallenge = SMTP.AuthLoginUsernameChallenge
            smtp.AuthLoginPasswordChallenge = SMTP.AuthLoginPasswordChallenge
        return smtp

    server = await loop.create_server(factory, host=args.host, port=args.port,
                                      ssl=context if args.tls_mode == "implicit" else None)
    port = server.sockets[0].getsockname()[1]
    write_port_file(args.port_file, port)
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    server.close()


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--port-file", required=True)
    p.add_argument("--spool", required=True)
    p.add_argument("--user", action="append", help="user:password (repeatable); enables and requires AUTH")
    p.add_argument("--exclude", action="append", help="AUTH mechanism not to offer")
    p.add_argument("--aiosmtpd-login-prompts", action="store_true",
                   help="keep aiosmtpd's own LOGIN prompts")
    p.add_argument("--refuse-rcpt", action="append", help="recipient to refuse with 550 (repeatable)")
    p.add_argument("--size-limit", type=int, default=64 * 1024 * 1024)
    p.add_argument("--host", default="127.0.0.1", help="address to listen on")
    p.add_argument("--tls-cert", help="PEM certificate (chain) of the server")
    p.add_argument("--tls-key", help="PEM key of the server")
    p.add_argument("--tls-mode", choices=["starttls", "implicit"], default="starttls",
                   help="with --tls-cert: STARTTLS required, or TLS from the first byte")
    p.add_argument("--auth-after-tls", action="store_true", help="offer AUTH only once TLS is on")
    p.add_argument("--auth-last", action="store_true", help="list AUTH on the final EHLO line")
    p.add_argument("--refuse-ntlm", action="store_true", help="refuse every NTLM answer with 535")
    p.add_argument("--token-file", help="file of valid access tokens; enables XOAUTH2 and OAUTHBEARER")
    asyncio.run(serve(p.parse_args()))


if __name__ == "__main__":
    main()
