# Expected output of pulsegrab, shared by its end-to-end tests. Sourced; the caller sets $work
# (a scratch folder holding out and err of the last run), $status, $name and failures=0.

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The lines every run starts with, up to and including "GrabImageStart".
header() {
  printf -- '---> %s PLATFORM \n' "${PULSEGRAB_PLATFORM:-LINUX}"
  printf -- '---> [ OpenFramegrabber ( GenICamTL ) ...\n\n---> OpenFramegrabber ... ]\n'
}

# cycles <n>: the trigger and grab lines of n complete cycles.
cycles() {
  local i
  for ((i = 1; i <= $1; i++)); do
    printf -- '---> Send Software trigger %d \n---> Trying to grab image%d  ... \n' "$i" "$i"
  done
}

configured() {
  header
  printf -- '---> SetFramegrabberParam ... BGR8\n'
  printf -- '---> SetFramegrabberParam ... grab_timeout: 5000 \n'
  printf -- '---> SetFramegrabberParam ... Software Trigger ON\n'
  printf -- '---> SetFramegrabberParam ... Software Trigger ON\n'
  printf -- '---> GrabImageStart ...  \n'
}

# expect_report <file of expected lines before the report> <F> <code>
expect_report() {
  local before=$1 f=$2 code=$3 n
  n=$(wc -l <"$before")
  if ! head -n "$n" "$work/out" | cmp -s - "$before"; then
    fail "$name: output before the report differs"
    diff <(head -n "$n" "$work/out") "$before" | head -20
  fi
  mapfile -t rest < <(tail -n +"$((n + 1))" "$work/out")
  [ "${#rest[@]}" -eq 3 ] || fail "$name: expected 3 report lines, got ${#rest[@]}: ${rest[*]}"
  [ "${rest[0]:-}" = "$f" ] || fail "$name: first report line '${rest[0]:-}', expected '$f'"
  [[ "${rest[1]:-}" == "---> Cause: "*"(vision error $code)" ]] ||
    fail "$name: cause line '${rest[1]:-}'"
  [[ "${rest[1]:-}" != *" (vision error"* ]] || fail "$name: blank before '(vision error'"
  [ "${rest[2]:-}" = "---> CloseFramegrabber!" ] || fail "$name: last line '${rest[2]:-}'"
  [ "$status" -eq $((code % 256)) ] || fail "$name: exit status $status, expected $((code % 256))"
  [ ! -s "$work/err" ] || fail "$name: unexpected standard error: $(cat "$work/err")"
}

