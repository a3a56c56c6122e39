# Shared by the scripts: run from the repository's top, install missing Debian packages.
# shellcheck shell=bash

cd "$(dirname "${BASH_SOURCE[0]}")/../.." || exit 1

# Installs the Debian packages among "$@" that are not installed yet (as root, through apt-get).
ensure_packages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]} (run as root, or install them with apt-get)" >&2
    return 1
  fi
  echo "Installing ${missing[*]} ..."
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

BUILD_PACKAGES=(cmake make g++ libgtest-dev libbenchmark-dev python3 g++-mingw-w64-x86-64)
RUN_PACKAGES=(wine wine64)
# What the tests watch the programs with: strace for what a pseudo-terminal cannot show.
TEST_PACKAGES=(strace util-linux)

JOBS=$(nproc 2>/dev/null || echo 2)
