#!/usr/bin/env python3
"""A fake OAuth2 authorization server for the sign-in tests, on 127.0.0.1
over TLS with the test PKI. It checks what a real one checks (client_id,
PKCE S256, state passed through, the identical redirect_uri, the current
refresh token) and plays the faults named in DIR/mode, read at every
request so a test can switch it:

  ok            tokens as asked (the refresh token stays)
  rotate        every refresh also gives a new refresh token
  short         expires_in=5
  invalid_grant refresh refused with Microsoft's idle-expiry text
  consent       code exchange refused with AADSTS65001
  stall         the token endpoint says nothing for 40 s
  html          a 200 with an HTML page
  huge          a 200 with 100 KiB of JSON
  500           an internal error (at /revoke too)
  deny          /authorize redirects back with error=access_denied
  device        device polls: pending, slow_down, then tokens
  expired       device polls: expired_token

POST /introspect tells a mail server whether an access token is the current
one (for user ann). POST /revoke withdraws the current refresh token (noted in DIR/revocations).
State in DIR: tokens.json (the current tokens, for the leak and rotation
checks), access (the current access token alone, for the mail servers), refreshes (one line per refresh granted), requests.log (endpoint
grant type and whether a client secret came, of every request; never a secret). Stops by itself after
the given seconds.
"""
import base64, hashlib, http.server, json, os, secrets, ssl, sys, threading, time, urllib.parse

cert, key, directory, lifetime = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
CLIENT = "korv-test-client"
lock = threading.Lock()
pending = {}        # code -> (challenge, redirect_uri)
devices = {}        # device_code -> polls so far
tokens = {"access": None, "refresh": None}


def mode():
    try:
        with open(os.path.join(directory, "mode")) as f:
            return f.read().strip() or "ok"
    except FileNotFoundError:
        return "ok"


def note(name, text):
    with open(os.path.join(directory, name), "a") as f:
        f.write(text + "\n")


def save_tokens():
    with open(os.path.join(directory, "tokens.json.tmp"), "w") as f:
        json.dump(tokens, f)
    os.replace(os.path.join(directory, "tokens.json.tmp"), os.path.join(directory, "tokens.json"))
    # The mail servers of the tests accept only the current access token.
    with open(os.path.join(directory, "access.tmp"), "w") as f:
        f.write(tokens["access"])
    os.replace(os.path.join(directory, "access.tmp"), os.path.join(directory, "access"))


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def send(self, status, body, kind="application/json", extra=()):
        data = body.encode() if isinstance(body, str) else body
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(data)))
        for k, v in extra:
            self.send_header(k, v)
        self.end_headers()
        self.wfile.write(data)

    def error(self, code, description="", status=400):
        self.send(status, json.dumps({"error": code, "error_description": description}))

    def issue(self, new_refresh):
        tokens["access"] = "AT-" + secrets.token_urlsafe(24)
        if new_refresh or tokens["refresh"] is None:
            tokens["refresh"] = "RT-" + secrets.token_urlsafe(24)
        save_tokens()
        answer = {"access_token": tokens["access"], "token_type": "Bearer",
                  "expires_in": 5 if mode() == "short" else 3600}
        if new_refresh:
            answer["refresh_token"] = tokens["refresh"]
        self.send(200, json.dumps(answer))

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        q = dict(urllib.parse.parse_qsl(url.query))
        note("requests.log", "GET " + url.path)
        if url.path != "/authorize":
            return self.send(404, "{}")
        redirect = q.get("redirect_uri", "")
        ok = (q.get("client_id") == CLIENT and q.get("response_type") == "code"
              and q.get("code_challenge_method") == "S256" and len(q.get("code_challenge", "")) == 43
              and q.get("state") and redirect.startswith(("http://127.0.0.1:", "http://localhost:")))
        if not ok:
            return self.send(400, "bad authorization request", "text/plain")
        if mode() == "deny":
            back = {"error": "access_denied", "state": q["state"]}
        else:
            code = "C-" + secrets.token_urlsafe(16)
            with lock:
                pending[code] = (q["code_challenge"], redirect)
            back = {"code": code, "state": q["state"]}
        self.send(302, "", "text/plain", [("Location", redirect + "?" + urllib.parse.urlencode(back))])

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        form = dict(urllib.parse.parse_qsl(self.rfile.read(length).decode()))
        path = urllib.parse.urlsplit(self.path).path
        grant = form.get("grant_type", "")
        note("requests.log", "POST " + path + " " + grant + (" with client secret" if form.get("client_secret") else ""))
        m = mode()
        if path == "/revoke":  # as Google's: the token alone, no client
            if m == "500":
                return self.send(500, "internal error", "text/plain")
            with lock:
                if not form.get("token") or form.get("token") != tokens["refresh"]:
                    return self.error("invalid_token")
                tokens["refresh"] = None
            note("revocations", "revoked")
            return self.send(200, "{}")
        if path == "/introspect":  # RFC 7662, as a mail server asks it
            with lock:
                active = bool(form.get("token")) and form.get("token") == tokens["access"]
            note("introspections", "active" if active else "inactive")
            return self.send(200, json.dumps({"active": True, "username": "ann"} if active else {"active": False}))
        if form.get("client_id") != CLIENT:
            return self.error("invalid_client", "unknown client", 401)
        if path == "/devicecode":
            code = "D-" + secrets.token_urlsafe(16)
            devices[code] = 0
            return self.send(200, json.dumps({"device_code": code, "user_code": "KORV-TEST",
                                              "verification_uri": "https://127.0.0.1/device",
                                              "interval": 1, "expires_in": 60}))
        if path != "/token":
            return self.send(404, "{}")
        if m == "stall":
            time.sleep(40)
        if m == "html":
            return self.send(200, "<html><body>Sign in</body></html>", "text/html")
        if m == "huge":
            return self.send(200, json.dumps({"padding": "x" * 100 * 1024}))
        if m == "500":
            return self.send(500, "internal error", "text/plain")
        with lock:
            if grant == "authorization_code":
                entry = pending.pop(form.get("code", ""), None)
                if entry is None:
                    return self.error("invalid_grant", "unknown or used code")
                challenge, redirect = entry
                verifier = form.get("code_verifier", "")
                computed = base64.urlsafe_b64encode(hashlib.sha256(verifier.encode()).digest()).rstrip(b"=").decode()
                if computed != challenge:
                    return self.error("invalid_grant", "PKCE verification failed")
                if form.get("redirect_uri") != redirect:
                    return self.error("invalid_grant", "AADSTS50011: redirect_uri mismatch")
                if m == "consent":
                    return self.error("invalid_grant", "AADSTS65001: The user or administrator has not consented")
                return self.issue(True)
            if grant == "refresh_token":
                if m == "invalid_grant":
                    return self.error("invalid_grant", "AADSTS700082: The refresh token has expired due to inactivity.")
                if form.get("refresh_token") != tokens["refresh"]:
                    return self.error("invalid_grant", "Token has been expired or revoked.")
                note("refreshes", "refresh")
                time.sleep(0.3)  # long enough for a second run to queue behind the lock
                return self.issue(m == "rotate")
            if grant == "urn:ietf:params:oauth:grant-type:device_code":
                polls = devices.get(form.get("device_code", ""))
                if polls is None:
                    return self.error("invalid_grant", "unknown device code")
                devices[form["device_code"]] = polls + 1
                if m == "expired":
                    return self.error("expired_token")
                if polls == 0:
                    return self.error("authorization_pending")
                if polls == 1:
                    return self.error("slow_down")
                return self.issue(True)
        return self.error("unsupported_grant_type")


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # a client that hangs up (the size limit, the time limit) is expected


server = Server(("127.0.0.1", 0), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
threading.Timer(lifetime, server.shutdown).start()
with open(os.path.join(directory, "port.tmp"), "w") as f:
    f.write(str(server.server_address[1]))
os.replace(os.path.join(directory, "port.tmp"), os.path.join(directory, "port"))
server.serve_forever()
