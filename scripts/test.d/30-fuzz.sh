# libFuzzer build (clang, address and undefined-behaviour sanitizers): a bounded fuzz run of each
# target from its committed seed corpus, then a replay of the corpus and the crash regressions.
# New inputs go to a temporary folder, never into the repository; a crash leaves its input there
# and fails the stage (commit it to fuzz/regressions/<target>/ once fixed).
set -euo pipefail
source "$(dirname "$0")/../setup.sh"
vision_build fuzz
cd "$VISION_ROOT"
seconds=${VISION_FUZZ_SECONDS:-60}
work=$(mktemp -d /tmp/vision-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in read_image genapi_description tuple; do
  mkdir -p "$work/$target/new" "$work/$target/crashes"
  set +e
  build/fuzz/fuzz/${target}_fuzzer -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=65536 \
    -timeout=10 -print_final_stats=1 -artifact_prefix="$work/$target/crashes/" \
    "$work/$target/new" "fuzz/corpus/$target" >"$work/$target/log" 2>&1
  status=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target/log" | tail -1)
  echo "== fuzz $target: ${execs:-?} executions in ${seconds} s, $(ls "$work/$target/new" | wc -l) new corpus inputs"
  if [ $status -ne 0 ]; then
    tail -40 "$work/$target/log"
    echo "== fuzz $target: FAILED; crashing inputs:"
    ls -l "$work/$target/crashes"
    mkdir -p "build/fuzz/crashes/$target"
    cp "$work/$target/crashes/"* "build/fuzz/crashes/$target/" 2>/dev/null || true
    exit 1
  fi
  build/fuzz/fuzz/${target}_replay "fuzz/corpus/$target" "fuzz/regressions/$target"
done
