#!/usr/bin/env bash
# The systemd user units as `cmake --install` puts them in place: where they
# go, that nothing enables them, that systemd-analyze verifies them (their
# manual page included), and what the journal shows for each exit status.
# Usage: systemd_units_test.sh BUILD_DIR KORV
set -euo pipefail
build=$1 korv=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

DESTDIR="$tmp/root" cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log"; echo "FAIL: cmake --install"; exit 1; }
units=$tmp/root/usr/lib/systemd/user
for unit in korv.service korv.timer; do
  [ -f "$units/$unit" ] || { echo "FAIL: $unit is not installed in /usr/lib/systemd/user"; exit 1; }
done
grep -qx 'ExecStart=/usr/bin/korv /send /receive' "$units/korv.service" || fail "the service does not run /usr/bin/korv /send /receive"
grep -qx 'WorkingDirectory=%h' "$units/korv.service" || fail "the service does not run in the home directory"
grep -qx 'WantedBy=timers.target' "$units/korv.timer" || fail "enabling the timer does not hook it into timers.target"
# Off by default: nothing enables the timer on installation.
[ ! -e "$tmp/root/etc" ] || fail "the installation puts files under /etc: $(cd "$tmp/root" && find etc)"

# systemd-analyze checks the programs and manual pages the units name, so the
# service runs the built korv here, and man finds the installed pages.
verify() {
  XDG_RUNTIME_DIR=$tmp/run MANPATH=$tmp/root/usr/share/man systemd-analyze --user verify "$@" 2>&1
}
mkdir -p "$tmp/run" "$tmp/check" "$tmp/broken"
chmod 700 "$tmp/run"
sed "s|^ExecStart=/usr/bin/korv |ExecStart=$korv |" "$units/korv.service" >"$tmp/check/korv.service"
cp "$units/korv.timer" "$tmp/check/korv.timer"
if ! out=$(verify "$tmp/check/korv.service" "$tmp/check/korv.timer") || [ -n "$out" ]; then
  fail "systemd-analyze verify does not pass the units:"; echo "$out"
fi
# The same check refuses a unit with a fault, so a pass above means something.
sed 's|^OnCalendar=.*|OnCalendar=every ten minutes|' "$units/korv.timer" >"$tmp/broken/korv.timer"
cp "$tmp/check/korv.service" "$tmp/broken/korv.service"
if verify "$tmp/broken/korv.service" "$tmp/broken/korv.timer" >/dev/null; then
  fail "systemd-analyze verify passes a timer with a calendar it cannot read"
fi

# What the journal shows after each exit status: the command of ExecStopPost
# (continuation lines joined, "$$" as systemd passes it on), run as systemd
# runs it.
stop_post=$(sed -e ':a' -e '/\\$/N; s/\\\n//; ta' "$units/korv.service" | sed -n 's/^ExecStopPost=//p')
stop_post=${stop_post//\$\$/\$}
[ -n "$stop_post" ] || fail "the service has no ExecStopPost"
declare -A said=(
  [0]=""
  [1]="korv: exit status 1: sending failed, or korv could not run (see the lines above)."
  [2]="korv: exit status 2: receiving failed (see the lines above)."
  [3]="korv: exit status 3: sending and receiving failed (see the lines above)."
)
for status in 0 1 2 3; do
  out=$(export EXIT_STATUS=$status; eval "$stop_post") || fail "ExecStopPost fails after exit status $status"
  [ "$out" = "${said[$status]}" ] || fail "after exit status $status the journal shows '$out', not '${said[$status]}'"
done

[ $failed -eq 0 ] && echo "systemd units: installed disabled, verified, with a readable exit status"
exit $failed
