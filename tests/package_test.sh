#!/usr/bin/env bash
# Builds the Debian package from a built tree and checks it: its fields, that
# its Depends name the package of every library the programs need, that it
# lists exactly what `cmake --install` puts into a tree, that apt could
# install it, and that what it holds works (programs start, man pages render,
# the desktop entry is valid).
# Usage: package_test.sh BUILD_DIR VERSION SETUP(ON|OFF)
set -euo pipefail
build=$1 version=$2 setup=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

cpack --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log"; echo "FAIL: cpack"; exit 1; }
debs=("$tmp"/pkg/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: expected one .deb, got: ${debs[*]}"; exit 1; }
deb=${debs[0]}

[ "$(dpkg-deb --field "$deb" Package)" = quorvexia ] || fail "package name"
[ "$(dpkg-deb --field "$deb" Version)" = "$version" ] || fail "version is not $version"
depends=$(dpkg-deb --field "$deb" Depends)
echo "Depends: $depends"
depends_names=$(tr ',|' '\n\n' <<<"$depends" | awk '{print $1}')

# The installed tree and the package hold the same files.
DESTDIR="$tmp/root" cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log"; echo "FAIL: cmake --install"; exit 1; }
(cd "$tmp/root" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort) >"$tmp/installed"
dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort >"$tmp/packaged"
if ! diff -u "$tmp/installed" "$tmp/packaged"; then fail "the package does not list exactly the installed files"; fi

expected=(usr/bin/korv usr/bin/korvconf usr/bin/librasapi32.so
          usr/share/man/man1/korv.1.gz usr/share/man/man1/korvconf.1.gz usr/share/man/man5/korv.cfg.5.gz
          usr/lib/systemd/user/korv.service usr/lib/systemd/user/korv.timer
          usr/share/doc/quorvexia/copyright usr/share/doc/quorvexia/changelog.gz)
if [ "$setup" = ON ]; then
  expected+=(usr/bin/korvcfg usr/share/man/man1/korvcfg.1.gz usr/share/applications/korvcfg.desktop
             usr/share/icons/hicolor/scalable/apps/korvcfg.svg)
fi
for f in "${expected[@]}"; do grep -qxF "$f" "$tmp/packaged" || fail "the package lacks $f"; done

# Every library a packaged program or library needs comes from a package
# that Depends names (the provider found beside the programs excepted).
dpkg-deb -x "$deb" "$tmp/x"
ldconfig -p >"$tmp/ldcache"
owner_of() {  # the package that owns a library path
  local found
  found=$(dpkg -S "$(readlink -f "$1")" 2>/dev/null || dpkg -S "$1" 2>/dev/null || true)
  found=${found%%$'\n'*}
  echo "${found%%:*}"
}
while read -r elf; do
  for soname in $(objdump -p "$elf" | awk '$1 == "NEEDED" {print $2}'); do
    [ -e "$tmp/x/usr/bin/$soname" ] && continue
    path=$(awk -v s="$soname" '$1 == s && !p {p = $NF} END {print p}' "$tmp/ldcache")
    [ -n "$path" ] || { fail "$elf needs $soname, which is not installed here"; continue; }
    owner=$(owner_of "$path")
    [ -n "$owner" ] || { fail "no package owns $path"; continue; }
    grep -qxF "$owner" <<<"$depends_names" || fail "$(basename "$elf") needs $soname from $owner, which Depends does not name"
  done
done < <(find "$tmp/x" -type f -exec sh -c 'file -b "$1" | grep -q ELF && echo "$1"' _ {} \;)

# apt would install it here: every dependency resolves (a simulation only).
if ! apt-get -s -q install "$deb" >"$tmp/apt.log" 2>&1 || ! grep -q "^Inst quorvexia" "$tmp/apt.log"; then
  cat "$tmp/apt.log"; fail "apt cannot install the package"
fi

# What the package holds works.
"$tmp/x/usr/bin/korvconf" help | grep -q "Usage: korvconf" || fail "the packaged korvconf does not run"
status=0
out=$("$tmp/x/usr/bin/korv" 2>&1) || status=$?
[ $status -eq 1 ] && grep -q "KORV \[/send\]" <<<"$out" || fail "the packaged korv does not print its usage text"
for page in "$tmp"/x/usr/share/man/man*/*.gz; do
  err=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "$(basename "$page") does not render"
  [ -z "$err" ] || fail "$(basename "$page") renders with warnings: $err"
done
if [ "$setup" = ON ] && command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$tmp/x/usr/share/applications/korvcfg.desktop" || fail "the desktop entry is not valid"
fi

[ $failed -eq 0 ] && echo "package: $(basename "$deb") holds what cmake --install installs, with right Depends"
exit $failed
