# Cross builds for Linux arm64 and Windows x64, checked under qemu-user and Wine
# (scripts/test-platforms says what runs where).
set -euo pipefail
exec "$(dirname "$0")/../test-platforms"
