#!/usr/bin/env bash
# A GigE Vision camera that dies during each kind of camera step (software trigger, feature
# write, feature read, grab), ten runs of each with grab_timeout 1000 ms, inside a network
# namespace that this script creates with nothing but loopback. lost_camera_steps checks each
# run (an error naming the camera within grab_timeout + 2 s of the death) and prints its times.
# Exits 77 (skipped) where no namespace can be made (not root, no `ip`).
# Usage: lost_camera_netns.sh <lost_camera_steps> <fakegv_camera> [runs] [grab_timeout_ms]
set -uo pipefail
driver=$1
fakegv=$2
runs=${3:-10}
grab_timeout_ms=${4:-1000}

if [ "$(id -u)" != 0 ] || ! command -v ip >/dev/null; then
  echo "SKIP: needs root and ip(8) to create a network namespace"
  exit 77
fi
ns="vision_lostcam_$$"
if ! ip netns add "$ns" 2>/dev/null; then
  echo "SKIP: cannot create a network namespace here"
  exit 77
fi
trap 'ip netns del "$ns" 2>/dev/null' EXIT
ip netns exec "$ns" ip link set lo up

failures=0
for kind in command write read grab; do
  ip netns exec "$ns" env -u VISION_FAKE_CAMERA GENICAM_GENTL64_PATH= \
    timeout 300 "$driver" "$fakegv" "$kind" "$runs" "$grab_timeout_ms"
  status=$?
  if [ "$status" -ne 0 ]; then
    echo "FAIL: $kind: status $status"
    failures=$((failures + 1))
  fi
done
if [ $failures -ne 0 ]; then
  echo "$failures step kind(s) failed"
  exit 1
fi
echo "a camera lost during any step: an error naming it within grab_timeout + 2 s"
