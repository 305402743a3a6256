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

# Installs the packages of the given list files (same format as scripts/packages/*.txt) that are
# missing, like vision_install_packages. An entry may name a foreign architecture
# (libpng-dev:arm64); that architecture is added to dpkg first. Used by stages that need more
# than the native build, so scripts/run stays quick.
vision_install_lists() {
  local wanted pkg missing="" archs="" arch
  wanted=$(cat "$@" | sed 's/#.*//' | tr -s ' \t' '\n' | sed '/^$/d' | sort -u)
  for pkg in $wanted; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing="$missing $pkg"
      case $pkg in
        *:*)
          arch=${pkg##*:}
          if [ "$arch" != "$(dpkg --print-architecture)" ] &&
            ! dpkg --print-foreign-architectures | grep -qx "$arch" &&
            ! echo "$archs" | grep -qw "$arch"; then
            archs="$archs $arch"
          fi
          ;;
      esac
    fi
  done
  [ -z "${missing// /}" ] && return 0
  echo "== installing Debian packages:$missing"
  local sudo=""
  if [ "$(id -u)" != 0 ]; then
    if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
      sudo="sudo"
    else
      echo "Some packages are missing and this user cannot install them. Run as root:" >&2
      for arch in $archs; do echo "  dpkg --add-architecture $arch" >&2; done
      echo "  apt-get update && apt-get install -y --no-install-recommends$missing" >&2
      return 1
    fi
  fi
  for arch in $archs; do
    $sudo dpkg --add-architecture "$arch" || return 1
  done
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends -qq $missing
}
