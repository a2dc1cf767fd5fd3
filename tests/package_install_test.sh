#!/usr/bin/env bash
# The Debian package as a user gets it: built with cpack, checked by lintian,
# installed with dpkg -i and apt-get -f install into a clean Debian 12 root
# made from Debian's packages, used there (korv's usage text, korvconf
# init/show, a korv round trip against loopback servers of the test, korvcfg
# starting offscreen, man korv), and removed with dpkg -r without a trace.
#
# The clean root is made once per machine with mmdebstrap and kept as a
# tarball, as are the packages apt fetches into it, under
# /var/cache/quorvexia (QUORVEXIA_ROOT_CACHE chooses another place); every
# run unpacks a fresh copy. Everything runs in private mount and process
# namespaces, the round trip also in a private network namespace.
#
# Usage: package_install_test.sh BUILD_DIR SETUP(ON|OFF) SMTP_SINK
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [ "${1:-}" = --inside ]; then
  stage=$2 root=$3 setup=$4 smtp_sink=${5:-}
  in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }
  failed=0
  fail() { echo "FAIL: $*"; failed=1; }

  if [ "$stage" = install ]; then
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    export DEBIAN_FRONTEND=noninteractive
    in_root apt-get update -qq || { echo "FAIL: apt-get update in the root"; exit 1; }
    # dpkg alone stops at the missing dependencies; apt-get -f install brings
    # them and finishes the installation.
    in_root dpkg -i /tmp/quorvexia.deb >"$root/tmp/dpkg.log" 2>&1 || true
    in_root env DEBIAN_FRONTEND=noninteractive apt-get -f install -y -qq --no-install-recommends \
      >"$root/tmp/apt.log" 2>&1 || { cat "$root/tmp/dpkg.log" "$root/tmp/apt.log"; echo "FAIL: apt-get -f install"; exit 1; }
    [ "$(in_root dpkg-query -W -f='${Status}' quorvexia)" = "install ok installed" ] ||
      { cat "$root/tmp/dpkg.log" "$root/tmp/apt.log"; echo "FAIL: quorvexia is not installed"; exit 1; }
    exit 0
  fi

  # stage = run: a private network for the round trip; the servers run from
  # the machine's own tree, korv from the root.
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  ip link set lo up
  pids=()
  trap 'for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done; wait' EXIT
  source "$here/loopback_mail.sh"
  start_loopback_mail "$root/tmp/servers" "$smtp_sink" 120 || exit 1

  # korv without switches: the usage text and exit status 1.
  status=0
  out=$(in_root korv 2>&1) || status=$?
  [ $status -eq 1 ] && grep -q "KORV \[/send\]" <<<"$out" || fail "korv without switches (status $status): $out"

  mkdir -p "$root/root/mail/in" "$root/root/mail/out"
  in_mail() { in_root sh -c 'cd /root/mail && exec "$@"' sh "$@"; }
  in_mail korvconf init >/dev/null || fail "korvconf init"
  in_mail korvconf set domain quorvexia.test smtp-server 127.0.0.1 pop3-server 127.0.0.1 \
    pop3-user jo inbound in outbound out logfile korv.log >/dev/null || fail "korvconf set"
  printf 'pop secret\n' | in_mail korvconf set pop3-password - >/dev/null || fail "korvconf set pop3-password -"
  shown=$(in_mail korvconf show) || fail "korvconf show"
  grep -qE "^ *POP3 Username: +jo$" <<<"$shown" || fail "korvconf show does not read back the user: $shown"
  grep -qE "^ *POP3 Password: +\*+$" <<<"$shown" || fail "korvconf show does not mask the password: $shown"

  printf 'From: Jo <jo@quorvexia.test>\nTo: Ann <ann@quorvexia.test>\nSubject: from the package\n\nSent by the installed korv.\n' \
    >"$root/root/mail/out/00000001.txt"
  printf 'quorvexia.test\njo@quorvexia.test\nann@quorvexia.test\n' >"$root/root/mail/out/00000001.wrk"
  status=0
  out=$(in_mail timeout 60 korv /send /receive 2>&1) || status=$?
  [ $status -eq 0 ] || fail "korv /send /receive: exit status $status"
  grep -qs "Sent by the installed korv." "$root/tmp/servers/sink/1.data" || fail "the SMTP server did not get the message"
  grep -qs "Waiting on the server." "$root/root/mail/in/00000000.txt" || fail "the waiting message was not stored"
  [ -f "$root/root/mail/in/00000000.wrk" ] || fail "the received message has no envelope file"
  [ $failed -eq 0 ] || { echo "--- korv /send /receive"; echo "$out"; }

  if [ "$setup" = ON ]; then
    # korvcfg shows its sheet over the korv.cfg just made and waits for the
    # user: still running after a few seconds means it started.
    status=0
    out=$(in_root sh -c 'cd /root/mail && QT_QPA_PLATFORM=offscreen exec timeout 5 korvcfg' 2>&1) || status=$?
    [ $status -eq 124 ] || fail "korvcfg did not stay up offscreen (status $status): $out"
  fi

  page=$(in_root env MANWIDTH=80 man korv 2>&1) || fail "man korv: $page"
  grep -q "^NAME" <<<"$page" && grep -q "korv - send queued mail" <<<"$page" || fail "man korv shows: ${page:0:300}"
  exit $failed
fi

build=$1 setup=$2 smtp_sink=$3
[ "$(id -u)" -eq 0 ] || { echo "installing into a Debian root needs root"; exit 77; }
for program in mmdebstrap lintian cpack; do
  command -v "$program" >/dev/null || { echo "FAIL: $program is missing (scripts/install-deps installs it)"; exit 1; }
done
tmp=$(mktemp -d /tmp/quorvexia-package.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
chmod 711 "$tmp"  # Dovecot reads the mailbox in the root as another user
failed=0
fail() { echo "FAIL: $*"; failed=1; }
started=$SECONDS

cpack --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log"; echo "FAIL: cpack"; exit 1; }
debs=("$tmp"/pkg/*.deb)
deb=${debs[0]}
echo "package: $(basename "$deb")"

# lintian's errors fail the test; its warnings are shown.
lintian --fail-on error "$deb" >"$tmp/lintian.log" 2>&1 ||
  fail "lintian finds errors in the package"
cat "$tmp/lintian.log"

# The clean root, made once and kept; made under a lock, so that runs at the
# same time wait for the one that makes it.
cache=${QUORVEXIA_ROOT_CACHE:-/var/cache/quorvexia}
mkdir -p "$cache/archives"
root_tar=$cache/debian12-root.tar
exec 9>"$cache/lock"
flock 9
if [ ! -s "$root_tar" ]; then
  echo "making a clean Debian 12 root with mmdebstrap (once per machine)"
  # From the machine's own apt sources, as a user's machine would be set up.
  sources=()
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -s "$f" ] && sources+=("$f")
  done
  mmdebstrap --quiet --variant=apt --mode=root --include=man-db bookworm "$cache/debian12-root.new.tar" "${sources[@]}" \
    >"$tmp/mmdebstrap.log" 2>&1 ||
    { cat "$tmp/mmdebstrap.log"; echo "FAIL: mmdebstrap"; exit 1; }
  mv "$cache/debian12-root.new.tar" "$root_tar"
fi
flock -u 9
root=$tmp/root
mkdir "$root"
tar -C "$root" -xf "$root_tar"
cp "$deb" "$root/tmp/quorvexia.deb"
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod +x "$root/usr/sbin/policy-rc.d"
# What the root holds before the package (the packages apt fetches are kept
# for the next run, outside the root).
snapshot() {
  (cd "$root" && find . -xdev \( -path ./proc -o -path ./dev -o -path ./sys -o -path ./tmp -o -path ./run \
     -o -path ./var/cache -o -path ./var/lib/apt -o -path ./var/lib/dpkg -o -path ./var/log -o -path ./root \) -prune \
     -o -print | sort)
}

run_inside() {
  unshare --mount --pid --fork --kill-child=KILL "$@"
}
mkdir -p "$root/var/cache/apt/archives"
mount_cache="mount --bind $cache/archives $root/var/cache/apt/archives"
# apt locks the shared archive while it installs: a run at the same time waits
# its turn rather than failing on that lock.
if ! flock "$cache/archives.lock" \
     unshare --mount --pid --fork --kill-child=KILL \
     sh -c "$mount_cache && exec timeout 600 bash '$0' --inside install '$root' '$setup'"; then
  exit 1
fi
installed_files=$(chroot "$root" dpkg -L quorvexia)
snapshot >"$tmp/with-package"

if ! run_inside --net timeout 180 bash "$0" --inside run "$root" "$setup" "$smtp_sink"; then
  fail "the installed programs"
fi

# dpkg -r takes away every file it brought and leaves nothing of its own.
rm -rf "$root/root/mail"
chroot "$root" dpkg -r quorvexia >"$tmp/remove.log" 2>&1 || { cat "$tmp/remove.log"; fail "dpkg -r"; }
[ -z "$(chroot "$root" dpkg-query -W -f='${Status}' quorvexia 2>/dev/null | grep -v not-installed)" ] ||
  fail "dpkg still lists quorvexia: $(chroot "$root" dpkg-query -W -f='${Status}' quorvexia)"
snapshot >"$tmp/removed"
while read -r path; do
  [ -d "$root$path" ] && [ ! -L "$root$path" ] && continue  # directories other packages own too
  [ ! -e "$root$path" ] && [ ! -L "$root$path" ] || fail "dpkg -r left $path"
done <<<"$installed_files"
if comm -13 "$tmp/with-package" "$tmp/removed" | grep -q .; then
  fail "removing the package added: $(comm -13 "$tmp/with-package" "$tmp/removed" | head)"
fi
left=$(grep -iE 'korv|quorvexia|rasapi32' "$tmp/removed" || true)
[ -z "$left" ] || fail "after dpkg -r the root still holds: $left"

echo "(the installation test took $((SECONDS - started)) s)"
[ $failed -eq 0 ] && echo "package: lintian without errors; installed, used and removed cleanly in a Debian 12 root"
exit $failed
