#!/bin/sh
# Runs a command inside its own session bus with an unlocked gnome-keyring
# and a throwaway HOME, so the Secret Service is real and nobody's own. The
# key ring daemon ends with the bus.
# Usage: dbus-run-session -- with_keyring.sh COMMAND...
set -eu
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_RUNTIME_DIR="$home/run"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
printf 'korv-test' | timeout 60 gnome-keyring-daemon --unlock --components=secrets >/dev/null
export KORV_TEST_KEYRING=1
"$@"
