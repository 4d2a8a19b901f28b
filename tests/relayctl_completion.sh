#!/usr/bin/env bash
# The bash completion of relayctl, as bash calls it: COMP_WORDS split the way readline splits
# them (at "="), the candidates in COMPREPLY.
set -u
source "$1"
failures=0
passed=0
complete_line() { # the words of the line, the last one being completed
    COMP_WORDS=(relayctl "$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _relayctl
    echo "${COMPREPLY[*]}"
}
expect() { # name wanted -- words...
    local name=$1 wanted=$2
    shift 3
    local got
    got=$(complete_line "$@")
    if [ "$got" = "$wanted" ]; then echo "PASS: $name"; passed=$((passed + 1))
    else echo "FAIL: $name: got '$got', wanted '$wanted'"; failures=$((failures + 1)); fi
}
# relayctl itself stands in for the broker: what "boards" prints, and what it was asked.
relayctl() {
    echo "$*" > "$asked_file"
    [[ " $* " == *" boards "* ]] && printf 'attic                offline state unknown\nbench                online  ch1=OFF ch2=OFF ch3=OFF ch4=OFF\n'
}
asked_file=$(mktemp)
trap 'rm -f "$asked_file"' EXIT
expect "commands" "set on off read delay watch ports boards" -- ""
expect "command prefix" "on off" -- o
expect "after an option and its value" "read" -- --port Com5 re
expect "Com names" "Com1 Com10 Com11 Com12 Com13 Com14 Com15 Com16" -- --port Com1
expect "Com names after =" "Com5" -- --port = Com5
expect "channels" "CH1 CH2 CH3 CH4" -- --port Com5 on ""
expect "more channels" "CH3" -- --port = Com5 set CH1 CH3
expect "options" "--port" -- --po
expect "delay seconds: nothing" "" -- --port Com5 delay ""
expect "delay channel" "CH1 CH2 CH3 CH4" -- --port Com5 delay 30 ""
expect "ports takes none" "" -- ports ""
expect "board IDs from the broker" "attic bench" -- --broker lab:1883 --board ""
expect "board ID prefix" "bench" -- --broker = lab --board b
asked=$(cat "$asked_file")
if [ "$asked" = "--broker lab --timeout 2000 boards" ]; then echo "PASS: the broker asked"; passed=$((passed + 1))
else echo "FAIL: the broker asked: '$asked'"; failures=$((failures + 1)); fi
expect "credentials go along" "attic bench" -- --username ops --broker h --password-file pw --board ""
asked=$(cat "$asked_file")
if [ "$asked" = "--username ops --broker h --password-file pw --timeout 2000 boards" ]; then echo "PASS: credentials asked with"; passed=$((passed + 1))
else echo "FAIL: credentials asked with: '$asked'"; failures=$((failures + 1)); fi
: > "$asked_file"
expect "no board IDs without --broker" "" -- --board ""
if [ ! -s "$asked_file" ]; then echo "PASS: no broker, nothing asked"; passed=$((passed + 1))
else echo "FAIL: asked without --broker: $(cat "$asked_file")"; failures=$((failures + 1)); fi
expect "after --board and its value: the command" "read" -- --broker h --board bench re
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
