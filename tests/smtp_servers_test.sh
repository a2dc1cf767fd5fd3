#!/usr/bin/env bash
# korv /send against real SMTP servers, each started here on loopback inside
# private network, mount and process namespaces that end with the test:
#
#   opensmtpd   OpenSMTPD refuses a malformed message for good: the pair is
#               kept in out/refused byte for byte, the next run leaves it
#               alone, and a second refusal of the same name does not
#               overwrite it.
#   submission  Dovecot's submission service wants authentication: one MAIL
#               per connection, the '!' line with its 530, every pair kept,
#               the send bit set; with /tries:2 two connections.
#   submission_tls
#               Dovecot's submission service over STARTTLS with AUTH PLAIN,
#               relaying to OpenSMTPD: korv sends its queue with MAIL, RCPT
#               and DATA pipelined, every message is delivered once, the
#               queue is empty, and the next run finds nothing to send.
#   exim        Exim, which checks that a client waits for every reply,
#               with greetings of 1 to 4 lines: every message delivered
#               once, the queue empty, exit 0.
#               Exim is run from its Debian packages, unpacked into CACHE
#               (downloaded once) and laid over the machine's tree, so
#               nothing is installed.
#
# Usage: smtp_servers_test.sh MODE KORV KORVCONF CACHE
# Exit status 0 when every check held, 77 when not root.
set -euo pipefail

die() { echo "FAIL: $*" >&2; exit 1; }

# Waits until something listens on 127.0.0.1:$1, at most $2 seconds.
wait_for_port() {
  local port=$1 deadline=$((SECONDS + $2))
  until (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}

# A korv home: korv.cfg written by korvconf, in/ and out/, korv by a link.
make_home() {
  local home=$1 port=$2
  mkdir -p "$home/in" "$home/out"
  ln -sf "$korv" "$home/korv"
  (cd "$home" && "$korvconf" init >/dev/null &&
    "$korvconf" set domain client.test smtp-server "127.0.0.1:$port" pop3-server 127.0.0.1 \
      inbound in outbound out logfile korv.log >/dev/null)
}

# Queues the pair $2.txt/$2.wrk in $1/out, from $3 to $4, with text body $5.
queue() {
  local home=$1 base=$2 from=$3 to=$4 header=${5:-}
  {
    printf 'From: <%s>\nTo: <%s>\nSubject: message %s\nMessage-ID: <%s.%s@client.test>\n' \
      "$from" "$to" "$base" "$base" "$RANDOM"
    [ -n "$header" ] && printf '%s\n' "$header"
    printf '\nThe text of message %s.\n.a line that begins with a dot\n' "$base"
  } >"$home/out/$base.txt"
  printf 'client.test\n%s\n%s\n' "$from" "$to" >"$home/out/$base.wrk"
}

# Runs korv in its home for at most a minute; its exit status in $status.
korv_run() {
  local home=$1
  shift
  status=0
  (cd "$home" && timeout 60 ./korv "$@" </dev/null >"$home/console.txt" 2>&1) || status=$?
}

count() { grep -c -- "$1" "$2" || true; }

# Waits until $1 holds $2 files, at most $3 seconds.
wait_for_files() {
  local dir=$1 want=$2 deadline=$((SECONDS + $3))
  while [ "$(find "$dir" -type f 2>/dev/null | wc -l)" -lt "$want" ] && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
  [ "$(find "$dir" -type f 2>/dev/null | wc -l)" -eq "$want" ]
}

# ---------------------------------------------------------------------------
# Starts OpenSMTPD on 127.0.0.1:$1, delivering into the Maildir $2.
start_opensmtpd() {
  local port=$1 maildir=$2
  mkdir -p "$maildir"/{new,cur,tmp} "$work/smtpd"
  chown -R nobody:nogroup "$maildir"
  cat >"$work/smtpd/smtpd.conf" <<EOF
listen on 127.0.0.1 port $port
table vusers { "@" = "nobody" }
action "store" maildir "$maildir" virtual <vusers> user nobody
match from local for any action "store"
EOF
  smtpd -d -f "$work/smtpd/smtpd.conf" >"$work/smtpd/smtpd.log" 2>&1 &
  pids+=($!)
  wait_for_port $port 20 || { cat "$work/smtpd/smtpd.log" >&2; die "OpenSMTPD did not start"; }
}

run_opensmtpd() {
  local port=2525 maildir=$work/Maildir
  start_opensmtpd $port "$maildir"

  local home=$work/korv
  make_home "$home" $port
  queue "$home" good ann@client.test bob@server.test
  # A header line without a colon: not a message OpenSMTPD accepts.
  queue "$home" bad ann@client.test bob@server.test "This line is no header field"
  cp "$home/out/bad.txt" "$work/bad.txt.orig"
  cp "$home/out/bad.wrk" "$work/bad.wrk.orig"
  korv_run "$home" /send
  [ "$status" -eq 0 ] || die "exit status $status"
  grep -q '^? .*Permanent failure; error 5[0-9][0-9]; message bad\.$' "$home/korv.log" ||
    { cat "$home/korv.log" >&2; die "no permanent failure logged"; }
  [ "$(ls "$home/out")" = refused ] || die "out/ holds $(ls "$home/out")"
  [ "$(ls "$home/out/refused")" = "$(printf 'bad.txt\nbad.wrk')" ] || die "refused/ holds $(ls "$home/out/refused")"
  cmp "$home/out/refused/bad.txt" "$work/bad.txt.orig" || die "the refused text changed"
  cmp "$home/out/refused/bad.wrk" "$work/bad.wrk.orig" || die "the refused envelope changed"
  [ "$(stat -c %a "$home/out/refused")" = 700 ] || die "refused/ has mode $(stat -c %a "$home/out/refused")"
  wait_for_files "$maildir/new" 1 20 || die "the good message was not delivered"

  # The next run has nothing to send and leaves refused/ alone.
  korv_run "$home" /send
  grep -q "No messages for delivery." "$home/console.txt" || die "the next run did not find the queue empty"
  cmp "$home/out/refused/bad.txt" "$work/bad.txt.orig" || die "the next run touched the refused text"

  # The same base name refused once more: kept beside the first, never over it.
  queue "$home" bad ann@client.test bob@server.test "Another line that is no header field"
  cp "$home/out/bad.txt" "$work/bad2.txt.orig"
  korv_run "$home" /send
  [ "$(ls "$home/out/refused" | tr '\n' ' ')" = "bad-1.txt bad-1.wrk bad.txt bad.wrk " ] ||
    die "refused/ holds $(ls "$home/out/refused")"
  cmp "$home/out/refused/bad.txt" "$work/bad.txt.orig" || die "the first refused text was overwritten"
  cmp "$home/out/refused/bad-1.txt" "$work/bad2.txt.orig" || die "the second refused text differs"
  echo "opensmtpd: malformed message kept in out/refused, next run left it alone, second refusal beside it"
}

# ---------------------------------------------------------------------------
# Starts Dovecot's submission service on 127.0.0.1:$1 for the user ann
# (password secret), relaying to 127.0.0.1:2599, with the TLS settings $2.
start_submission() {
  local port=$1 tls=$2
  mkdir -p "$work/dovecot" "$work/mail"
  chown nobody:nogroup "$work/mail"
  printf 'ann:{PLAIN}secret\n' >"$work/dovecot/users"
  cat >"$work/dovecot/dovecot.conf" <<EOF
protocols = submission
listen = 127.0.0.1
base_dir = $work/dovecot/run
state_dir = $work/dovecot/state
log_path = $work/dovecot/dovecot.log
$tls
auth_mechanisms = plain
hostname = submission.test
submission_relay_host = 127.0.0.1
submission_relay_port = 2599
submission_relay_trusted = yes
mail_location = maildir:$work/mail/%u/Maildir
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $work/dovecot/users
}
userdb {
  driver = static
  args = uid=nobody gid=nogroup home=$work/mail/%u
}
service submission-login {
  inet_listener submission {
    address = 127.0.0.1
    port = $port
  }
}
EOF
  dovecot -F -c "$work/dovecot/dovecot.conf" >"$work/dovecot/stderr.log" 2>&1 &
  pids+=($!)
  wait_for_port $port 20 || { cat "$work/dovecot/"*.log >&2; die "Dovecot's submission service did not start"; }
}

run_submission() {
  local port=5587
  start_submission $port "ssl = no
disable_plaintext_auth = no"

  local home=$work/korv
  make_home "$home" $port
  local n
  for n in 1 2 3; do queue "$home" "m$n" ann@client.test bob@server.test; done
  korv_run "$home" /send /debug
  [ "$status" -eq 1 ] || die "exit status $status, not the send bit"
  [ "$(count '^MAIL FROM:' "$home/console.txt")" -eq 1 ] || die "not one MAIL: $(cat "$home/console.txt")"
  grep -q '^SMTP server refused mail: 530 5\.7\.0 .*\.$' "$home/console.txt" || die "no refusal on the console"
  [ "$(count '^! .*SMTP server refused mail: 530 ' "$home/korv.log")" -eq 1 ] ||
    { cat "$home/korv.log" >&2; die "not one '!' line with 530"; }
  [ "$(count 'Invalid mail sender' "$home/korv.log")" -eq 0 ] || die "a refusal of the session logged per message"
  [ "$(ls "$home/out" | wc -l)" -eq 6 ] || die "pairs lost: $(ls "$home/out")"

  korv_run "$home" /send /tries:2
  [ "$status" -eq 1 ] || die "/tries:2: exit status $status"
  [ "$(count 'Retrying...' "$home/console.txt")" -eq 1 ] || die "/tries:2 did not retry once"
  [ "$(count '^! .*SMTP server refused mail: 530 ' "$home/korv.log")" -eq 3 ] || die "/tries:2: not two more refusals"
  [ "$(ls "$home/out" | wc -l)" -eq 6 ] || die "/tries:2: pairs lost"
  echo "submission: one MAIL per connection, 530 logged with '!', pairs kept, exit 1; /tries:2 two connections"
}

# ---------------------------------------------------------------------------
run_submission_tls() {
  local port=5587 maildir=$work/Maildir n
  sh "$source_dir/tls/make_pki.sh" "$work/pki"
  start_opensmtpd 2599 "$maildir"
  start_submission $port "ssl = required
ssl_cert = <$work/pki/good.pem
ssl_key = <$work/pki/good.key
ssl_min_protocol = TLSv1.2"

  local home=$work/korv
  make_home "$home" $port
  (cd "$home" && "$korvconf" set smtp-server "smtp+starttls://localhost:$port" pop3-user ann >/dev/null &&
    printf 'secret\n' | "$korvconf" set pop3-password - >/dev/null)
  for n in $(seq -w 1 12); do queue "$home" "m$n" ann@client.test "bob$n@server.test"; done
  SSL_CERT_FILE=$work/pki/ca.pem korv_run "$home" /send /debug
  [ "$status" -eq 0 ] || { cat "$home/console.txt" "$home/korv.log" >&2; die "exit status $status"; }
  grep -q '^AUTH PLAIN <hidden>$' "$home/console.txt" || die "no AUTH PLAIN"
  # Pipelined: the commands of a group are echoed before any reply to them.
  [ "$(grep -A3 '^RSET$' "$home/console.txt" | grep -c '^DATA$')" -eq 12 ] ||
    { cat "$home/console.txt" >&2; die "MAIL, RCPT and DATA were not sent as one group"; }
  [ -z "$(ls -A "$home/out")" ] || die "left in the queue: $(ls "$home/out")"
  [ "$(count '^\* .*Sent m' "$home/korv.log")" -eq 12 ] || { cat "$home/korv.log" >&2; die "not 12 sent"; }
  wait_for_files "$maildir/new" 12 30 || die "$(find "$maildir/new" -type f | wc -l) of 12 delivered"
  for n in $(seq -w 1 12); do
    [ "$(grep -l "^Subject: message m$n\$" "$maildir"/new/* | wc -l)" -eq 1 ] || die "message m$n not delivered once"
  done
  SSL_CERT_FILE=$work/pki/ca.pem korv_run "$home" /send
  grep -q "No messages for delivery." "$home/console.txt" || die "the next run did not find the queue empty"
  sleep 1
  [ "$(find "$maildir/new" -type f | wc -l)" -eq 12 ] || die "a message arrived twice"
  echo "submission_tls: STARTTLS, AUTH PLAIN, MAIL/RCPT/DATA pipelined, 12 messages delivered once, queue empty"
}

# ---------------------------------------------------------------------------
# Exim's packages unpacked once into $cache (a download on a fresh machine;
# done before the private network is entered).
unpack_exim() {
  [ -x "$cache/root/usr/sbin/exim4" ] && return 0
  rm -rf "$cache/debs" "$cache/root.new"
  mkdir -p "$cache/debs" "$cache/root.new"
  (cd "$cache/debs" && apt-get download exim4-daemon-light exim4-base >/dev/null 2>&1) ||
    { apt-get update -qq && (cd "$cache/debs" && apt-get download exim4-daemon-light exim4-base >/dev/null 2>&1); } ||
    die "could not download Exim's packages"
  local deb
  for deb in "$cache"/debs/*.deb; do dpkg-deb -x "$deb" "$cache/root.new"; done
  # The machine's /lib and /sbin are /usr/lib and /usr/sbin.
  local top
  for top in lib sbin bin; do
    if [ -d "$cache/root.new/$top" ]; then
      mkdir -p "$cache/root.new/usr/$top"
      cp -a "$cache/root.new/$top/." "$cache/root.new/usr/$top/"
      rm -rf "${cache:?}/root.new/$top"
    fi
  done
  rm -rf "$cache/root"
  mv "$cache/root.new" "$cache/root"
}

# Lays the unpacked tree over /usr, /etc and /var/lib of this mount namespace.
overlay_exim() {
  local part upper
  for part in usr etc var/lib; do
    [ -d "$cache/root/$part" ] || mkdir -p "$cache/root/$part"
    upper=$work/overlay/${part//\//_}
    mkdir -p "$upper/upper" "$upper/work"
    mount -t overlay overlay -o "lowerdir=$cache/root/$part:/$part,upperdir=$upper/upper,workdir=$upper/work" "/$part"
  done
  grep -q '^Debian-exim:' /etc/group || echo 'Debian-exim:x:990:' >>/etc/group
  grep -q '^Debian-exim:' /etc/passwd ||
    echo 'Debian-exim:x:990:990::/var/spool/exim4:/usr/sbin/nologin' >>/etc/passwd
}

run_exim() {
  overlay_exim
  local port=25 maildir=$work/Maildir
  mkdir -p "$maildir" "$work/exim/spool" "$work/exim/log"
  chown -R Debian-exim:Debian-exim "$work/exim" "$maildir"
  local lines
  for lines in 1 2 3 4; do
    local banner='mx.server.test ESMTP greeting line 1' i
    for ((i = 2; i <= lines; i++)); do banner+="\\ngreeting line $i"; done
    cat >"$work/exim/exim.conf" <<EOF
primary_hostname = mx.server.test
daemon_smtp_ports = $port
local_interfaces = 127.0.0.1
spool_directory = $work/exim/spool
log_file_path = $work/exim/log/%slog
host_lookup =
rfc1413_hosts =
tls_advertise_hosts =
never_users = root
exim_user = Debian-exim
exim_group = Debian-exim
smtp_accept_queue_per_connection = 0
smtp_banner = $banner
domainlist local_domains = server.test
acl_smtp_rcpt = acl_check_rcpt
begin acl
acl_check_rcpt:
  accept hosts = 127.0.0.1
         domains = +local_domains
  deny
begin routers
local:
  driver = accept
  domains = +local_domains
  transport = maildir
begin transports
maildir:
  driver = appendfile
  directory = $maildir/r$lines
  maildir_format
  delivery_date_add
  envelope_to_add
  return_path_add
  user = Debian-exim
EOF
    mkdir -p /etc/exim4
    echo "$work/exim/exim.conf" >/etc/exim4/trusted_configs
    exim4 -C "$work/exim/exim.conf" -bV >"$work/exim/check.log" 2>&1 ||
      { cat "$work/exim/check.log" >&2; die "Exim does not accept its configuration"; }
    exim4 -C "$work/exim/exim.conf" -bdf -q1m >"$work/exim/daemon.log" 2>&1 &
    local exim_pid=$!
    wait_for_port $port 20 || { cat "$work/exim/daemon.log" "$work/exim/log/"* >&2; die "Exim did not start"; }

    local home=$work/korv$lines n
    make_home "$home" $port
    for n in 1 2 3 4 5; do queue "$home" "m$n" ann@client.test "r$lines@server.test"; done
    korv_run "$home" /send /debug
    [ "$status" -eq 0 ] || { cat "$home/console.txt" "$work/exim/log/"* >&2; die "greeting of $lines lines: exit status $status"; }
    [ -z "$(ls "$home/out")" ] || die "greeting of $lines lines: queue left $(ls "$home/out")"
    [ "$(count "greeting line $lines" "$home/console.txt")" -ge 1 ] || die "the greeting had not $lines lines"
    wait_for_files "$maildir/r$lines" 5 20 || { cat "$work/exim/log/"* >&2; die "greeting of $lines lines: $(find "$maildir/r$lines" -type f | wc -l) delivered"; }
    grep -q 'synchronization error' "$work/exim/log/"* 2>/dev/null && die "Exim saw a synchronization error"
    kill -TERM $exim_pid
    wait $exim_pid 2>/dev/null || true
    echo "exim: greeting of $lines line(s): 5 messages delivered once, queue empty, exit 0"
  done
}

# ---------------------------------------------------------------------------
if [ "${1:-}" = "--inside" ]; then
  shift
  mode=$1 korv=$2 korvconf=$3 cache=$4 work=$5
  source_dir=$(dirname "$(readlink -f "$0")")
  pids=()
  stop() {
    local pid
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  }
  trap stop EXIT
  mount --make-rprivate /
  # OpenSMTPD's queue and the control sockets have fixed places: private ones.
  mount -t tmpfs -o mode=0755 test-spool /var/spool
  mount -t tmpfs -o mode=0755 test-run /run
  ip link set lo up
  "run_$mode"
  exit 0
fi

[ "$(id -u)" -eq 0 ] || { echo "these tests need root (private namespaces)"; exit 77; }
[ $# -eq 4 ] || { echo "usage: $0 opensmtpd|submission|submission_tls|exim KORV KORVCONF CACHE" >&2; exit 2; }
mode=$1 korv=$(readlink -f "$2") korvconf=$(readlink -f "$3") cache=$4
mkdir -p "$cache"
cache=$(readlink -f "$cache")
[ "$mode" = exim ] && unpack_exim
work=$(mktemp -d /tmp/quorvexia-smtp-$mode.XXXXXX)
chmod 711 "$work"
trap 'rm -rf "$work"' EXIT
# The process namespace makes sure nothing started inside outlives the test.
timeout 240 unshare --net --mount --pid --fork --mount-proc --kill-child=TERM \
  bash "$0" --inside "$mode" "$korv" "$korvconf" "$cache" "$work"
