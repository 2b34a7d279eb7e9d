#!/bin/sh
# Runs the plugin under valgrind on the example rules and messages, with hits
# and the debug marker on, and fails on any memory error or leak. (The linked-in
# C++ runtime keeps its exception pool to the end: reachable, not a leak.)
set -eu
valgrind=$1 plugin=$2 confdir=$3 spooldir=$4 examples=$5
cp "$examples/blocklist.local" "$confdir/blocklist.local"
: > "$confdir/blocklist.local.debug"
: > "$spooldir/STATS"
trap 'rm -f "$confdir/blocklist.local" "$confdir/blocklist.local.debug" "$spooldir/STATS"' EXIT
for message in "$examples"/messages/*; do
    "$valgrind" --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect,possible \
        --errors-for-leak-kinds=definite,indirect,possible "$plugin" -scan a b c "$message" > /dev/null
done
echo "valgrind: no errors, no leaks"
