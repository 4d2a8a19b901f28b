#!/usr/bin/env bash
# Each program's options against its man page: every option --help lists is in the man page's
# SYNOPSIS or OPTIONS, and every option those sections name exists.
# man_options.sh PROGRAM MANPAGE.in
set -u
program=$1 page=$2
name=$(basename "$program")
from_help=$("$program" --help | awk '/^Options/ {on = 1; next} on && /^$/ {on = 0} on' |
    grep -oE '^  (-[a-zA-Z], )?--[a-z][a-z-]*' | grep -oE -- '--?[a-zA-Z][a-z-]*' | sort -u)
from_page=$(awk '/^\.SH (SYNOPSIS|OPTIONS)/ {on = 1; next} /^\.SH/ {on = 0} on' "$page" |
    grep -oE '(^|[^a-zA-Z0-9\\])\\-(\\-[a-z]+(\\-[a-z]+)*|[a-zA-Z]\b)' |
    sed -E 's/^[^\\]//; s/\\//g' | sort -u)
if [ -z "$from_help" ] || [ -z "$from_page" ]; then
    echo "FAIL: $name: no options found (help: ${from_help:-none}; page: ${from_page:-none})"
    exit 1
fi
missing=$(comm -23 <(echo "$from_help") <(echo "$from_page"))
unknown=$(comm -13 <(echo "$from_help") <(echo "$from_page"))
status=0
[ -n "$missing" ] && { echo "FAIL: $name: not in the man page:" $missing; status=1; }
[ -n "$unknown" ] && { echo "FAIL: $name: in the man page, but no such option:" $unknown; status=1; }
[ $status -eq 0 ] && echo "PASS: $name: $(echo $from_help | wc -w) options, all in the man page and no others"
exit $status
