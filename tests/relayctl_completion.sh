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
expect "commands" "set on off read delay watch ports" -- ""
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
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
