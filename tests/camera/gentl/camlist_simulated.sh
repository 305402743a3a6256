#!/usr/bin/env bash
# camlist on two simulated cameras: the producer it loaded, its modules from their own
# descriptions, both cameras in order with their names, status 0; a bad option reported on
# standard error with status 1; a wrong command line gives the usage with status 2; and
# --features on the second camera and on a description file of the test's own.
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
grep -q "^  system '.*vision_simcam.cti' description:'SimulatedCameraSystem' TLVendorName:'vision'" \
  <<<"$out" || fail "no system module line"
grep -q "^  interface 'vision-Simulated' device 1 DeviceID:'vision-Simulated-SIM0002'" <<<"$out" ||
  fail "the interface module does not list the second camera"
err=$(VISION_FAKE_CAMERA=colour=red "$@" "$camlist" 2>&1 >/dev/null | tr -d '\r')
status=$?
[ "$status" -ne 0 ] || fail "a bad option gave status 0"
[[ "$err" == *"Error #5306"*"colour=red"* ]] || fail "bad option reported as '$err'"
grep -q "^  system '.*vision_simcam.cti' description:'SimulatedCameraSystem' TLVendorName:'vision'" <<<"$out" ||
  fail "no system module line"
grep -q "^  interface 'vision-Simulated' device 1 DeviceID:'vision-Simulated-SIM0002'" <<<"$out" ||
  fail "no interface module line for the second camera"

for args in "--bogus" "--features a b" "--features --x" "extra"; do
  # shellcheck disable=SC2086
  usage=$(VISION_FAKE_CAMERA=1 "$@" "$camlist" $args 2>&1 >/dev/null | tr -d '\r')
  status=$?
  [ "$status" -eq 2 ] || fail "'$args' gave status $status"
  [[ "$usage" == *"usage: camlist"* ]] || fail "'$args' printed no usage on stderr"
done

feat=$(VISION_FAKE_CAMERA=cameras=2 "$@" "$camlist" --features SIM0002 | tr -d '\r')
status=$?
[ "$status" -eq 0 ] || fail "--features SIM0002: status $status"
grep -q "^  device 'vision-Simulated-SIM0002' description:'SimulatedCameraDevice'" <<<"$feat" ||
  fail "--features SIM0002: not the second camera's device module"
grep -q "^  'PixelFormat' Enumeration RW value:'Mono8' entries:'Mono8','Mono16'" <<<"$feat" ||
  fail "--features: no PixelFormat line"
grep -q "^  'AcquisitionFrameRate' Float RW value:30 min:0.1 max:1000 unit:'Hz'" <<<"$feat" ||
  fail "--features: no frame rate line"

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cat >"$dir/hostile.xml" <<'XML'
<?xml version="1.0" encoding="utf-8"?>
<RegisterDescription ModelName="Hostile" VendorName="test" SchemaMajorVersion="1" SchemaMinorVersion="1" SchemaSubMinorVersion="0" MajorVersion="1" MinorVersion="0" SubMinorVersion="0" StandardNameSpace="None" ProductGuid="00000000-0000-0000-0000-000000000001" VersionGuid="00000000-0000-0000-0000-000000000002" xmlns="http://www.genicam.org/GenApi/Version_1_1">
  <Integer Name="Two&#10;  'Forged' Integer RW value:9"><Value>2</Value></Integer>
  <Integer Name="Gone"><pIsImplemented>Zero</pIsImplemented><Value>1</Value></Integer>
  <Integer Name="Zero"><Value>0</Value></Integer>
  <Port Name="Device"/>
</RegisterDescription>
XML
host=$(VISION_FAKE_CAMERA="description=$dir/hostile.xml" "$@" "$camlist" --features | tr -d '\r')
status=$?
[ "$status" -eq 0 ] || fail "--features with description=: status $status"
grep -q "^  'Two\\\\n  \\\\'Forged\\\\' Integer RW value:9' Integer RW value:2 " <<<"$host" ||
  fail "--features: the hostile name is not one escaped field"
! grep -q "^  'Forged'" <<<"$host" || fail "--features: a forged line"
grep -q "^  'Gone' Integer NI no_value:'its pIsImplemented \\\\'Zero\\\\' reads 0'" <<<"$host" ||
  fail "--features: no NI reason"

if [ $failures -ne 0 ]; then
  echo "$out"
  echo "$feat"
  echo "$host"
  exit 1
fi
echo "$out"
echo "$host"
