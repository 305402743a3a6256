#!/usr/bin/env bash
# Every description the simulated camera serves validates against the GenApi 1.1 schema, as
# consumers built on the standard's reference implementation require: the camera's, zipped and
# plain, and each module's, written by served_descriptions through the producer's C interface.
# Skipped (status 77) where the schemas are not there.
# Usage: schema_check.sh <schema folder> <served_descriptions> [emulator and its arguments]
set -uo pipefail
schema_dir=$1
dump=$2
shift 2
xsd=$schema_dir/GenApiSchema_Version_1_1.xsd
if [ ! -f "$xsd" ]; then
  echo "SKIPPED: no GenApi schema at $xsd"
  exit 77
fi
if ! command -v xmllint >/dev/null; then
  echo "FAIL: xmllint is missing (Debian package libxml2-utils)"
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! (cd "$work" && "$@" "$dump"); then
  echo "FAIL: the descriptions could not be read from the producer"
  exit 1
fi
failures=0
checked=0
for name in device-zipped device-plain system interface device-module stream; do
  file=$work/$name.xml
  checked=$((checked + 1))
  if [ ! -s "$file" ]; then
    echo "FAIL: $name.xml was not written"
    failures=$((failures + 1))
  elif ! xmllint --noout --schema "$xsd" "$file"; then
    echo "FAIL: $name.xml does not validate"
    failures=$((failures + 1))
  fi
done
echo "$checked descriptions checked, $failures invalid"
[ $failures -eq 0 ]
