#!/usr/bin/python3
"""Side-by-side transfer benchmark: korv against a floor client and the
open-source peers, on loopback, with real servers. Prints one table.

Workloads (each client gets the same mailbox or queue, laid anew before every
run; medians of --runs runs; CPU = user + system time of the client process
and its children, taken from wait4):

  pop3-small-tmpfs  1000 x 4 KiB from Dovecot into a tmpfs directory
  pop3-small-disk   the same into a directory on the disk (--disk)
  pop3-large-null   20 x 2 MiB from a minimal POP3 server (null_pop3d.c)
  smtp-small        1000 x 4 KiB to OpenSMTPD
  smtp-large        20 x 2 MiB to OpenSMTPD
  smtp-huge         1 x 50 MiB to OpenSMTPD

Clients: korv (a Release build), "floor" (floor.c: the same lock-step
dialogue in minimal C, no fsync), korv-nofsync (korv with fsync, fdatasync
and syncfs made no-ops by a preloaded shim: the cost of durability on its
own), mpop, fetchmail, msmtp (one process per message, as queue scripts run
it) and Python's smtplib over one connection. Ratios are to the floor.

Every run is checked: all messages stored (POP3: pairs or files in the
client's directory, mailbox empty afterwards) or delivered (SMTP: counted in
OpenSMTPD's Maildir); a failed check is marked in the last column.

The peers (mpop, msmtp, fetchmail) are installed here with apt-get when
missing; they are never needed by the build or the tests.

Usage: bench/compare.py [--korv PATH] [--baseline PATH] [--runs 3]
                        [--workloads a,b] [--clients a,b] [--disk DIR]
Without --korv, korv is built (Release) in build-bench/ of this tree; with
--baseline, that binary runs too, as korv-before.
"""
import argparse
import grp
import os
import platform
import pwd
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TREE = os.path.dirname(HERE)
PEERS = {"mpop": "mpop", "msmtp": "msmtp", "fetchmail": "fetchmail"}

KIB, MIB = 1 << 10, 1 << 20
# name: (protocol, server, count, size, where the client stores, clients)
WORKLOADS = {
    "pop3-small-tmpfs": ("pop3", "dovecot", 1000, 4 * KIB, "tmpfs", ["korv", "floor", "mpop", "fetchmail"]),
    "pop3-small-disk": ("pop3", "dovecot", 1000, 4 * KIB, "disk", ["korv", "korv-nofsync", "floor", "mpop"]),
    "pop3-large-null": ("pop3", "null", 20, 2 * MIB, "tmpfs", ["korv", "floor", "mpop"]),
    "smtp-small": ("smtp", "opensmtpd", 1000, 4 * KIB, "tmpfs", ["korv", "floor", "smtplib"]),
    "smtp-large": ("smtp", "opensmtpd", 20, 2 * MIB, "tmpfs", ["korv", "floor", "msmtp", "smtplib"]),
    "smtp-huge": ("smtp", "opensmtpd", 1, 50 * MIB, "tmpfs", ["korv", "floor", "msmtp", "smtplib"]),
}

NOSYNC_C = r"""
int fsync(int fd) { (void)fd; return 0; }
int fdatasync(int fd) { (void)fd; return 0; }
int syncfs(int fd) { (void)fd; return 0; }
"""

SMTPLIB_PEER = r"""
import os, smtplib, sys
queue, port = sys.argv[1], int(sys.argv[2])
with smtplib.SMTP("127.0.0.1", port) as smtp:
    smtp.helo("bench.example")
    for name in os.listdir(queue):
        if name.endswith(".wrk"):
            lines = open(os.path.join(queue, name)).read().split("\n")
            text = open(os.path.join(queue, name[:-4] + ".txt"), "rb").read()
            # Queue files carry LF line ends; on the wire they are CR LF.
            smtp.sendmail(lines[1], [l for l in lines[2:] if l.strip()], text.replace(b"\n", b"\r\n"))
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, seconds=30):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def chown_tree(top, user="nobody", group="nogroup"):
    uid, gid = pwd.getpwnam(user).pw_uid, grp.getgrnam(group).gr_gid
    for root, dirs, files in os.walk(top):
        os.lchown(root, uid, gid)
        for n in files:
            os.lchown(os.path.join(root, n), uid, gid)


# ----------------------------------------------------------------- messages

def message_text(index, size):
    """A message with LF line ends; every 50th body line starts with a dot."""
    head = "From: Sender %d <s%d@bench.example>\nTo: Ann <r%d@bench.example>\nSubject: message %d\n\n" % (
        index, index, index, index)
    line = "".join(chr(ord("a") + (index + i) % 26) for i in range(71)) + "\n"
    block = "".join(("." if i % 50 == 0 else "") + line for i in range(50))
    body = block * (max(0, size - len(head)) // len(block) + 1)
    return (head + body[: max(0, size - len(head))].rsplit("\n", 1)[0] + "\n").encode()


def fill_maildir(directory, count, size):
    os.makedirs(directory)
    for i in range(count):
        with open(os.path.join(directory, "%d.M%dP1.bench" % (1700000000 + i, i)), "wb") as f:
            f.write(message_text(i, size))


def fill_queue(directory, count, size):
    os.makedirs(directory)
    for i in range(count):
        base = os.path.join(directory, "%08d" % (i + 1))
        with open(base + ".txt", "wb") as f:
            f.write(message_text(i, size))
        with open(base + ".wrk", "w") as f:
            f.write("bench.example\ns%d@bench.example\nr%d@bench.example\n" % (i, i))


# ------------------------------------------------------------------ servers

class Dovecot:
    """A private Dovecot POP3 server; its mailbox is laid anew from a template."""

    def __init__(self, root):
        self.port = free_port()
        self.start(root, "protocols = pop3\nssl = no\nauth_mechanisms = plain\n", f"""service pop3-login {{
  inet_listener pop3 {{
    address = 127.0.0.1
    port = {self.port}
  }}
  inet_listener pop3s {{
    port = 0
  }}
}}
""", [self.port])

    def start(self, root, settings, services, ports):
        """Starts Dovecot with `settings` and `services` added to what every
        set-up here shares (user ann, password secret, a Maildir under root);
        returns when all `ports` accept."""
        self.root = root
        os.makedirs(root)
        os.chmod(os.path.dirname(root), 0o711)  # the login processes must reach base_dir
        os.chmod(root, 0o711)
        for sub in ("base", "state"):
            os.makedirs(os.path.join(root, sub))
        with open(os.path.join(root, "passwd"), "w") as f:
            f.write("ann:{PLAIN}secret\n")
        with open(os.path.join(root, "dovecot.conf"), "w") as f:
            f.write(settings + f"""listen = 127.0.0.1
base_dir = {root}/base
state_dir = {root}/state
log_path = {root}/dovecot.log
disable_plaintext_auth = no
mail_location = maildir:{root}/mail/%u/Maildir
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {root}/passwd
}}
userdb {{
  driver = static
  args = uid=nobody gid=nogroup home={root}/mail/%u
}}
""" + services)
        subprocess.run(["/usr/sbin/dovecot", "-c", os.path.join(root, "dovecot.conf")], check=True)
        pidfile = os.path.join(root, "base/master.pid")
        deadline = time.monotonic() + 30
        while not (os.path.exists(pidfile) and all(wait_port(p, 1) for p in ports)):
            if time.monotonic() > deadline:
                raise RuntimeError("dovecot did not start")
            time.sleep(0.05)
        with open(pidfile) as f:
            self.pid = int(f.read().strip())

    def maildir(self):
        return os.path.join(self.root, "mail/ann/Maildir")

    def refill(self, template):
        shutil.rmtree(os.path.join(self.root, "mail"), ignore_errors=True)
        for sub in ("cur", "tmp"):
            os.makedirs(os.path.join(self.maildir(), sub))
        shutil.copytree(template, os.path.join(self.maildir(), "new"))
        chown_tree(os.path.join(self.root, "mail"))

    def left(self):
        return sum(len(os.listdir(os.path.join(self.maildir(), d))) for d in ("new", "cur"))

    def stop(self):
        os.kill(self.pid, signal.SIGTERM)
        for _ in range(200):
            try:
                os.kill(self.pid, 0)
            except OSError:
                return
            time.sleep(0.05)


class NullPop3:
    """null_pop3d.c: every connection sees the full mailbox again."""

    def __init__(self, binary, count, size):
        self.port = free_port()
        self.proc = subprocess.Popen([binary, str(self.port), str(count), str(size), "3600"])
        if not wait_port(self.port):
            raise RuntimeError("null_pop3d did not start")

    def refill(self, template):
        pass

    def left(self):
        return 0

    def stop(self):
        self.proc.kill()
        self.proc.wait()


class OpenSmtpd:
    """OpenSMTPD delivering into a Maildir of this run. Its queue and control
    socket live in a private mount namespace, so the machine-wide spool is
    never touched."""

    def __init__(self, root):
        self.port = free_port()
        self.maildir = os.path.join(root, "Maildir")
        os.makedirs(root)
        os.chmod(root, 0o755)
        for sub in ("new", "cur", "tmp"):
            os.makedirs(os.path.join(self.maildir, sub))
        chown_tree(self.maildir)
        conf = os.path.join(root, "smtpd.conf")
        with open(conf, "w") as f:
            f.write("listen on 127.0.0.1 port %d\n" % self.port)
            f.write("smtp limit max-mails 100000\nsmtp limit max-rcpt 1000\nsmtp max-message-size 100M\n")
            f.write('table vusers { "@" = "nobody" }\n')
            f.write('action "store" maildir "%s" virtual <vusers> user nobody\n' % self.maildir)
            f.write('match from local for any action "store"\n')
        inside = ("mount -t tmpfs -o mode=0755 bench-spool /var/spool && "
                  "mount -t tmpfs -o mode=0755 bench-run /run && exec smtpd -d -f " + conf)
        self.proc = subprocess.Popen(["unshare", "--mount", "--propagation", "private", "sh", "-c", inside],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_port(self.port):
            raise RuntimeError("smtpd did not start")

    def drain(self, expected):
        """Waits (untimed) until every accepted message has been delivered;
        the number delivered, after which the Maildir is emptied."""
        new = os.path.join(self.maildir, "new")
        deadline = time.monotonic() + 300
        while len(os.listdir(new)) < expected and time.monotonic() < deadline:
            time.sleep(0.05)
        names = os.listdir(new)
        for name in names:
            os.remove(os.path.join(new, name))
        return len(names)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(30)


# ------------------------------------------------------------------ clients

def korv_config(path, pop3_port=0, smtp_port=0, inbound="in", outbound="out"):
    def field(text, width):
        b = text.encode()[: width - 1]
        return b + b"\0" * (width - len(b))
    rec = b"Quorvexia 20 CFG" + field("bench.example", 64) + field(inbound, 80) + field(outbound, 80)
    rec += field("127.0.0.1:%d" % smtp_port, 64) + field("127.0.0.1:%d" % pop3_port, 64)
    rec += field("ann", 128) + field("secret", 64) + field("", 80)
    rec += struct.pack("<I", 1) + field("", 257) * 3 + b"\0" + struct.pack("<i", -1) + b"\0" * 4
    assert len(rec) == 1424
    with open(path, "wb") as f:
        f.write(rec)


def run_timed(argv, cwd, env=None, stdin_path=None):
    """Runs one command; (wall s, CPU s of it and its children, exit status)."""
    stdin = open(stdin_path, "rb") if stdin_path else subprocess.DEVNULL
    start = time.perf_counter()
    proc = subprocess.Popen(argv, cwd=cwd, env=env, stdin=stdin, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    err = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if stdin_path:
        stdin.close()
    if proc.returncode != 0:
        sys.stderr.write("%s: exit %d %s\n" % (argv[0], proc.returncode, err.decode(errors="replace")[-300:]))
    return wall, usage.ru_utime + usage.ru_stime, proc.returncode


def median_of(name, client, runs, one_run):
    """Calls one_run() `runs` times; the medians of wall and CPU, and whether
    every run passed its check. Prints the result as it comes."""
    samples = [one_run() for _ in range(runs)]
    result = (statistics.median(s[0] for s in samples), statistics.median(s[1] for s in samples),
              all(s[2] for s in samples))
    print("  %-18s %-13s wall %8.3f s  CPU %8.3f s%s" % (
        name, client, result[0], result[1], "" if result[2] else "  CHECK FAILED"), flush=True)
    return result


class Bench:
    def __init__(self, args, root):
        self.args = args
        self.root = root
        self.korv = os.path.abspath(args.korv)
        self.bin = os.path.join(root, "bin")
        os.makedirs(self.bin)
        for name, sources in (("floor", ["floor.c"]), ("null_pop3d", ["null_pop3d.c"])):
            subprocess.run(["cc", "-O2", "-o", os.path.join(self.bin, name)] +
                           [os.path.join(HERE, s) for s in sources] + ["-lssl", "-lcrypto"], check=True)
        with open(os.path.join(root, "nosync.c"), "w") as f:
            f.write(NOSYNC_C)
        self.shim = os.path.join(self.bin, "nosync.so")
        subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", self.shim, os.path.join(root, "nosync.c")],
                       check=True)
        self.smtplib_peer = os.path.join(self.bin, "smtplib_peer.py")
        with open(self.smtplib_peer, "w") as f:
            f.write(SMTPLIB_PEER)

    def fresh_work(self, where):
        base = self.root if where == "tmpfs" else self.args.disk_root
        work = os.path.join(base, "work")
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        return work

    def korv_binary(self, client):
        return os.path.abspath(self.args.baseline) if client == "korv-before" else self.korv

    def korv_env(self, client):
        env = dict(os.environ)
        if client == "korv-nofsync":
            env["LD_PRELOAD"] = self.shim
        return env

    # One POP3 run of `client`; (wall, cpu, ok).
    def pop3_run(self, client, server, where, count):
        work = self.fresh_work(where)
        out = os.path.join(work, "in")
        os.makedirs(out)
        os.makedirs(os.path.join(work, "out"))  # korv checks both of its directories
        env = dict(os.environ)
        per_message = 2
        if client.startswith("korv"):
            os.symlink(self.korv_binary(client), os.path.join(work, "korv"))
            korv_config(os.path.join(work, "korv.cfg"), pop3_port=server.port, inbound=out)
            argv, env = [os.path.join(work, "korv"), "/receive"], self.korv_env(client)
        elif client == "floor":
            argv = [os.path.join(self.bin, "floor"), "pop3", "127.0.0.1", str(server.port), "ann", "secret", out]
        elif client == "mpop":
            for sub in ("new", "cur", "tmp"):
                os.makedirs(os.path.join(out, sub))
            rc = os.path.join(work, "mpoprc")
            with open(rc, "w") as f:
                f.write("account default\nhost 127.0.0.1\nport %d\ntls off\nauth user\nuser ann\n"
                        "password secret\ndelivery maildir %s\nkeep off\nuidls_file %s/uidls\n"
                        % (server.port, out, work))
            os.chmod(rc, 0o600)
            argv, per_message = ["mpop", "-C", rc, "-q"], 1
        elif client == "fetchmail":
            rc = os.path.join(work, "fetchmailrc")
            with open(rc, "w") as f:
                f.write("set no bouncemail\npoll 127.0.0.1 service %d protocol pop3 auth password\n"
                        "  user \"ann\" password \"secret\" sslproto '' fetchall nokeep\n"
                        "  mda \"cat > %s/msg.$$\"\n" % (server.port, out))
            os.chmod(rc, 0o600)
            env["HOME"] = work
            argv = ["fetchmail", "-f", rc, "-N", "--nosyslog", "-s", "--pidfile", work + "/pid",
                    "--idfile", work + "/ids"]
            per_message = 1
        else:
            raise ValueError(client)
        wall, cpu, code = run_timed(argv, work, env)
        stored = sum(len(files) for _, _, files in os.walk(out)) // per_message
        ok = code == 0 and stored == count and server.left() == 0
        if not ok:
            sys.stderr.write("%s: exit %d, stored %d of %d, %d left on the server\n"
                             % (client, code, stored, count, server.left()))
        return wall, cpu, ok

    # One SMTP run of `client` on a fresh copy of the queue; (wall, cpu, ok).
    def smtp_run(self, client, server, master, count):
        work = self.fresh_work("tmpfs")
        queue = os.path.join(work, "out")
        shutil.copytree(master, queue)
        if client.startswith("korv"):
            os.symlink(self.korv_binary(client), os.path.join(work, "korv"))
            os.makedirs(os.path.join(work, "in"))
            korv_config(os.path.join(work, "korv.cfg"), smtp_port=server.port)
            wall, cpu, code = run_timed([os.path.join(work, "korv"), "/send"], work, self.korv_env(client))
        elif client == "floor":
            wall, cpu, code = run_timed([os.path.join(self.bin, "floor"), "smtp", "127.0.0.1", str(server.port),
                                         queue], work)
        elif client == "smtplib":
            wall, cpu, code = run_timed(["/usr/bin/python3", self.smtplib_peer, queue, str(server.port)], work)
        elif client == "msmtp":
            wall = cpu = 0.0
            code = 0
            for name in sorted(os.listdir(queue)):
                if not name.endswith(".wrk"):
                    continue
                lines = open(os.path.join(queue, name)).read().split("\n")
                argv = ["msmtp", "--host=127.0.0.1", "--port=%d" % server.port, "--auth=off", "--tls=off",
                        "--domain=bench.example", "--from=" + lines[1], "--", lines[2]]
                w, c, code1 = run_timed(argv, work, stdin_path=os.path.join(queue, name[:-4] + ".txt"))
                wall, cpu, code = wall + w, cpu + c, code or code1
        else:
            raise ValueError(client)
        delivered = server.drain(count)
        ok = code == 0 and delivered == count
        if not ok:
            sys.stderr.write("%s: exit %d, delivered %d of %d\n" % (client, code, delivered, count))
        return wall, cpu, ok

    def run_workload(self, name):
        protocol, kind, count, size, where, clients = WORKLOADS[name]
        if self.args.baseline:
            clients = ["korv-before"] + clients
        clients = [c for c in clients if c in self.args.clients or c == "korv-before"]
        template = os.path.join(self.root, "template")
        shutil.rmtree(template, ignore_errors=True)
        server_root = os.path.join(self.root, "server")
        shutil.rmtree(server_root, ignore_errors=True)
        if protocol == "pop3":
            if kind == "dovecot":
                fill_maildir(template, count, size)
                server = Dovecot(server_root)
            else:
                server = NullPop3(os.path.join(self.bin, "null_pop3d"), count, size)
        else:
            fill_queue(template, count, size)
            server = OpenSmtpd(server_root)
        results = {}
        try:
            for client in clients:
                def one_run():
                    if protocol == "pop3":
                        server.refill(template)
                        return self.pop3_run(client, server, where, count)
                    return self.smtp_run(client, server, template, count)
                results[client] = median_of(name, client, self.args.runs, one_run)
        finally:
            server.stop()
            shutil.rmtree(template, ignore_errors=True)
        return results


def describe_machine(disk):
    cpu = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    fs = subprocess.run(["findmnt", "-n", "-o", "FSTYPE,SOURCE", "-T", disk], capture_output=True,
                        text=True).stdout.strip()
    versions = []
    for argv in (["dovecot", "--version"], ["smtpd", "-h"], ["mpop", "--version"], ["msmtp", "--version"]):
        try:
            text = subprocess.run(argv, capture_output=True, text=True, timeout=10)
            first = (text.stdout or text.stderr).strip().splitlines()
            versions.append(first[0] if first else argv[0])
        except (OSError, subprocess.TimeoutExpired):
            pass
    return ("%d cores (%s), %.0f GiB, Linux %s; disk: %s at %s\n%s" % (
        os.cpu_count(), cpu, os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / (1 << 30),
        platform.release(), fs, disk, "; ".join(versions)))


def install_peers(clients):
    missing = [p for c, p in PEERS.items() if c in clients and not shutil.which(c)]
    if missing:
        print("installing %s ..." % " ".join(missing), flush=True)
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(["apt-get", "install", "-y", "-qq", "-o", "DPkg::Lock::Timeout=300",
                        "--no-install-recommends"] + missing, check=True, env=env, stdout=subprocess.DEVNULL)


def build_korv():
    build = os.path.join(TREE, "build-bench")
    subprocess.run(["cmake", "-S", TREE, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["ninja", "-C", build, "korv"], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(build, "transfer", "korv")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--korv", help="korv binary (default: a Release build in build-bench/)")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--workloads", default=",".join(WORKLOADS))
    ap.add_argument("--clients", default="korv,korv-nofsync,floor,mpop,fetchmail,msmtp,smtplib")
    ap.add_argument("--baseline", help="another korv binary, run as korv-before beside korv")
    ap.add_argument("--disk", default="/var/tmp", help="a directory on a real disk, for the disk workloads")
    args = ap.parse_args()
    args.clients = args.clients.split(",")
    workloads = args.workloads.split(",")
    for w in workloads:
        if w not in WORKLOADS:
            ap.error("unknown workload %s (known: %s)" % (w, ", ".join(WORKLOADS)))
    install_peers(args.clients)
    if not args.korv:
        args.korv = build_korv()

    root = tempfile.mkdtemp(prefix="qbench.", dir="/dev/shm")
    os.chmod(root, 0o711)  # the servers' unprivileged processes reach their directories through it
    args.disk_root = tempfile.mkdtemp(prefix="qbench.", dir=args.disk)
    try:
        bench = Bench(args, root)
        table = []
        for name in workloads:
            results = bench.run_workload(name)
            floor = results.get("floor")
            for client, (wall, cpu, ok) in results.items():
                table.append((name, client, wall, cpu, floor, ok))
        print()
        print(describe_machine(args.disk))
        print("medians of %d runs; ratios to the floor client" % args.runs)
        print("| workload | client | wall s | CPU s | wall/floor | CPU/floor | checked |")
        print("|---|---|---|---|---|---|---|")
        for name, client, wall, cpu, floor, ok in table:
            ratios = ("%.2f" % (wall / floor[0]), "%.2f" % (cpu / max(floor[1], 1e-3))) if floor else ("", "")
            print("| %s | %s | %.3f | %.3f | %s | %s | %s |" % (name, client, wall, cpu, ratios[0], ratios[1],
                                                               "ok" if ok else "FAILED"))
    finally:
        shutil.rmtree(root, ignore_errors=True)
        shutil.rmtree(args.disk_root, ignore_errors=True)


if __name__ == "__main__":
    main()
