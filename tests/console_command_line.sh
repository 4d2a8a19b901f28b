#!/usr/bin/env bash
# relay-console's command line, run without any display: --help and --version answer and exit
# 0, anything else is a usage error, and no display is one clear sentence and a non-zero exit.
set -u
console=$1
failures=0
check() { # name expected-status actual-status output pattern
    if [ "$3" -ne "$2" ] || ! grep -zqE -- "$5" <<<"$4"; then
        echo "FAIL: $1 (exit $3, wanted $2): $4"
        failures=$((failures + 1))
    else
        echo "PASS: $1"
    fi
}
run() { env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$console" "$@" 2>&1; }

out=$(run --help); check "--help" 0 $? "$out" 'Usage: relay-console .*Com5-12 /dev/ttyUSB0-7'
out=$(run --version); check "--version" 0 $? "$out" '^relay-console 2\.3\s*$'
out=$(run --frobnicate); check "unknown argument" 2 $? "$out" "unknown argument '--frobnicate'.*Usage:"
out=$(run); check "no display" 1 $? "$out" 'no display.*xvfb-run.*DISPLAY|DISPLAY.*xvfb-run'
out=$(run -style Fusion -reverse); check "Qt's options, no display" 1 $? "$out" 'no display'
out=$(run -style); check "-style without its value" 2 $? "$out" "unknown argument '-style'"
grep -q 'Reinstalling' <<<"$out" && { echo "FAIL: Qt's abort text"; failures=$((failures + 1)); }
# The broker options are checked before a display is looked for: a usage error is one line.
out=$(run --username ops); check "a broker option without --broker" 2 $? "$out" '^relay-console: the broker options go with --broker; see relay-console --help\s*$'
out=$(run --broker 'bad host:99999'); check "a bad broker address" 2 $? "$out" "^relay-console: --broker 'bad host:99999' is none of"
out=$(run --broker localhost --password-file /nonexistent/pw --username ops); check "a password file that is not there" 2 $? "$out" '/nonexistent/pw'
out=$(run --broker=localhost -style Fusion); check "--broker= and Qt's options, no display" 1 $? "$out" 'no display'

# A termination signal ends the program as its close box does: exit status 0. The signal is
# sent once the program has its handler (the caught-signal mask in /proc), never by timing.
caught() { # pid signal-number
    local mask
    mask=$(awk '/^SigCgt:/ {print $2}' "/proc/$1/status" 2>/dev/null) || return 1
    [ -n "$mask" ] && (( (16#$mask >> ($2 - 1)) & 1 ))
}
for sig in TERM INT HUP; do
    # Qt's standard options are taken as every Qt program takes them.
    QT_QPA_PLATFORM=offscreen "$console" -style Fusion -reverse >/dev/null 2>&1 &
    pid=$!
    number=$(kill -l "$sig")
    for _ in $(seq 600); do caught "$pid" "$number" && break; sleep 0.05; done
    kill -s "$sig" "$pid"
    wait "$pid"
    status=$?
    check "SIG$sig ends it cleanly" 0 "$status" "exit $status" '.'
done

echo "$((9 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
