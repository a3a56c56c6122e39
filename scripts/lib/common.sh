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

BUILD_PACKAGES=(cmake make g++ libgtest-dev libbenchmark-dev python3 g++-mingw-w64-x86-64
  gcc-avr avr-libc arduino-core-avr binutils-avr)
# The reference panel's glyph table is made from a font of xfonts-base, read with python3-pil.
FONT_PACKAGES=(python3 python3-pil xfonts-base)
RUN_PACKAGES=(wine wine64)
# The reference firmware on a simulated chip: simavr's library and headers (panel-sim), and
# python3-pil for the picture of its display.
SIM_PACKAGES=(libsimavr-dev python3 python3-pil)
# What the tests watch the programs with: strace for what a pseudo-terminal cannot show; clang,
# whose build of the native tree must be as free of warnings as GCC's; and ccache, which keeps
# scripts/test's compiled objects between runs.
TEST_PACKAGES=(strace util-linux clang ccache "${FONT_PACKAGES[@]}" "${SIM_PACKAGES[@]}")
# udevadm verify (udev of Debian 13 and later) checks the example udev rule; Debian 12's has none.
RULE_PACKAGES=()
if [ "$( (. /etc/os-release && echo "${VERSION_ID%%.*}") 2>/dev/null)" -ge 13 ] 2>/dev/null; then
  RULE_PACKAGES=(udev)
fi

JOBS=$(nproc 2>/dev/null || echo 2)

# Whether this tree is a git checkout of its own (not a tarball that happens to sit in one) and
# git is there to read it.
in_git_checkout() {
  command -v git >/dev/null 2>&1 &&
    [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$(pwd -P)" ]
}

# export_tree TARGET: the tree's files into TARGET, without .git or builds: the last commit
# (git archive) in a git checkout, else this directory's files (a tarball's, say).
export_tree() {
  mkdir -p "$1"
  if in_git_checkout; then
    git archive --format=tar HEAD | tar -x -C "$1"
  else
    tar -c --exclude=./build --exclude=./dist --exclude=./.git . | tar -x -C "$1"
  fi
}

# The release's SOURCE_DATE_EPOCH: the last commit's time in a git checkout; else the stamp git
# archive wrote into packaging/source-date-epoch; else, in a tree that has neither (a copy
# without .git), the SOURCE_DATE_EPOCH the builder set. Refuses when there is none of these.
source_date_epoch() {
  if in_git_checkout; then
    git log -1 --format=%ct
    return
  fi
  local stamp
  stamp=$(cat packaging/source-date-epoch 2>/dev/null || true)
  case $stamp in
    "" | *[!0-9]*) ;;
    *) echo "$stamp"; return ;;
  esac
  case ${SOURCE_DATE_EPOCH:-} in
    "") ;;
    *[!0-9]*)
      echo "scripts/release: SOURCE_DATE_EPOCH must be seconds since 1970 (it is" \
           "'$SOURCE_DATE_EPOCH')" >&2
      return 1 ;;
    *) echo "$SOURCE_DATE_EPOCH"; return ;;
  esac
  cat >&2 <<EOF
scripts/release: this tree is neither a git checkout nor made by git archive
(packaging/source-date-epoch holds '$stamp'), so it has no date of its own. Set
SOURCE_DATE_EPOCH: the time of the commit it comes from, to rebuild the published bytes,
or any time for a build of your own:
  SOURCE_DATE_EPOCH=1700000000 scripts/release    # the commit's: git log -1 --format=%ct
  SOURCE_DATE_EPOCH=\$(date +%s) scripts/release
EOF
  return 1
}
