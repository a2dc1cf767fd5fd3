# Sourced by the tests that run korv in a private network namespace: an SMTP
# sink (smtp_sink.py, with Debian's Python and its aiosmtpd) on 127.0.0.1:25 and Dovecot serving POP3 on
# 127.0.0.1:110 for the user jo (password "pop secret"), with one message
# waiting ("Waiting on the server."). Both end by themselves: the sink after
# its time, Dovecot with the namespace. Their process ids are added to the
# caller's array `pids`.
#
# start_loopback_mail WORK SMTP_SINK SECONDS: starts both, files under WORK;
# the sink stores each message as WORK/sink/N.env and N.data.

# Waits at most $1 seconds for the command that follows to succeed.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

start_loopback_mail() {
  local work=$1 smtp_sink=$2 seconds=$3
  mkdir -p "$work/sink" "$work/mail/jo/Maildir/"{new,cur,tmp} "$work/dovecot"
  chmod 711 "$work"  # Dovecot reads the mailbox as another user
  /usr/bin/python3 "$smtp_sink" 25 "$work/sink" "$seconds" >"$work/sink.log" 2>&1 &
  pids+=($!)
  printf 'From: Server <server@quorvexia.test>\r\nTo: jo@quorvexia.test\r\nSubject: waiting\r\n\r\nWaiting on the server.\r\n' \
    >"$work/mail/jo/Maildir/new/1.waiting"
  chown -R nobody:nogroup "$work/mail"
  printf 'jo:{PLAIN}pop secret\n' >"$work/dovecot/users"
  cat >"$work/dovecot/dovecot.conf" <<CONF
protocols = pop3
listen = 127.0.0.1
base_dir = $work/dovecot/run
state_dir = $work/dovecot/state
log_path = $work/dovecot/dovecot.log
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
mail_location = maildir:$work/mail/%u/Maildir
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $work/dovecot/users
}
userdb {
  driver = static
  args = uid=nobody gid=nogroup home=$work/mail/%u
}
service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1
    port = 110
  }
  inet_listener pop3s {
    port = 0
  }
}
CONF
  dovecot -F -c "$work/dovecot/dovecot.conf" >"$work/dovecot/stderr.log" 2>&1 &
  pids+=($!)
  wait_until 20 port_open 25 || { cat "$work/sink.log"; echo "FAIL: the SMTP sink did not start"; return 1; }
  wait_until 20 port_open 110 || { cat "$work/dovecot/"*.log; echo "FAIL: Dovecot did not start"; return 1; }
}
