#!/usr/bin/env bash
# The manual pages render without a single troff warning, and they name every
# switch of korv and every field korvconf knows.
# Usage: man_pages_test.sh DOCS_DIR KORVCONF
set -euo pipefail
docs=$1 korvconf=$2
failed=0
fail() { echo "FAIL: $*"; failed=1; }

declare -A text
for page in korv.1 korvcfg.1 korvconf.1 korv.cfg.5; do
  err=$(mktemp)
  if ! text[$page]=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$docs/$page" 2>"$err"); then
    fail "$page does not render"
  fi
  if [ -s "$err" ]; then
    fail "$page renders with warnings:"; cat "$err"
  fi
  rm -f "$err"
  grep -q "^NAME" <<<"${text[$page]}" || fail "$page has no NAME section"
done

for switch in /send /receive /hangup /debug /tries: /daemon:; do
  grep -qF -- "$switch" <<<"${text[korv.1]}" || fail "korv.1 does not document $switch"
done
for section in "EXIT STATUS" "FILES" "ACTIVITY LOG"; do
  grep -q "^$section" <<<"${text[korv.1]}" || fail "korv.1 has no $section section"
done

keys=$("$korvconf" help | awk '/^Fields/ {f=1; next} f && NF {print $1}')
[ -n "$keys" ] || fail "korvconf help lists no fields"
for key in $keys; do
  grep -qF -- "$key" <<<"${text[korvconf.1]}" || fail "korvconf.1 does not document the field $key"
done

for word in messageCounter maxMessageSize deleteOversize ".wrk" ".txt"; do
  grep -qF -- "$word" <<<"${text[korv.cfg.5]}" || fail "korv.cfg.5 does not mention $word"
done

[ $failed -eq 0 ] && echo "man pages: all render cleanly and are complete"
exit $failed
