#!/usr/bin/env bash
# camlist on two simulated cameras: the producer it loaded, both cameras in order with their
# names, status 0; and a bad option reported on standard error with status 1.
# Usage: camlist_simulated.sh <camlist> [emulator and its arguments, for cross builds]
set -uo pipefail
camlist=$1
shift
out=$(VISION_FAKE_CAMERA=cameras=2 "$@" "$camlist" | tr -d '\r')
status=$?
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
[ "$status" -eq 0 ] || fail "status $status"
grep -q "^  loaded '.*vision_simcam.cti'" <<<"$out" || fail "no loaded producer line"
first=$(grep -n "device:'vision-Simulated-SIM0001'" <<<"$out" | cut -d: -f1)
second=$(grep -n "device:'vision-Simulated-SIM0002'" <<<"$out" | cut -d: -f1)
[ -n "$first" ] && [ -n "$second" ] && [ "$first" -lt "$second" ] || fail "cameras missing or out of order"
grep -q "serial:'SIM0002'" <<<"$out" || fail "no serial number"
err=$(VISION_FAKE_CAMERA=colour=red "$@" "$camlist" 2>&1 >/dev/null | tr -d '\r')
status=$?
[ "$status" -ne 0 ] || fail "a bad option gave status 0"
[[ "$err" == *"Error #5306"*"colour=red"* ]] || fail "bad option reported as '$err'"
if [ $failures -ne 0 ]; then
  echo "$out"
  exit 1
fi
echo "$out"
