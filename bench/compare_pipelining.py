#!/usr/bin/python3
"""Pipelining benchmark: korv in the TLS forms, on plain loopback and through
a link with a provider's round-trip time (the latency proxy, 30 ms by
default), against the same korv in lock-step and against the peers. Prints
one table.

Workloads (medians of --runs runs; CPU = user + system time of the client
process and its children, from wait4):

  pop3s   1000 x 4 KiB from Dovecot over pop3s://: korv (pipelined, as
          Dovecot lists PIPELINING), korv-lockstep (a korv built from the
          tree before pipelining, --lockstep-korv), mpop
  smtp    1000 x 4 KiB over smtp+starttls:// with AUTH to Dovecot's
          submission service, which relays to OpenSMTPD: korv,
          korv-lockstep, smtplib
          (one connection of Python's smtplib that sends MAIL, RCPT and DATA
          as one group, then the text, and waits for the reply to "."), and
          msmtp (one process per message, as queue scripts run it; on
          loopback only, as it takes minutes per run through the proxy)

Servers, certificates and checks come from compare_tls.py. With --strace,
one plain /receive of three messages runs under strace to show the order
of the sync, the renames, the directory fsync and QUIT.

Usage: bench/compare_pipelining.py --lockstep-korv PATH [--korv PATH] [--runs 3] [--rtt-ms 30]
           [--workloads pop3s,smtp] [--links loopback,proxy] [--proxy PROGRAM] [--strace]
"""
import argparse
import os
import shutil
import ssl
import smtplib
import subprocess
import sys
import time

import compare
import compare_tls
from compare import KIB

COUNT, SIZE = int(os.environ.get("BENCH_COUNT", "1000")), 4 * KIB


class Ports:
    """The Dovecot ports a client connects to: its own, or the proxy's."""

    def __init__(self, dovecot, pop3s_port, submission_port):
        self.dovecot = dovecot
        self.port = dovecot.port
        self.pop3s_port = pop3s_port
        self.submission_port = submission_port

    def left(self):
        return self.dovecot.left()


class Proxy:
    program = "/work/shared/tools/latency-proxy"
    def __init__(self, target_port, rtt_ms):
        self.port = compare.free_port()
        self.proc = subprocess.Popen([sys.executable, Proxy.program, str(self.port), "127.0.0.1", str(target_port),
                                      str(rtt_ms), "3600"])
        compare.wait_port(self.port)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


def smtplib_pipelined(port, ca, queue):
    """One connection: EHLO, STARTTLS, EHLO, AUTH PLAIN, then per message
    MAIL, RCPT and DATA as one group, the text, and the reply to "."."""
    context = ssl.create_default_context(cafile=ca)
    s = smtplib.SMTP("127.0.0.1", port, local_hostname="bench.example", timeout=60)
    s.starttls(context=context)
    s.ehlo("bench.example")
    if "pipelining" not in s.esmtp_features:
        raise RuntimeError("no PIPELINING offered")
    s.login("ann", "secret")
    for name in sorted(os.listdir(queue)):
        if not name.endswith(".wrk"):
            continue
        lines = open(os.path.join(queue, name)).read().split("\n")
        text = open(os.path.join(queue, name[:-4] + ".txt"), "rb").read()
        s.send("MAIL FROM:<%s>\r\nRCPT TO:<%s>\r\nDATA\r\n" % (lines[1], lines[2]))
        replies = [s.getreply()[0] for _ in range(3)]
        if replies != [250, 250, 354]:
            raise RuntimeError("group refused: %r" % replies)
        body = text.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
        body = b"\r\n".join(b"." + line if line.startswith(b".") else line for line in body.split(b"\r\n"))
        if not body.endswith(b"\r\n"):
            body += b"\r\n"
        s.send(body + b".\r\n")
        if s.getreply()[0] != 250:
            raise RuntimeError("message refused")
    s.quit()


class PipelineBench(compare_tls.TlsBench):
    def smtplib_run(self, ports, smtpd, master, count):
        work = self.fresh_work("tmpfs")
        queue = os.path.join(work, "out")
        shutil.copytree(master, queue)
        start = time.perf_counter()
        before = os.times()
        ok = True
        try:
            smtplib_pipelined(ports.submission_port, self.ca, queue)
        except (OSError, smtplib.SMTPException, RuntimeError) as e:
            sys.stderr.write("smtplib: %s\n" % e)
            ok = False
        after = os.times()
        wall = time.perf_counter() - start
        cpu = (after.user - before.user) + (after.system - before.system)
        return wall, cpu, ok and smtpd.drain(count) == count

    def workload(self, name, link, ports, dovecot, smtpd):
        template = os.path.join(self.root, "template")
        shutil.rmtree(template, ignore_errors=True)
        (compare.fill_maildir if name == "pop3s" else compare.fill_queue)(template, COUNT, SIZE)
        clients = ["korv", "korv-lockstep", "mpop"] if name == "pop3s" else ["korv", "korv-lockstep", "smtplib", "msmtp"]
        if link != "loopback" and "msmtp" in clients:
            clients.remove("msmtp")
        results = {}
        pipelined_korv = self.korv
        for client in clients:
            self.korv = self.args.lockstep_korv if client == "korv-lockstep" else pipelined_korv

            def one_run():
                if name == "pop3s":
                    dovecot.refill(template)
                    return self.pop3_tls_run("korv" if client.startswith("korv") else client, ports, COUNT)
                if client == "smtplib":
                    return self.smtplib_run(ports, smtpd, template, COUNT)
                return self.smtp_tls_run(client, ports, smtpd, template, COUNT)

            # Lock-step through the proxy takes minutes per run: one run.
            slow = client == "msmtp" or (client == "korv-lockstep" and link != "loopback")
            runs = 1 if slow else self.args.runs
            results[client] = compare.median_of("%s %s" % (name, link), client, runs, one_run)
        self.korv = pipelined_korv
        shutil.rmtree(template, ignore_errors=True)
        return results

    def strace_receive(self, dovecot):
        """korv /receive of three messages in the plain form under strace."""
        template = os.path.join(self.root, "template")
        shutil.rmtree(template, ignore_errors=True)
        compare.fill_maildir(template, 3, SIZE)
        dovecot.refill(template)
        work = self.korv_home("127.0.0.1:%d" % dovecot.port)
        out = subprocess.run(["strace", "-f", "-e", "trace=syncfs,rename,fsync,write,sendto", "-e",
                              "signal=none", "-s", "40", os.path.join(work, "korv"), "/receive"],
                             cwd=work, capture_output=True, text=True, timeout=120)
        shown = [line for line in out.stderr.splitlines()
                 if "syncfs" in line or "rename(" in line or "fsync" in line or "QUIT" in line or "DELE" in line]
        print("strace of korv /receive (3 messages, plain POP3 so that QUIT is readable):")
        for line in shown:
            print("    " + line)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--korv", help="korv binary (default: a Release build in build-bench/)")
    ap.add_argument("--lockstep-korv", required=True, help="korv built from the tree before pipelining")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--rtt-ms", type=int, default=30)
    ap.add_argument("--workloads", default="pop3s,smtp")
    ap.add_argument("--links", default="loopback,proxy")
    ap.add_argument("--strace", action="store_true")
    ap.add_argument("--proxy", default=Proxy.program, help="the latency proxy program")
    args = ap.parse_args()
    Proxy.program = args.proxy
    args.peer_runs = args.runs
    compare.install_peers(["mpop", "msmtp"])
    if not args.korv:
        args.korv = compare.build_korv()
    args.lockstep_korv = os.path.abspath(args.lockstep_korv)

    table = []
    with compare_tls.tls_servers("qbench-pipe.") as (root, pki, smtpd, dovecot):
        args.disk_root = root
        bench = PipelineBench(args, root, pki)
        if args.strace:
            bench.strace_receive(dovecot)
        for link in filter(None, args.links.split(",")):
            proxies = []
            try:
                if link == "proxy":
                    proxies = [Proxy(dovecot.pop3s_port, args.rtt_ms), Proxy(dovecot.submission_port, args.rtt_ms)]
                    ports = Ports(dovecot, proxies[0].port, proxies[1].port)
                    label = "%d ms RTT" % args.rtt_ms
                else:
                    ports = Ports(dovecot, dovecot.pop3s_port, dovecot.submission_port)
                    label = "loopback"
                for name in args.workloads.split(","):
                    table.append((name, label, bench.workload(name, label, ports, dovecot, smtpd)))
            finally:
                for p in proxies:
                    p.stop()

    print()
    print(compare.describe_machine("/dev/shm"))
    print("medians of %d runs (msmtp, and korv-lockstep through the proxy: 1 run); 1000 x 4 KiB; "
          "ratio = korv wall / client wall" % args.runs)
    print("| workload | link | client | wall s | CPU s | korv/client wall | checked |")
    print("|---|---|---|---|---|---|---|")
    for name, link, results in table:
        korv = results["korv"]
        for client, (wall, cpu, ok) in results.items():
            ratio = "" if client == "korv" else "%.2f" % (korv[0] / wall)
            print("| %s | %s | %s | %.3f | %.3f | %s | %s |" % (name, link, client, wall, cpu, ratio,
                                                               "ok" if ok else "FAILED"))


if __name__ == "__main__":
    main()
