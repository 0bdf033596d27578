#!/usr/bin/python3
"""Loopback OAuth 2.0 authorization server for the km7 tests.

HTTPS (certificate from the test's throwaway CA) with:
  POST /device   device authorization request (RFC 8628 3.1)
  POST /token    device_code grant and refresh_token grant (RFC 6749 6)
  POST /revoke   test control: every refresh token is revoked
  POST /expire   test control: every access token has expired
Issued access tokens are written to --token-file as "user token expiry"
lines, which the test's mail server reads. Refresh tokens rotate with each
use when --rotate is given. Every request is logged to --log as a JSON line
(grant type, client id, whether a client secret came; no token values).
"""
import argparse
import json
import os
import secrets
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from portfile import write_port_file  # noqa: E402


class State:
    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.devices = {}    # device_code -> polls so far
        self.refresh = {}    # refresh token -> user
        self.access = []     # [user, token, expiry]

    def issue(self, user, lifetime):
        token = "at-" + secrets.token_urlsafe(24) + self.args.token_suffix
        self.access.append([user, token, time.time() + lifetime])
        self.write_tokens()
        return token

    def write_tokens(self):
        text = "".join("%s %s %.3f\n" % tuple(a) for a in self.access)
        tmp = self.args.token_file + ".part"
        with open(tmp, "w") as f:
            f.write(text)
        os.rename(tmp, self.args.token_file)

    def new_refresh(self, user):
        token = "rt-" + secrets.token_urlsafe(24)
        self.refresh[token] = user
        return token


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *a):
        pass

    def reply(self, status, body):
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(data)

    def do_POST(self):
        st = self.server.state
        a = st.args
        length = int(self.headers.get("Content-Length", "0"))
        form = {k: v[0] for k, v in urllib.parse.parse_qs(self.rfile.read(length).decode()).items()}
        grant = form.get("grant_type", "")
        with open(a.log, "a") as f:
            f.write(json.dumps({"path": self.path, "grant_type": grant, "client_id": form.get("client_id"),
                                "client_secret": "client_secret" in form, "scope": form.get("scope"),
                                "content_type": self.headers.get("Content-Type")}) + "\n")
        with st.lock:
            if form.get("client_id") != a.client_id and self.path in ("/device", "/token"):
                return self.reply(401, {"error": "invalid_client", "error_description": "unknown client"})
            if self.path == "/device":
                code = "dc-" + secrets.token_urlsafe(16)
                st.devices[code] = 0
                return self.reply(200, {"device_code": code, "user_code": "KM7-TEST",
                                        "verification_uri": "https://login.km7.test/device",
                                        "expires_in": a.device_lifetime, "interval": 1})
            if self.path == "/revoke":
                st.refresh.clear()
                return self.reply(200, {})
            if self.path == "/expire":
                for t in st.access:
                    t[2] = 0
                st.write_tokens()
                return self.reply(200, {})
            if self.path != "/token":
                return self.reply(404, {"error": "not_found"})
            if grant == "urn:ietf:params:oauth:grant-type:device_code":
                code = form.get("device_code")
                if code not in st.devices:
                    return self.reply(400, {"error": "invalid_grant", "error_description": "unknown device code"})
                if a.deny:
                    return self.reply(400, {"error": "access_denied", "error_description": "the user declined"})
                st.devices[code] += 1
                if st.devices[code] <= a.pending_polls:
                    return self.reply(400, {"error": "authorization_pending"})
                del st.devices[code]
                return self.reply(200, {"access_token": st.issue(a.user, a.device_access_lifetime),
                                        "token_type": "Bearer", "expires_in": a.device_access_lifetime,
                                        "refresh_token": st.new_refresh(a.user), "scope": form.get("scope", "")})
            if grant == "refresh_token":
                old = form.get("refresh_token")
                user = st.refresh.get(old)
                if user is None:
                    return self.reply(400, {"error": "invalid_grant",
                                            "error_description": "the refresh token was revoked"})
                body = {"access_token": st.issue(user, a.access_lifetime), "token_type": "Bearer",
                        "expires_in": a.access_lifetime}
                if a.rotate:
                    del st.refresh[old]
                    body["refresh_token"] = st.new_refresh(user)
                return self.reply(200, body)
            return self.reply(400, {"error": "unsupported_grant_type"})


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--port-file", required=True)
    p.add_argument("--cert", required=True)
    p.add_argument("--key", required=True)
    p.add_argument("--token-file", required=True)
    p.add_argument("--log", required=True)
    p.add_argument("--client-id", default="km7-test-client")
    p.add_argument("--user", default="alice@km7.test", help="who signs in through the device flow")
    p.add_argument("--pending-polls", type=int, default=1, help="polls answered authorization_pending")
    p.add_argument("--device-lifetime", type=int, default=600)
    p.add_argument("--device-access-lifetime", type=int, default=1,
                   help="seconds the access token of the device flow lives")
    p.add_argument("--access-lifetime", type=int, default=3600)
    p.add_argument("--rotate", action="store_true", help="a new refresh token with each refresh")
    p.add_argument("--deny", action="store_true", help="the user declines the sign-in")
    p.add_argument("--token-suffix", default="", help="appended to every access token (a hostile server)")
    p.add_argument("--refresh-token", action="append", default=[],
                   help="a refresh token valid from the start (repeatable)")
    a = p.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.state = State(a)
    for t in a.refresh_token:
        server.state.refresh[t] = a.user
    server.state.write_tokens()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(a.cert, a.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    write_port_file(a.port_file, server.server_address[1])
    server.serve_forever()


if __name__ == "__main__":
    main()
