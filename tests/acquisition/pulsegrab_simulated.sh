#!/usr/bin/env bash
# pulsegrab end to end on the simulated camera: a full run, a refused trigger source, a camera
# lost after six frames, a refused grab time-out, a failure of the unguarded open, and standard
# output on a full disk.
# Usage: pulsegrab_simulated.sh <pulsegrab> [emulator and its arguments, for cross builds]
set -uo pipefail
pulsegrab=$1
shift
runner=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

source "$(dirname "$0")/pulsegrab_expect.sh"

# A Windows build (run under Wine) says so in its banner and ends its lines with CR LF.
case "$pulsegrab" in
  *.exe) export PULSEGRAB_PLATFORM=WINDOWS ;;
esac

# run <options>: runs pulsegrab with VISION_FAKE_CAMERA=<options>; sets $status.
run() {
  VISION_FAKE_CAMERA=$1 "${runner[@]}" "$pulsegrab" >"$work/out.raw" 2>"$work/err.raw"
  status=$?
  tr -d '\r' <"$work/out.raw" >"$work/out"
  tr -d '\r' <"$work/err.raw" >"$work/err"
}

name="full run"
run 1
{
  configured
  cycles 1000
  printf -- '---> exiting.\n\n---> CloseFramegrabber!\n'
} >"$work/expected"
cmp -s "$work/out" "$work/expected" || {
  fail "$name: output differs"
  diff "$work/out" "$work/expected" | head -20
}
[ "$status" -eq 0 ] || fail "$name: exit status $status"
[ ! -s "$work/err" ] || fail "$name: unexpected standard error: $(cat "$work/err")"

name="refused trigger source"
run 1,reject=TriggerSource
{
  header
  printf -- '---> SetFramegrabberParam ... BGR8\n'
  printf -- '---> SetFramegrabberParam ... grab_timeout: 5000 \n'
  printf -- '---> SetFramegrabberParam ... Software Trigger ON\n'
} >"$work/before"
expect_report "$work/before" "---> TriggerSource failed!" 5306
[ "$(grep -c 'Software Trigger ON' "$work/out")" -eq 1 ] || fail "$name: second trigger line printed"

name="camera lost after six frames"
run lose_after=6
{
  configured
  cycles 6
  printf -- '---> Send Software trigger 7 \n---> Trying to grab image7  ... \n'
} >"$work/before"
expect_report "$work/before" "--->GrabImageAsync failed!" 5309

name="refused grab time-out"
run reject=grab_timeout
{
  header
  printf -- '---> SetFramegrabberParam ... BGR8\n'
  printf -- '---> SetFramegrabberParam ... grab_timeout: 5000 \n'
} >"$work/before"
expect_report "$work/before" "---> grab_timeout failed!" 5306

name="refused pixel format"
run reject=PixelFormat
{
  header
  printf -- '---> SetFramegrabberParam ... BGR8\n'
} >"$work/before"
expect_report "$work/before" "---> PixelFormat failed!" 5306

# The open is unguarded: its failure ends the tool with one standard-error line and a non-zero
# status instead of an uncaught exception.
name="failing open"
run "width=3"
[ "$status" -eq $((5306 % 256)) ] || fail "$name: exit status $status (an abort gives 134)"
[[ "$(cat "$work/err")" == "  Error #5306 in OpenFramegrabber: VISION_FAKE_CAMERA: option 'width=3'"* ]] ||
  fail "$name: standard error '$(cat "$work/err")'"
[ "$(wc -l <"$work/err")" -eq 1 ] || fail "$name: more than one standard-error line"

# Standard output on a full disk: the run is reported on standard error and never ends as success;
# a run that failed anyway keeps its own status.
name="full disk"
for options in 1 reject=PixelFormat; do
  VISION_FAKE_CAMERA=$options "${runner[@]}" "$pulsegrab" >/dev/full 2>"$work/err.raw"
  status=$?
  tr -d '\r' <"$work/err.raw" >"$work/err"
  expected=1
  [ "$options" = 1 ] || expected=$((5306 % 256))
  [ "$status" -eq "$expected" ] || fail "$name ($options): exit status $status, expected $expected"
  [[ "$(cat "$work/err")" == "  Error: cannot write standard output: "* ]] ||
    fail "$name ($options): standard error '$(cat "$work/err")'"
  [ "$(wc -l <"$work/err")" -eq 1 ] || fail "$name ($options): not exactly one standard-error line"
done

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "pulsegrab on the simulated camera: all checks passed"
