#!/bin/sh
# Builds the Debian package, checks it with lintian where that is installed,
# installs it with dpkg into a scratch root and runs the installed plugin's
# handshake and the installed blocklistctl.
set -eu
# Without dpkg there is nothing to install into: skipped (77), and CTest says so.
command -v dpkg-deb > /dev/null && command -v dpkg > /dev/null || { echo "no dpkg: skipped"; exit 77; }
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$build"
cpack -G DEB -B "$scratch/out" > "$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$scratch"/out/*.deb)
dpkg-deb --info "$deb" | grep -q "Package: postsentinel-blocklist"
# Dependencies come from dpkg-shlibdeps: the C++ runtime of blocklistctl too.
dpkg-deb --field "$deb" Depends | grep -q "libstdc++6" || { echo "Depends lacks libstdc++6"; exit 1; }
if command -v lintian > /dev/null; then
    lintian --fail-on error,warning "$deb" 2>&1 | grep -v "root privileges" || true
    lintian --fail-on error,warning "$deb" > /dev/null 2>&1 || { echo "lintian complains"; exit 1; }
fi

root="$scratch/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
: > "$root/var/lib/dpkg/status"
: > "$root/var/lib/dpkg/available"
force="--force-depends"
[ "$(id -u)" -eq 0 ] || force="$force --force-not-root"
dpkg --root="$root" $force --log=/dev/null -i "$deb" > "$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; exit 1; }
dpkg --root="$root" -s postsentinel-blocklist | grep -q "Status: install ok installed" || { echo "not installed"; exit 1; }
# The rule file is a conffile, empty: the administrator's rules survive upgrades.
dpkg --root="$root" -s postsentinel-blocklist | grep -q "/etc/postsentinel/blocklist.local" || { echo "no conffile"; exit 1; }
[ -f "$root/etc/postsentinel/blocklist.local" ] && [ ! -s "$root/etc/postsentinel/blocklist.local" ] || { echo "no empty rule file"; exit 1; }
[ -d "$root/var/spool/postsentinel" ] || { echo "no spool directory"; exit 1; }

plugin="$root/usr/lib/postsentinel/postsentinel-blocklist"
answer=$("$plugin" -id 1.4.3)
expected="Local Blocklist Plugin
1.4.3
Scores a message against the weighted rules of the local blocklist.
Yes"
[ "$answer" = "$expected" ] || { echo "unexpected handshake: $answer"; exit 1; }
for f in usr/sbin/blocklistctl usr/share/man/man8/postsentinel-blocklist.8.gz \
         usr/share/man/man8/blocklistctl.8.gz usr/share/doc/postsentinel-blocklist/copyright \
         usr/share/doc/postsentinel-blocklist/changelog.gz usr/share/doc/postsentinel-blocklist/README.md \
         usr/share/doc/postsentinel-blocklist/examples/blocklist.local; do
    [ -e "$root/$f" ] || { echo "missing $f"; exit 1; }
done
"$root/usr/sbin/blocklistctl" --help > /dev/null
echo "package installs; the plugin answers -id"
