#!/bin/sh
# Runs a gate's command when every tool it needs is installed; otherwise names the missing ones
# and exits with 77, which CTest counts as skipped.
#
#   needs.sh "tool ..." command [argument ...]
tools=$1
shift
missing=""
for tool in $tools; do
    command -v "$tool" > /dev/null 2>&1 || missing="$missing $tool"
done
if [ -n "$missing" ]; then
    echo "skipped, not installed:$missing"
    exit 77
fi
exec "$@"
