#!/usr/bin/python3
"""A loopback SMTP server for korv's interoperability test.

Usage: smtp_sink.py PORT OUTDIR SECONDS [DELAY]

Each message it accepts is written to OUTDIR as N.env (the sender, then one
recipient per line) and N.data (the message text as received, with the
transparency dots already removed). It prints "ready" once it listens and
exits by itself after SECONDS, or when OUTDIR/stop appears. With DELAY it
takes that many seconds over each message before it answers.
"""
import asyncio
import os
import sys
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP


class Sink:
    def __init__(self, outdir, delay=0.0):
        self.outdir = outdir
        self.delay = delay
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        if self.delay:
            await asyncio.sleep(self.delay)
        self.count += 1
        base = os.path.join(self.outdir, "%d" % self.count)
        with open(base + ".data.tmp", "wb") as f:
            f.write(envelope.original_content)
        with open(base + ".env", "w") as f:
            f.write(envelope.mail_from + "\n")
            for rcpt in envelope.rcpt_tos:
                f.write(rcpt + "\n")
        os.rename(base + ".data.tmp", base + ".data")
        return "250 OK queued as %d" % self.count


def serve(controller, outdir, seconds):
    """Runs the controller until SECONDS have passed or OUTDIR/stop appears."""
    controller.start()
    print("ready", flush=True)
    deadline = time.monotonic() + seconds
    try:
        while time.monotonic() < deadline and not os.path.exists(os.path.join(outdir, "stop")):
            time.sleep(0.05)
    finally:
        controller.stop()


def main():
    port, outdir, seconds = int(sys.argv[1]), sys.argv[2], float(sys.argv[3])
    delay = float(sys.argv[4]) if len(sys.argv) > 4 else 0.0
    handler = Sink(outdir, delay)
    controller = Controller(handler, hostname="127.0.0.1", port=port,
                            data_size_limit=200 * 1024 * 1024,
                            server_kwargs={"decode_data": False})
    serve(controller, outdir, seconds)


if __name__ == "__main__":
    main()
