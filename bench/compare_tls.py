#!/usr/bin/python3
"""TLS cost benchmark: korv over TLS against its own plaintext figures, the
floor client over TLS and mpop and msmtp over TLS, on loopback, with real
servers. Prints one table.

Workloads (medians of --runs runs; CPU = user + system time of the client
process and its children, from wait4):

  pop3-small  1000 x 4 KiB from Dovecot   TLS: pop3s://   plain: the bare form
  pop3-huge   1 x 50 MiB from Dovecot     (same Dovecot, its plain listener)
  smtp-small  1000 x 4 KiB                TLS: smtp+starttls:// to Dovecot's
  smtp-huge   1 x 50 MiB                  submission service with AUTH, which
                                          relays to OpenSMTPD; plain: the bare
                                          form straight to OpenSMTPD (the
                                          submission service wants AUTH, which
                                          only the TLS forms send)

The server certificate comes from a throwaway CA (tests/tls/make_pki.sh,
openssl CLI); korv trusts it through ca-file in korv.conf, mpop and msmtp
through their trust-file settings. The cipher the servers negotiate is read
with `openssl s_client`, and its cost per MiB with `openssl speed -evp` at
16 KiB blocks. The goal for korv's TLS CPU per MiB is "1.3 x its plaintext
CPU per MiB + the cipher's cost per MiB" (the cipher runs once per direction
at each end; the client pays it once). The floor client (floor.c) in its TLS
forms is the yardstick beside it: the same lock-step dialogue, the same
handshake and verification, in minimal C over OpenSSL's socket BIO. Its own
row shows what the formula asks even of a client that adds nothing to TLS
(the handshake and the cost of every record, which Dovecot sends 4 KiB at a
time); korv/floor is what korv's own code adds.

Every run is checked as in compare.py: POP3 mailbox emptied and every
message stored; SMTP every message delivered into OpenSMTPD's Maildir.
mpop and msmtp are installed with apt-get when missing (never needed by the
build or the tests).

Usage: bench/compare_tls.py [--korv PATH] [--runs 3] [--peer-runs N] [--workloads a,b]
                            [--clients korv,floor,mpop,msmtp]
"""
import argparse
import contextlib
import os
import re
import shutil
import subprocess
import sys
import tempfile

import compare
from compare import KIB, MIB

# name: (protocol, count, size)
WORKLOADS = {
    "pop3-small": ("pop3", 1000, 4 * KIB),
    "pop3-huge": ("pop3", 1, 50 * MIB),
    "smtp-small": ("smtp", 1000, 4 * KIB),
    "smtp-huge": ("smtp", 1, 50 * MIB),
}
# The peers over TLS, with korv in both modes; "-plain" runs the bare forms.
CLIENTS = {"pop3": ["korv", "korv-plain", "floor", "floor-plain", "mpop", "mpop-plain"],
           "smtp": ["korv", "korv-plain", "floor", "floor-plain", "msmtp", "msmtp-plain"]}
EVP = {"TLS_AES_256_GCM_SHA384": "aes-256-gcm", "TLS_AES_128_GCM_SHA256": "aes-128-gcm",
       "TLS_CHACHA20_POLY1305_SHA256": "chacha20-poly1305",
       "ECDHE-RSA-AES256-GCM-SHA384": "aes-256-gcm", "ECDHE-ECDSA-AES256-GCM-SHA384": "aes-256-gcm"}


class TlsDovecot(compare.Dovecot):
    """Dovecot with POP3 (plain and TLS listeners) and the submission
    service (STARTTLS, AUTH PLAIN) relaying to `relay_port`."""

    def __init__(self, root, pki, relay_port):
        self.port = compare.free_port()
        self.pop3s_port = compare.free_port()
        self.submission_port = compare.free_port()
        self.start(root, f"""protocols = pop3 submission
ssl = yes
ssl_cert = <{pki}/good.pem
ssl_key = <{pki}/good.key
ssl_min_protocol = TLSv1.2
auth_mechanisms = plain login
hostname = mail.bench.example
submission_relay_host = 127.0.0.1
submission_relay_port = {relay_port}
submission_relay_trusted = yes
submission_max_mail_size = 100M
""", f"""service pop3-login {{
  inet_listener pop3 {{
    address = 127.0.0.1
    port = {self.port}
  }}
  inet_listener pop3s {{
    address = 127.0.0.1
    port = {self.pop3s_port}
    ssl = yes
  }}
}}
service submission-login {{
  inet_listener submission {{
    address = 127.0.0.1
    port = {self.submission_port}
  }}
}}
""", [self.port, self.pop3s_port, self.submission_port])


def negotiated_cipher(port, ca):
    out = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % port, "-CAfile", ca],
                         input=b"", capture_output=True, timeout=20).stdout.decode(errors="replace")
    m = re.search(r"Cipher is (\S+)", out)
    v = re.search(r"(TLSv1\.[0-9])", out)
    return (m.group(1) if m else "?"), (v.group(1) if v else "?")


def cipher_seconds_per_mib(evp):
    """CPU seconds per MiB of `openssl speed -evp` at 16 KiB blocks."""
    out = subprocess.run(["openssl", "speed", "-evp", evp, "-bytes", "16384", "-seconds", "2"],
                         capture_output=True, text=True, timeout=120).stdout
    for line in out.splitlines():
        if line.lower().startswith(evp.lower()) or line.startswith("AES-") or line.startswith("ChaCha"):
            last = line.split()[-1]
            if last.endswith("k"):
                return MIB / (float(last[:-1]) * 1000.0)
    raise RuntimeError("no figure from openssl speed:\n" + out)


@contextlib.contextmanager
def tls_servers(prefix):
    """A scratch root in /dev/shm holding a throwaway PKI, OpenSMTPD and a
    Dovecot with TLS that relays to it: (root, pki, smtpd, dovecot). The
    servers are stopped and the root removed however the block ends."""
    root = tempfile.mkdtemp(prefix=prefix, dir="/dev/shm")
    os.chmod(root, 0o711)
    dovecot = smtpd = None
    try:
        pki = os.path.join(root, "pki")
        subprocess.run([os.path.join(compare.TREE, "tests/tls/make_pki.sh"), pki], check=True,
                       stdout=subprocess.DEVNULL)
        smtpd = compare.OpenSmtpd(os.path.join(root, "smtpd"))
        dovecot = TlsDovecot(os.path.join(root, "dovecot"), pki, smtpd.port)
        yield root, pki, smtpd, dovecot
    finally:
        if dovecot:
            dovecot.stop()
        if smtpd:
            smtpd.stop()
        shutil.rmtree(root, ignore_errors=True)


class TlsBench(compare.Bench):
    def __init__(self, args, root, pki):
        super().__init__(args, root)
        self.pki = pki
        self.ca = os.path.join(pki, "ca.pem")

    def korv_home(self, server_field, pop3=True):
        work = self.fresh_work("tmpfs")
        for sub in ("in", "out"):
            os.makedirs(os.path.join(work, sub))
        os.symlink(self.korv, os.path.join(work, "korv"))
        cfg = os.path.join(work, "korv.cfg")
        compare.korv_config(cfg)
        with open(cfg, "r+b") as f:  # the server fields, which may carry a scheme
            field = server_field.encode()[:63]
            f.seek(16 + 64 + 80 + 80 + (64 if pop3 else 0))
            f.write(field + b"\0" * (64 - len(field)))
        with open(os.path.join(work, "korv.conf"), "w") as f:
            f.write("ca-file = %s\n" % self.ca)
        os.chmod(os.path.join(work, "korv.conf"), 0o600)
        return work

    def pop3_tls_run(self, client, dovecot, count):
        tls = not client.endswith("-plain")
        if client.startswith("korv"):
            field = ("pop3s://127.0.0.1:%d" % dovecot.pop3s_port) if tls else "127.0.0.1:%d" % dovecot.port
            work = self.korv_home(field)
            out, per_message = os.path.join(work, "in"), 2
            argv = [os.path.join(work, "korv"), "/receive"]
        elif client.startswith("floor"):
            work = self.fresh_work("tmpfs")
            out, per_message = os.path.join(work, "in"), 2
            os.makedirs(out)
            argv = [os.path.join(self.bin, "floor"), "pop3", "127.0.0.1", str(dovecot.port), "ann", "secret", out]
            if tls:
                argv[1:4] = ["pop3s", "127.0.0.1", str(dovecot.pop3s_port)]
                argv.append(self.ca)
        else:
            work = self.fresh_work("tmpfs")
            out, per_message = os.path.join(work, "in"), 1
            for sub in ("new", "cur", "tmp"):
                os.makedirs(os.path.join(out, sub))
            rc = os.path.join(work, "mpoprc")
            with open(rc, "w") as f:
                f.write("account default\nhost 127.0.0.1\nport %d\n" % (dovecot.pop3s_port if tls else dovecot.port))
                f.write("tls on\ntls_starttls off\ntls_trust_file %s\n" % self.ca if tls else "tls off\n")
                f.write("auth user\nuser ann\npassword secret\ndelivery maildir %s\nkeep off\n"
                        "uidls_file %s/uidls\n" % (out, work))
            os.chmod(rc, 0o600)
            argv = ["mpop", "-C", rc, "-q"]
        wall, cpu, code = compare.run_timed(argv, work)
        stored = sum(len(files) for _, _, files in os.walk(out)) // per_message
        ok = code == 0 and stored == count and dovecot.left() == 0
        if not ok:
            sys.stderr.write("%s: exit %d, stored %d of %d, %d left\n" % (client, code, stored, count, dovecot.left()))
        return wall, cpu, ok

    def smtp_tls_run(self, client, dovecot, smtpd, master, count):
        tls = not client.endswith("-plain")
        if client.startswith("korv"):
            field = ("smtp+starttls://127.0.0.1:%d" % dovecot.submission_port) if tls \
                else "127.0.0.1:%d" % smtpd.port
            work = self.korv_home(field, pop3=False)
            os.rmdir(os.path.join(work, "out"))
            shutil.copytree(master, os.path.join(work, "out"))
            wall, cpu, code = compare.run_timed([os.path.join(work, "korv"), "/send"], work)
        elif client.startswith("floor"):
            work = self.fresh_work("tmpfs")
            queue = os.path.join(work, "out")
            shutil.copytree(master, queue)
            floor = os.path.join(self.bin, "floor")
            argv = ([floor, "smtp+starttls", "127.0.0.1", str(dovecot.submission_port), "ann", "secret", queue,
                     self.ca] if tls else [floor, "smtp", "127.0.0.1", str(smtpd.port), queue])
            wall, cpu, code = compare.run_timed(argv, work)
        else:
            work = self.fresh_work("tmpfs")
            queue = os.path.join(work, "out")
            shutil.copytree(master, queue)
            rc = os.path.join(work, "msmtprc")
            with open(rc, "w") as f:
                f.write("account default\nhost 127.0.0.1\ndomain bench.example\n")
                if tls:
                    f.write("port %d\ntls on\ntls_starttls on\ntls_trust_file %s\nauth plain\nuser ann\n"
                            "password secret\n" % (dovecot.submission_port, self.ca))
                else:
                    f.write("port %d\ntls off\nauth off\n" % smtpd.port)
            os.chmod(rc, 0o600)
            wall = cpu = 0.0
            code = 0
            for name in sorted(os.listdir(queue)):  # one process per message, as queue scripts run it
                if not name.endswith(".wrk"):
                    continue
                lines = open(os.path.join(queue, name)).read().split("\n")
                argv = ["msmtp", "-C", rc, "--from=" + lines[1], "--", lines[2]]
                w, c, code1 = compare.run_timed(argv, work, stdin_path=os.path.join(queue, name[:-4] + ".txt"))
                wall, cpu, code = wall + w, cpu + c, code or code1
        delivered = smtpd.drain(count)
        ok = code == 0 and delivered == count
        if not ok:
            sys.stderr.write("%s: exit %d, delivered %d of %d\n" % (client, code, delivered, count))
        return wall, cpu, ok

    def run_tls_workload(self, name, dovecot, smtpd):
        protocol, count, size = WORKLOADS[name]
        template = os.path.join(self.root, "template")
        shutil.rmtree(template, ignore_errors=True)
        (compare.fill_maildir if protocol == "pop3" else compare.fill_queue)(template, count, size)
        results = {}
        try:
            for client in CLIENTS[protocol]:
                def one_run():
                    if protocol == "pop3":
                        dovecot.refill(template)
                        return self.pop3_tls_run(client, dovecot, count)
                    return self.smtp_tls_run(client, dovecot, smtpd, template, count)
                runs = self.args.runs if client.startswith(("korv", "floor")) else self.args.peer_runs
                results[client] = compare.median_of(name, client, runs, one_run)
        finally:
            shutil.rmtree(template, ignore_errors=True)
        return results


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--korv", help="korv binary (default: a Release build in build-bench/)")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--peer-runs", type=int, help="runs of mpop and msmtp (default: --runs; msmtp takes "
                    "minutes per run on 1000 messages)")
    ap.add_argument("--workloads", default=",".join(WORKLOADS))
    ap.add_argument("--clients", default="korv,floor,mpop,msmtp", help="each runs over TLS and in plain text")
    args = ap.parse_args()
    args.peer_runs = args.peer_runs or args.runs
    workloads = args.workloads.split(",")
    for w in workloads:
        if w not in WORKLOADS:
            ap.error("unknown workload %s (known: %s)" % (w, ", ".join(WORKLOADS)))
    clients = args.clients.split(",")
    for protocol in CLIENTS:
        CLIENTS[protocol] = [c for c in CLIENTS[protocol] if c.replace("-plain", "") in clients]
    compare.install_peers([c for c in ("mpop", "msmtp") if c in clients])
    if not args.korv:
        args.korv = compare.build_korv()

    with tls_servers("qbench-tls.") as (root, pki, smtpd, dovecot):
        args.disk_root = root
        bench = TlsBench(args, root, pki)
        cipher, version = negotiated_cipher(dovecot.pop3s_port, bench.ca)
        evp = EVP.get(cipher, "aes-256-gcm")
        cipher_cost = cipher_seconds_per_mib(evp)
        print("negotiated %s %s; openssl speed -evp %s: %.5f s CPU per MiB" % (version, cipher, evp, cipher_cost),
              flush=True)
        table = []
        for name in workloads:
            mib = WORKLOADS[name][1] * WORKLOADS[name][2] / MIB
            results = bench.run_tls_workload(name, dovecot, smtpd)
            table.append((name, mib, results))

    print()
    print(compare.describe_machine("/dev/shm"))
    print("medians of %d runs (peers: %d); %s %s, cipher cost %.5f s/MiB (openssl speed -evp %s, 16 KiB blocks)"
          % (args.runs, args.peer_runs, version, cipher, cipher_cost, evp))
    print("goal = 1.3 x the client's plaintext CPU/MiB + cipher cost; floor = the floor client over TLS;")
    print("TLS extra = CPU/MiB over TLS - CPU/MiB in plain text, the cost of TLS alone, also as a ratio to the floor's")
    print("| workload | client | wall s | CPU s | CPU ms/MiB | plain CPU ms/MiB | TLS/plain CPU "
          "| goal ms/MiB | CPU/goal | wall/floor | CPU/floor | TLS extra ms/MiB | extra/floor's | checked |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for name, mib, results in table:
        floor = results.get("floor")
        floor_plain = results.get("floor-plain")
        floor_extra = (floor[1] - floor_plain[1]) / mib * 1000 if floor and floor_plain else float("nan")
        for client in [c for c in results if not c.endswith("-plain")]:
            wall, cpu, ok = results[client]
            plain = results.get(client + "-plain")
            ok = ok and (plain[2] if plain else True)
            per = cpu / mib * 1000
            plain_per = plain[1] / mib * 1000 if plain else float("nan")
            goal = 1.3 * plain_per + cipher_cost * 1000
            row = [name, client, "%.3f" % wall, "%.3f" % cpu, "%.1f" % per, "%.1f" % plain_per,
                   "%.2f" % (per / max(plain_per, 1e-6)), "%.1f" % goal, "%.2f" % (per / goal),
                   "%.2f" % (wall / floor[0]) if floor else "", "%.2f" % (cpu / max(floor[1], 1e-6)) if floor else "",
                   "%.1f" % (per - plain_per), "%.2f" % ((per - plain_per) / floor_extra) if floor_extra > 0 else "",
                   "ok" if ok else "FAILED"]
            print("| " + " | ".join(row) + " |")

if __name__ == "__main__":
    main()
