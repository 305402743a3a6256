#!/usr/bin/env bash
# VISION_FAKE_CAMERA set but empty means the simulated camera and touches no network: pulsegrab
# runs its 1000 cycles in a network namespace of its own (unshare -n) with its socket calls
# traced, and makes no internet, packet or routing socket (AF_INET, AF_INET6, AF_PACKET,
# AF_NETLINK: GigE Vision discovery asks the kernel for the interfaces first). A control run with
# the variable unset shows that the trace sees discovery where the build has Aravis.
# Exits 77 (skipped) where unshare -n or strace cannot run.
# Usage: fake_camera_no_network.sh <pulsegrab> <with-aravis: ON|OFF>
set -uo pipefail
pulsegrab=$1
with_aravis=${2:-OFF}
if ! command -v strace >/dev/null || ! unshare -n true 2>/dev/null; then
  echo "SKIP: needs strace and unshare -n (root)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
trace() {  # trace <file> <env arguments...>
  local out=$1
  shift
  unshare -n strace -f -qq -e trace=socket,connect,sendto,sendmsg -o "$out" \
    env "$@" GENICAM_GENTL64_PATH= "$pulsegrab" >"$work/out" 2>"$work/err"
}

trace "$work/fake.trace" VISION_FAKE_CAMERA=
status=$?
[ "$status" -eq 0 ] || fail "empty VISION_FAKE_CAMERA: exit status $status: $(cat "$work/err")"
[ "$(grep -c '^---> Trying to grab image' "$work/out")" -eq 1000 ] ||
  fail "empty VISION_FAKE_CAMERA: not 1000 cycles"
if grep -E 'socket\((AF_INET|AF_INET6|AF_PACKET|AF_NETLINK)' "$work/fake.trace"; then
  fail "empty VISION_FAKE_CAMERA: network sockets made (above)"
fi

if [ "$with_aravis" = ON ]; then
  trace "$work/real.trace" -u VISION_FAKE_CAMERA
  grep -qE 'socket\(AF_NETLINK' "$work/real.trace" ||
    fail "control: discovery without VISION_FAKE_CAMERA made no socket the trace could see"
fi

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "empty VISION_FAKE_CAMERA: the simulated camera, no network socket"
