#!/usr/bin/env bash
# Runs grab_latency on the simulated camera, then (as root, where a network namespace can be made)
# on Aravis's fake GigE Vision camera inside a namespace with only loopback: once as
# arv-fake-gv-camera-0.8 runs it (it looks for software triggers once per 40 ms), once through
# our test helper with a 1 ms trigger period, so the figures show the transport, not the wait.
# Usage: benchmarks/camera/run_grab_latency.sh [build dir] [cycles]
set -uo pipefail
build=${1:-build/release}
cycles=${2:-1000}
bench=$build/benchmarks/grab_latency
fakegv=$build/tests/acquisition/fakegv_camera

echo "== simulated camera (640 x 480)"
VISION_FAKE_CAMERA=1 "$bench" "$cycles"

if [ "$(id -u)" != 0 ] || ! command -v ip >/dev/null || [ ! -x "$fakegv" ]; then
  echo "== fake GigE camera: skipped (needs root, ip and $fakegv)"
  exit 0
fi
ns="vision_grabbench_$$"
ip netns add "$ns" || exit 0
work=$(mktemp -d)
camera_pid=
cleanup() {
  [ -n "$camera_pid" ] && kill "$camera_pid" 2>/dev/null && wait "$camera_pid" 2>/dev/null
  ip netns del "$ns"
  rm -rf "$work"
}
trap cleanup EXIT
ip netns exec "$ns" ip link set lo up
"$fakegv" --write-xml "$work/bgr8.xml" --add-bgr8

run_on() {
  echo "== $1"
  shift
  ip netns exec "$ns" "$@" >/dev/null 2>&1 &
  camera_pid=$!
  for ((i = 0; i < 200; i++)); do  # until the control port (3956/udp) listens, at most 20 s
    ip netns exec "$ns" ss -Huln 'sport = :3956' 2>/dev/null | grep -q . && break
    sleep 0.1
  done
  ip netns exec "$ns" env -u VISION_FAKE_CAMERA "$bench" "$cycles"
  kill "$camera_pid" 2>/dev/null
  wait "$camera_pid" 2>/dev/null
  camera_pid=
}
run_on "arv-fake-gv-camera-0.8, 512 x 512, BGR8 description (40 ms trigger period)" \
  arv-fake-gv-camera-0.8 -i 127.0.0.1 -g "$work/bgr8.xml"
run_on "fake GigE camera, 512 x 512, 1 ms trigger period" \
  "$fakegv" --genicam "$work/bgr8.xml" --frame-period-us 1000
