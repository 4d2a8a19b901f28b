#!/usr/bin/env bash
# relayboard-sim's command line, and: started through sudo it gives its pseudo-terminal to the
# user who ran sudo.
set -u
sim=$1
failures=0
passed=0
result() { # ok? message
    if [ "$1" -eq 0 ]; then echo "PASS: $2"; passed=$((passed + 1)); else echo "FAIL: $2"; failures=$((failures + 1)); fi
}
out=$("$sim" --help 2>/dev/null); status=$?
[ $status -eq 0 ] && grep -q '^Usage: relayboard-sim' <<<"$out"; result $? "--help on stdout, status 0"
out=$("$sim" -V 2>/dev/null); status=$?
[ $status -eq 0 ] && grep -qE '^relayboard-sim [0-9]+\.[0-9]+$' <<<"$out"; result $? "-V prints the version"
"$sim" --bogus >/dev/null 2>&1; [ $? -eq 2 ]; result $? "unknown option: status 2"

# Each termination signal ends it through its own end: status 0, the link removed.
caught() { # pid signal-number: the handler is in place (the caught-signal mask in /proc)
    local mask
    mask=$(awk '/^SigCgt:/ {print $2}' "/proc/$1/status" 2>/dev/null) || return 1
    [ -n "$mask" ] && (( (16#$mask >> ($2 - 1)) & 1 ))
}
links=$(mktemp -d)
for sig in TERM INT HUP; do
    mkfifo "$links/in-$sig"
    "$sim" --link "$links/ttyUSB-$sig" <"$links/in-$sig" >/dev/null 2>&1 &
    spid=$!
    exec 4>"$links/in-$sig"
    for _ in $(seq 600); do caught "$spid" "$(kill -l "$sig")" && break; sleep 0.05; done
    kill -s "$sig" "$spid"
    wait "$spid"; status=$?
    exec 4>&-
    [ "$status" -eq 0 ] && [ ! -e "$links/ttyUSB-$sig" ]; result $? "SIG$sig: status $status, link removed"
done
rm -rf "$links"

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: the sudo case needs root"
    echo "$passed passed, $failures failed, 1 skipped"
    [ "$failures" -eq 0 ]; exit
fi
dir=$(mktemp -d)
out=$dir/out
# Standard input is a fifo this script holds open, silent, while it looks at the device; closing
# it ends the simulator (end of input), so nothing is left running for the test runner to wait on.
mkfifo "$dir/in"
SUDO_UID=65534 SUDO_GID=65534 "$sim" <"$dir/in" >"$out" 2>&1 &
pid=$!
exec 3>"$dir/in"
trap 'exec 3>&-; kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; rm -rf "$dir"' EXIT
for _ in $(seq 100); do grep -q 'relay board on' "$out" && break; sleep 0.1; done
device=$(sed -n 's/.*relay board on \(\/dev\/pts\/[0-9]*\).*/\1/p' "$out" | head -1)
if [ -z "$device" ]; then
    result 1 "no device line: $(cat "$out")"
else
    for _ in $(seq 100); do grep -q 'given to user' "$out" && break; sleep 0.1; done
    owner=$(stat -c '%u:%g %a' "$device")
    [ "$owner" = "65534:65534 660" ]; result $? "$device is $owner (wanted 65534:65534 660)"
fi
exec 3>&-
wait "$pid"; result $? "end of input ends it with status 0"
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
