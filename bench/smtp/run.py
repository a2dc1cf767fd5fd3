#!/usr/bin/python3
"""Send benchmark: the same queue sent to one SMTP server on loopback by korv
(one connection), by msmtp (one process per message, as queue scripts run
it) and by a Python smtplib script over one connection. Prints wall time,
CPU time and peak memory of each, and korv's write system calls per MiB of
message text (strace -c).

Usage: run.py KORV [--small N] [--sink opensmtpd|aiosmtpd] [--workdir DIR]
Default workload: 1000 messages of 4 KiB, 20 of 2 MiB, 1 of 50 MiB.
The work directory should be on tmpfs (default /dev/shm).
"""
import argparse
import os
import pwd
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SIGNATURE = b"Quorvexia 20 CFG"


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_port(port, seconds=30):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return True
        except OSError:
            time.sleep(0.1)
    return False


def make_text(index, size):
    head = "To: r%d@bench.example\nSubject: message %d\n\n" % (index, index)
    line = "".join(chr(ord("a") + (index + i) % 26) for i in range(71)) + "\n"
    body = []
    n = len(head)
    i = 0
    while n < size:
        l = ("." if i % 50 == 0 else "") + line
        body.append(l)
        n += len(l)
        i += 1
    return (head + "".join(body)).encode()


def make_queue(directory, counts):
    os.makedirs(directory, exist_ok=True)
    total = 0
    index = 0
    for count, size in counts:
        for _ in range(count):
            index += 1
            base = os.path.join(directory, "%08d" % index)
            text = make_text(index, size)
            total += len(text)
            with open(base + ".txt", "wb") as f:
                f.write(text)
            with open(base + ".wrk", "w") as f:
                f.write("bench.example\ns%d@bench.example\nr%d@bench.example\n" % (index, index))
    return index, total


def korv_config(path, server, outbound, log):
    def field(text, width):
        b = text.encode()[: width - 1]
        return b + b"\0" * (width - len(b))
    rec = SIGNATURE + field("bench.example", 64) + field("in", 80) + field(outbound, 80)
    rec += field(server, 64) + field("", 64) + field("", 128) + field("", 64) + field(log, 80)
    rec += struct.pack("<I", 1) + field("", 257) * 3 + b"\0" + struct.pack("<i", -1) + b"\0" * 4
    assert len(rec) == 1424
    with open(path, "wb") as f:
        f.write(rec)


def measured(argv_list, inputs=None, **kw):
    """Runs the commands one after the other under /usr/bin/time (so that the
    peak memory is the client's own); wall, CPU and peak RSS (KiB)."""
    start = time.monotonic()
    cpu = 0.0
    peak = 0
    fd, stats = tempfile.mkstemp()
    os.close(fd)
    for i, argv in enumerate(argv_list):
        stdin = open(inputs[i], "rb") if inputs else subprocess.DEVNULL
        p = subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", stats] + argv, stdin=stdin,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **kw)
        if inputs:
            stdin.close()
        if p.returncode != 0:
            sys.stderr.write("failed (%d): %s\n%s\n" % (p.returncode, argv, p.stderr.decode()[-500:]))
        user, system, rss = open(stats).read().split()[-3:]
        cpu += float(user) + float(system)
        peak = max(peak, int(rss))
    os.remove(stats)
    return time.monotonic() - start, cpu, peak


class OpenSmtpd:
    """OpenSMTPD delivering into a Maildir of this run. Its queue and control
    socket live in a private mount namespace, so the machine-wide spool is
    never touched and nothing is left in it."""

    def __init__(self, work, port):
        self.conf = os.path.join(work, "smtpd.conf")
        self.maildir = os.path.join(work, "Maildir")
        for sub in ("new", "cur", "tmp"):
            os.makedirs(os.path.join(self.maildir, sub))
        nobody = pwd.getpwnam("nobody")
        for root, dirs, _ in os.walk(self.maildir):
            for d in [root] + [os.path.join(root, x) for x in dirs]:
                os.chown(d, nobody.pw_uid, nobody.pw_gid)
        with open(self.conf, "w") as f:
            f.write("listen on 127.0.0.1 port %d\n" % port)
            f.write("smtp limit max-mails 100000\nsmtp limit max-rcpt 1000\nsmtp max-message-size 100M\n")
            f.write('table vusers { "@" = "nobody" }\n')
            f.write('action "store" maildir "%s" virtual <vusers> user nobody\n' % self.maildir)
            f.write('match from local for any action "store"\n')
        os.chmod(work, 0o755)
        inside = ("mount -t tmpfs -o mode=0755 bench-spool /var/spool && "
                  "mount -t tmpfs -o mode=0755 bench-run /run && exec smtpd -d -f " + self.conf)
        self.proc = subprocess.Popen(["unshare", "--mount", "--propagation", "private", "sh", "-c", inside],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def drain(self, expected):
        # Delivery follows acceptance by a moment: wait until every message has landed.
        new = os.path.join(self.maildir, "new")
        deadline = time.monotonic() + 600
        while len(os.listdir(new)) < expected and time.monotonic() < deadline:
            time.sleep(0.1)
        delivered = len(os.listdir(new))
        for name in os.listdir(new):
            os.remove(os.path.join(new, name))
        return delivered

    def stop(self):
        self.proc.terminate()
        self.proc.wait(30)


class AioSink:
    def __init__(self, work, port):
        os.makedirs(os.path.join(work, "sink"))
        self.dir = os.path.join(work, "sink")
        script = os.path.join(HERE, "..", "..", "tests", "smtp_sink.py")
        self.proc = subprocess.Popen(["/usr/bin/python3", script, str(port), self.dir, "3600"],
                                     stdout=subprocess.DEVNULL)

    def drain(self, expected):
        names = [n for n in os.listdir(self.dir) if n != "stop"]
        for name in names:
            os.remove(os.path.join(self.dir, name))
        return expected

    def stop(self):
        open(os.path.join(self.dir, "stop"), "w").close()
        self.proc.wait(30)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("korv")
    ap.add_argument("--small", type=int, default=1000)
    ap.add_argument("--large", type=int, default=20)
    ap.add_argument("--huge", type=int, default=1)
    ap.add_argument("--sink", default="opensmtpd")
    ap.add_argument("--workdir", default="/dev/shm")
    args = ap.parse_args()

    work = tempfile.mkdtemp(prefix="korv-bench-", dir=args.workdir)
    port = free_port()
    server = (OpenSmtpd if args.sink == "opensmtpd" else AioSink)(work, port)
    try:
        if not wait_port(port):
            sys.exit("the SMTP server did not start")
        counts = [(args.small, 4096), (args.large, 2 * 1024 * 1024), (args.huge, 50 * 1024 * 1024)]
        master = os.path.join(work, "queue")
        messages, total = make_queue(master, counts)
        print("workload: %d messages, %.1f MiB of text; server %s" % (messages, total / 1048576, args.sink))

        box = os.path.join(work, "korv")
        os.makedirs(os.path.join(box, "in"))
        os.symlink(os.path.abspath(args.korv), os.path.join(box, "korv"))
        korv_config(os.path.join(box, "korv.cfg"), "127.0.0.1:%d" % port, "out", "")

        def requeue():
            shutil.rmtree(os.path.join(box, "out"), ignore_errors=True)
            shutil.copytree(master, os.path.join(box, "out"))

        results = []
        requeue()
        results.append(("korv (one connection)",) + measured([[os.path.join(box, "korv"), "/send"]], cwd=box))
        left = len(os.listdir(os.path.join(box, "out")))
        delivered = {"korv (one connection)": server.drain(messages)}

        msmtp, inputs = [], []
        for name in sorted(os.listdir(master)):
            if name.endswith(".wrk"):
                lines = open(os.path.join(master, name)).read().split("\n")
                msmtp.append(["msmtp", "--host=127.0.0.1", "--port=%d" % port, "--auth=off", "--tls=off",
                              "--domain=bench.example", "--from=" + lines[1], "--", lines[2]])
                inputs.append(os.path.join(master, name[:-4] + ".txt"))
        results.append(("msmtp (process per message)",) + measured(msmtp, inputs))
        delivered["msmtp (process per message)"] = server.drain(messages)
        results.append(("smtplib (one connection)",) + measured(
            [["/usr/bin/python3", os.path.join(HERE, "smtplib_peer.py"), master, "127.0.0.1", str(port)]]))
        delivered["smtplib (one connection)"] = server.drain(messages)

        print("%-30s %10s %10s %12s %10s" % ("client", "wall s", "CPU s", "peak RSS MiB", "delivered"))
        for name, wall, cpu, peak in results:
            print("%-30s %10.2f %10.2f %12.1f %10d" % (name, wall, cpu, peak / 1024, delivered[name]))
        print("korv left %d files in its queue" % left)

        requeue()
        trace = os.path.join(work, "strace.txt")
        subprocess.run(["strace", "-f", "-c", "-o", trace, os.path.join(box, "korv"), "/send"], cwd=box,
                       stdout=subprocess.DEVNULL)
        calls = {}
        for line in open(trace):
            parts = line.split()
            if len(parts) >= 5 and parts[-1] in ("write", "sendto", "sendmsg", "writev"):
                calls[parts[-1]] = int(parts[3])
        mib = total / 1048576
        for name, count in sorted(calls.items()):
            print("korv under strace: %-7s %7d calls, %.1f per MiB of text (1 per %.1f KiB)"
                  % (name, count, count / mib, total / 1024 / max(count, 1)))
        server.drain(messages)
    finally:
        server.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
