#!/usr/bin/env python3
"""Fetches one Dovecot mailbox with korv, mpop and fetchmail, side by side.

Each client gets the same mailbox (filled anew from one set of generated
messages before every run) from a private Dovecot on a free loopback port,
and stores every message as a file: korv into its inbound directory, mpop
into a maildir, fetchmail through an MDA that writes one file per message.
Reported per client and workload: medians of wall time, CPU time (user+sys,
the client and its children) and peak memory; korv/mpop ratios.

korv runs twice: as built (both files of every pair and their directory are
forced to disk before DELE) and with fsync made a no-op through a preloaded
shim, so that the cost of the forced writes shows on its own.

Usage: run_bench.py --korv build-pop3/transfer/korv [--runs 3] [--dir /dev/shm]
                    [--workloads small,large,huge]
"""
import argparse
import os
import pwd
import grp
import random
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

WORKLOADS = {
    "small": ("1000 x 4 KiB", 1000, 4 << 10),
    "large": ("20 x 2 MiB", 20, 2 << 20),
    "huge": ("1 x 50 MiB", 1, 50 << 20),
}

NOFSYNC_C = r"""
int fsync(int fd) { (void)fd; return 0; }
int fdatasync(int fd) { (void)fd; return 0; }
"""


def message(index, size, rng):
    head = (f"From: Sender {index} <sender{index}@example.org>\nTo: Ann <ann@example.net>\n"
            f"Subject: bench {index}\n\n")
    lines = [head]
    total = len(head)
    alphabet = bytes(range(32, 127)).decode() + "\u00e4\u00f6\u00fc"
    while total < size:
        line = "".join(rng.choice(alphabet) for _ in range(rng.randint(20, 76)))
        if rng.random() < 0.02:
            line = "." + line
        line += "\n"
        lines.append(line)
        total += len(line.encode())
    return "".join(lines).encode()


def fill_template(path, count, size):
    os.makedirs(path)
    rng = random.Random(1234)
    # One block of random lines repeated keeps generation fast for big messages.
    block = message(0, 256 << 10, rng)
    for i in range(count):
        head = (f"From: Sender {i} <sender{i}@example.org>\nTo: Ann <ann@example.net>\n"
                f"Subject: bench {i}\n\n").encode()
        body = bytearray(head)
        while len(body) < size:
            body += block[block.index(b"\n\n") + 2:][: size - len(body)]
        if not body.endswith(b"\n"):
            body += b"\n"
        with open(os.path.join(path, f"{1700000000 + i}.M{i}P1.bench"), "wb") as f:
            f.write(body)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Dovecot:
    def __init__(self, root):
        self.root = root
        self.port = free_port()
        os.makedirs(root, exist_ok=True)
        os.chmod(os.path.dirname(root), 0o711)  # the login processes must reach base_dir
        os.chmod(root, 0o711)
        for sub in ("base", "state", "mail/ann/Maildir/new", "mail/ann/Maildir/cur", "mail/ann/Maildir/tmp"):
            os.makedirs(os.path.join(root, sub), exist_ok=True)
        with open(os.path.join(root, "passwd"), "w") as f:
            f.write("ann:{PLAIN}secret\n")
        with open(os.path.join(root, "dovecot.conf"), "w") as f:
            f.write(f"""protocols = pop3
listen = 127.0.0.1
base_dir = {root}/base
state_dir = {root}/state
log_path = {root}/dovecot.log
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
mail_location = maildir:{root}/mail/%u/Maildir
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {root}/passwd
}}
userdb {{
  driver = static
  args = uid=nobody gid=nogroup home={root}/mail/%u
}}
service pop3-login {{
  inet_listener pop3 {{
    address = 127.0.0.1
    port = {self.port}
  }}
  inet_listener pop3s {{
    port = 0
  }}
}}
""")
        self.pid = 0

    def maildir(self):
        return os.path.join(self.root, "mail/ann/Maildir")

    def refill(self, template):
        md = self.maildir()
        for sub in ("new", "cur", "tmp"):
            shutil.rmtree(os.path.join(md, sub))
            os.makedirs(os.path.join(md, sub))
        for name in os.listdir(md):
            if name.startswith("dovecot"):
                os.remove(os.path.join(md, name))
        for name in os.listdir(template):
            shutil.copyfile(os.path.join(template, name), os.path.join(md, "new", name))
        uid, gid = pwd.getpwnam("nobody").pw_uid, grp.getgrnam("nogroup").gr_gid
        for top, dirs, files in os.walk(os.path.join(self.root, "mail")):
            os.lchown(top, uid, gid)
            for n in files:
                os.lchown(os.path.join(top, n), uid, gid)

    def left(self):
        md = self.maildir()
        return len(os.listdir(os.path.join(md, "new"))) + len(os.listdir(os.path.join(md, "cur")))

    def start(self):
        subprocess.run(["/usr/sbin/dovecot", "-c", os.path.join(self.root, "dovecot.conf")], check=True)
        deadline = time.time() + 20
        while time.time() < deadline:
            try:
                with open(os.path.join(self.root, "base/master.pid")) as f:
                    self.pid = int(f.read().strip() or 0)
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("dovecot did not start")

    def stop(self):
        if not self.pid:
            return
        os.kill(self.pid, signal.SIGTERM)
        for _ in range(100):
            try:
                os.kill(self.pid, 0)
            except OSError:
                break
            time.sleep(0.05)
        self.pid = 0


def korv_config(path, port, inbound):
    rec = bytearray(1424)
    rec[0:16] = b"Quorvexia 20 CFG"

    def text(offset, width, value):
        data = value.encode()[: width - 1]
        rec[offset: offset + len(data)] = data

    text(80, 80, inbound)
    text(160, 80, inbound)
    text(304, 64, f"127.0.0.1:{port}")
    text(368, 128, "ann")
    text(496, 64, "secret")
    rec[1416:1420] = (0xFFFFFFFF).to_bytes(4, "little")  # no size limit
    with open(path, "wb") as f:
        f.write(rec)


def measure(argv, cwd, env=None):
    """Wall time, CPU time (user+sys, children included) and peak RSS in MiB,
    taken by /usr/bin/time so that the figures belong to the client alone."""
    stats = os.path.join(cwd, ".time")
    timed = ["/usr/bin/time", "-o", stats, "-f", "%U %S %M"] + argv
    start = time.perf_counter()
    proc = subprocess.run(timed, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.perf_counter() - start
    with open(stats) as f:
        user, system, rss = f.read().split()[-3:]
    os.remove(stats)
    return wall, float(user) + float(system), int(rss) / 1024.0, proc.returncode, proc.stderr.decode(errors="replace")


def count_files(path):
    return sum(len(files) for _, _, files in os.walk(path))


def run_client(name, work, dovecot, korv, shim):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    out = os.path.join(work, "out")
    os.makedirs(out)
    env = dict(os.environ)
    if name.startswith("korv"):
        os.symlink(os.path.abspath(korv), os.path.join(work, "korv"))
        korv_config(os.path.join(work, "korv.cfg"), dovecot.port, out)
        if name == "korv-nofsync":
            env["LD_PRELOAD"] = shim
        argv = [os.path.join(work, "korv"), "/receive"]
    elif name == "mpop":
        for sub in ("new", "cur", "tmp"):
            os.makedirs(os.path.join(out, sub))
        rc = os.path.join(work, "mpoprc")
        with open(rc, "w") as f:
            f.write(f"account default\nhost 127.0.0.1\nport {dovecot.port}\ntls off\nauth user\nuser ann\n"
                    f"password secret\ndelivery maildir {out}\nkeep off\nuidls_file {work}/uidls\n")
        os.chmod(rc, 0o600)
        argv = ["mpop", "-C", rc, "-q"]
    else:
        rc = os.path.join(work, "fetchmailrc")
        with open(rc, "w") as f:
            f.write(f"set no bouncemail\npoll 127.0.0.1 service {dovecot.port} protocol pop3 auth password\n"
                    f"  user \"ann\" password \"secret\" sslproto '' fetchall nokeep\n"
                    f"  mda \"cat > {out}/msg.$$\"\n")
        os.chmod(rc, 0o600)
        env["HOME"] = work
        argv = ["fetchmail", "-f", rc, "-N", "--nosyslog", "-s", "--pidfile", f"{work}/pid",
                "--idfile", f"{work}/ids"]
    wall, cpu, rss, code, err = measure(argv, work, env)
    stored = count_files(out)
    if name.startswith("korv"):
        stored //= 2  # a pair per message
    return wall, cpu, rss, code, stored, err


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--korv", required=True)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--dir", default="/dev/shm")
    ap.add_argument("--workloads", default="small,large,huge")
    ap.add_argument("--clients", default="korv,korv-nofsync,mpop,fetchmail")
    args = ap.parse_args()

    root = tempfile.mkdtemp(prefix="qbench.", dir=args.dir)
    try:
        shim = os.path.join(root, "nofsync.so")
        with open(os.path.join(root, "nofsync.c"), "w") as f:
            f.write(NOFSYNC_C)
        subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", shim, os.path.join(root, "nofsync.c")], check=True)
        dovecot = Dovecot(os.path.join(root, "dovecot"))
        dovecot.start()
        results = {}
        try:
            for key in args.workloads.split(","):
                label, count, size = WORKLOADS[key]
                template = os.path.join(root, "template-" + key)
                fill_template(template, count, size)
                for client in args.clients.split(","):
                    samples = []
                    for _ in range(args.runs):
                        dovecot.refill(template)
                        wall, cpu, rss, code, stored, err = run_client(client, os.path.join(root, "work"),
                                                                       dovecot, args.korv, shim)
                        if code != 0 or stored != count or dovecot.left() != 0:
                            print(f"{client} {label}: exit {code}, stored {stored}/{count}, "
                                  f"left {dovecot.left()} {err.strip()[:300]}", file=sys.stderr)
                        samples.append((wall, cpu, rss))
                    med = tuple(statistics.median(s[i] for s in samples) for i in range(3))
                    results[(key, client)] = med
                    print(f"{label:14} {client:13} wall {med[0]:7.3f} s  cpu {med[1]:7.3f} s  "
                          f"peak {med[2]:7.1f} MiB", flush=True)
                shutil.rmtree(template)
                if (key, "korv") in results and (key, "mpop") in results:
                    k, m = results[(key, "korv")], results[(key, "mpop")]
                    print(f"{label:14} korv/mpop     wall {k[0] / m[0]:7.2f}x   cpu {k[1] / max(m[1], 1e-3):7.2f}x",
                          flush=True)
        finally:
            dovecot.stop()
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    resource.setrlimit(resource.RLIMIT_NOFILE, (4096, 4096))
    main()
