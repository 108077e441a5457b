# Sourced by the scripts: ensure_apt PKG... installs the Debian packages that
# are missing, once, and says so. Needs root or sudo only when something is missing.
ensure_apt() {
  local missing=() p sudo=
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  command -v apt-get >/dev/null || { echo "missing Debian packages ${missing[*]} and no apt-get" >&2; return 1; }
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "installing Debian packages: ${missing[*]}" >&2
  $sudo apt-get update -qq >&2 &&
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >&2 ||
    { echo "apt-get could not install ${missing[*]}" >&2; return 1; }
}
# What the engine's builds need: compiler, oneTBB, abseil, GoogleTest, CMake and Ninja.
ENGINE_APT_PACKAGES=(g++ libtbb-dev libabsl-dev libgtest-dev pkg-config cmake ninja-build)
