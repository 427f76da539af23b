#!/bin/sh
# The man page renders without a single warning.
set -eu
page=$1
warnings=$(groff -man -ww -z "$page" 2>&1)
if command -v mandoc > /dev/null; then
    warnings=$warnings$(mandoc -T lint -W warning "$page" 2>&1)
fi
[ -z "$warnings" ] || { printf '%s\n' "$warnings"; exit 1; }
