# Address and undefined-behaviour sanitizer build; runs the unit tests under it.
set -euo pipefail
source "$(dirname "$0")/../setup.sh"
vision_build asan
cd "$VISION_ROOT"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$VISION_ROOT/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --preset asan -j2 -L unit
