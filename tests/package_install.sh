#!/bin/sh
# Builds the Debian package, unpacks it into a scratch root and runs the
# installed plugin's handshake and the installed blocklistctl.
set -eu
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$build"
cpack -G DEB -B "$scratch/out" > "$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$scratch"/out/*.deb)
dpkg-deb --info "$deb" | grep -q "Package: postsentinel-blocklist"
mkdir "$scratch/root"
dpkg-deb -x "$deb" "$scratch/root"
plugin=$(find "$scratch/root" -name postsentinel-blocklist -type f)
answer=$("$plugin" -id 1.4.3)
expected="Local Blocklist Plugin
1.4.3
Scores a message against the weighted rules of the local blocklist.
Yes"
[ "$answer" = "$expected" ] || { echo "unexpected handshake: $answer"; exit 1; }
for f in usr/sbin/blocklistctl usr/share/man/man8/postsentinel-blocklist.8 \
         usr/share/man/man8/blocklistctl.8; do
    [ -e "$scratch/root/$f" ] || [ -e "$scratch/root/$f.gz" ] || { echo "missing $f"; exit 1; }
done
find "$scratch/root" -name blocklist.local | grep -q . || { echo "missing example rules"; exit 1; }
"$scratch/root/usr/sbin/blocklistctl" --help > /dev/null
echo "package installs; the plugin answers -id"
