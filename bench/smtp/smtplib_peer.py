#!/usr/bin/python3
"""The smtplib peer of the send benchmark: one connection, every queued pair
of QUEUE_DIR sent with the envelope of its .wrk file (nothing is deleted)."""
import os
import smtplib
import sys


def main():
    queue, host, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
    with smtplib.SMTP(host, port) as smtp:
        smtp.helo("bench.example")
        for name in os.listdir(queue):
            if not name.endswith(".wrk"):
                continue
            with open(os.path.join(queue, name), "rb") as f:
                lines = [l.rstrip(b"\r\n") for l in f]
            sender, recipients = lines[1].decode(), [l.decode() for l in lines[2:] if l.strip()]
            with open(os.path.join(queue, name.split(".")[0] + ".txt"), "rb") as f:
                # Queue files carry LF line ends; on the wire they are CR LF.
                smtp.sendmail(sender, recipients, f.read().replace(b"\n", b"\r\n"))


if __name__ == "__main__":
    main()
