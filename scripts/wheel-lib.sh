# Sourced by the wheel scripts.

# python_for 3.12: the newest patch release of that CPython among pyenv's versions,
# or nothing.
PYENV_VERSIONS=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")/versions
python_for() {
  local p
  for p in "$PYENV_VERSIONS/$1".*/bin/python3; do
    [[ -x $p && ${p#"$PYENV_VERSIONS/$1."} =~ ^[0-9]+/ ]] && echo "$p"
  done | sort -V | tail -n 1
}

# fresh_wheel 3.13: the path of dist/'s wheel for that CPython, built first by
# scripts/wheel.sh when it is missing or older than a file it is built from.
fresh_wheel() {
  local tag="cp${1/./}" whl
  whl=$(ls dist/brindle-*-"$tag"-*manylinux*.whl 2>/dev/null | head -n 1)
  if [ -z "$whl" ] || [ -n "$(find src CMakeLists.txt pyproject.toml -newer "$whl" -print -quit)" ]; then
    bash scripts/wheel.sh "$1" >&2 || return 1
    whl=$(ls dist/brindle-*-"$tag"-*manylinux*.whl 2>/dev/null | head -n 1)
  fi
  [ -n "$whl" ] && echo "$PWD/$whl"
}
