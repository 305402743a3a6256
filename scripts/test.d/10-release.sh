# Release build and every test registered with CTest.
set -euo pipefail
source "$(dirname "$0")/../setup.sh"
vision_build release
cd "$VISION_ROOT"
ctest --preset release -j2
