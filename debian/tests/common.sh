# Shared by the tests: a work folder and the simulated board on a pseudo-terminal, whose
# standard input stays open through descriptor 3 until the test ends.
set -eu
work=$(mktemp -d)
pids=""
cleanup() {
    for pid in $pids; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# wait_for CONDITION...: up to 20 s
wait_for() {
    for _ in $(seq 200); do "$@" && return 0; sleep 0.1; done
    return 1
}
start_board() {
    mkfifo "$work/board.in"
    relayboard-sim --link "$work/ttyUSB9" <"$work/board.in" >"$work/board.log" 2>&1 &
    pids="$pids $!"
    exec 3>"$work/board.in"
    wait_for test -e "$work/ttyUSB9" || fail "the simulated board did not start"
    board="$work/ttyUSB9"
}
