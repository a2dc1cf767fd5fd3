#!/usr/bin/env bash
# Dial-up through a real NetworkManager. A D-Bus system bus and NetworkManager
# of the test's own run in private network, mount, process and host name
# namespaces (nothing of the machine's network or bus is touched, and
# everything ends with the process namespace, bounded by a time limit). veth
# profiles stand in for modems; an SMTP sink and Dovecot on loopback serve
# the transfers.
#
# korvcfg's Connection page (offscreen) lists the profiles, "Connect as"
# stores the user and password, and korv run the way a user runs it brings a
# profile up, transfers, takes it down, and reports NetworkManager's failures.
#
# Usage: nm_real_test.sh KORV KORVCONF PROVIDER SMTP_SINK [PAGE_CHECK]
set -euo pipefail

if [ "${1:-}" != --inside ]; then
  [ "$(id -u)" -eq 0 ] || { echo "a private NetworkManager needs root"; exit 77; }
  for program in NetworkManager nmcli dbus-daemon dovecot; do
    command -v "$program" >/dev/null ||
      { echo "FAIL: $program is missing (scripts/install-deps installs it)"; exit 1; }
  done
  work=$(mktemp -d /tmp/quorvexia-nm.XXXXXX)
  trap 'rm -rf "$work"' EXIT
  # The time limit is the namespace's first process: when it ends, so does
  # everything started inside.
  status=0
  unshare --net --mount --pid --uts --fork --mount-proc --kill-child=KILL \
    timeout 180 bash "$0" --inside "$work" "$@" </dev/null || status=$?
  exit "$status"
fi

shift
work=$1 korv=$2 korvconf=$3 provider=$4 smtp_sink=$5 page_check=${6:-}
failed=0
fail() { echo "FAIL: $*"; failed=1; }
pids=()
stop_all() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_all EXIT

source "$(dirname "$0")/loopback_mail.sh"

# --- The private system: /run, /sys of this network, NetworkManager's state.
mount -t tmpfs -o mode=0755 nm-run /run
mount -t sysfs nm-sys /sys
mount -t tmpfs -o mode=0755 nm-state /var/lib/NetworkManager
ip link set lo up
unset DBUS_SYSTEM_BUS_ADDRESS
mkdir -p /run/dbus "$work/profiles" "$work/nm"

# A bus with no service activation, so that nothing of the machine's (the
# dispatcher and its scripts) is started through it.
cat >"$work/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
EOF
# Keyfile profiles in the test's directory; DNS, host name and the machine's
# configuration left alone. --debug keeps it in the foreground, logging to
# standard error.
cat >"$work/nm/NetworkManager.conf" <<EOF
[main]
plugins=keyfile
no-auto-default=*
dns=none
rc-manager=unmanaged
hostname-mode=none
auth-polkit=false
[keyfile]
path=$work/profiles
EOF
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile >"$work/dbus.log" 2>&1 &
pids+=($!)
wait_until 10 test -S /run/dbus/system_bus_socket || { cat "$work/dbus.log"; echo "FAIL: no D-Bus"; exit 1; }
NetworkManager --debug --log-level=INFO --config="$work/nm/NetworkManager.conf" --config-dir="$work/nm/conf.d" \
  --system-config-dir="$work/nm/conf.d" --intern-config="$work/nm/intern.conf" \
  --state-file="$work/nm/NetworkManager.state" >"$work/nm.log" 2>&1 &
nm_pid=$!
pids+=($nm_pid)
wait_until 30 nmcli -t general || { cat "$work/nm.log"; echo "FAIL: NetworkManager did not start"; exit 1; }
echo "NetworkManager version: $(NetworkManager --version) (nmcli: $(nmcli --version | awk '{print $NF}'))"

# Two profiles that activate (veth pairs made by NetworkManager, no
# addresses) and a PPPoE one that cannot here (no PPP in this kernel or
# system), as a dial that fails.
profile() { nmcli connection add save yes connection.autoconnect no "$@" >/dev/null; }
profile type veth con-name "Office Modem" ifname korv0 veth.peer korv1 ipv4.method disabled ipv6.method disabled
profile type veth con-name "Lab: backup" ifname korv2 veth.peer korv3 ipv4.method disabled ipv6.method disabled
profile type pppoe con-name "Home DSL" ifname ppp0 pppoe.parent korv3 pppoe.username nobody ipv6.method disabled
profiles=$'Office Modem\nLab: backup\nHome DSL'
active() { nmcli -t -f NAME connection show --active; }
is_active() { active | grep -qxF "$1"; }

# --- Loopback servers: an SMTP sink and Dovecot with one message waiting.
start_loopback_mail "$work" "$smtp_sink" 170 || exit 1

# --- korv.cfg, with the provider beside korv as the package installs it.
home=$work/korv
mkdir -p "$home/in" "$home/out"
ln -s "$korv" "$home/korv"
ln -s "$provider" "$home/librasapi32.so"
cd "$home"
"$korvconf" init >/dev/null
"$korvconf" set domain quorvexia.test smtp-server 127.0.0.1 pop3-server 127.0.0.1 \
  pop3-user jo inbound in outbound out logfile korv.log dial-entry office >/dev/null
printf 'pop secret\n' | "$korvconf" set pop3-password - >/dev/null

if [ -n "$page_check" ]; then
  # korvcfg's Connection page: every profile listed, "office" picks Office
  # Modem, "Connect as" stores the user and password, OK saves.
  NM_CHECK_PROVIDER_DIR=$home NM_CHECK_PROFILES=$profiles QT_QPA_PLATFORM=offscreen \
    "$page_check" >"$work/page.log" 2>&1 || { cat "$work/page.log"; fail "korvcfg's Connection page"; }
else
  "$korvconf" set dial-entry "Office Modem" dial-user jane >/dev/null
  printf 'dial: secret\n' | "$korvconf" set dial-password - >/dev/null
fi
shown=$("$korvconf" show)
for line in "Connect by: *modem" "Using this connection: *Office Modem" "Connect as Username: *jane"; do
  grep -qE "^ *$line\$" <<<"$shown" || fail "korv.cfg does not read '$line':"$'\n'"$shown"
done

# Runs korv with the switches; its console text in $out, exit status in $status.
run_korv() {
  status=0
  out=$(timeout 60 ./korv "$@" 2>&1) || status=$?
}
# $1 is the run's name; then pairs of "has"/"lacks" and a fixed text.
expect_output() {
  local name=$1
  shift
  while [ $# -gt 0 ]; do
    case $1 in
      has) grep -qF -- "$2" <<<"$out" || fail "$name: the console lacks '$2'" ;;
      lacks) ! grep -qF -- "$2" <<<"$out" || fail "$name: the console shows '$2'" ;;
    esac
    shift 2
  done
}
report() { [ $failed -eq 0 ] || { echo "--- korv's console ($1)"; echo "$out"; }; }

# 1. Up, transfer, down in one run.
printf 'From: Jo <jo@quorvexia.test>\nTo: Ann <ann@quorvexia.test>\nSubject: over the profile\n\nSent while Office Modem was up.\n' \
  >out/00000001.txt
printf 'quorvexia.test\njo@quorvexia.test\nann@quorvexia.test\n' >out/00000001.wrk
run_korv /send /receive /hangup
[ $status -eq 0 ] || fail "/send /receive /hangup: exit status $status"
expect_output "/send /receive /hangup" has "Connecting to 'Office Modem'..." has "Sending message #1..." \
  has "Getting message #1..."
[ "${out##*$'\n'}" = "Disconnecting from 'Office Modem'..." ] ||
  fail "/send /receive /hangup does not end with the disconnect text"
grep -q "device (korv0): Activation: successful" "$work/nm.log" || fail "NetworkManager never activated Office Modem"
is_active "Office Modem" && fail "Office Modem is still up after /hangup"
[ -f "$work/sink/1.env" ] && grep -qx "ann@quorvexia.test" "$work/sink/1.env" || fail "the queued message did not reach the SMTP server"
[ -z "$(ls out)" ] || fail "out/ still holds: $(ls out)"
grep -qs "Waiting on the server." in/00000000.txt || fail "the waiting message was not stored in in/"
grep -qE '^\+ [ 0-9]{2}:[0-9]{2}:[0-9]{2}  Connecting to Office Modem$' korv.log || fail "the log lacks 'Connecting to Office Modem'"
grep -qE '^\+ [ 0-9]{2}:[0-9]{2}:[0-9]{2}  Disconnected from Office Modem$' korv.log || fail "the log lacks 'Disconnected from Office Modem'"
report "/send /receive /hangup"

# 2. A dial that stays up, a run that finds it up, a hang-up alone, and one
# more when it is down already.
run_korv /receive
expect_output "/receive" has "Connecting to 'Office Modem'..." lacks "Disconnecting"
[ $status -eq 0 ] || fail "/receive: exit status $status"
is_active "Office Modem" || fail "Office Modem is not up after /receive"
report "/receive"
run_korv /receive
expect_output "/receive while up" lacks "Connecting to 'Office Modem'" lacks "Disconnecting"
is_active "Office Modem" || fail "Office Modem went down after the second /receive"
report "/receive while up"
run_korv /hangup
expect_output "/hangup" has "Disconnecting from 'Office Modem'..."
[ $status -eq 0 ] || fail "/hangup: exit status $status"
is_active "Office Modem" && fail "Office Modem is still up after /hangup"
report "/hangup"
run_korv /hangup
expect_output "/hangup when down" has "Connection is already closed."
[ $status -eq 0 ] || fail "/hangup when down: exit status $status"
report "/hangup when down"

# 3. NetworkManager's own failures, in its words. The user name of a PPPoE
# profile becomes a setting of the profile; the password is handed over for
# the dial only and never stored.
"$korvconf" set dial-entry "Home DSL" >/dev/null
run_korv /receive
[ $status -eq 1 ] || fail "a failing dial: exit status $status"
expect_output "a failing dial" has "Connection error: Connection activation failed: " lacks "Hint:"
[ "$(nmcli -g pppoe.username connection show id "Home DSL")" = jane ] || fail "the PPPoE profile did not take the user name"
! grep -rqF "dial: secret" "$work/profiles" || fail "the dial-up password was stored in a profile"
report "a failing dial"
"$korvconf" set dial-entry "Nowhere" >/dev/null
run_korv /receive
[ $status -eq 1 ] || fail "a missing profile: exit status $status"
expect_output "a missing profile" has "Connection error: Nowhere - no such connection profile."
report "a missing profile"
"$korvconf" set dial-entry "Lab: backup" >/dev/null
run_korv /receive /hangup
[ $status -eq 0 ] || fail "a name with a colon: exit status $status"
expect_output "a name with a colon" has "Connecting to 'Lab: backup'..." has "Disconnecting from 'Lab: backup'..."
report "a name with a colon"

kill -TERM "$nm_pid"
wait "$nm_pid" 2>/dev/null || true
run_korv /receive
[ $status -eq 1 ] || fail "without NetworkManager: exit status $status"
expect_output "without NetworkManager" has "Remote Access Service Failure 7008."
report "without NetworkManager"

if [ $failed -ne 0 ]; then
  echo "--- NetworkManager's log"; tail -n 40 "$work/nm.log"
  exit 1
fi
echo "NetworkManager dial-up: profiles listed, brought up, used, taken down; failures in NetworkManager's words"
