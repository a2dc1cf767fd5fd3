#!/usr/bin/python3
"""A loopback SMTP server with TLS and AUTH for korv's tests.

Usage: smtp_tls_server.py MODE PORT CERT KEY OUTDIR SECONDS
  MODE  starttls   STARTTLS required before AUTH and MAIL
        implicit   TLS from the first byte
        strip      STARTTLS required, but never offered (a stripping server)
        login      STARTTLS required, AUTH LOGIN (and XOAUTH2) only
        bearer     STARTTLS required, OAUTHBEARER instead of XOAUTH2

It accepts the user "ann" with the password "secret" (PLAIN, LOGIN) and
XOAUTH2 or OAUTHBEARER with the token held in OUTDIR/token (a wrong token
gets the provider's JSON challenge, then 535). Each message goes to OUTDIR as N.env
and N.data; every AUTH attempt (mechanism, user, whether it passed) is
appended to OUTDIR/auth and every MAIL to OUTDIR/mail, so a test can prove
that nothing reached the server. It prints "ready" once it listens and exits
after SECONDS or when OUTDIR/stop appears.
"""
import base64
import json
import os
import ssl
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from smtp_sink import Sink, serve  # noqa: E402  (messages are stored as the plain sink stores them)

USER, PASSWORD = b"ann", b"secret"
# Providers take XOAUTH2 lines of several thousand bytes; so does this server.
SMTP.line_length_limit = 8192


def note(outdir, name, line):
    with open(os.path.join(outdir, name), "a") as f:
        f.write(line + "\n")


class Handler(Sink):
    def __init__(self, outdir, strip):
        super().__init__(outdir)
        self.strip = strip

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        if self.strip:
            responses = [r for r in responses if "STARTTLS" not in r]
        return responses

    async def handle_MAIL(self, server, session, envelope, address, options):
        note(self.outdir, "mail", address)
        envelope.mail_from = address
        return "250 OK"

    async def auth_XOAUTH2(self, server, args):
        return await self.bearer(server, args, "XOAUTH2")

    async def auth_OAUTHBEARER(self, server, args):
        return await self.bearer(server, args, "OAUTHBEARER")

    async def bearer(self, server, args, mechanism):
        if len(args) > 1:
            answer = base64.b64decode(args[1])
        else:
            answer = await server.challenge_auth("", encode_to_b64=False)
            if answer is None:
                return AuthResult(success=False, handled=False)
        parts = answer.split(b"\x01")
        fields = dict(p.split(b"=", 1) for p in parts[1:] if b"=" in p)
        if mechanism == "XOAUTH2":
            fields.update(dict(p.split(b"=", 1) for p in parts[:1] if b"=" in p))
        else:  # the GS2 header "n,a=USER,"
            fields[b"user"] = parts[0].split(b",")[1][2:] if parts[0].startswith(b"n,a=") else b""
        with open(os.path.join(self.outdir, "token"), "rb") as f:
            token = f.read().strip()
        good = fields.get(b"user") == USER and fields.get(b"auth") == b"Bearer " + token
        note(self.outdir, "auth", "%s %s %s %d" % (mechanism, fields.get(b"user", b"").decode(),
                                                   "ok" if good else "refused", len(answer)))
        if good:
            return AuthResult(success=True, auth_data=USER)
        error = json.dumps({"status": "401", "schemes": "bearer", "scope": "https://mail.google.com/"})
        await server.push("334 " + base64.b64encode(error.encode()).decode())
        await server._reader.readline()  # the client's answer to the error
        return AuthResult(success=False, handled=False)


def authenticator(outdir):
    def check(server, session, envelope, mechanism, auth_data):
        good = isinstance(auth_data, LoginPassword) and auth_data.login == USER and auth_data.password == PASSWORD
        login = auth_data.login.decode() if isinstance(auth_data, LoginPassword) else "?"
        note(outdir, "auth", "%s %s %s" % (mechanism, login, "ok" if good else "refused"))
        return AuthResult(success=good, handled=False)  # a refusal gets the 535
    return check


def main():
    mode, port, cert, key, outdir, seconds = sys.argv[1:7]
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)
    handler = Handler(outdir, mode == "strip")
    kwargs = {"decode_data": False, "authenticator": authenticator(outdir)}
    if mode == "login":
        kwargs["auth_exclude_mechanism"] = ["PLAIN"]
    if mode == "bearer":
        kwargs["auth_exclude_mechanism"] = ["XOAUTH2"]
    else:
        kwargs.setdefault("auth_exclude_mechanism", []).append("OAUTHBEARER")
    if mode == "implicit":
        # 1.4.3 counts only STARTTLS as TLS: AUTH must be allowed "without" it here.
        kwargs["auth_require_tls"] = False
        controller = Controller(handler, hostname="127.0.0.1", port=int(port), ssl_context=context,
                                server_kwargs=kwargs)
    else:
        kwargs.update(tls_context=context, require_starttls=True, auth_require_tls=True)
        controller = Controller(handler, hostname="127.0.0.1", port=int(port), server_kwargs=kwargs)
    serve(controller, outdir, float(seconds))


if __name__ == "__main__":
    main()
