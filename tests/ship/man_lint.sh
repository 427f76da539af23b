#!/bin/sh
# The man page renders without a single warning, carries the project's version, and keeps the
# empty lines of its log example through man's formatting.
set -eu
page=$1
version=$2
warnings=$(groff -man -ww -z "$page" 2>&1)
if command -v mandoc > /dev/null; then
    warnings=$warnings$(mandoc -T lint -W warning "$page" 2>&1)
fi
[ -z "$warnings" ] || { printf '%s\n' "$warnings"; exit 1; }
rendered=$(MANWIDTH=100 man -l "$page" 2> /dev/null | sed 's/^ *//')
expected="1  pairscan $version - byte pair comparison
2
3  Comparing old.bin with new.bin
4
5  File 1 : c File 2 : d at Position : 3 does not match
6
7
8  done comparing
9  EOF"
printf '%s\n' "$rendered" | grep -A8 -x "1  pairscan $version - byte pair comparison" |
    { [ "$(cat)" = "$expected" ] || { echo "the log example does not render as:"; echo "$expected"; exit 1; }; }
