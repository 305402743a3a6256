# Shared set-up of scripts/run and scripts/test: installs the Debian packages the project needs
# (the lists in scripts/packages/*.txt), then configures and builds a preset.
# Sourced, not run: defines functions only.

VISION_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Prints the packages of scripts/packages/*.txt that are not installed.
vision_missing_packages() {
  local wanted pkg
  wanted=$(cat "$VISION_ROOT"/scripts/packages/*.txt | sed 's/#.*//' | tr -s ' \t' '\n' | sed '/^$/d' | sort -u)
  for pkg in $wanted; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      echo "$pkg"
    fi
  done
}

# Installs what is missing: directly as root, through sudo otherwise, and where neither works
# prints the exact command and fails.
vision_install_packages() {
  local missing
  missing=$(vision_missing_packages | tr '\n' ' ')
  [ -z "${missing// /}" ] && return 0
  local cmd="apt-get install -y --no-install-recommends $missing"
  echo "== installing Debian packages: $missing"
  if [ "$(id -u)" = 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
      DEBIAN_FRONTEND=noninteractive $cmd -qq
  elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    sudo DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
      sudo DEBIAN_FRONTEND=noninteractive $cmd -qq
  else
    echo "Some packages are missing and this user cannot install them. Run as root:" >&2
    echo "  apt-get update && $cmd" >&2
    return 1
  fi
}

# Configures (once) and builds a CMake preset: vision_build <preset>.
vision_build() {
  local preset=$1
  cd "$VISION_ROOT" || return 1
  if [ ! -f "build/$preset/CMakeCache.txt" ]; then
    cmake --preset "$preset" >/dev/null || return 1
  fi
  cmake --build --preset "$preset" -- -k 0
}
