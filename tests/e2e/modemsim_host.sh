#!/usr/bin/env bash
# End to end: korva-host loads the real libkorva.so, whose four ports are korva-modemsim's
# simulated modems reached over RFC 2217 on loopback through the device map. The driver dials a
# station and talks to it, answers a station's call and hands it over through the answer-call
# gate, and stops.
#
# Usage: modemsim_host.sh BIN_DIR EXAMPLES_DIR   (KORVA_TIME_SCALE: default 0.2)
set -euo pipefail

bin=$1
examples=$2
# The driver and the modems talk across processes over TCP: at a smaller scale a loaded machine
# can stretch a reply past a modem command time-out of a few tens of real milliseconds.
export KORVA_TIME_SCALE=${KORVA_TIME_SCALE:-0.2}
export KORVA_MUTEX_NAMESPACE="korva_e2e_$$_"
PATIENCE=60 # real seconds; reached only when something is broken

work=$(mktemp -d "${TMPDIR:-/tmp}/korva-e2e.XXXXXX")
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill "$sim_pid"
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
  rm -f /dev/shm/"$KORVA_MUTEX_NAMESPACE"*
}
trap cleanup EXIT

fail() {
  echo "FAILED: $*"
  for file in host.out driver.log modemsim.out; do
    [ -f "$work/$file" ] && { echo "----- $file"; cat "$work/$file"; }
  done
  exit 1
}

# Waits until the command succeeds, at most PATIENCE seconds.
wait_until() {
  local deadline=$((SECONDS + PATIENCE))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.02
  done
}

sim_ready() { grep -q '^ready ' "$work/modemsim.out"; }
sim_gone() { ! kill -0 "$sim_pid" 2>/dev/null; }

"$bin/korva-modemsim" --map "$work/map" --control "$work/control" "$examples/modemsim.conf" \
  </dev/null >"$work/modemsim.out" 2>&1 &
sim_pid=$!
wait_until sim_ready || fail "korva-modemsim did not get ready"

status=0
KORVA_DEVICE_DIR="$work/map" ZUNPRO_LOG="$work/driver.log" \
  "$bin/korva-host" --dir "$examples" --gates "$examples/KORVA03.gates" >"$work/host.out" 2>&1 <<EOF || status=$?
status
dial 1 => 0
timeout @dial 3000 => 0
send @dial ping 1\r => 0
recv @dial 7 => 0
hangup @dial => 0
shell echo "call 5551002 204" > "$work/control"
wait call 3 17 $PATIENCE => 0
status
hangup @call => 0
status
stop
EOF
[ "$status" -eq 0 ] || fail "korva-host ended with $status"

expect() { grep -qF -- "$1" "$work/host.out" || fail "korva-host did not say: $1"; }
expect "cold start: result 0"
expect "dial 1: status 0 (done)"
expect 'recv: status 0 (done), 7 bytes: ping 1\x0D'
expect "incoming call for VPI 3 PLC 17"
expect "answer-call gate \$A03-017: 0 (1 writes)"
expect "stop: the driver has stopped"
grep -qF "call: 5551002 calls 204 (COM4)" "$work/modemsim.out" || fail "the station did not call"

echo quit >"$work/control"
wait_until sim_gone || fail "korva-modemsim did not quit"
wait "$sim_pid" || fail "korva-modemsim ended with $?"
sim_pid=""
[ -z "$(ls -A "$work/map")" ] || fail "korva-modemsim left its map entries"
echo "end to end over korva-modemsim: all checks passed"
