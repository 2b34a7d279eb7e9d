#!/bin/sh
# Builds the Debian packages, checks them with lintian where that is installed,
# installs both with dpkg into a scratch root and runs the installed plugin's
# handshake and the installed blocklistctl.
set -eu
# Without dpkg there is nothing to install into: skipped (77), and CTest says so.
command -v dpkg-deb > /dev/null && command -v dpkg > /dev/null || { echo "no dpkg: skipped"; exit 77; }
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$build"
cpack -G DEB -B "$scratch/out" > "$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log"; exit 1; }
plugindeb=$(ls "$scratch"/out/postsentinel-blocklist_*.deb)
tooldeb=$(ls "$scratch"/out/postsentinel-blocklist-tools_*.deb)
[ "$(ls "$scratch"/out/*.deb | wc -l)" -eq 2 ] || { echo "not two packages"; exit 1; }
# A mail server installs the plugin alone: it depends on the C library, the
# C++ runtime where that is shared, the regular-expression library and the
# prefilter's, and pulls nothing of the companion's plots in.
depends=$(dpkg-deb --field "$plugindeb" Depends)
for dep in $(echo "$depends" | sed 's/([^)]*)//g; s/,/ /g'); do
    case $dep in
        libc6 | libgcc-s1 | libstdc++6 | libpcre3 | libpcre2-8-0 | libhyperscan5 | libvectorscan5) ;;
        *) echo "the plugin depends on $dep"; exit 1 ;;
    esac
done
[ -z "$(dpkg-deb --field "$plugindeb" Recommends)" ] || { echo "the plugin recommends something"; exit 1; }
# The companion's dependencies come from dpkg-shlibdeps: its C++ runtime and
# the graphics library of its plots.
tooldepends=$(dpkg-deb --field "$tooldeb" Depends)
for dep in libstdc++6 libcairo2 libnlopt0; do
    echo "$tooldepends" | grep -q "$dep" || { echo "the companion's Depends lacks $dep"; exit 1; }
done
if command -v lintian > /dev/null; then
    for deb in "$plugindeb" "$tooldeb"; do
        lintian --fail-on error,warning "$deb" 2>&1 | grep -v "root privileges" || true
        lintian --fail-on error,warning "$deb" > /dev/null 2>&1 || { echo "lintian complains about $deb"; exit 1; }
    done
fi

root="$scratch/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
: > "$root/var/lib/dpkg/status"
: > "$root/var/lib/dpkg/available"
force="--force-depends"
[ "$(id -u)" -eq 0 ] || force="$force --force-not-root"
dpkg --root="$root" $force --log=/dev/null -i "$plugindeb" "$tooldeb" > "$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; exit 1; }
for package in postsentinel-blocklist postsentinel-blocklist-tools; do
    dpkg --root="$root" -s $package | grep -q "Status: install ok installed" || { echo "$package not installed"; exit 1; }
done
# Each file in the package that needs it.
dpkg --root="$root" -L postsentinel-blocklist | grep -q "^/usr/sbin/blocklistctl$" && { echo "the plugin's package holds blocklistctl"; exit 1; }
dpkg --root="$root" -L postsentinel-blocklist-tools | grep -q "^/usr/sbin/blocklistctl$" || { echo "blocklistctl is not in the companion's package"; exit 1; }
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
         usr/share/doc/postsentinel-blocklist/examples/blocklist.local \
         usr/share/doc/postsentinel-blocklist-tools/copyright \
         usr/share/doc/postsentinel-blocklist-tools/changelog.gz; do
    [ -e "$root/$f" ] || { echo "missing $f"; exit 1; }
done
"$root/usr/sbin/blocklistctl" --help > /dev/null
echo "both packages install; the plugin answers -id"
