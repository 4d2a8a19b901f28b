#!/usr/bin/env bash
# relayboard-sim started through sudo gives its pseudo-terminal to the user who ran sudo.
set -u
sim=$1
if [ "$(id -u)" -ne 0 ]; then echo "SKIP: needs root"; echo "0 passed, 0 failed, 1 skipped"; exit 0; fi
out=$(mktemp)
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; rm -f "$out"' EXIT
# stdin stays open (and silent) while the test looks at the device.
sleep 30 2>/dev/null | SUDO_UID=65534 SUDO_GID=65534 "$sim" >"$out" 2>&1 &
pid=$!
for _ in $(seq 100); do grep -q 'relay board on' "$out" && break; sleep 0.1; done
device=$(sed -n 's/.*relay board on \(\/dev\/pts\/[0-9]*\).*/\1/p' "$out" | head -1)
failures=0
if [ -z "$device" ]; then
    echo "FAIL: no device line: $(cat "$out")"; failures=1
else
    for _ in $(seq 100); do grep -q 'given to user' "$out" && break; sleep 0.1; done
    owner=$(stat -c '%u:%g %a' "$device")
    if [ "$owner" = "65534:65534 660" ]; then echo "PASS: $device is $owner"
    else echo "FAIL: $device is $owner, wanted 65534:65534 660"; failures=1; fi
fi
echo "$((1 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
